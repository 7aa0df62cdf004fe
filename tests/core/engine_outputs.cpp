// The engine's outputs on fixed synthetic pairs, written by one build and
// compared by another: CI runs it in the default build (hand-vectorised CPU
// kernels) and in the generic one (the kernels' GPU branch), which must agree.
//
//   engine_outputs write FILE     runs every case, stores the outputs' bits
//   engine_outputs compare FILE   runs every case, compares with FILE
//
// Both branches do the same arithmetic in the same order, so the outputs must
// be equal bit for bit; the exit status is 1 at the first difference.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/pixel_search.h"
#include "core/rupture_subpixel.h"
#include "core/subpixel_search.h"
#include "core/tavro_fft.h"
#include "gpu/runtime_base.h"
#include "support/synthetic_images.h"

namespace {

using namespace tavro;

using Outputs = std::map<std::string, std::vector<float>>;

struct Pair {
    testing::Image reference, deformed;
};

// A speckle pair under an affine field with a sub-pixel offset, so that every
// interpolation weight and the gradient terms are exercised.
Pair affinePair(int size) {
    testing::SpeckleOptions options;
    options.width = options.height = size;
    options.seed = 7;
    const testing::SpeckleModel model(options);
    const testing::DisplacementField u =
        testing::affineField({0.012, -0.006, 0.004, -0.01}, {size / 2.0, size / 2.0}, {2.37, -1.61});
    return {testing::addGaussianNoise(model.render(), 0.5, 3), testing::addGaussianNoise(model.render(u), 0.5, 4)};
}

// A pair whose lower part slides along a horizontal crack: each side rendered
// whole, a deformed pixel taking the side its centre shows.
Pair crackPair(int size) {
    testing::SpeckleOptions options;
    options.width = options.height = size;
    options.seed = 9;
    const testing::SpeckleModel model(options);
    const testing::Image upper = model.render(testing::translationField(0.2, 0.1));
    const testing::Image lower = model.render(testing::translationField(1.4, 0.9));
    testing::Image deformed(size, size);
    const double crack = size / 2.0 + 0.3;
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) deformed.at(x, y) = y - 0.9 > crack ? lower.at(x, y) : upper.at(x, y);
    return {model.render(), deformed};
}

void addResult(Outputs& out, const std::string& name, const PixelDisplacementResult& r) {
    out[name + ".u"] = r.dispX;
    out[name + ".v"] = r.dispY;
    out[name + ".dudx"] = r.duDx;
    out[name + ".dudy"] = r.duDy;
    out[name + ".dvdx"] = r.dvDx;
    out[name + ".dvdy"] = r.dvDy;
}

