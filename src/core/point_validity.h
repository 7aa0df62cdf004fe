#pragma once
// When a refined point is a measurement, shared by the continuous refinement
// kernel and the discontinuity-enriched engine. A point that fails any of these
// is NaN, like a point whose subset leaves the image.

namespace tavro::detail {

// Below this zero-normalised correlation the refined subset is taken for a
// match with the wrong texture. On 8-bit fine speckle (deviation about 20 grey
// levels, noise up to 4) right points stay above 0.78 with 11 px windows; an
// integer search that landed on a wrong peak (a displacement beyond its range)
// leaves at most 0.68 with 21 px windows once refined.
constexpr float kMinCorrelation = 0.75f;

// Iterations that ran out while the estimate still moved by more than this (px,
// the length of the last increment) did not converge. Noisy pairs rarely reach
// a tight tolerance, so a right point may use every iteration; its last steps
// are then below 0.02 px.
constexpr float kSettledStep = 0.05f;

// The refinement searches around the whole-pixel match it starts from: right
// points end within about 1.3 px of it (an integer search off by one pixel on
// a noisy pair); farther, it slid to an optimum the search never compared.
constexpr float kSearchRadius = 2.0f;

} // namespace tavro::detail
