// Benchmark and accuracy harness: one key=value line per figure on standard
// output; the engine's own messages go to standard error with --verbose 1.
#include <QImage>
#include <QString>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench_accuracy.h"
#include "bench_crack.h"
#include "bench_crack_pairs.h"
#include "bench_crack_random.h"
#include "bench_fft.h"
#include "bench_fraction_scan.h"
#include "bench_images.h"
#include "bench_memory.h"
#include "bench_neural.h"
#include "bench_options.h"
#include "bench_pipeline.h"
#include "bench_stitching.h"
#include "core/fft_zncc.h"
#include "core/multi_gpu_log.h"
#include "gpu/cpu_device.h"
#include "gpu/runtime.h"

namespace tavro::bench {
namespace {

class Report {
public:
    explicit Report(std::FILE* out) : out_(out) {}
    void put(const char* key, const std::string& value) { std::fprintf(out_, "%s=%s\n", key, value.c_str()); }
    void put(const char* key, const char* value) { std::fprintf(out_, "%s=%s\n", key, value); }
    void put(const char* key, double value) { std::fprintf(out_, "%s=%.6g\n", key, value); }
    void put(const char* key, int value) { std::fprintf(out_, "%s=%d\n", key, value); }
    void put(const char* key, size_t value) { std::fprintf(out_, "%s=%zu\n", key, value); }
    void line(const std::string& text) { std::fprintf(out_, "%s\n", text.c_str()); }
    void flush() { std::fflush(out_); }

private:
    std::FILE* out_;
};

// The report keeps the original standard output; the engine's printf lines go
// to standard error or nowhere, so that the output stays machine-readable.
std::FILE* takeStandardOutput(bool verbose) {
    std::fflush(stdout);
    const int kept = dup(STDOUT_FILENO);
    const int sink = verbose ? dup(STDERR_FILENO) : open("/dev/null", O_WRONLY);
    if (kept < 0 || sink < 0) return stdout;
    dup2(sink, STDOUT_FILENO);
    close(sink);
    std::FILE* out = fdopen(kept, "w");
    return out ? out : stdout;
}

// The frame of the integer search's transforms.
FFTSearchLayout searchLayout(const BenchOptions& o, int window) {
    PixelSearchParams p;
    p.windowSizeX = p.windowSizeY = window;
    p.maxU = p.maxV = o.range;
    return fftSearchLayout(p, 1, 0, 1, 0);
}

std::string frameText(const FFTSearchLayout& layout) {
    return std::to_string(layout.nx) + "x" + std::to_string(layout.ny);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

double loadAverage() {
    double load = 0.0;
    if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &load) != 1) load = 0.0;
        std::fclose(f);
    }
    return load;
}

uint64_t resultHash(const PixelDisplacementResult& d) {
    uint64_t h = 1469598103934665603ull;
    for (const std::vector<float>* field : {&d.dispX, &d.dispY, &d.duDx, &d.duDy, &d.dvDx, &d.dvDy}) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(field->data());
        for (size_t i = 0, n = field->size() * sizeof(float); i < n; ++i) h = (h ^ bytes[i]) * 1099511628211ull;
    }
    return h;
}

std::string hex(uint64_t v) {
    char text[32];
    std::snprintf(text, sizeof text, "%016" PRIx64, v);
    return text;
}

double deviceMiBInUse() { return double(gpu::deviceBytesInUse(0)) / 1048576.0; }

