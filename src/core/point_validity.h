#pragma once
// When a refined point is a measurement, shared by the continuous refinement
// kernel and the discontinuity-enriched engine. A point that fails any of these
// is NaN, like a point whose subset leaves the image.

namespace tavro::detail {

// Below this zero-normalised correlation the refined subset is taken for a
// match with the wrong texture. On 8-bit speckle (deviation about 20 grey
// levels, noise up to 4) right points stay above 0.78 with windows of 11 px or
// more; refined from a wrong peak of the integer search (a displacement beyond
// its range), points of 2 px speckle reach at most 0.68 with 21 px windows.
// Smaller windows or coarser speckle let wrong matches correlate better than
// noisy right ones: no threshold separates those.
constexpr float kMinCorrelation = 0.75f;

// Iterations that ran out while the estimate still moved by more than this (px,
// the length of the last increment) did not converge. Noisy pairs rarely reach
// a tight tolerance, so a right point may use every iteration: with 35 its last
// step stays below 0.02 px; with 10 on 9 px windows a few in 10^5 exceed this.
constexpr float kSettledStep = 0.05f;

// The refinement searches around the whole-pixel match it starts from: right
// points end within about 1.3 px of it (an integer search off by one pixel on
// a noisy pair, 1.7 px on the noisiest tried); farther, it slid to an optimum
// the integer search never compared.
constexpr float kSearchRadius = 2.0f;

} // namespace tavro::detail