bool run(Outputs& out, std::string& error) {
    const Pair pair = affinePair(160);
    const ImageSource ref(pair.reference.pixels.data()), def(pair.deformed.pixels.data());
    const ImageSize size{pair.reference.width, pair.reference.height};

    PixelSearchParams search;
    search.windowSizeX = search.windowSizeY = 21;
    search.stepX = search.stepY = 7;
    search.maxU = search.maxV = 6;
    search.searchUp = search.searchDown = search.searchLeft = search.searchRight = 6;
    PixelDisplacementResult pixel;
    if (!computePixelDisplacements(ref, def, size, search, pixel, error)) return false;
    addResult(out, "pixel", pixel);

    PixelSearchParams hierarchical = search;
    hierarchical.hierarchical = true;
    hierarchical.coarseStep = 14;
    hierarchical.escalationSearchRange = 2;
    PixelDisplacementResult coarse;
    if (!computePixelDisplacements(ref, def, size, hierarchical, coarse, error)) return false;
    addResult(out, "hierarchical", coarse);

    for (int interpolation = 0; interpolation < 4; ++interpolation)
        for (bool affine : {false, true}) {
            SubpixelParams params;
            params.interpolation = interpolation;
            params.affine = affine;
            params.maxIterations = 12;
            params.convergenceTolerance = 1e-4f;
            PixelDisplacementResult refined;
            if (!computeSubpixelDisplacements(ref, def, size, search, pixel, params, refined, error, {}, nullptr, 0,
                                              0, 0, -1))
                return false;
            addResult(out, "subpixel" + std::to_string(interpolation) + (affine ? "a" : "t"), refined);
        }

    // Without a search range the outer subsets touch the image's edges, where
    // the reference gradients turn one-sided.
    PixelSearchParams edges = search;
    edges.maxU = edges.maxV = 0;
    edges.searchUp = edges.searchDown = edges.searchLeft = edges.searchRight = 0;
    PixelDisplacementResult still;
    if (!computePixelDisplacements(ref, def, size, edges, still, error)) return false;
    SubpixelParams edgeParams;
    edgeParams.interpolation = static_cast<int>(InterpolationType::Bilinear);
    edgeParams.affine = true;
    edgeParams.maxIterations = 12;
    edgeParams.convergenceTolerance = 1e-4f;
    PixelDisplacementResult edgeRefined;
    if (!computeSubpixelDisplacements(ref, def, size, edges, still, edgeParams, edgeRefined, error, {}, nullptr, 0, 0,
                                      0, -1))
        return false;
    addResult(out, "edges", edgeRefined);

    // The discontinuity engine, behind the same entry.
    const Pair crack = crackPair(128);
    const ImageSource crackRef(crack.reference.pixels.data()), crackDef(crack.deformed.pixels.data());
    PixelSearchParams crackSearch = search;
    crackSearch.stepX = crackSearch.stepY = 9;
    crackSearch.maxU = crackSearch.maxV = 3;
    crackSearch.searchUp = crackSearch.searchDown = crackSearch.searchLeft = crackSearch.searchRight = 3;
    PixelDisplacementResult crackPixel;
    if (!computePixelDisplacements(crackRef, crackDef, {128, 128}, crackSearch, crackPixel, error)) return false;
    SubpixelParams rupture;
    rupture.interpolation = static_cast<int>(InterpolationType::CubicBSpline);
    rupture.heaviside = true;
    rupture.maxIterations = 12;
    rupture.convergenceTolerance = 1e-4f;
    PixelDisplacementResult cracked;
    if (!computeSubpixelDisplacements(crackRef, crackDef, {128, 128}, crackSearch, crackPixel, rupture, cracked,
                                      error, {}, nullptr, 0, 0, 0, -1))
        return false;
    addResult(out, "rupture", cracked);

    // Its crack fields as well, with shared and with twinned gradients, on a window that is not square, for the
    // kinds of interpolation the case above leaves out.
    PixelSearchParams oblong = crackSearch;
    oblong.windowSizeX = 27;
    oblong.windowSizeY = 19;
    PixelDisplacementResult oblongPixel;
    if (!computePixelDisplacements(crackRef, crackDef, {128, 128}, oblong, oblongPixel, error)) return false;
    const std::pair<InterpolationType, bool> crackCases[] = {{InterpolationType::Bilinear, false},
                                                             {InterpolationType::Bilinear, true},
                                                             {InterpolationType::Bicubic, false},
                                                             {InterpolationType::QuarticBSpline, true}};
    for (const auto& [interpolation, twinning] : crackCases) {
        SubpixelParams params = rupture;
        params.interpolation = static_cast<int>(interpolation);
        params.enableTwinning = twinning;
        PixelDisplacementResult enriched;
        FractureResult fracture;
        if (!computeRuptureSubpixel(crackRef, crackDef, {128, 128}, oblong, oblongPixel, params, enriched, error, {},
                                    &fracture, 0, -1, false, false))
            return false;
        const std::string name = std::string(twinning ? "ruptureTwinned" : "ruptureShared") +
                                 std::to_string(static_cast<int>(interpolation));
        addResult(out, name, enriched);
        for (int k = 0; k < 12; ++k) out[name + ".crack" + std::to_string(k)] = fracture.fields[size_t(k)];
    }

    // Round trips of the FFT on its power-of-two, mixed-radix and Bluestein paths.
    for (const auto& [rows, cols] : {std::pair{32, 64}, std::pair{24, 40}, std::pair{14, 26}}) {
        const int batch = 3;
        fft::PlanPtr plan(fft::createPlan(rows, cols, batch, 0, error));
        if (!plan) return false;
        std::vector<float> input(static_cast<size_t>(batch) * rows * cols);
        for (size_t i = 0; i < input.size(); ++i) input[i] = pair.reference.pixels[i % pair.reference.pixels.size()];
        const size_t bins = static_cast<size_t>(batch) * rows * plan->halfCols;
        float* deviceIn = nullptr;
        fft::Complex* deviceSpectrum = nullptr;
        if (cudaMalloc(&deviceIn, input.size() * sizeof(float)) != cudaSuccess ||
            cudaMalloc(&deviceSpectrum, bins * sizeof(fft::Complex)) != cudaSuccess) {
            error = "device allocation failed";
            return false;
        }
        bool ok = cudaMemcpy(deviceIn, input.data(), input.size() * sizeof(float), cudaMemcpyHostToDevice) ==
                      cudaSuccess &&
                  fft::execR2C(plan.get(), deviceIn, deviceSpectrum, error);
        std::vector<float> spectrum(2 * bins), back(input.size());
        ok = ok && cudaMemcpy(spectrum.data(), deviceSpectrum, bins * sizeof(fft::Complex),
                              cudaMemcpyDeviceToHost) == cudaSuccess;
        ok = ok && fft::execC2R(plan.get(), deviceSpectrum, deviceIn, error) &&
             cudaMemcpy(back.data(), deviceIn, input.size() * sizeof(float), cudaMemcpyDeviceToHost) == cudaSuccess;
        cudaFree(deviceIn);
        cudaFree(deviceSpectrum);
        if (!ok) {
            if (error.empty()) error = "device copy failed";
            return false;
        }
        const std::string name = "fft" + std::to_string(rows) + "x" + std::to_string(cols);
        out[name + ".spectrum"] = spectrum;
        out[name + ".inverse"] = back;
    }
    return true;
}

