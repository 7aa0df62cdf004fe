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

#if !defined(__CUDACC__) && defined(__SSE2__)
#include <immintrin.h>
#endif

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

namespace detail {

// The interpolations' tap weights as polynomials in the position t: tap i
// weighs (((c[0][i] + t c[1][i]) + t^2 c[2][i]) + t^3 c[3][i]) + t^4 c[4][i].
// The cubic kinds' four taps sit at -1, 0, 1, 2 from the lower neighbour, t in
// [0, 1); the quartic B-spline's five at -2 .. 2 from the nearest integer, t in
// [-0.5, 0.5], where they cover its whole support.
template <int Taps, int Degree>
struct WeightTable {
    float c[Degree + 1][Taps];
};

// 0.1666667 is two units in the last place above the float nearest 1/6: the
// Lagrange weights are defined with that literal, so every build agrees.
inline constexpr float kLagrangeSixth = 0.1666667f;
inline constexpr WeightTable<4, 3> kLagrangeWeights{{{0.0f, 1.0f, 0.0f, 0.0f},
                                                     {-1.0f / 3.0f, -0.5f, 1.0f, -kLagrangeSixth},
                                                     {0.5f, -1.0f, 0.5f, 0.0f},
                                                     {-kLagrangeSixth, 0.5f, -0.5f, kLagrangeSixth}}};
inline constexpr WeightTable<4, 3> kCubicBSplineWeights{{{1.0f / 6.0f, 4.0f / 6.0f, 1.0f / 6.0f, 0.0f},
                                                         {-0.5f, 0.0f, 0.5f, 0.0f},
                                                         {0.5f, -1.0f, 0.5f, 0.0f},
                                                         {-1.0f / 6.0f, 0.5f, -0.5f, 1.0f / 6.0f}}};
inline constexpr WeightTable<5, 4> kQuarticBSplineWeights{
    {{1.0f / 384.0f, 19.0f / 96.0f, 115.0f / 192.0f, 19.0f / 96.0f, 1.0f / 384.0f},
     {-1.0f / 48.0f, -11.0f / 24.0f, 0.0f, 11.0f / 24.0f, 1.0f / 48.0f},
     {1.0f / 16.0f, 0.25f, -0.625f, 0.25f, 1.0f / 16.0f},
     {-1.0f / 12.0f, 1.0f / 6.0f, 0.0f, -1.0f / 6.0f, 1.0f / 12.0f},
     {1.0f / 24.0f, -1.0f / 6.0f, 0.25f, -1.0f / 6.0f, 1.0f / 24.0f}}};

// Returned by value and held in a local constexpr: the device code then sees
// constants, never the host's table.
template <int Kind>
__host__ __device__ __forceinline__ constexpr auto weightTable() {
    if constexpr (Kind == static_cast<int>(InterpolationType::QuarticBSpline))
        return kQuarticBSplineWeights;
    else if constexpr (Kind == static_cast<int>(InterpolationType::Bicubic))
        return kLagrangeWeights;
    else
        return kCubicBSplineWeights;
}

// Weight of tap i at t (t2 = t^2, t3 = t^3, t4 = t^4); T is a float or, in the
// CPU build, a vector of positions.
template <class T, int Taps, int Degree>
__host__ __device__ __forceinline__ T tapWeight(const WeightTable<Taps, Degree>& w, int i, T t, T t2, T t3, T t4) {
    const T cubic = ((w.c[0][i] + t * w.c[1][i]) + t2 * w.c[2][i]) + t3 * w.c[3][i];
    if constexpr (Degree == 4)
        return cubic + t4 * w.c[4][i];
    else
        return (void)t4, cubic;
}

template <int Kind, int Taps>
__host__ __device__ __forceinline__ void tapWeights(float t, float (&w)[Taps]) {
    constexpr auto table = weightTable<Kind>();
    const float t2 = t * t, t3 = t2 * t, t4 = t2 * t2;
    // No unroll pragma in host and device code (the host compiler would see
    // nvcc's); both compilers unroll these few fixed iterations anyway.
    for (int i = 0; i < Taps; ++i) w[i] = tapWeight(table, i, t, t2, t3, t4);
}

// One axis: the taps p weighted and summed in order.
template <int Kind, int Taps>
__host__ __device__ __forceinline__ float weighTaps(const float (&p)[Taps], float t) {
    float w[Taps];
    tapWeights<Kind>(t, w);
    float value = p[0] * w[0];
    for (int i = 1; i < Taps; ++i) value += p[i] * w[i];
    return value;
}

} // namespace detail

// Four-point Lagrange cubic through p0..p3 at -1, 0, 1, 2, for t in [0, 1).
__host__ __device__ __forceinline__ float cubicInterpolate(float p0, float p1, float p2, float p3, float t) {
    const float p[4] = {p0, p1, p2, p3};
    return detail::weighTaps<static_cast<int>(InterpolationType::Bicubic)>(p, t);
}