void reportCase(Report& r, const BenchOptions& o) {
    r.put("cores", int(std::max(1u, std::thread::hardware_concurrency())));
    r.put("load_average", loadAverage());
    r.put("threads", gpu::launchThreadCount());
    r.put("image_width", o.width);
    r.put("image_height", o.height);
    r.put("field", fieldName(o.field));
    switch (o.field) {
    case FieldKind::Translation:
        r.put("field_ux", o.ux);
        r.put("field_uy", o.uy);
        break;
    case FieldKind::Affine:
        r.put("field_ux_centre", o.ux);
        r.put("field_uy_centre", o.uy);
        r.put("field_gradient", std::to_string(o.gradient[0]) + "," + std::to_string(o.gradient[1]) + "," +
                                    std::to_string(o.gradient[2]) + "," + std::to_string(o.gradient[3]));
        break;
    case FieldKind::Sinusoid:
        r.put("field_period", o.period);
        r.put("field_amplitude", o.amplitude);
        r.put("field_direction_deg", o.directionDegrees);
        break;
    }
    r.put("window", o.window);
    r.put("step", o.step);
    r.put("search_range", o.range);
    r.put("search_frame", frameText(searchLayout(o, o.window)));
    r.put("interpolation", interpolationName(o.interpolation));
    r.put("shape", o.affineShape ? "affine" : "translation");
    r.put("tolerance", double(o.tolerance));
    r.put("max_iterations", o.iterations);
    r.put("rigid_registration", o.rigid ? 1 : 0);
    r.put("hierarchical", o.hierarchical ? 1 : 0);
    r.put("speckle_spot_radius", o.spotRadius);
    r.put("speckle_coverage", o.coverage);
    r.put("speckle_contrast", o.contrast);
    r.put("noise_sigma", o.noise);
    r.put("noise_on", o.noiseOnReference ? "both" : "deformed");
    r.put("seed", int(o.seed));
}

void reportImages(Report& r, const SyntheticPair& pair, double seconds) {
    r.put("image_bits", 8);
    r.put("image_mean", pair.mean);
    r.put("image_std", pair.stdDev);
    r.put("image_gradient_rms_x", pair.gradientRmsX);
    r.put("image_gradient_rms_y", pair.gradientRmsY);
    r.put("image_clipped_fraction", pair.clipped);
    r.put("generation_time_s", seconds);
}

// Median and best of one stage over the runs, with points per second.
void reportStage(Report& r, const std::string& name, const std::vector<double>& seconds, size_t points) {
    const double typical = median(seconds), best = *std::min_element(seconds.begin(), seconds.end());
    r.put((name + "_time_s").c_str(), typical);
    r.put((name + "_time_best_s").c_str(), best);
    r.put((name + "_time_max_s").c_str(), *std::max_element(seconds.begin(), seconds.end()));
    if (points > 0 && typical > 0.0) {
        r.put((name + "_points_per_s").c_str(), double(points) / typical);
        r.put((name + "_points_per_s_best").c_str(), double(points) / best);
    }
}

// The displacement spread that image noise alone leaves with a least-squares
// match over the window: (noise variance of both images, 8-bit rounding
// included) over (window samples x mean squared gradient).
double noiseFloor(const BenchOptions& o, double gradientRms) {
    const double rounding = 1.0 / 12.0;
    const double variance = o.noise * o.noise * (o.noiseOnReference ? 2.0 : 1.0) + 2.0 * rounding;
    const double samples = double(o.window) * o.window;
    return gradientRms > 0.0 ? std::sqrt(variance / (samples * gradientRms * gradientRms)) : 0.0;
}

void reportAccuracy(Report& r, const Accuracy& a, const BenchOptions& o, const SyntheticPair& pair) {
    r.put("invalid_points", a.invalid);
    r.put("ux_std_noise_floor", noiseFloor(o, pair.gradientRmsX));
    r.put("uy_std_noise_floor", noiseFloor(o, pair.gradientRmsY));
    const struct {
        const char* prefix;
        const ErrorStats& s;
    } rows[] = {{"ux", a.ux}, {"uy", a.uy}, {"exx", a.exx}, {"eyy", a.eyy}, {"exy", a.exy}};
    for (const auto& row : rows) {
        const std::string p = row.prefix;
        r.put((p + "_bias").c_str(), row.s.bias);
        r.put((p + "_std").c_str(), row.s.stdDev);
        r.put((p + "_rms").c_str(), row.s.rms);
    }
    if (o.field == FieldKind::Sinusoid) {
        r.put("ux_amplitude_ratio", a.amplitudeRatioX);
        r.put("uy_amplitude_ratio", a.amplitudeRatioY);
    }
}

