#include "bench_crack_random.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <numbers>
#include <vector>

#include "bench_crack_pairs.h"
#include "support/crack_pairs.h"

namespace tavro::bench {
namespace {

using testing::CrackDrawKind;
using testing::CrackPair;
using testing::Vec2;

constexpr int kWindows[] = {21, 31, 61};
// A line running further than this past a crack's tip is a false one.
constexpr double kTipAllowance = 8.0;
// How close a cut point's displacement must come to its side's, with bilinear and with B-spline interpolation.
constexpr double kSideTolerance = 0.05;
constexpr double kBsplineSideTolerance = 0.03;

using Figures = std::vector<std::pair<std::string, double>>;

// Where crack a's line meets crack b's, along crack a from the image centre's foot; NaN for parallel lines.
double crossingAlong(const CrackPair& pair, size_t a, size_t b) {
    const Vec2 na = pair.normal(a), nb = pair.normal(b), ta = pair.tangent(a);
    const double c = 0.5 * pair.plan.size;
    const Vec2 foot{c + pair.plan.cracks[a].offset * na[0], c + pair.plan.cracks[a].offset * na[1]};
    const double rate = nb[0] * ta[0] + nb[1] * ta[1];
    if (std::abs(rate) < 1e-6) return std::nan("");
    return -pair.distance(b, foot[0], foot[1]) / rate;
}

// Per crack: the share traced (from the crack bench's scorer), orientation flips
// along its best line, the tip overrun, and for crossing pairs whether one line
// runs through the crossing.
void scoreLinesOf(const CrackPair& pair, const CrackPairRun& run, const CrackPairScorer& scorer, CrackDrawKind kind,
                  Figures& out) {
    std::map<std::string, double> lineFigures;
    scoreCrackLines(pair, run, scorer, "", [&](const std::string& key, double v) { lineFigures[key] = v; });
    out.push_back({"lines", lineFigures["lines"]});
    const CrackLineSet& lines = run.lines;
    for (size_t k = 0; k < pair.plan.cracks.size(); ++k) {
        const std::string c = "crack" + std::to_string(k) + "_";
        // A crack outside the grid cannot be traced; its points are scored instead.
        const double traced = kind == CrackDrawKind::Border ? std::nan("") : lineFigures[c + "traced_share"];
        out.push_back({c + "traced_share", traced});
        out.push_back({c + "jump_rms", lineFigures[c + "jump_rms"]});
        size_t best = lines.lineCount();
        double bestShare = 0.0;
        for (size_t l = 0; l < lines.lineCount(); ++l) {
            const double share = scorer.covered(k, l);
            if (share > bestShare) bestShare = share, best = l;
        }
        // Flips: where the normal of consecutive points of the best line near the crack turns against the truth's.
        const Vec2 n = pair.normal(k);
        int flips = 0, previous = 0, facing[2] = {0, 0};
        if (best < lines.lineCount())
            for (size_t q = size_t(lines.lineStarts[best]); q < size_t(lines.lineStarts[best + 1]); ++q) {
                if (!scorer.near(k, scorer.linePoint(q), scorer.across())) continue;
                const int sign = -lines.sine[q] * n[0] + lines.cosine[q] * n[1] < 0.0 ? -1 : 1;
                flips += previous != 0 && sign != previous;
                previous = sign;
                facing[sign > 0] += 1;
            }
        out.push_back({c + "flips", best < lines.lineCount() ? double(flips) : std::nan("")});
        out.push_back({c + "flipped_share", facing[0] + facing[1] > 0 ? double(std::min(facing[0], facing[1])) /
                                                                            (facing[0] + facing[1])
                                                                      : std::nan("")});
        if (kind == CrackDrawKind::Tip) {
            // How far any line runs past the tip beside the crack's line.
            double overrun = -1e30;
            for (size_t q = 0; q < lines.size(); ++q) {
                const Vec2 p = scorer.linePoint(q);
                if (std::abs(pair.distance(k, p[0], p[1])) <= scorer.across())
                    overrun = std::max(overrun, pair.along(k, p[0], p[1]) - pair.plan.cracks[k].tip);
            }
            out.push_back({"tip_overrun_px", overrun > -1e29 ? overrun : std::nan("")});
            out.push_back({"tip_line_false", overrun > kTipAllowance ? 1.0 : 0.0});
        }
        if (kind == CrackDrawKind::Crossing) {
            // One line through: the best line traces at least half of each arm beyond half a window from the crossing.
            const double s = crossingAlong(pair, k, 1 - k), margin = 0.5 * run.window;
            double through = std::nan("");
            if (best < lines.lineCount()) {
                const double before = scorer.covered(k, best, -1e30, s - margin);
                const double after = scorer.covered(k, best, s + margin, 1e30);
                if (std::isfinite(before) && std::isfinite(after)) through = before >= 0.5 && after >= 0.5;
            } else if (std::isfinite(traced)) {
                through = 0.0;
            }
            out.push_back({c + "crossing_through", through});
        }
    }
    if (kind == CrackDrawKind::Crossing) {
        // Lines that follow each crack for several points away from the other: run round the corner.
        int corners = 0;
        for (size_t l = 0; l < lines.lineCount(); ++l) {
            int on[2] = {0, 0};
            for (size_t q = size_t(lines.lineStarts[l]); q < size_t(lines.lineStarts[l + 1]); ++q) {
                const Vec2 p = scorer.linePoint(q);
                for (size_t k = 0; k < 2; ++k)
                    on[k] += std::abs(pair.distance(k, p[0], p[1])) < 3.0 &&
                             std::abs(pair.distance(1 - k, p[0], p[1])) > run.window;
            }
            corners += on[0] >= 5 && on[1] >= 5;
        }
        out.push_back({"corner_lines", double(corners)});
    }
}

// Points flagged away from every crack, and on each side of each crack in the
// band where it cuts the subset: the share holding a value, the share within
// `tolerance` of its side's displacement, and the count held but further off.
void scorePoints(const CrackPair& pair, const CrackPairRun& run, const CrackPairScorer& scorer, CrackDrawKind kind,
                 double tolerance, Figures& out) {
    const size_t cracks = pair.plan.cracks.size();
    const auto& intensity = run.fracture.fields[FractureResult::OpeningIntensity];
    const auto& angle = run.fracture.fields[FractureResult::CrackAngle];
    int falsePoints = 0, far = 0, farWithin = 0, farHeld = 0;
    // [crack]: flagged points whose normal faces the truth's, and those whose normal faces away.
    std::vector<std::array<int, 2>> facing(cracks, {0, 0});
    // [crack][moving side]: band points, held, within tolerance, smeared; then flagged in the band, and the
    // held points' errors summed along the crack's jump towards the other side
    std::vector<std::array<std::array<double, 6>, 2>> bands(cracks, {{{}, {}}});
    for (int j = 0; j < run.out.gridHeight; ++j)
        for (int i = 0; i < run.out.gridWidth; ++i) {
            const size_t index = size_t(j) * size_t(run.out.gridWidth) + size_t(i);
            const Vec2 p = scorer.gridPoint(i, j);
            const bool flagged = index < intensity.size() && std::isfinite(intensity[index]);
            bool nearAny = false;
            size_t cutBy = 0, cutting = cracks;
            for (size_t k = 0; k < cracks; ++k) {
                const double d = std::abs(pair.distance(k, p[0], p[1]));
                const double s = pair.along(k, p[0], p[1]);
                // Near: the crack cuts the point's subset (which reaches past the tip by as much as across).
                nearAny = nearAny || (d <= scorer.reach(k) && s <= pair.plan.cracks[k].tip + scorer.reach(k));
                if (d <= scorer.reach(k) && pair.jumpShare(k, s) > 0.0) ++cutBy, cutting = k;
            }
            falsePoints += flagged && !nearAny;
            if (cutBy == 0 && !nearAny) {
                // Away from every crack the truth is the smooth field: a check of the pair as much as of the engine.
                const Vec2 truth = pair.displacement(p[0], p[1]);
                ++far;
                const double error = std::hypot(run.out.dispX[index] - truth[0], run.out.dispY[index] - truth[1]);
                farWithin += error <= tolerance;
                farHeld += std::isfinite(error);
            }
            if (cutBy != 1) continue;
            if (flagged && index < angle.size() && std::isfinite(angle[index])) {
                // The map's own normal, which the user reads: one crack must show one orientation.
                const double a = angle[index] * std::numbers::pi / 180.0;
                const Vec2 n = pair.normal(cutting);
                facing[cutting][std::sin(a) * n[0] + std::cos(a) * n[1] >= 0.0] += 1;
            }
            const double d = pair.distance(cutting, p[0], p[1]);
            if (std::abs(d) <= 2.0 || pair.jumpShare(cutting, pair.along(cutting, p[0], p[1])) < 1.0) continue;
            const bool moving = (d > 0.0) != pair.plan.minusMoves;
            const Vec2 truth = pair.displacement(p[0], p[1]);
            const double error = std::hypot(run.out.dispX[index] - truth[0], run.out.dispY[index] - truth[1]);
            auto& band = bands[cutting][moving];
            band[0] += 1;
            band[1] += std::isfinite(error);
            band[2] += error <= tolerance;
            band[3] += std::isfinite(error) && error > tolerance;
            band[4] += flagged;
            if (std::isfinite(error)) {
                const Vec2 jump = pair.plan.cracks[cutting].jump;
                const double size = std::hypot(jump[0], jump[1]);
                // A smear pulls each side towards the other's displacement.
                if (size > 0.0)
                    band[5] += (moving ? -1.0 : 1.0) *
                               ((run.out.dispX[index] - truth[0]) * jump[0] + (run.out.dispY[index] - truth[1]) * jump[1]) /
                               size;
            }
        }
    out.push_back({"false_points", falsePoints});
    if (kind == CrackDrawKind::Tip) {
        // Flagged points beside the crack's line more than the allowance past its tip, and the furthest of them.
        int past = 0;
        double furthest = 0.0;
        for (int j = 0; j < run.out.gridHeight; ++j)
            for (int i = 0; i < run.out.gridWidth; ++i) {
                const size_t index = size_t(j) * size_t(run.out.gridWidth) + size_t(i);
                const Vec2 p = scorer.gridPoint(i, j);
                if (index >= intensity.size() || !std::isfinite(intensity[index]) ||
                    std::abs(pair.distance(0, p[0], p[1])) > scorer.reach(0))
                    continue;
                const double beyond = pair.along(0, p[0], p[1]) - pair.plan.cracks[0].tip;
                past += beyond > kTipAllowance;
                furthest = std::max(furthest, beyond);
            }
        out.push_back({"tip_false_points", past});
        out.push_back({"tip_flagged_past_px", furthest});
    }
    out.push_back({"far_within_share", far > 0 ? double(farWithin) / far : std::nan("")});
    double smeared = 0.0, flaggedInBand = 0.0, inBand = 0.0, heldInBand = 0.0, along = 0.0;
    for (size_t k = 0; k < cracks; ++k)
        for (int moving = 0; moving < 2; ++moving) {
            const auto& band = bands[k][size_t(moving)];
            const std::string s = "crack" + std::to_string(k) + (moving ? "_moving_" : "_still_");
            out.push_back({s + "cut_held_share", band[0] > 0 ? band[1] / band[0] : std::nan("")});
            out.push_back({s + "cut_within_share", band[0] > 0 ? band[2] / band[0] : std::nan("")});
            smeared += band[3];
            heldInBand += band[1];
            flaggedInBand += band[4];
            inBand += band[0];
            along += band[5];
        }
    for (size_t k = 0; k < cracks; ++k) {
        const int all = facing[k][0] + facing[k][1];
        out.push_back({"crack" + std::to_string(k) + "_point_flipped_share",
                       all > 0 ? double(std::min(facing[k][0], facing[k][1])) / all : std::nan("")});
    }
    if (cracks > 0) out.push_back({"cut_smeared", smeared});
    if (kind == CrackDrawKind::Border) {
        // Seen when most of the points it cuts are flagged; otherwise those points must be left empty.
        out.push_back({"border_seen", inBand > 0 && 2.0 * flaggedInBand >= inBand ? 1.0 : 0.0});
        out.push_back({"border_smeared", smeared});
        // What the noise alone puts beyond the tolerance, judged by the points no crack reaches, taken off:
        // on a noisy draw at a narrow window most held points anywhere are that far off.
        const double noiseOff = farHeld > 0 ? heldInBand * (1.0 - double(farWithin) / farHeld) : 0.0;
        out.push_back({"border_smeared_beyond_noise", std::max(0.0, smeared - noiseOff)});
        out.push_back({"border_cut_points", inBand});
        // A smear is a bias, which the noise that the count above subtracts does not average away: the held cut
        // points' mean error along the jump.
        out.push_back({"border_bias_px", heldInBand > 0 ? std::abs(along / heldInBand) : std::nan("")});
    }
}

// Lower is better for these; higher for every other figure.
bool lowerIsBetter(const std::string& key) {
    for (const char* word :
         {"false", "smeared", "flips", "flipped", "jump_rms", "overrun", "past", "fail", "corner", "time"})
        if (key.find(word) != std::string::npos) return true;
    return false;
}

std::string figureLine(const Figures& figures) {
    std::string line;
    char value[64];
    for (const auto& [key, v] : figures) {
        std::snprintf(value, sizeof value, "%.6g", v);
        line += (line.empty() ? "" : " ") + key + "=" + value;
    }
    return line;
}

// The crack index dropped, so that every crack of every draw is one sample.
std::string sampleKey(const std::string& key) {
    if (key.rfind("crack", 0) != 0 || key.size() < 7 || key[6] != '_') return key;
    return key.substr(7);
}

} // namespace

bool runCrackRandomCase(const BenchOptions& o, const std::function<void(const std::string&)>& putLine,
                        const std::function<void(const std::string&, double)>& put) {
    bool ok = true;
    // Samples by window, then by figure.
    std::map<int, std::map<std::string, std::vector<double>>> samples;
    double drawSeconds = 0.0;
    int draws = 0;
    const InterpolationType interpolation =
        o.crackRandomBspline ? InterpolationType::CubicBSpline : InterpolationType::Bilinear;
    const double tolerance = o.crackRandomBspline ? kBsplineSideTolerance : kSideTolerance;
    const std::string name = o.crackRandomBspline ? "crack_random_bspline" : "crack_random";
    for (int d = 0; d < o.crackRandom; ++d) {
        const auto start = std::chrono::steady_clock::now();
        const unsigned long long seed = o.seed + static_cast<unsigned long long>(d);
        const testing::RandomCrackPlan drawn = testing::randomCrackPlan(seed);
        const std::string kind = testing::crackDrawKindName(drawn.kind);
        if (!o.crackRandomKind.empty() && kind != o.crackRandomKind) continue;
        const CrackPair pair = testing::makeCrackPair(drawn.plan);
        ++draws;
        const std::string saved = o.savePair + "_draw" + std::to_string(d);
        if (!o.savePair.empty() &&
            (!saveImage(pair.reference, saved + "_reference.png") || !saveImage(pair.deformed, saved + "_deformed.png"))) {
            putLine(name + " draw=" + std::to_string(d) + " error=\"cannot write " + saved + "\"");
            ok = false;
        }
        char head[512];
        std::snprintf(head, sizeof head,
                      "draw=%d seed=%llu kind=%s angle=%.3f spot=%.2f bright=%.1f coverage=%.2f grey_sd=%.1f "
                      "grey_mean=%.1f gap_grey=%.1f noise=%.2f blur=%.2f",
                      d, seed, kind.c_str(), drawn.plan.angle, drawn.plan.spotRadius, drawn.plan.brightShare,
                      drawn.plan.coverage, drawn.plan.greySd, drawn.plan.greyMean, drawn.plan.gapGrey, drawn.plan.noise,
                      drawn.plan.blur);
        std::string cracks;
        for (size_t k = 0; k < drawn.plan.cracks.size(); ++k) {
            const testing::CrackSpec& c = drawn.plan.cracks[k];
            char text[160];
            std::snprintf(text, sizeof text, " crack%zu=angle:%.3f,offset:%.1f,jump:%.3f:%.3f,tip:%g,taper:%g%s", k,
                          pair.angle(k), c.offset, c.jump[0], c.jump[1], c.tip, c.taper,
                          c.elasticTip ? ",elastic" : "");
            cracks += text;
        }
        if (drawn.kind == CrackDrawKind::ShearBand) {
            char text[96];
            std::snprintf(text, sizeof text, " band=slip:%.3f,width:%.2f,offset:%.1f", drawn.bandSlip, drawn.bandWidth,
                          drawn.bandOffset);
            cracks += text;
        }
        for (int window : kWindows) {
            CrackPairRun run;
            std::string error;
            const std::string prefix = name + " " + head + " window=" + std::to_string(window);
            if (!refineCrackPair(pair, window, run, error, interpolation)) {
                putLine(prefix + " error=\"" + error + "\"");
                ok = false;
                continue;
            }
            const CrackPairScorer scorer(pair, run, kTipAllowance);
            Figures figures;
            scoreLinesOf(pair, run, scorer, drawn.kind, figures);
            scorePoints(pair, run, scorer, drawn.kind, tolerance, figures);
            if (drawn.kind == CrackDrawKind::ShearBand) figures.push_back({"shear_fail", run.lines.lineCount() > 0});
            figures.push_back({"time_s", run.seconds});
            putLine(prefix + cracks + " " + figureLine(figures));
            auto& byKey = samples[window];
            for (const auto& [key, v] : figures) {
                if (!std::isfinite(v)) continue;
                byKey[sampleKey(key)].push_back(v);
                if (key.find("traced_share") != std::string::npos) byKey["traced_share_" + kind].push_back(v);
            }
        }
        drawSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    put(name + "_draws", draws);
    put(name + "_first_seed", double(o.seed));
    put(name + "_seconds_per_draw", draws > 0 ? drawSeconds / draws : 0.0);
    for (const auto& [window, byKey] : samples)
        for (auto [key, values] : byKey) {
            // The worst tenth: the mean of the tenth of the samples on the bad side.
            std::sort(values.begin(), values.end());
            if (lowerIsBetter(key)) std::reverse(values.begin(), values.end());
            const size_t tenth = std::max<size_t>(1, (values.size() + 9) / 10);
            double all = 0.0, worst = 0.0;
            for (size_t i = 0; i < values.size(); ++i) (i < tenth ? worst : all) += values[i];
            all += worst;
            const std::string p = name + "_w" + std::to_string(window) + "_" + key;
            put(p + "_mean", all / double(values.size()));
            put(p + "_worst_tenth", worst / double(tenth));
            put(p + "_samples", double(values.size()));
        }
    return ok;
}

} // namespace tavro::bench