// Uniform cubic B-spline from coefficients c0..c3 at -1, 0, 1, 2, for t in [0, 1).
__host__ __device__ __forceinline__ float bsplineCubic1D(float c0, float c1, float c2, float c3, float t) {
    const float c[4] = {c0, c1, c2, c3};
    return detail::weighTaps<static_cast<int>(InterpolationType::CubicBSpline)>(c, t);
}

// Quartic B-spline from coefficients c0..c4 at offsets -2..2 from the integer
// nearest the position, t the position minus that integer (|t| <= 0.5).
__host__ __device__ __forceinline__ float bsplineQuartic1D(float c0, float c1, float c2, float c3, float c4,
                                                           float t) {
    const float c[5] = {c0, c1, c2, c3, c4};
    return detail::weighTaps<static_cast<int>(InterpolationType::QuarticBSpline)>(c, t);
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
            constexpr auto c = weightTable<Kind>();
            auto weights = [c](float t) {
                const float t2 = t * t, t3 = t2 * t;
                auto column = [c](int k) { return Float4{c.c[k][0], c.c[k][1], c.c[k][2], c.c[k][3]}; };
                return ((column(0) + t * column(1)) + t2 * column(2)) + t3 * column(3);
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

// The share of white pixel noise's variance that a value interpolated at (x, y)
// keeps: 1 at whole pixels, less between them, where the taps average the
// noise of several pixels (a quarter with Bilinear at the middle of four). A
// fit that moves its samples towards the middle of pixels sheds noise that one
// held at whole pixels keeps, and its cost falls for no better match. The
// B-spline kinds weigh coefficients whose noise the prefilter correlated: r
// holds that correlation at lags 0.., (1/pi) times the integral over [0, pi]
// of cos(k w) / B(w)^2, B being the spline's sampled kernel's transform.
// Kinds other than an InterpolationType keep 1.
template <int Kind>
__host__ __device__ __forceinline__ float axisNoiseGain(float x) {
    if constexpr (Kind == static_cast<int>(InterpolationType::Bilinear)) {
        const float t = x - floorf(x);
        return 1.0f - 2.0f * t * (1.0f - t);
    } else if constexpr (Kind >= 1 && Kind <= 3) {
        constexpr bool quartic = Kind == static_cast<int>(InterpolationType::QuarticBSpline);
        constexpr int taps = quartic ? 5 : 4;
        constexpr float white[5] = {1.0f, 0.0f, 0.0f, 0.0f, 0.0f};
        constexpr float cubic[5] = {3.4641016f, -1.7320508f, 0.67949192f, -0.23978297f, 0.0f};
        constexpr float quarticLags[5] = {6.4654847f, -4.2223135f, 2.2092880f, -1.0453549f, 0.46699909f};
        const float* r = Kind == static_cast<int>(InterpolationType::Bicubic) ? white : quartic ? quarticLags : cubic;
        float w[taps];
        tapWeights<Kind, taps>(axisTaps(x, Kind).t, w);
        float gain = 0.0f;
        for (int i = 0; i < taps; ++i)
            for (int j = 0; j < taps; ++j) gain += w[i] * w[j] * r[i > j ? i - j : j - i];
        return gain;
    } else {
        return (void)x, 1.0f;
    }
}

template <int Kind>
__host__ __device__ __forceinline__ float noiseGain(float x, float y) {
    return axisNoiseGain<Kind>(x) * axisNoiseGain<Kind>(y);
}

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
// The B-spline and Lagrange kinds run their weights and the final sums across
// the lanes, where one position at a time leaves most of every vector unused.
template <int Kind>
inline FloatLanes interpolateInside4(const detail::TextureSampler& image, FloatLanes x, FloatLanes y) {
#if defined(__SSE2__)
    if constexpr (Kind == static_cast<int>(InterpolationType::Bilinear)) {
        // Each position's two rows of two taps are two 8-byte loads, and the
        // lerps run across the lanes: one position at a time, the taps' index
        // arithmetic and scalar loads cost more than the lerps themselves.
        IntLanes firstX = __builtin_convertvector(x, IntLanes);
        IntLanes firstY = __builtin_convertvector(y, IntLanes);
        firstX += x < __builtin_convertvector(firstX, FloatLanes);
        firstY += y < __builtin_convertvector(firstY, FloatLanes);
        const FloatLanes tx = x - __builtin_convertvector(firstX, FloatLanes);
        const FloatLanes ty = y - __builtin_convertvector(firstY, FloatLanes);
        const ptrdiff_t pitch = image.pitch();
        const float* rows[4];
        for (int lane = 0; lane < 4; ++lane) rows[lane] = image.address(firstX[lane], firstY[lane]);
        // Pairs of floats by the 64-bit half loads: a pair need not be aligned as a double.
        auto pairs = [](const float* p, const float* q) {
            const __m128 low = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(p));
            return (FloatLanes)_mm_loadh_pi(low, reinterpret_cast<const __m64*>(q));
        };
        const FloatLanes top01 = pairs(rows[0], rows[1]), top23 = pairs(rows[2], rows[3]);
        const FloatLanes bottom01 = pairs(rows[0] + pitch, rows[1] + pitch);
        const FloatLanes bottom23 = pairs(rows[2] + pitch, rows[3] + pitch);
        const IntLanes even = {0, 2, 4, 6}, odd = {1, 3, 5, 7};
        const FloatLanes a = __builtin_shuffle(top01, top23, even), b = __builtin_shuffle(top01, top23, odd);
        const FloatLanes c = __builtin_shuffle(bottom01, bottom23, even);
        const FloatLanes d = __builtin_shuffle(bottom01, bottom23, odd);
        const FloatLanes upper = a + tx * (b - a);
        const FloatLanes lower = c + tx * (d - c);
        return upper + ty * (lower - upper);
    } else
#endif
    if constexpr (Kind < static_cast<int>(InterpolationType::Bicubic) || Kind > 3) {
        FloatLanes out;
        for (int lane = 0; lane < 4; ++lane) out[lane] = interpolateInside<Kind>(image, x[lane], y[lane]);
        return out;
    } else {
        constexpr bool quartic = Kind == static_cast<int>(InterpolationType::QuarticBSpline);
        constexpr int K = quartic ? 5 : 4;
        constexpr auto table = detail::weightTable<Kind>();
        // The taps as axisTaps finds them: the lower neighbour by truncation, one
        // less below a negative fraction; for the quartic the nearest integer.
        IntLanes firstX = __builtin_convertvector(x, IntLanes);
        IntLanes firstY = __builtin_convertvector(y, IntLanes);
        firstX += x < __builtin_convertvector(firstX, FloatLanes);
        firstY += y < __builtin_convertvector(firstY, FloatLanes);
        FloatLanes tx = x - __builtin_convertvector(firstX, FloatLanes);
        FloatLanes ty = y - __builtin_convertvector(firstY, FloatLanes);
        if constexpr (quartic) {
            const IntLanes upX = tx > 0.5f, upY = ty > 0.5f;
            tx -= __builtin_convertvector(-upX, FloatLanes);
            ty -= __builtin_convertvector(-upY, FloatLanes);
            firstX -= upX + 2;
            firstY -= upY + 2;
        } else {
            firstX -= 1;
            firstY -= 1;
        }
        const FloatLanes tx2 = tx * tx, tx3 = tx2 * tx, tx4 = tx2 * tx2;
        const FloatLanes ty2 = ty * ty, ty3 = ty2 * ty, ty4 = ty2 * ty2;
        FloatLanes wx[K], wy[K];
        for (int i = 0; i < K; ++i) {
            wx[i] = detail::tapWeight(table, i, tx, tx2, tx3, tx4);
            wy[i] = detail::tapWeight(table, i, ty, ty2, ty3, ty4);
        }
        const ptrdiff_t pitch = image.pitch();
        auto load = [](const float* p) {
            FloatLanes v;
            std::memcpy(&v, p, sizeof v);
            return v;
        };
        // Column sums of each position's first four columns of taps, one
        // position per vector; the quartic's fifth column one lane per position.
        FloatLanes sums[4], fifth = {};
        for (int lane = 0; lane < 4; ++lane) {
            const float* row = image.address(firstX[lane], firstY[lane]);
            FloatLanes s = load(row) * wy[0][lane];
            float last = quartic ? row[4] * wy[0][lane] : 0.0f;
            for (int j = 1; j < K; ++j) {
                s += load(row + j * pitch) * wy[j][lane];
                if constexpr (quartic) last += row[j * pitch + 4] * wy[j][lane];
            }
            sums[lane] = s;
            fifth[lane] = last;
        }
        // Transposed, column i of every position in one vector.
        const IntLanes low = {0, 4, 1, 5}, high = {2, 6, 3, 7}, front = {0, 1, 4, 5}, back = {2, 3, 6, 7};
        const FloatLanes ab0 = __builtin_shuffle(sums[0], sums[1], low);
        const FloatLanes ab1 = __builtin_shuffle(sums[0], sums[1], high);
        const FloatLanes cd0 = __builtin_shuffle(sums[2], sums[3], low);
        const FloatLanes cd1 = __builtin_shuffle(sums[2], sums[3], high);
        const FloatLanes column0 = __builtin_shuffle(ab0, cd0, front), column1 = __builtin_shuffle(ab0, cd0, back);
        const FloatLanes column2 = __builtin_shuffle(ab1, cd1, front), column3 = __builtin_shuffle(ab1, cd1, back);
        const FloatLanes value = column0 * wx[0] + column1 * wx[1] + column2 * wx[2] + column3 * wx[3];
        if constexpr (quartic)
            return value + fifth * wx[4];
        else
            return value;
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