bool runPipelines(Report& r, const BenchOptions& o, const SyntheticPair& pair, bool engineScope) {
    std::vector<double> registration, pixel, subpixel, endToEnd, strain, total, pixelCpu, subpixelCpu;
    StagePeaks peaks;
    PipelineRun last;
    bool identical = true;
    uint64_t firstHash = 0;
    std::vector<double> phases[8];
    detail::setSearchPhaseTiming(o.phaseTimes);
    for (int i = 0; i < o.repeat; ++i) {
        detail::resetSearchPhaseTimes();
        last = runPipeline(pair, o);
        const detail::SearchPhaseTimes p = detail::searchPhaseTimes();
        const double inside = p.setup + p.extraction + p.forward + p.inverse + p.peaks + p.inCache + p.tiled;
        const double values[8] = {p.setup, p.extraction, p.forward, p.inverse,
                                  p.peaks, p.inCache,    p.tiled,   last.times.pixel - inside};
        for (int k = 0; k < 8; ++k) phases[k].push_back(values[k]);
        if (!last.ok) {
            r.put("error", last.error);
            return false;
        }
        const StageTimes& t = last.times;
        registration.push_back(t.registration);
        pixel.push_back(t.pixel);
        subpixel.push_back(t.subpixel);
        pixelCpu.push_back(last.cpuTimes.pixel);
        subpixelCpu.push_back(last.cpuTimes.subpixel);
        endToEnd.push_back(t.pixel + t.subpixel);
        strain.push_back(t.strain);
        total.push_back(t.registration + t.pixel + t.subpixel + t.strain);
        peaks.registration = std::max(peaks.registration, last.peaks.registration);
        peaks.pixel = std::max(peaks.pixel, last.peaks.pixel);
        peaks.subpixel = std::max(peaks.subpixel, last.peaks.subpixel);
        peaks.strain = std::max(peaks.strain, last.peaks.strain);
        const uint64_t hash = resultHash(last.displacements);
        if (i == 0) firstHash = hash;
        identical = identical && hash == firstHash;
    }
    const size_t points = last.displacements.dispX.size();
    r.put("grid_width", last.displacements.gridWidth);
    r.put("grid_height", last.displacements.gridHeight);
    r.put("points", points);
    r.put("repeats", o.repeat);
    if (o.rigid) {
        r.put("registration_shift_x", double(last.rigid.shiftX));
        r.put("registration_shift_y", double(last.rigid.shiftY));
        reportStage(r, "registration", registration, 0);
    }
    reportStage(r, "pixel", pixel, points);
    reportStage(r, "subpixel", subpixel, points);
    // The goal the search is held to: at most half the refinement's time, run for run alike.
    std::vector<double> share;
    for (size_t i = 0; i < pixel.size(); ++i) share.push_back(subpixel[i] > 0.0 ? pixel[i] / subpixel[i] : 0.0);
    r.put("pixel_to_subpixel", median(share));
    r.put("pixel_to_subpixel_min", *std::min_element(share.begin(), share.end()));
    r.put("pixel_to_subpixel_max", *std::max_element(share.begin(), share.end()));
    if (o.phaseTimes) {
        const char* names[8] = {"setup", "extraction", "forward", "inverse", "peaks", "in_cache", "tiled", "outside"};
        for (int k = 0; k < 8; ++k) r.put((std::string("pixel_phase_") + names[k] + "_s").c_str(), median(phases[k]));
    }
    r.put("pixel_cpu_s", median(pixelCpu));
    r.put("subpixel_cpu_s", median(subpixelCpu));
    reportStage(r, "end_to_end", endToEnd, points);
    reportStage(r, "strain", strain, points);
    reportStage(r, "total", total, points);
    if (engineScope) {
        r.put("peak_rss_mb", std::max({peaks.registration, peaks.pixel, peaks.subpixel, peaks.strain}));
        r.put("registration_peak_rss_mb", peaks.registration);
        r.put("pixel_peak_rss_mb", peaks.pixel);
        r.put("subpixel_peak_rss_mb", peaks.subpixel);
        r.put("strain_peak_rss_mb", peaks.strain);
        r.put("peak_rss_scope", "engine");
    } else {
        r.put("peak_rss_mb", peakResidentMiB());
        r.put("peak_rss_scope", "process");
    }
    r.put("device_cached_mb", deviceMiBInUse());
    reportAccuracy(r, evaluate(last, o, pair.field), o, pair);
    r.put("result_hash", hex(firstHash));
    r.put("repeats_identical", identical ? 1 : 0);
    return true;
}

