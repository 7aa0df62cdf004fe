#pragma once
// Interpolation of the deformed image at fractional positions, shared by the
// kernels that read it through a texture object. Pixel (i, j) has its centre at
// integer coordinates (i, j); pixels outside the image read 0, and a caller
// that must not be biased by those zeros asks whether a sample needed them.
// B-spline kinds read prefiltered coefficients (core/bspline_prefilter.h).

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/subpixel_params.h"
#include "gpu/runtime_base.h"

// Full unrolling of the short tap and parameter loops, in both builds.
#if !defined(TAVRO_UNROLL)
#if defined(__CUDACC__)
// Only inside __device__ functions, whose bodies nvcc never hands to the host compiler.
#define TAVRO_UNROLL _Pragma("unroll")
#else
#define TAVRO_UNROLL _Pragma("GCC unroll 8")
#endif
#endif

namespace tavro {

// Four-point Lagrange cubic through p0..p3 at -1, 0, 1, 2.
__host__ __device__ __forceinline__ float cubicInterpolate(float p0, float p1, float p2, float p3, float t) {
    // k is the literal 0.1666667, two units in the last place above the float
    // nearest 1/6: the coefficients are defined with it, so every build agrees.
    const float k = 0.1666667f;
    const float third = 1.0f / 3.0f;
    const float c1 = p2 - p0 * third - p3 * k - p1 * 0.5f;
    const float c2 = p0 * 0.5f + p2 * 0.5f - p1;
    const float c3 = p1 * 0.5f + p3 * k - p0 * k - p2 * 0.5f;
    return p1 + t * c1 + t * t * c2 + t * t * t * c3;
}

// Uniform cubic B-spline from coefficients c0..c3 at -1, 0, 1, 2, for t in [0, 1).
__host__ __device__ __forceinline__ float bsplineCubic1D(float c0, float c1, float c2, float c3, float t) {
    const float a0 = c0 + 4.0f * c1 + c2;
    const float a1 = 3.0f * c2 - 3.0f * c0;
    const float a2 = 3.0f * c0 - 6.0f * c1 + 3.0f * c2;
    const float a3 = 3.0f * c1 - c0 - 3.0f * c2 + c3;
    return (a0 + t * a1 + t * t * a2 + t * t * t * a3) * (1.0f / 6.0f);
}

// Centred quartic B-spline; its support is |s| < 2.5.
__host__ __device__ __forceinline__ float bsplineQuarticBasis(float s) {
    const float a = fabsf(s);
    if (a < 0.5f) {
        const float a2 = a * a;
        return (115.0f - 120.0f * a2 + 48.0f * a2 * a2) * (1.0f / 192.0f);
    }
    if (a < 1.5f) {
        const float a2 = a * a;
        return (55.0f + 20.0f * a - 120.0f * a2 + 80.0f * a2 * a - 16.0f * a2 * a2) * (1.0f / 96.0f);
    }
    if (a < 2.5f) {
        const float r = 2.5f - a;
        const float r2 = r * r;
        return r2 * r2 * (1.0f / 24.0f);
    }
    return 0.0f;
}

// Coefficients c0..c4 at offsets -2..2 from the integer nearest the position,
// t the position minus that integer (|t| <= 0.5): the five taps cover the whole
// support, so the weights sum to one.
__host__ __device__ __forceinline__ float bsplineQuartic1D(float c0, float c1, float c2, float c3, float c4,
                                                           float t) {
    return c0 * bsplineQuarticBasis(t + 2.0f) + c1 * bsplineQuarticBasis(t + 1.0f) + c2 * bsplineQuarticBasis(t) +
           c3 * bsplineQuarticBasis(t - 1.0f) + c4 * bsplineQuarticBasis(t - 2.0f);
}

namespace detail {

// Taps of one axis: the first tap index and the position relative to the
// interpolation's anchor (the lower neighbour, or the nearest integer for the
// quartic B-spline).
struct AxisTaps {
    int first;
    int anchor;
    float t;
};

// x must be representable (|x| < 1e9): the truncation then fits an int and,
// corrected for negative fractions, is floor(x) without a library call.
__host__ __device__ __forceinline__ AxisTaps axisTaps(float x, int interpolation) {
    int lower = static_cast<int>(x);
    lower -= x < static_cast<float>(lower) ? 1 : 0;
    AxisTaps a{0, lower, x - static_cast<float>(lower)};
    if (interpolation == static_cast<int>(InterpolationType::QuarticBSpline)) {
        if (a.t > 0.5f) {
            ++a.anchor;
            a.t -= 1.0f;
        }
        a.first = a.anchor - 2;
    } else {
        a.first = interpolation == static_cast<int>(InterpolationType::Bilinear) ? a.anchor : a.anchor - 1;
    }
    return a;
}

// Whether a tap outside [0, n) carries weight: at t = 0 the Lagrange and linear
// kernels need only the anchor and the cubic B-spline no tap beyond anchor + 1.
__host__ __device__ __forceinline__ bool axisNeedsOutside(const AxisTaps& a, int n, int interpolation) {
    int lo = a.first, hi = a.first;
    switch (interpolation) {
    case static_cast<int>(InterpolationType::Bilinear):
        hi = a.t > 0.0f ? a.anchor + 1 : a.anchor;
        break;
    case static_cast<int>(InterpolationType::Bicubic):
        lo = a.t > 0.0f ? a.anchor - 1 : a.anchor;
        hi = a.t > 0.0f ? a.anchor + 2 : a.anchor;
        break;
    case static_cast<int>(InterpolationType::CubicBSpline):
        hi = a.t > 0.0f ? a.anchor + 2 : a.anchor + 1;
        break;
    case static_cast<int>(InterpolationType::QuarticBSpline):
        hi = a.anchor + 2;
        break;
    default:
        return false;
    }
    return lo < 0 || hi > n - 1;
}

// Positions this far out are outside any image and would overflow the tap index.
__host__ __device__ __forceinline__ bool positionRepresentable(float x, float y) {
    return fabsf(x) < 1.0e9f && fabsf(y) < 1.0e9f;
}

// Whether interpolating at (x, y) needs pixels outside a width x height image;
// true for a non-finite position.
__host__ __device__ __forceinline__ bool readsOutside(float x, float y, int width, int height, int interpolation) {
    if (interpolation < 0 || interpolation > 3) return false;
    if (!positionRepresentable(x, y)) return true;
    return axisNeedsOutside(axisTaps(x, interpolation), width, interpolation) ||
           axisNeedsOutside(axisTaps(y, interpolation), height, interpolation);
}

#if defined(__CUDACC__) || !defined(TAVRO_USE_CUDA)

// A one-channel float texture with point filtering and unnormalised
// coordinates, seen as an image of the given size (the texture may be larger).
class TextureSampler {
public:
    __device__ TextureSampler(cudaTextureObject_t texture, int width, int height)
        : width_(width), height_(height)
#if TAVRO_GENERIC_KERNEL
          , texture_(texture)
#endif
    {
#if !TAVRO_GENERIC_KERNEL
        // The CPU runtime's texture object is its descriptor; reading the array
        // directly spares each tap tex2D's coordinate conversion and addressing,
        // which a point read inside the image does not need.
        const auto& impl =
            *reinterpret_cast<const gpu::detail::TextureImpl*>(static_cast<uintptr_t>(texture));
        data_ = impl.data;
        pitch_ = static_cast<ptrdiff_t>(impl.pitchElements);
#endif
    }