bool write(const Outputs& outputs, const char* path) {
    std::ofstream file(path);
    for (const auto& [name, values] : outputs) {
        file << name << ' ' << values.size();
        for (float v : values) file << ' ' << std::bit_cast<uint32_t>(v);
        file << '\n';
    }
    return static_cast<bool>(file);
}

bool read(Outputs& outputs, const char* path) {
    std::ifstream file(path);
    std::string name;
    size_t count = 0;
    while (file >> name >> count) {
        std::vector<float>& values = outputs[name];
        values.resize(count);
        for (float& v : values) {
            uint32_t bits = 0;
            if (!(file >> bits)) return false;
            v = std::bit_cast<float>(bits);
        }
    }
    return file.eof() && !outputs.empty();
}

// Every output of one set in the other with the same bits; prints what differs.
bool compare(const Outputs& expected, const Outputs& actual) {
    bool same = expected.size() == actual.size();
    if (!same) std::fprintf(stderr, "%zu outputs stored, %zu computed\n", expected.size(), actual.size());
    for (const auto& [name, values] : expected) {
        const auto it = actual.find(name);
        if (it == actual.end() || it->second.size() != values.size()) {
            std::fprintf(stderr, "%s: missing or of another size\n", name.c_str());
            same = false;
            continue;
        }
        int differing = 0;
        double largest = 0.0;
        for (size_t i = 0; i < values.size(); ++i) {
            const float a = values[i], b = it->second[i];
            if (std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b)) continue;
            ++differing;
            if (std::isfinite(a) && std::isfinite(b)) largest = std::max(largest, std::fabs(double(a) - double(b)));
            else largest = INFINITY;
        }
        if (differing > 0) {
            std::fprintf(stderr, "%s: %d of %zu values differ, largest difference %g\n", name.c_str(), differing,
                         values.size(), largest);
            same = false;
        }
    }
    return same;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "write") != 0 && std::strcmp(argv[1], "compare") != 0)) {
        std::fprintf(stderr, "usage: engine_outputs write|compare FILE\n");
        return 2;
    }
    Outputs outputs;
    std::string error;
    if (!run(outputs, error)) {
        std::fprintf(stderr, "engine failed: %s\n", error.c_str());
        return 2;
    }
    if (std::strcmp(argv[1], "write") == 0) return write(outputs, argv[2]) ? 0 : 2;
    Outputs stored;
    if (!read(stored, argv[2])) {
        std::fprintf(stderr, "cannot read %s\n", argv[2]);
        return 2;
    }
    if (!compare(stored, outputs)) return 1;
    std::printf("%zu engine outputs identical\n", outputs.size());
    return 0;
}
