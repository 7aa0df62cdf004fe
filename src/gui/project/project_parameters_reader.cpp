#include "gui/project/project_parameters.h"

#include "platform/regular_file.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>

namespace tavro::gui {

namespace {

// A document whose blocks have the wrong shape is refused whole; scalars of
// the wrong type read as their defaults, as older writers may have left them.
struct ShapeError {
    QString message;
};

QJsonObject objectAt(const QJsonObject& parent, const char* key) {
    const QJsonValue value = parent.value(QLatin1String(key));
    if (!value.isObject())
        throw ShapeError{QStringLiteral("\"%1\" is not an object").arg(QLatin1String(key))};
    return value.toObject();
}

QJsonArray arrayAt(const QJsonObject& parent, const char* key) {
    const QJsonValue value = parent.value(QLatin1String(key));
    if (value.isUndefined())
        return {};
    if (!value.isArray())
        throw ShapeError{QStringLiteral("\"%1\" is not an array").arg(QLatin1String(key))};
    return value.toArray();
}

bool has(const QJsonObject& object, const char* key) { return object.contains(QLatin1String(key)); }

int integer(const QJsonObject& object, const char* key, int fallback) {
    return object.value(QLatin1String(key)).toInt(fallback);
}

// Non-finite values (1e999 parses as infinity) read as the fallback.
double real(const QJsonValue& value, double fallback) {
    const double read = value.toDouble(fallback);
    return std::isfinite(read) ? read : fallback;
}

double real(const QJsonObject& object, const char* key, double fallback) {
    return real(object.value(QLatin1String(key)), fallback);
}

float single(const QJsonObject& object, const char* key) {
    const double value = real(object, key, 0.0);
    return std::abs(value) <= 3.0e38 ? static_cast<float>(value) : 0.0f;
}

bool flag(const QJsonObject& object, const char* key, bool fallback) {
    return object.value(QLatin1String(key)).toBool(fallback);
}

QString text(const QJsonObject& object, const char* key) { return object.value(QLatin1String(key)).toString(); }

// Hand-edited coordinates can be anything up to INT_MAX: bounded here, in 64
// bits, so that x + width never overflows once it is a QRect.
constexpr qint64 kLargestCoordinate = qint64(1) << 29;

qint64 bounded(const QJsonObject& object, const char* key, qint64 low) {
    const double read = real(object, key, 0.0);
    return static_cast<qint64>(std::clamp(read, static_cast<double>(low), static_cast<double>(kLargestCoordinate)));
}

QRect boundedRect(const QJsonObject& object, const char* x, const char* y, const char* width, const char* height,
                  qint64 lowestCorner) {
    const qint64 left = bounded(object, x, lowestCorner);
    const qint64 top = bounded(object, y, lowestCorner);
    const qint64 w = bounded(object, width, 0);
    const qint64 h = bounded(object, height, 0);
    return QRect(static_cast<int>(left), static_cast<int>(top), static_cast<int>(w), static_cast<int>(h));
}

std::vector<float> floats(const QJsonArray& array) {
    std::vector<float> values;
    values.reserve(static_cast<std::size_t>(array.size()));
    for (const QJsonValue& value : array) {
        const double read = real(value, 0.0);
        values.push_back(std::abs(read) <= 3.0e38 ? static_cast<float>(read) : 0.0f);
    }
    return values;
}

QStringList resolvedPaths(const QJsonArray& array, const QDir& projectDir) {
    QStringList paths;
    for (const QJsonValue& value : array)
        paths << resolveStoredPath(projectDir, value.toString());
    return paths;
}

// A tile's place in its list is its index: a missing file keeps its slot, so
// that later tiles and their saved positions stay together.
QList<QStringList> resolvedStates(const QJsonArray& array, const QDir& projectDir) {
    QList<QStringList> states;
    for (const QJsonValue& state : array)
        states << resolvedPaths(state.toArray(), projectDir);
    return states;
}

std::vector<NamedKernel> kernels(const QJsonArray& array) {
    std::vector<NamedKernel> list;
    for (const QJsonValue& value : array) {
        const QJsonObject object = value.toObject();
        list.push_back({text(object, "name").toStdString(), floats(arrayAt(object, "coefficients"))});
    }
    return list;
}

std::string modernExpression(const std::string& stored) {
    static const std::array<std::pair<const char*, const char*>, 4> legacy{{
        {"sqrt(2.0/3.0 * ((eI - eII)**2 + eII**2 + eI**2))", "sqrt(2/3 * (eI**2 + eII**2 - eI*eII))"},
        {"sqrt(2.0/3.0 * (eI**2 + eII**2 - eI*eII))", "sqrt(2/3 * (eI**2 + eII**2 - eI*eII))"},
        {"eI - eII", "(eI - eII)/2"},
        {"0.5 * (eI - eII)", "(eI - eII)/2"},
    }};
    for (const auto& [old, current] : legacy)
        if (stored == old)
            return current;
    return stored;
}

// Without a kernel list, the built-in one plus the old single custom kernel.
std::vector<NamedKernel> kernelList(const QJsonObject& strain, const char* key, const char* legacyKey,
                                    const std::vector<NamedKernel>& builtIn) {
    if (has(strain, key))
        return kernels(arrayAt(strain, key));
    std::vector<NamedKernel> list = builtIn;
    std::vector<float> custom = floats(arrayAt(strain, legacyKey));
    if (!custom.empty())
        list.push_back({"Custom", std::move(custom)});
    return list;
}

StrainParameters readStrain(const QJsonObject& strain, const ProjectReadDefaults& defaults) {
    StrainParameters out;
    out.derivativeKernels =
        kernelList(strain, "derivativeKernels", "customDerivKernel", defaults.builtInDerivativeKernels);
    out.smoothingKernels =
        kernelList(strain, "smoothingKernels", "customSmoothKernel", defaults.builtInSmoothingKernels);
    const int lastDerivative = static_cast<int>(out.derivativeKernels.size()) - 1;
    const int lastSmoothing = static_cast<int>(out.smoothingKernels.size()) - 1;
    if (has(strain, "selectedDerivativeKernelIndex")) {
        out.selectedDerivativeKernelIndex = integer(strain, "selectedDerivativeKernelIndex", 0);
    } else {
        const int legacy = integer(strain, "derivKernelIndex", 0);
        out.selectedDerivativeKernelIndex = legacy == 3 ? lastDerivative : legacy;
    }
    if (has(strain, "selectedSmoothingKernelIndex")) {
        out.selectedSmoothingKernelIndex = integer(strain, "selectedSmoothingKernelIndex", 0);
    } else {
        static constexpr std::array<int, 3> oldOrder{0, 2, 1};
        const int legacy = integer(strain, "smoothKernelIndex", 0);
        out.selectedSmoothingKernelIndex = legacy == 3                  ? lastSmoothing
                                           : legacy >= 0 && legacy < 3 ? oldOrder[static_cast<std::size_t>(legacy)]
                                                                       : legacy;
    }
    if (out.selectedDerivativeKernelIndex < 0 || out.selectedDerivativeKernelIndex > lastDerivative)
        out.selectedDerivativeKernelIndex = 0;
    if (out.selectedSmoothingKernelIndex < 0 || out.selectedSmoothingKernelIndex > lastSmoothing)
        out.selectedSmoothingKernelIndex = 0;
    if (has(strain, "criteria")) {
        for (const QJsonValue& value : arrayAt(strain, "criteria")) {
            const QJsonObject object = value.toObject();
            out.criteria.push_back({text(object, "name").toStdString(),
                                    modernExpression(text(object, "expression").toStdString()),
                                    flag(object, "enabled", true)});
        }
    } else {
        out.criteria = defaults.defaultCriteria;
    }
    return out;
}

ProjectTilePosition tilePosition(const QJsonObject& object) {
    ProjectTilePosition tile;
    tile.row = integer(object, "row", 0);
    tile.col = integer(object, "col", 0);
    tile.tileIndex = integer(object, "tileIndex", -1);
    tile.isPresent = flag(object, "isPresent", true);
    tile.tx = single(object, "tx");
    tile.ty = single(object, "ty");
    tile.rotation = single(object, "rotation");
    if (has(object, "bounds")) {
        tile.bounds = boundedRect(objectAt(object, "bounds"), "x", "y", "w", "h", -kLargestCoordinate);
    }
    return tile;
}

std::vector<ProjectTilePosition> tilePositions(const QJsonArray& array) {
    std::vector<ProjectTilePosition> tiles;
    for (const QJsonValue& value : array)
        tiles.push_back(tilePosition(value.toObject()));
    return tiles;
}

// Brings `value` into `range`, naming `key` when it had to.
template <typename T>
T inRange(T value, ValueRange range, const char* key, QStringList& outOfRange) {
    const double read = static_cast<double>(value);
    if (read >= range.minimum && read <= range.maximum)
        return value;
    outOfRange << QLatin1String(key);
    return static_cast<T>(std::clamp(read, range.minimum, range.maximum));
}

// A choice among listed entries outside the list is no nearer to one entry
// than another: it takes the new project's choice, named like a bounded value.
int listedChoice(int value, ValueRange range, int fallback, const char* key, QStringList& outOfRange) {
    if (value >= range.minimum && value <= range.maximum)
        return value;
    outOfRange << QLatin1String(key);
    return fallback;
}

// Every absent key reads as the record's own default, a new project's value.
MosaicParameters readMosaic(const QJsonObject& mosaic, const QDir& projectDir, QStringList& outOfRange) {
    MosaicParameters out;
    out.enabled = flag(mosaic, "enabled", out.enabled);
    out.batchTileMode = flag(mosaic, "batchTileMode", out.batchTileMode);
    out.gridRows = inRange(integer(mosaic, "gridRows", out.gridRows), kGridCountRange, "gridRows", outOfRange);
    out.gridCols = inRange(integer(mosaic, "gridCols", out.gridCols), kGridCountRange, "gridCols", outOfRange);
    out.overlapX = inRange(integer(mosaic, "overlapX", out.overlapX), kOverlapRange, "overlapX", outOfRange);
    out.overlapY = inRange(integer(mosaic, "overlapY", out.overlapY), kOverlapRange, "overlapY", outOfRange);
    out.scanOrderIndex = listedChoice(integer(mosaic, "scanOrderIndex", out.scanOrderIndex), kScanOrderRange,
                                      out.scanOrderIndex, "scanOrderIndex", outOfRange);
    out.usePhaseCorrelation = flag(mosaic, "usePhaseCorrelation", out.usePhaseCorrelation);
    out.allowMissingTiles = flag(mosaic, "allowMissingTiles", out.allowMissingTiles);
    if (has(mosaic, "missingTilePositions")) {
        out.missingTilePositions = text(mosaic, "missingTilePositions");
    } else if (has(mosaic, "missingTilePosition")) {
        const int legacy = integer(mosaic, "missingTilePosition", -1);
        out.missingTilePositions = legacy < 0 ? QString() : QString::number(legacy);
    }
    out.refineNonRigid = flag(mosaic, "refineNonRigid", out.refineNonRigid);
    if (integer(mosaic, "tileCropWidth", 0) > 0)
        out.tileCrop = boundedRect(mosaic, "tileCropX", "tileCropY", "tileCropWidth", "tileCropHeight", 0);
    if (has(mosaic, "finalWidth") || has(mosaic, "finalHeight"))
        out.finalSize =
            QSize(std::max(integer(mosaic, "finalWidth", 0), 0), std::max(integer(mosaic, "finalHeight", 0), 0));
    out.referenceTiles = resolvedPaths(arrayAt(mosaic, "referenceTiles"), projectDir);
    out.deformedStates = resolvedStates(arrayAt(mosaic, "deformedStates"), projectDir);
    out.refTilePositions = tilePositions(arrayAt(mosaic, "refTilePositions"));
    out.defTilePositions = tilePositions(arrayAt(mosaic, "defTilePositions"));
    for (const QJsonValue& state : arrayAt(mosaic, "defTilePositionsStates"))
        out.defTilePositionsStates.push_back(tilePositions(state.toArray()));
    return out;
}

HeightParameters readHeights(const QJsonObject& heights, const QDir& projectDir) {
    HeightParameters out;
    out.referenceTiles = resolvedPaths(arrayAt(heights, "referenceTiles"), projectDir);
    out.deformedStates = resolvedStates(arrayAt(heights, "deformedStates"), projectDir);
    if (out.deformedStates.isEmpty())
        out.deformedStates << QStringList();
    out.currentStateIndex = integer(heights, "currentStateIndex", 0);
    if (out.currentStateIndex < 0 || out.currentStateIndex >= out.deformedStates.size())
        out.currentStateIndex = 0;
    out.saveFullImage = flag(heights, "saveFullImage", out.saveFullImage);
    return out;
}

// Keys are entry indices written in decimal; anything else is not ours.
std::optional<int> entryIndex(const QString& key) {
    if (key.isEmpty() || !std::all_of(key.begin(), key.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
        return std::nullopt;
    bool ok = false;
    const int index = key.toInt(&ok);
    return ok ? std::optional<int>(index) : std::nullopt;
}

template <std::size_t N>
void readRanges(const QJsonObject& entry, const char* minKey, const char* maxKey, const char* autoMinKey,
                const char* autoMaxKey, std::array<float, N>& min, std::array<float, N>& max,
                std::array<float, N>& autoMin, std::array<float, N>& autoMax, int& count) {
    const std::vector<float> mins = floats(arrayAt(entry, minKey));
    count = static_cast<int>(std::min(mins.size(), N));
    const auto fill = [count](const std::vector<float>& values, std::array<float, N>& out) {
        for (std::size_t i = 0; i < static_cast<std::size_t>(count); ++i)
            out[i] = i < values.size() ? values[i] : 0.0f;
    };
    fill(mins, min);
    fill(floats(arrayAt(entry, maxKey)), max);
    fill(floats(arrayAt(entry, autoMinKey)), autoMin);
    fill(floats(arrayAt(entry, autoMaxKey)), autoMax);
}

// ROI x, y, width, height, steps, windows, margins, image and grid sizes; a
// value outside what an image can have drops the whole record.
std::optional<ResultGeometry> readGeometry(const QJsonArray& array) {
    constexpr double kLargest = 1 << 24;
    if (array.size() != 14)
        return std::nullopt;
    std::array<int, 14> v{};
    for (qsizetype i = 0; i < 14; ++i) {
        const double read = real(array.at(i), -1.0);
        if (!(read >= 0.0 && read <= kLargest))
            return std::nullopt;
        v[static_cast<std::size_t>(i)] = static_cast<int>(read);
    }
    ResultGeometry g;
    g.roi = QRect(v[0], v[1], v[2], v[3]);
    g.stepX = v[4], g.stepY = v[5];
    g.windowSizeX = v[6], g.windowSizeY = v[7];
    g.marginX = v[8], g.marginY = v[9];
    g.imageWidth = v[10], g.imageHeight = v[11];
    g.gridWidth = v[12], g.gridHeight = v[13];
    return g.isSet() ? std::optional<ResultGeometry>(g) : std::nullopt;
}

// A hand-set range is kept only when it can be drawn with: two finite bounds, low below high.
std::optional<std::array<float, 2>> manualRange(const QJsonArray& array) {
    const std::vector<float> bounds = floats(array);
    if (bounds.size() != 2 || !(bounds[0] < bounds[1]))
        return std::nullopt;
    return std::array<float, 2>{bounds[0], bounds[1]};
}

std::optional<std::array<float, 2>> manualRange(const QJsonObject& object, const char* key) {
    return has(object, key) ? manualRange(arrayAt(object, key)) : std::nullopt;
}

// Ranges keyed by component index; an index beyond the block's components is not ours.
template <std::size_t N>
void readManualRanges(const QJsonObject& entry, const char* key,
                      std::array<std::optional<std::array<float, 2>>, N>& out) {
    if (!has(entry, key))
        return;
    const QJsonObject ranges = objectAt(entry, key);
    for (auto it = ranges.begin(); it != ranges.end(); ++it)
        if (const std::optional<int> c = entryIndex(it.key()); c && *c < static_cast<int>(N))
            out[static_cast<std::size_t>(*c)] = manualRange(it.value().toArray());
}

std::map<std::string, std::array<float, 2>> readManualCriteria(const QJsonObject& entry) {
    std::map<std::string, std::array<float, 2>> out;
    if (!has(entry, "manualCriteria"))
        return out;
    const QJsonObject ranges = objectAt(entry, "manualCriteria");
    for (auto it = ranges.begin(); it != ranges.end(); ++it)
        if (const std::optional<std::array<float, 2>> range = manualRange(it.value().toArray());
            range && !it.key().isEmpty())
            out[it.key().toStdString()] = *range;
    return out;
}

std::vector<ResultRangeEntry> readResultCache(const QJsonObject& cache) {
    std::vector<ResultRangeEntry> entries;
    for (auto it = cache.begin(); it != cache.end(); ++it) {
        const std::optional<int> index = entryIndex(it.key());
        if (!index)
            continue;
        const QJsonObject object = it.value().toObject();
        ResultRangeEntry entry;
        entry.index = *index;
        entry.minUx = single(object, "minUx");
        entry.maxUx = single(object, "maxUx");
        entry.autoMinUx = single(object, "autoMinUx");
        entry.autoMaxUx = single(object, "autoMaxUx");
        entry.minUy = single(object, "minUy");
        entry.maxUy = single(object, "maxUy");
        entry.autoMinUy = single(object, "autoMinUy");
        entry.autoMaxUy = single(object, "autoMaxUy");
        if (has(object, "rigidShiftX") || has(object, "rigidShiftY"))
            entry.rigidShift = std::array<float, 2>{single(object, "rigidShiftX"), single(object, "rigidShiftY")};
        entry.manualUx = manualRange(object, "manualUx");
        entry.manualUy = manualRange(object, "manualUy");
        entry.hasStrain = flag(object, "hasStrain", false);
        if (entry.hasStrain)
            readRanges(object, "strainMin", "strainMax", "strainAutoMin", "strainAutoMax", entry.strainMin,
                       entry.strainMax, entry.strainAutoMin, entry.strainAutoMax, entry.strainCount);
        if (entry.hasStrain) {
            readManualRanges(object, "manualStrain", entry.manualStrain);
            entry.manualCriteria = readManualCriteria(object);
        }
        entry.hasFracture = flag(object, "hasFracture", false);
        if (entry.hasFracture)
            readRanges(object, "fractureMin", "fractureMax", "fractureAutoMin", "fractureAutoMax", entry.fractureMin,
                       entry.fractureMax, entry.fractureAutoMin, entry.fractureAutoMax, entry.fractureCount);
        if (entry.hasFracture)
            readManualRanges(object, "manualFracture", entry.manualFracture);
        if (has(object, "gridGeometry"))
            entry.geometry = readGeometry(arrayAt(object, "gridGeometry"));
        entries.push_back(entry);
    }
    return entries;
}

std::vector<HeightRangeEntry> readHeightCache(const QJsonObject& cache) {
    std::vector<HeightRangeEntry> entries;
    for (auto it = cache.begin(); it != cache.end(); ++it) {
        const std::optional<int> index = entryIndex(it.key());
        if (!index)
            continue;
        const QJsonObject object = it.value().toObject();
        entries.push_back({*index, single(object, "minUz"), single(object, "maxUz"), single(object, "autoMin"),
                           single(object, "autoMax"), manualRange(object, "manualUz")});
    }
    return entries;
}

ProjectParameters readDocument(const QJsonObject& root, const QDir& projectDir, const ProjectReadDefaults& defaults) {
    ProjectParameters p;
    p.projectFolder = text(root, "projectFolder");
    if (has(root, "mosaic"))
        p.mosaic = readMosaic(objectAt(root, "mosaic"), projectDir, p.outOfRangeKeys);
    if (!p.mosaic || !p.mosaic->enabled) {
        p.referenceImage = resolveStoredPath(projectDir, text(root, "referenceImage"));
        p.deformedImages = resolvedPaths(arrayAt(root, "deformedImages"), projectDir);
    }
    if (has(root, "useMask")) {
        p.useMask = flag(root, "useMask", false);
        p.maskImage = resolveStoredPath(projectDir, text(root, "maskImage"));
    }
    if (has(root, "roi")) {
        p.roi = boundedRect(objectAt(root, "roi"), "x", "y", "width", "height", 0);
    } else {
        p.roi = QRect(0, 0, 0, 0);
    }
    p.windowSizeX = integer(root, "windowSizeX", integer(root, "windowSize", p.windowSizeX));
    p.windowSizeY = integer(root, "windowSizeY", integer(root, "windowSize", p.windowSizeY));
    p.stepX = integer(root, "stepX", integer(root, "step", p.stepX));
    p.stepY = integer(root, "stepY", integer(root, "step", p.stepY));
    const int maxU = integer(root, "maxU", std::max(p.searchUp, p.searchDown));
    const int maxV = integer(root, "maxV", std::max(p.searchLeft, p.searchRight));
    p.searchUp = integer(root, "searchUp", maxU);
    p.searchDown = integer(root, "searchDown", maxU);
    p.searchLeft = integer(root, "searchLeft", maxV);
    p.searchRight = integer(root, "searchRight", maxV);
    QStringList& bad = p.outOfRangeKeys;
    p.windowSizeX = inRange(p.windowSizeX, kWindowSizeRange, "windowSizeX", bad);
    p.windowSizeY = inRange(p.windowSizeY, kWindowSizeRange, "windowSizeY", bad);
    p.stepX = inRange(p.stepX, kStepRange, "stepX", bad);
    p.stepY = inRange(p.stepY, kStepRange, "stepY", bad);
    p.searchUp = inRange(p.searchUp, kSearchRange, "searchUp", bad);
    p.searchDown = inRange(p.searchDown, kSearchRange, "searchDown", bad);
    p.searchLeft = inRange(p.searchLeft, kSearchRange, "searchLeft", bad);
    p.searchRight = inRange(p.searchRight, kSearchRange, "searchRight", bad);
    p.dofIndex = listedChoice(integer(root, "dofIndex", p.dofIndex), kModeIndexRange, p.dofIndex, "dofIndex", bad);
    p.interpolationIndex = listedChoice(integer(root, "interpolationIndex", p.interpolationIndex),
                                        kInterpolationIndexRange, p.interpolationIndex, "interpolationIndex", bad);
    // An absent key (an older file, a hand-made one) means a new project's
    // value, never zero: a tolerance of 0 would never converge.
    p.epsilon = inRange(real(root, "epsilon", p.epsilon), kToleranceRange, "epsilon", bad);
    p.maxIterations = inRange(integer(root, "maxIterations", p.maxIterations), kMaxIterationsRange, "maxIterations", bad);
    p.fractureOpeningMin =
        std::clamp(real(root, "fractureOpeningMin", p.fractureOpeningMin), 0.0, kMaxFractureOpening);
    p.fractureRidgeThickness =
        std::clamp(integer(root, "fractureRidgeThickness", p.fractureRidgeThickness), 1, kMaxRidgeThickness);
    p.enableTwinning = flag(root, "enableTwinning", p.enableTwinning);
    p.maxJumpAmplitude =
        inRange(integer(root, "maxJumpAmplitude", p.maxJumpAmplitude), kMaxJumpRange, "maxJumpAmplitude", bad);
    p.enableNLC = flag(root, "enableNLC", p.enableNLC);
    p.saveFullImage = flag(root, "saveFullImage", p.saveFullImage);
    if (has(root, "strain"))
        p.strain = readStrain(objectAt(root, "strain"), defaults);
    if (has(root, "heightFields"))
        p.heightFields = readHeights(objectAt(root, "heightFields"), projectDir);
    if (has(root, "resultCache"))
        p.resultCache = readResultCache(objectAt(root, "resultCache"));
    if (has(root, "otherAssemblyResultCache"))
        p.otherAssemblyResultCache = readResultCache(objectAt(root, "otherAssemblyResultCache"));
    if (has(root, "heightCache"))
        p.heightCache = readHeightCache(objectAt(root, "heightCache"));
    if (has(root, "otherAssemblyHeightCache"))
        p.otherAssemblyHeightCache = readHeightCache(objectAt(root, "otherAssemblyHeightCache"));
    return p;
}

bool separatorAt(QChar c) { return c == QLatin1Char('/') || c == QLatin1Char('\\'); }

// Every stored path names an image: a folder (".", "..") never does.
bool isStoredFile(const QString& path) { return QFileInfo(path).isFile(); }

// Above the root is the root, as the system reads it; cleanPath keeps the
// "..".
QString cleanAbsolute(const QString& path) {
    QString clean = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    while (clean.startsWith(QLatin1String("/../")))
        clean.remove(0, 3);
    return clean == QLatin1String("/..") ? QStringLiteral("/") : clean;
}

}  // namespace

QString resolveStoredPath(const QDir& projectDir, const QString& stored) {
    // A name with a NUL would open the file its prefix names.
    if (stored.isEmpty() || stored.contains(QChar(0)))
        return stored;
    // Files written on Windows separate with backslashes; a name that really
    // holds one is tried first, unchanged.
    const QString text = QString(stored).replace(QLatin1Char('\\'), QLatin1Char('/'));
    for (const QString& candidate : {stored, text}) {
        // The project folder comes first: a relative path names a file of the
        // project, even when the working directory holds one of the same name.
        if (QFileInfo(candidate).isRelative()) {
            const QString joined = projectDir.filePath(candidate);
            if (isStoredFile(joined))
                return cleanAbsolute(joined);
        }
        if (isStoredFile(candidate))
            return cleanAbsolute(candidate);
    }
    // Not found: a relative path still names a place in the project folder,
    // never one under the working directory; other systems' absolute paths
    // stay as written, for the report of missing files.
    const bool drivePath = stored.size() > 1 && stored.at(1) == QLatin1Char(':');
    QString notFound =
        QFileInfo(stored).isRelative() && !drivePath ? cleanAbsolute(projectDir.filePath(stored)) : stored;
    // A folder (".", "..") is no image: the text stays as stored, for the
    // report of what could not be read.
    if (QFileInfo(notFound).isDir())
        notFound = stored;
    QString rest = text;
    for (;;) {
        const auto separator = std::find_if(rest.begin(), rest.end(), separatorAt);
        if (separator == rest.end())
            return notFound;
        rest = rest.mid(separator - rest.begin() + 1);
        if (rest.isEmpty())
            return notFound;
        const QString joined = projectDir.filePath(rest);
        if (isStoredFile(joined))
            return cleanAbsolute(joined);
    }
}

bool parseProjectParameters(const QByteArray& text, const QDir& projectDir, const ProjectReadDefaults& defaults,
                            ProjectParameters& out, QString& error) {
    if (text.trimmed().isEmpty()) {
        error = QStringLiteral("the file is empty");
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        error = parseError.errorString();
        return false;
    }
    // Read as an object without keys, it would reset the window and then be
    // overwritten with defaults.
    if (!document.isObject()) {
        error = QStringLiteral("the document is not a JSON object");
        return false;
    }
    try {
        out = readDocument(document.object(), projectDir, defaults);
    } catch (const ShapeError& shape) {
        error = shape.message;
        return false;
    }
    return true;
}

bool readProjectParametersFile(const QString& path, const ProjectReadDefaults& defaults, ProjectParameters& out,
                               QString& error, ProjectReadFailure& failure) {
    std::string message;
    platform::FileDescriptor file = platform::openRegularFileForReading(QFile::encodeName(path).toStdString(), message);
    if (!file) {
        failure = ProjectReadFailure::Open;
        error = QString::fromStdString(message);
        return false;
    }
    std::string bytes;
    if (!platform::readAtMost(file.get(), kMaxParametersFileBytes, bytes, message)) {
        failure = ProjectReadFailure::Parse;
        error = QStringLiteral("%1 is %2").arg(QFileInfo(path).fileName(), QString::fromStdString(message));
        return false;
    }
    const QDir projectDir = QFileInfo(path).absoluteDir();
    if (!parseProjectParameters(QByteArray::fromStdString(bytes), projectDir, defaults, out, error)) {
        failure = ProjectReadFailure::Parse;
        return false;
    }
    failure = ProjectReadFailure::None;
    return true;
}

}  // namespace tavro::gui