void runFft(Report& r, const BenchOptions& o) {
    const int size = o.fftSize > 0 ? o.fftSize : searchLayout(o, o.window).nx;
    const FftThroughput f = measureFft(size, o.fftBatch);
    r.put("fft_frame", std::to_string(size) + "x" + std::to_string(size));
    r.put("fft_batch", o.fftBatch);
    if (!f.ok) {
        r.put("fft_error", f.error);
        return;
    }
    r.put("fft_transforms_per_s", f.transformsPerSecond);
    r.put("fft_transforms_per_s_best", f.transformsPerSecondBest);
    r.put("fft_gflops", f.gflops);
    r.put("fft_gflops_best", f.gflopsBest);
    r.put("fft_forward_share", f.forwardShare);
}

// A 20 % overlap and sub-pixel stage errors of up to 15 px, as a motorised stage gives.
bool runStitching(Report& r, const BenchOptions& o) {
    const StitchingFigures f = measureStitching(o.stitchGrid, o.stitchTile, 20, 15, o.seed);
    r.put("stitch_tiles", o.stitchGrid * o.stitchGrid);
    r.put("stitch_tile_size", std::to_string(o.stitchTile) + "x" + std::to_string(o.stitchTile));
    if (!f.ok) {
        r.put("stitch_error", f.error);
        return false;
    }
    r.put("stitch_time_s", f.seconds);
    r.put("stitch_tiles_per_s", f.tilesPerSecond);
    r.put("stitch_peak_rss_mb", f.peakResidentMiB);
    r.put("stitch_mosaic", std::to_string(f.mosaicWidth) + "x" + std::to_string(f.mosaicHeight));
    r.put("stitch_position_error_max_px", f.positionErrorMaxPx);
    r.put("stitch_position_error_rms_px", f.positionErrorRmsPx);
    r.put("stitch_compose_s", f.composeSeconds);
    r.put("stitch_mosaic_error_rms_grey", f.mosaicErrorRms);
    r.put("stitch_mosaic_error_max_grey", f.mosaicErrorMax);
    r.put("stitch_tile_floor_rms_grey", f.tileFloorRms);
    return true;
}

std::string joined(const std::vector<double>& values) {
    std::string text;
    char item[32];
    for (double v : values) {
        std::snprintf(item, sizeof item, "%s%.4g", text.empty() ? "" : ",", v);
        text += item;
    }
    return text;
}

bool runScan(Report& r, const BenchOptions& o) {
    const FractionScan scan = runFractionScan(o);
    r.put("fraction_scan_size", std::to_string(scan.size) + "x" + std::to_string(scan.size));
    r.put("fraction_scan_sigma", o.scanSigma);
    if (!scan.ok) {
        r.put("fraction_scan_error", scan.error);
        return false;
    }
    r.put("fraction_scan_points", scan.points);
    r.put("fraction_scan_fractions", joined(scan.fractions));
    for (const FractionCurve& c : scan.curves) {
        const std::string p = std::string("fraction_scan_") + interpolationName(c.interpolation);
        r.put((p + "_bias_max_abs").c_str(), c.largestBias);
        r.put((p + "_bias_max_abs_at").c_str(), c.largestBiasAt);
        r.put((p + "_std").c_str(), c.scatter);
        r.put((p + "_bias").c_str(), joined(c.bias));
    }
    r.put("fraction_scan_time_s", scan.seconds);
    return true;
}

