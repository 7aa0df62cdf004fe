#pragma once

#include <cstdint>

namespace tavro::gui::detail {

// Largest pixel buffer a reader will allocate, and libtiff's single-allocation
// limit for readers. Files claiming more are treated as damaged: a header can
// claim terabytes in a few bytes, and a desktop cannot hold such an image.
inline constexpr std::uint64_t kMaxImageBytes = std::uint64_t(16) << 30;

// A decoded tile larger than this is no real layout (tiles are a few hundred
// pixels on a side); refusing it early keeps band buffers bounded.
inline constexpr std::uint64_t kMaxTileBytes = std::uint64_t(1) << 30;

// Compressed strips up to this size are decoded whole and their rows cut out;
// larger ones (a whole image in one strip) are decoded row by row from the
// strip's first row, so a region or a preview never holds more than this.
inline constexpr std::uint64_t kMaxStripCacheBytes = std::uint64_t(8) << 20;

}  // namespace tavro::gui::detail
