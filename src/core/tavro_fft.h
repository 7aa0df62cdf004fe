#pragma once
// The engine's own batched two-dimensional real FFT. Transforms are
// unnormalised: execC2R after execR2C returns rows x cols times the input.

#include <cstdint>
#include <memory>
#include <string>

#include "gpu/runtime_base.h"

namespace tavro::fft {

using Complex = float2;

// One transform length of the general path: Bluestein's chirp-z over a padded
// power-of-two length M.
struct BluesteinAxis {
    int32_t n = 0;
    int32_t M = 0;
    int32_t logM = 0;
    Complex* chirp = nullptr;           // n entries
    Complex* kernelSpectrum = nullptr;  // M entries
    Complex* twiddles = nullptr;        // M / 2 entries
};

// Immutable after creation; its scratch buffers are shared by every call, so a
// plan runs one transform at a time.
struct Plan {
    int32_t cols = 0;
    int32_t rows = 0;
    int32_t batch = 0;
    int32_t halfCols = 0;
    int32_t transposedSpectrum = 0;
    bool sharedPath = false;
    // Both lengths (half of cols, rows) 2^a 3^b 5^c and at most 256: mixed-radix
    // shared-memory kernels with full twiddle tables (half, rows and half + 1 entries).
    bool mixedPath = false;
    int32_t half = 0;
    int32_t logHalf = 0;
    int32_t logRows = 0;
    Complex* twiddlesHalf = nullptr;
    Complex* twiddlesRows = nullptr;
    // half + 1 entries: the split reads w_half for the Nyquist bin.
    Complex* twiddlesCols = nullptr;
    BluesteinAxis colsAxis;
    BluesteinAxis rowsAxis;
    int64_t chunkLines = 0;
    Complex* spectrumA = nullptr;
    Complex* spectrumB = nullptr;
    Complex* workA = nullptr;
    Complex* workB = nullptr;
    Complex* lineBuffer = nullptr;
    uint64_t deviceBytes = 0;
};

// Products of powers of 2, 3 and 5, the lengths of the mixed-radix path.
bool isSmooth(int64_t v);
// The smallest such length not below v (1 for v below 1).
int32_t nextSmooth(int32_t v);

// rows is the image height, cols the row length. Null with the error set on
// failure, every partial allocation released.
Plan* createPlan(int32_t rows, int32_t cols, int32_t batch, int32_t transposedSpectrum, std::string& error);
void destroyPlan(Plan* plan);

// input: batch x rows x cols floats; output: batch x rows x halfCols bins in the
// plan's layout. Kernels are queued on the default stream.
bool execR2C(Plan* plan, const float* input, Complex* output, std::string& error);
// input is overwritten by the shared path with the transposed layout.
bool execC2R(Plan* plan, Complex* input, float* output, std::string& error);
// The same where only rows [0, rows) of each output image are needed: the others
// may be left as they were (the Bluestein path writes them all).
bool execC2RRows(Plan* plan, Complex* input, float* output, int32_t rows, std::string& error);
// execC2RRows of factor x conj(input), bin by bin, as a cross-correlation needs; input is overwritten. The
// product is formed as the transform loads its lines where the layout allows (transposed spectra on the
// shared and mixed-radix paths).
bool execC2RCorrelation(Plan* plan, const Complex* factor, Complex* input, float* output, int32_t rows,
                        std::string& error);

struct PlanDeleter {
    void operator()(Plan* plan) const { destroyPlan(plan); }
};
using PlanPtr = std::unique_ptr<Plan, PlanDeleter>;

} // namespace tavro::fft