bool runCrack(Report& r, const BenchOptions& o) {
    const CrackFigures c = runCrackCase(o);
    r.put("crack_angle_deg", o.crackAngle);
    r.put("crack_jump", o.crackJump);
    if (!c.ok) {
        r.put("crack_error", c.error);
        return false;
    }
    r.put("crack_grid", std::to_string(c.gridWidth) + "x" + std::to_string(c.gridHeight));
    r.put("crack_cut_points", c.cutPoints);
    r.put("crack_cut_flagged_share", c.cutFlagged);
    r.put("crack_points", c.flagged);
    r.put("crack_false_points", c.falseFlags);
    r.put("crack_examined_points", c.examined);
    r.put("crack_jump_rms", c.jumpRms);
    r.put("crack_alpha_rms_deg", c.alphaRms);
    r.put("crack_phi_rms", c.phiRms);
    r.put("crack_turned_share", c.turnedShare);
    r.put("crack_cut_disp_rms", c.cutDisplacementRms);
    r.put("crack_cut_disp_rms_first_order", c.firstDisplacementRms);
    r.put("crack_time_s", c.time);
    r.put("crack_time_best_s", c.timeBest);
    return true;
}

bool runNeural(Report& r, const BenchOptions& o, const SyntheticPair& pair) {
    const NeuralFigures f = runNeuralCase(pair, o);
    if (!f.ok) {
        r.put("neural_error", f.error);
        return false;
    }
    r.put("neural_model", f.notice);
    r.put("neural_crack_jump", o.neuralCrackJump);
    for (const auto& [name, p] : {std::pair<std::string, const NeuralPairFigures&>{"neural_smooth", f.smooth},
                                  std::pair<std::string, const NeuralPairFigures&>{"neural_crack", f.crack}}) {
        r.put((name + "_grid").c_str(), std::to_string(p.gridWidth) + "x" + std::to_string(p.gridHeight));
        r.put((name + "_time_s").c_str(), p.seconds);
        r.put((name + "_megapixels_per_s").c_str(), p.megapixelsPerSecond);
        r.put((name + "_peak_rss_mb").c_str(), p.peakResidentMiB);
        r.put((name + "_device_cached_mb").c_str(), p.deviceCachedMiB);
        r.put((name + "_dense_rms").c_str(), p.denseRms);
        r.put((name + "_common_points").c_str(), p.commonPoints);
        r.put((name + "_rms").c_str(), p.neuralRms);
        r.put((name + "_icgn_rms").c_str(), p.icgnRms);
    }
    r.put("neural_crack_near_points", f.crack.nearPoints);
    r.put("neural_crack_near_rms", f.crack.neuralNearRms);
    r.put("neural_crack_near_icgn_rms", f.crack.icgnNearRms);
    return true;
}

// Search time against the window: the frame grows with it, by factors of 2, 3 and 5.
bool runSweep(Report& r, const BenchOptions& o, const SyntheticPair& pair) {
    for (int window = o.sweepFirst; window <= o.sweepLast; window += 2) {
        BenchOptions w = o;
        w.window = window;
        std::vector<double> wall, cpu;
        for (int i = 0; i < o.repeat; ++i) {
            const SearchRun run = runSearchOnly(pair, w);
            if (!run.ok) {
                r.put("error", "sweep: " + run.error);
                return false;
            }
            wall.push_back(run.seconds);
            cpu.push_back(run.cpuSeconds);
        }
        const std::string key = "sweep_window_" + std::to_string(window);
        r.put((key + "_frame").c_str(), frameText(searchLayout(o, window)));
        r.put((key + "_pixel_s").c_str(), median(wall));
        r.put((key + "_pixel_cpu_s").c_str(), median(cpu));
        r.flush();
    }
    return true;
}

