#include "core/rupture_subpixel.h"

namespace tavro {

// Placeholder until the enriched engine exists: callers get a clear failure
// instead of a silently unenriched field.
bool computeRuptureSubpixel(const ImageSource&, const ImageSource&, ImageSize, const PixelSearchParams&,
                            const PixelDisplacementResult&, const SubpixelParams&, PixelDisplacementResult&,
                            std::string& error, std::function<bool(uint64_t, uint64_t)>, FractureResult*, int32_t,
                            int32_t, bool, bool) {
    error = "Discontinuity-enriched refinement is not available yet.";
    return false;
}

} // namespace tavro
