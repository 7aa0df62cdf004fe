#pragma once
// A named range on the profiler's timeline for the life of a scope; nothing
// in builds without the CUDA tools' range markers.

#if defined(TAVRO_USE_CUDA) && __has_include(<nvtx3/nvToolsExt.h>)
#include <nvtx3/nvToolsExt.h>
#define TAVRO_PROFILE_RANGES 1
#endif

namespace tavro::detail {

class ProfileRange {
public:
    explicit ProfileRange(const char* name) {
#if defined(TAVRO_PROFILE_RANGES)
        nvtxRangePushA(name);
#else
        (void)name;
#endif
    }
    ~ProfileRange() {
#if defined(TAVRO_PROFILE_RANGES)
        nvtxRangePop();
#endif
    }
    ProfileRange(const ProfileRange&) = delete;
    ProfileRange& operator=(const ProfileRange&) = delete;
};

} // namespace tavro::detail