bool savePair(const SyntheticPair& pair, const std::string& prefix) {
    const auto write = [&](const std::vector<uint8_t>& pixels, const char* suffix) {
        QImage image(pixels.data(), pair.width, pair.height, pair.width, QImage::Format_Grayscale8);
        return image.save(QString::fromStdString(prefix + suffix), "PNG");
    };
    return write(pair.reference, "_reference.png") && write(pair.deformed, "_deformed.png");
}

// Threads that only spin, so that the engine competes for the cores as it does
// beside other work; stopped and joined when the object goes.
class BusyThreads {
public:
    explicit BusyThreads(int count) {
        for (int i = 0; i < count; ++i)
            threads_.emplace_back([this] {
                uint64_t x = 88172645463325252ull;
                while (!stop_.load(std::memory_order_relaxed))
                    for (int k = 0; k < 4096; ++k) x ^= x << 13, x ^= x >> 7, x ^= x << 17;
                sink_.fetch_add(x, std::memory_order_relaxed);
            });
    }
    ~BusyThreads() {
        stop_ = true;
        for (std::thread& t : threads_) t.join();
    }
    BusyThreads(const BusyThreads&) = delete;
    BusyThreads& operator=(const BusyThreads&) = delete;

private:
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> sink_{0};
    std::vector<std::thread> threads_;
};

int run(const BenchOptions& o, Report& r) {
    int count = 0;
    if (cudaGetDeviceCount(&count) != cudaSuccess || count < 1) {
        r.put("error", "no compute device");
        return 1;
    }
    reportCase(r, o);
    r.put("busy_threads", o.busyThreads);
    r.flush();
    const BusyThreads busy(o.busyThreads);
    bool ok = true;
    if (o.pipeline) {
        const auto start = std::chrono::steady_clock::now();
        const SyntheticPair pair = makeSyntheticPair(o);
        reportImages(r, pair, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (!o.savePair.empty() && !savePair(pair, o.savePair)) {
            r.put("error", "could not write the pair");
            return 1;
        }
        r.put("generation_peak_rss_mb", peakResidentMiB());
        r.flush();
        const bool engineScope = resetPeakResident();
        ok = runPipelines(r, o, pair, engineScope);
        r.flush();
        if (ok && o.sweepFirst > 0) ok = runSweep(r, o, pair);
        if (o.neural) ok = runNeural(r, o, pair) && ok;
        r.flush();
    }
    if (o.fft) runFft(r, o);
    if (o.fractionScan) ok = runScan(r, o) && ok;
    r.flush();
    if (o.crack) ok = runCrack(r, o) && ok;
    r.flush();
    if (o.crackPairs)
        ok = runCrackPairsCase(
                 o, [&r](const std::string& key, double value) { r.put(key.c_str(), value), r.flush(); },
                 [&r](const std::string& key, const std::string& value) { r.put(key.c_str(), value); }) &&
             ok;
    if (o.crackRandom > 0)
        ok = runCrackRandomCase(
                 o, [&r](const std::string& text) { r.line(text), r.flush(); },
                 [&r](const std::string& key, double value) { r.put(key.c_str(), value); }) &&
             ok;
    r.flush();
    if (o.stitching) ok = runStitching(r, o) && ok;
    r.flush();
    return ok ? 0 : 1;
}

} // namespace
} // namespace tavro::bench

int main(int argc, char** argv) {
    using namespace tavro::bench;
    BenchOptions options;
    bool help = false;
    std::string error;
    if (!parseOptions(argc, argv, options, help, error)) {
        std::fprintf(stderr, "tavro_bench: %s\n\n%s", error.c_str(), usageText().c_str());
        return 2;
    }
    if (help) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }
    // The runtime reads its thread count once, at its first call.
    if (options.threads > 0) setenv("TAVRO_CPU_THREADS", std::to_string(options.threads).c_str(), 1);
    tavro::MultiGpuLog::instance().setSink([verbose = options.verbose](const std::string& line) {
        if (verbose) std::fprintf(stderr, "%s\n", line.c_str());
    });
    Report report(takeStandardOutput(options.verbose));
    return run(options, report);
}