    __device__ __forceinline__ int width() const { return width_; }
    __device__ __forceinline__ int height() const { return height_; }

    // Pixel (i, j), which must lie inside.
    __device__ __forceinline__ float at(int i, int j) const {
#if TAVRO_GENERIC_KERNEL
        return tex2D<float>(texture_, static_cast<float>(i) + 0.5f, static_cast<float>(j) + 0.5f);
#else
        return data_[static_cast<ptrdiff_t>(j) * pitch_ + i];
#endif
    }

    // Pixel (i, j), or 0 outside the image.
    __device__ __forceinline__ float fetch(int i, int j) const {
        return i < 0 || j < 0 || i >= width_ || j >= height_ ? 0.0f : at(i, j);
    }

#if !TAVRO_GENERIC_KERNEL
    const float* address(int i, int j) const { return data_ + static_cast<ptrdiff_t>(j) * pitch_ + i; }
    ptrdiff_t pitch() const { return pitch_; }
#endif

private:
    int width_;
    int height_;
#if TAVRO_GENERIC_KERNEL
    cudaTextureObject_t texture_;
#else
    const float* data_;
    ptrdiff_t pitch_;
#endif
};

// Weights of the four taps of the cubic kinds at t in [0, 1): per tap
// ((a + t b) + t^2 c) + t^3 d, the polynomials of cubicInterpolate and
// bsplineCubic1D collected per tap. Columns a, b, c, d of each table, tap by tap.
struct CubicWeightTable {
    float a0, a1, a2, a3, b0, b1, b2, b3, c0, c1, c2, c3, d0, d1, d2, d3;
};
inline constexpr float kLagrangeSixth = 0.1666667f;
inline constexpr CubicWeightTable kLagrangeWeights{0.0f, 1.0f, 0.0f, 0.0f,
                                                   -1.0f / 3.0f, -0.5f, 1.0f, -kLagrangeSixth,
                                                   0.5f, -1.0f, 0.5f, 0.0f,
                                                   -kLagrangeSixth, 0.5f, -0.5f, kLagrangeSixth};
inline constexpr CubicWeightTable kCubicBSplineWeights{1.0f / 6.0f, 4.0f / 6.0f, 1.0f / 6.0f, 0.0f,
                                                       -0.5f, 0.0f, 0.5f, 0.0f,
                                                       0.5f, -1.0f, 0.5f, 0.0f,
                                                       -1.0f / 6.0f, 0.5f, -0.5f, 1.0f / 6.0f};

template <int Kind>
__host__ __device__ __forceinline__ constexpr CubicWeightTable cubicWeightTable() {
    return Kind == static_cast<int>(InterpolationType::Bicubic) ? kLagrangeWeights : kCubicBSplineWeights;
}

// Tap weights at t: t in [0, 1) from the lower neighbour for the cubic kinds,
// t in [-0.5, 0.5] from the nearest integer for the quartic B-spline.
template <int Kind, int K>
__device__ __forceinline__ void tapWeights(float t, float (&w)[K]) {
    if constexpr (Kind == static_cast<int>(InterpolationType::QuarticBSpline)) {
        TAVRO_UNROLL
        for (int i = 0; i < K; ++i) w[i] = bsplineQuarticBasis(t - static_cast<float>(i - 2));
    } else {
        constexpr CubicWeightTable c = cubicWeightTable<Kind>();
        const float t2 = t * t, t3 = t2 * t;
        w[0] = ((c.a0 + t * c.b0) + t2 * c.c0) + t3 * c.d0;
        w[1] = ((c.a1 + t * c.b1) + t2 * c.c1) + t3 * c.d1;
        w[2] = ((c.a2 + t * c.b2) + t2 * c.c2) + t3 * c.d2;
        w[3] = ((c.a3 + t * c.b3) + t2 * c.c3) + t3 * c.d3;
    }
}

// K x K taps from (x0, y0); Inside says that all of them lie in the image and
// need no bounds check. The weighted taps are summed down each column, then
// across: the same polynomial as along rows first, in an order whose column
// sums are independent lanes (vector instructions on the CPU).
template <int Kind, int K, bool Inside>
__device__ __forceinline__ float interpolateTaps(const TextureSampler& image, int x0, int y0, float tx, float ty) {
    auto tap = [&](int i, int j) { return Inside ? image.at(x0 + i, y0 + j) : image.fetch(x0 + i, y0 + j); };
    if constexpr (Kind == static_cast<int>(InterpolationType::Bilinear)) {
        const float top = tap(0, 0) + tx * (tap(1, 0) - tap(0, 0));
        const float bottom = tap(0, 1) + tx * (tap(1, 1) - tap(0, 1));
        return top + ty * (bottom - top);
    } else {
#if !TAVRO_GENERIC_KERNEL
        if constexpr (K == 4 && Inside) {
            // A row of four taps is one vector: per column the same operations
            // as below, four at a time, where the compiler would not find them.
            using Float4 = float __attribute__((vector_size(16)));
            constexpr CubicWeightTable c = cubicWeightTable<Kind>();
            auto weights = [c](float t) {
                const float t2 = t * t, t3 = t2 * t;
                return ((Float4{c.a0, c.a1, c.a2, c.a3} + t * Float4{c.b0, c.b1, c.b2, c.b3}) +
                        t2 * Float4{c.c0, c.c1, c.c2, c.c3}) +
                       t3 * Float4{c.d0, c.d1, c.d2, c.d3};
            };
            auto load = [](const float* p) {
                Float4 v;
                std::memcpy(&v, p, sizeof v);
                return v;
            };
            const Float4 wx = weights(tx), wy = weights(ty);
            const float* row = image.address(x0, y0);
            const ptrdiff_t pitch = image.pitch();
            Float4 sums = load(row) * wy[0];
            sums += load(row + pitch) * wy[1];
            sums += load(row + 2 * pitch) * wy[2];
            sums += load(row + 3 * pitch) * wy[3];
            return sums[0] * wx[0] + sums[1] * wx[1] + sums[2] * wx[2] + sums[3] * wx[3];
        }
#endif
        float wx[K], wy[K];
        tapWeights<Kind>(tx, wx);
        tapWeights<Kind>(ty, wy);
        float column[K];
        TAVRO_UNROLL
        for (int i = 0; i < K; ++i) column[i] = wy[0] * tap(i, 0);
        TAVRO_UNROLL
        for (int j = 1; j < K; ++j)
            TAVRO_UNROLL
            for (int i = 0; i < K; ++i) column[i] += wy[j] * tap(i, j);
        float value = column[0] * wx[0];
        TAVRO_UNROLL
        for (int i = 1; i < K; ++i) value += column[i] * wx[i];
        return value;
    }
}

#endif

} // namespace detail

#if defined(__CUDACC__) || !defined(TAVRO_USE_CUDA)

// The deformed value at (x, y) for interpolation Kind (an InterpolationType;
// any other kind reads 0), 0 for a non-finite position. `leavesImage` tells
// whether a tap outside the image carried weight, so that the 0 it read biased
// the value.
template <int Kind>
__device__ __forceinline__ float interpolateAs(const detail::TextureSampler& image, float x, float y,
                                              bool& leavesImage) {
    leavesImage = false;
    if constexpr (Kind < 0 || Kind > 3) {
        return 0.0f;
    } else {
        if (!detail::positionRepresentable(x, y)) {
            leavesImage = true;
            return 0.0f;
        }
        constexpr int taps = Kind == static_cast<int>(InterpolationType::Bilinear)         ? 2
                             : Kind == static_cast<int>(InterpolationType::QuarticBSpline) ? 5
                                                                                            : 4;
        const detail::AxisTaps ax = detail::axisTaps(x, Kind);
        const detail::AxisTaps ay = detail::axisTaps(y, Kind);
        const bool inside = ax.first >= 0 && ay.first >= 0 && ax.first + taps <= image.width() &&
                            ay.first + taps <= image.height();
        if (!inside)
            leavesImage = detail::axisNeedsOutside(ax, image.width(), Kind) ||
                          detail::axisNeedsOutside(ay, image.height(), Kind);
        if (inside) return detail::interpolateTaps<Kind, taps, true>(image, ax.first, ay.first, ax.t, ay.t);
        return detail::interpolateTaps<Kind, taps, false>(image, ax.first, ay.first, ax.t, ay.t);
    }
}

// Every position within [2, width - 4) x [2, height - 4) reads only pixels of
// the image, whatever the kind: the widest footprint reaches two taps before
// and three after the lower neighbour.
__host__ __device__ __forceinline__ bool footprintInside(float minX, float maxX, float minY, float maxY, int width,
                                                        int height) {
    return minX >= 2.0f && minY >= 2.0f && maxX < static_cast<float>(width - 4) &&
           maxY < static_cast<float>(height - 4);
}

// interpolateAs for a position whose taps are known to lie inside the image
// (footprintInside): no bounds, no checks, the same value.
template <int Kind>
__device__ __forceinline__ float interpolateInside(const detail::TextureSampler& image, float x, float y) {
    if constexpr (Kind < 0 || Kind > 3) {
        return 0.0f;
    } else {
        constexpr int taps = Kind == static_cast<int>(InterpolationType::Bilinear)         ? 2
                             : Kind == static_cast<int>(InterpolationType::QuarticBSpline) ? 5
                                                                                            : 4;
        const detail::AxisTaps ax = detail::axisTaps(x, Kind);
        const detail::AxisTaps ay = detail::axisTaps(y, Kind);
        return detail::interpolateTaps<Kind, taps, true>(image, ax.first, ay.first, ax.t, ay.t);
    }
}

#if !TAVRO_GENERIC_KERNEL
using FloatLanes = float __attribute__((vector_size(16)));
using IntLanes = int __attribute__((vector_size(16)));

// interpolateInside at four positions, one per lane: each lane takes the same
// operations in the same order as the scalar call, so it holds the same value.
// The cubic kinds run their weights and the final sums across the lanes, where
// one position at a time leaves most of every vector unused.
template <int Kind>
inline FloatLanes interpolateInside4(const detail::TextureSampler& image, FloatLanes x, FloatLanes y) {
    if constexpr (Kind != static_cast<int>(InterpolationType::Bicubic) &&
                  Kind != static_cast<int>(InterpolationType::CubicBSpline)) {
        FloatLanes out;
        for (int lane = 0; lane < 4; ++lane) out[lane] = interpolateInside<Kind>(image, x[lane], y[lane]);
        return out;
    } else {
        // The lower neighbour as axisTaps finds it: truncation, one less below a negative fraction.
        IntLanes lowerX = __builtin_convertvector(x, IntLanes);
        IntLanes lowerY = __builtin_convertvector(y, IntLanes);
        lowerX += x < __builtin_convertvector(lowerX, FloatLanes);
        lowerY += y < __builtin_convertvector(lowerY, FloatLanes);
        const FloatLanes tx = x - __builtin_convertvector(lowerX, FloatLanes);
        const FloatLanes ty = y - __builtin_convertvector(lowerY, FloatLanes);
        constexpr detail::CubicWeightTable c = detail::cubicWeightTable<Kind>();
        const FloatLanes tx2 = tx * tx, tx3 = tx2 * tx, ty2 = ty * ty, ty3 = ty2 * ty;
        const FloatLanes wy0 = ((c.a0 + ty * c.b0) + ty2 * c.c0) + ty3 * c.d0;
        const FloatLanes wy1 = ((c.a1 + ty * c.b1) + ty2 * c.c1) + ty3 * c.d1;
        const FloatLanes wy2 = ((c.a2 + ty * c.b2) + ty2 * c.c2) + ty3 * c.d2;
        const FloatLanes wy3 = ((c.a3 + ty * c.b3) + ty2 * c.c3) + ty3 * c.d3;
        const ptrdiff_t pitch = image.pitch();
        auto load = [](const float* p) {
            FloatLanes v;
            std::memcpy(&v, p, sizeof v);
            return v;
        };
        // Column sums of each position's 4 x 4 taps, one position per vector.
        FloatLanes sums[4];
        for (int lane = 0; lane < 4; ++lane) {
            const float* row = image.address(lowerX[lane] - 1, lowerY[lane] - 1);
            FloatLanes s = load(row) * wy0[lane];
            s += load(row + pitch) * wy1[lane];
            s += load(row + 2 * pitch) * wy2[lane];
            s += load(row + 3 * pitch) * wy3[lane];
            sums[lane] = s;
        }
        // Transposed, column i of every position in one vector.
        const IntLanes low = {0, 4, 1, 5}, high = {2, 6, 3, 7}, front = {0, 1, 4, 5}, back = {2, 3, 6, 7};
        const FloatLanes ab0 = __builtin_shuffle(sums[0], sums[1], low);
        const FloatLanes ab1 = __builtin_shuffle(sums[0], sums[1], high);
        const FloatLanes cd0 = __builtin_shuffle(sums[2], sums[3], low);
        const FloatLanes cd1 = __builtin_shuffle(sums[2], sums[3], high);
        const FloatLanes column0 = __builtin_shuffle(ab0, cd0, front), column1 = __builtin_shuffle(ab0, cd0, back);
        const FloatLanes column2 = __builtin_shuffle(ab1, cd1, front), column3 = __builtin_shuffle(ab1, cd1, back);
        const FloatLanes wx0 = ((c.a0 + tx * c.b0) + tx2 * c.c0) + tx3 * c.d0;
        const FloatLanes wx1 = ((c.a1 + tx * c.b1) + tx2 * c.c1) + tx3 * c.d1;
        const FloatLanes wx2 = ((c.a2 + tx * c.b2) + tx2 * c.c2) + tx3 * c.d2;
        const FloatLanes wx3 = ((c.a3 + tx * c.b3) + tx2 * c.c3) + tx3 * c.d3;
        return column0 * wx0 + column1 * wx1 + column2 * wx2 + column3 * wx3;
    }
}
#endif

// interpolateAs for a kind known only at run time.
__device__ __forceinline__ float interpolateValue(const detail::TextureSampler& image, float x, float y,
                                                 int interpolation, bool& leavesImage) {
    switch (interpolation) {
    case 0: return interpolateAs<0>(image, x, y, leavesImage);
    case 1: return interpolateAs<1>(image, x, y, leavesImage);
    case 2: return interpolateAs<2>(image, x, y, leavesImage);
    case 3: return interpolateAs<3>(image, x, y, leavesImage);
    default: return interpolateAs<-1>(image, x, y, leavesImage);
    }
}

__device__ __forceinline__ float interpolateValue(const detail::TextureSampler& image, float x, float y,
                                                 int interpolation) {
    bool leavesImage = false;
    return interpolateValue(image, x, y, interpolation, leavesImage);
}

#endif

} // namespace tavro
