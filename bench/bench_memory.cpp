#include "bench_memory.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tavro::bench {
namespace {

double statusKiB(const char* key) {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return 0.0;
    char line[256];
    double kib = 0.0;
    const size_t n = std::strlen(key);
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, key, n) == 0 && line[n] == ':') {
            kib = std::atof(line + n + 1);
            break;
        }
    std::fclose(f);
    return kib;
}

} // namespace

bool resetPeakResident() {
    std::FILE* f = std::fopen("/proc/self/clear_refs", "w");
    if (!f) return false;
    const bool written = std::fputs("5", f) >= 0;
    return std::fclose(f) == 0 && written;
}

double peakResidentMiB() { return statusKiB("VmHWM") / 1024.0; }
double currentResidentMiB() { return statusKiB("VmRSS") / 1024.0; }

} // namespace tavro::bench
