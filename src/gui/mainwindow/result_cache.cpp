#include "gui/mainwindow/result_cache.h"

#include <cmath>

namespace tavro::gui {

namespace {

// Validated at the source: a display range that is not finite would be
// written as null and read back as 0.
float finite(float value) { return std::isfinite(value) ? value : 0.0f; }

template <std::size_t N>
std::array<float, N> finite(const std::array<float, N>& values) {
    std::array<float, N> out{};
    for (std::size_t i = 0; i < N; ++i)
        out[i] = finite(values[i]);
    return out;
}

template <std::size_t N>
std::array<std::optional<std::array<float, 2>>, N> manualRanges(const std::array<bool, N>& manual,
                                                                const std::array<float, N>& low,
                                                                const std::array<float, N>& high) {
    std::array<std::optional<std::array<float, 2>>, N> out{};
    for (std::size_t i = 0; i < N; ++i)
        if (manual[i])
            out[i] = std::array<float, 2>{finite(low[i]), finite(high[i])};
    return out;
}

template <std::size_t N>
void applyManualRanges(const std::array<std::optional<std::array<float, 2>>, N>& ranges, std::array<bool, N>& manual,
                       std::array<float, N>& low, std::array<float, N>& high) {
    for (std::size_t i = 0; i < N; ++i)
        if (ranges[i]) {
            low[i] = (*ranges[i])[0], high[i] = (*ranges[i])[1];
            manual[i] = true;
        }
}

}  // namespace

// The file keeps each component's data range and automatic display range, and
// the ranges set by hand; any other current range starts from the automatic
// one when the project reopens.
ResultRangeEntry resultCacheEntry(int index, const ComputationResult& result) {
    ResultRangeEntry entry;
    entry.index = index;
    entry.minUx = finite(result.autoMinUx), entry.maxUx = finite(result.autoMaxUx);
    entry.autoMinUx = finite(result.display.percentileMinUx), entry.autoMaxUx = finite(result.display.percentileMaxUx);
    entry.minUy = finite(result.autoMinUy), entry.maxUy = finite(result.autoMaxUy);
    entry.autoMinUy = finite(result.display.percentileMinUy), entry.autoMaxUy = finite(result.display.percentileMaxUy);
    entry.rigidShift = std::array<float, 2>{finite(result.rigid.shiftX), finite(result.rigid.shiftY)};
    if (result.display.manualUx)
        entry.manualUx = std::array<float, 2>{finite(result.minUx), finite(result.maxUx)};
    if (result.display.manualUy)
        entry.manualUy = std::array<float, 2>{finite(result.minUy), finite(result.maxUy)};
    entry.hasStrain = result.hasStrain;
    entry.strainMin = finite(result.strainAutoMin), entry.strainMax = finite(result.strainAutoMax);
    entry.strainAutoMin = finite(result.display.strainPercentileMin);
    entry.strainAutoMax = finite(result.display.strainPercentileMax);
    entry.manualStrain = manualRanges(result.display.strainManual, result.strainMin, result.strainMax);
    for (const auto& [name, manual] : result.display.criterionManual) {
        const auto low = result.display.criterionDisplayMin.find(name);
        const auto high = result.display.criterionDisplayMax.find(name);
        if (manual && low != result.display.criterionDisplayMin.end() &&
            high != result.display.criterionDisplayMax.end())
            entry.manualCriteria[name] = {finite(low->second), finite(high->second)};
    }
    entry.hasFracture = result.hasFracture;
    entry.fractureMin = finite(result.fractureAutoMin), entry.fractureMax = finite(result.fractureAutoMax);
    entry.fractureAutoMin = finite(result.display.fracturePercentileMin);
    entry.fractureAutoMax = finite(result.display.fracturePercentileMax);
    entry.manualFracture = manualRanges(result.display.fractureManual, result.fractureMin, result.fractureMax);
    if (result.geometry.isSet())
        entry.geometry = result.geometry;
    return entry;
}

void applyResultCacheEntry(const ResultRangeEntry& entry, ComputationResult& result) {
    result.autoMinUx = entry.minUx, result.autoMaxUx = entry.maxUx;
    result.display.percentileMinUx = result.minUx = entry.autoMinUx;
    result.display.percentileMaxUx = result.maxUx = entry.autoMaxUx;
    result.autoMinUy = entry.minUy, result.autoMaxUy = entry.maxUy;
    result.display.percentileMinUy = result.minUy = entry.autoMinUy;
    result.display.percentileMaxUy = result.maxUy = entry.autoMaxUy;
    result.display.rigidShiftUnknown = false;
    if (entry.manualUx) {
        result.minUx = (*entry.manualUx)[0], result.maxUx = (*entry.manualUx)[1];
        result.display.manualUx = true;
    }
    if (entry.manualUy) {
        result.minUy = (*entry.manualUy)[0], result.maxUy = (*entry.manualUy)[1];
        result.display.manualUy = true;
    }
    if (entry.rigidShift) {
        result.rigid.shiftX = (*entry.rigidShift)[0];
        result.rigid.shiftY = (*entry.rigidShift)[1];
    }
    if (entry.hasStrain) {
        result.hasStrain = true;
        result.strainAutoMin = entry.strainMin, result.strainAutoMax = entry.strainMax;
        result.display.strainPercentileMin = result.strainMin = entry.strainAutoMin;
        result.display.strainPercentileMax = result.strainMax = entry.strainAutoMax;
        applyManualRanges(entry.manualStrain, result.display.strainManual, result.strainMin, result.strainMax);
        for (const auto& [name, range] : entry.manualCriteria) {
            result.display.criterionDisplayMin[name] = range[0];
            result.display.criterionDisplayMax[name] = range[1];
            result.display.criterionManual[name] = true;
        }
    }
    if (entry.hasFracture) {
        result.hasFracture = true;
        result.fractureAutoMin = entry.fractureMin, result.fractureAutoMax = entry.fractureMax;
        result.display.fracturePercentileMin = result.fractureMin = entry.fractureAutoMin;
        result.display.fracturePercentileMax = result.fractureMax = entry.fractureAutoMax;
        applyManualRanges(entry.manualFracture, result.display.fractureManual, result.fractureMin, result.fractureMax);
    }
    if (entry.geometry)
        result.geometry = *entry.geometry;
}

}  // namespace tavro::gui
