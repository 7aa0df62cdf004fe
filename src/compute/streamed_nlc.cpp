#include "compute/streamed_nlc.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "compute/row_parallel.h"
#include "core/multi_gpu_log.h"
#include "core/nlc_filter.h"

namespace tavro::gui {
namespace {

constexpr int kNlcRadius = 1;

size_t area(int64_t width, int64_t height) {
    return static_cast<size_t>(std::max<int64_t>(width, 0) * std::max<int64_t>(height, 0));
}

// A rigid shift is finite when registration succeeded; anything else must not
// reach the float-to-int conversions below.
float finiteOrZero(float v) { return std::isfinite(v) ? v : 0.0f; }

void zeroRows(float* dst, int firstRow, int endRow, int width) {
    std::fill(dst, dst + area(int64_t(endRow) - firstRow, width), 0.0f);
}

// Where each region-of-interest pixel reads the deformed band. One computation,
// in float, for the streamed and the whole-buffer paths, so both give the same values.
class ShiftedSampling {
public:
    ShiftedSampling(const QRect& roi, const QRect& band, const QSize& imageSize, float shiftX, float shiftY)
        : roi_(roi), band_(band), lastX_(float(imageSize.width() - 1)), lastY_(float(imageSize.height() - 1)),
          shiftX_(finiteOrZero(shiftX)), shiftY_(finiteOrZero(shiftY)) {}

    bool empty() const { return band_.isEmpty() || roi_.width() < 1 || lastX_ < 0.0f || lastY_ < 0.0f; }

    float bandY(int r) const {
        return std::clamp(float(roi_.top() + r) - shiftY_, 0.0f, lastY_) - float(band_.top());
    }
    float bandX(int c) const {
        return std::clamp(float(roi_.left() + c) - shiftX_, 0.0f, lastX_) - float(band_.left());
    }
    int bandRow(int r) const { return std::clamp(static_cast<int>(std::floor(bandY(r))), 0, band_.height() - 1); }

    // Rows [firstRow, endRow) of the region from band rows [lo, lo + held), stored
    // band.width() apart in `rows`.
    void resample(const float* rows, int lo, int held, float* dst, int firstRow, int endRow) const {
        const int width = roi_.width();
        const int bw = band_.width();
        std::vector<int> x0s(static_cast<size_t>(width)), x1s(static_cast<size_t>(width));
        std::vector<float> fxs(static_cast<size_t>(width));
        for (int c = 0; c < width; ++c) {
            const float x = bandX(c);
            x0s[c] = std::clamp(static_cast<int>(std::floor(x)), 0, bw - 1);
            x1s[c] = std::min(x0s[c] + 1, bw - 1);
            fxs[c] = x - float(x0s[c]);
        }
        parallelForRows(firstRow, endRow, [&](int from, int to) {
            for (int r = from; r < to; ++r) {
                const float y = bandY(r);
                const int y0 = std::clamp(static_cast<int>(std::floor(y)), 0, band_.height() - 1);
                const int y1 = std::min(y0 + 1, band_.height() - 1);
                const float fy = y - float(y0);
                // Clamped to the rows held; they always cover y0 and y1 by construction.
                const float* top = rows + area(std::clamp(y0 - lo, 0, held - 1), bw);
                const float* bottom = rows + area(std::clamp(y1 - lo, 0, held - 1), bw);
                float* out = dst + area(int64_t(r) - firstRow, width);
                for (int c = 0; c < width; ++c) {
                    const int x0 = x0s[c], x1 = x1s[c];
                    const float upper = top[x0] + (top[x1] - top[x0]) * fxs[c];
                    const float lower = bottom[x0] + (bottom[x1] - bottom[x0]) * fxs[c];
                    out[c] = upper + (lower - upper) * fy;
                }
            }
        });
    }

private:
    QRect roi_;
    QRect band_;
    float lastX_;
    float lastY_;
    float shiftX_;
    float shiftY_;
};

class DeformedProvider {
public:
    DeformedProvider(const QImage& image, const QRect& roi, float shiftX, float shiftY, const QRect& band,
                     std::shared_ptr<StreamedNlcState> state)
        : image_(image), roi_(roi), band_(band.intersected(image.rect())),
          sampling_(roi, band_, image.size(), shiftX, shiftY), state_(std::move(state)) {}

    void operator()(float* dst, int firstRow, int endRow) const {
        if (endRow <= firstRow || roi_.width() < 1) return;
        if (sampling_.empty()) return zeroRows(dst, firstRow, endRow, roi_.width());
        const int bh = band_.height();
        // One row of context on each side for the filter; none needed without it.
        const int context = state_ ? 1 : 0;
        const int lo = std::max(sampling_.bandRow(firstRow) - context, 0);
        const int hi = std::min(std::min(bh - 1, sampling_.bandRow(endRow - 1) + 1) + 1 + context, bh);
        std::vector<float> rows(area(hi - lo, band_.width()), 0.0f);
        convertImageRows(image_, band_, rows.data(), lo, hi);
        if (state_) {
            std::string error;
            if (!nlcFilterGpu(rows.data(), rows.data(), band_.width(), hi - lo, kNlcRadius, state_->defMean,
                              state_->defStd, error)) {
                recordStreamedNlcFailure(*state_, "NLC (deformed, streamed): " + error);
                return zeroRows(dst, firstRow, endRow, roi_.width());
            }
        }
        sampling_.resample(rows.data(), lo, hi - lo, dst, firstRow, endRow);
    }

private:
    QImage image_;
    QRect roi_;
    QRect band_;
    ShiftedSampling sampling_;
    std::shared_ptr<StreamedNlcState> state_;
};

class ReferenceNlcProvider {
public:
    ReferenceNlcProvider(const QImage& image, const QRect& roi, std::shared_ptr<StreamedNlcState> state)
        : image_(image), roi_(roi), band_(referenceBand(roi, 1, image.size())), state_(std::move(state)) {}

    void operator()(float* dst, int firstRow, int endRow) const {
        const int width = roi_.width();
        if (endRow <= firstRow || width < 1) return;
        if (band_.isEmpty()) return zeroRows(dst, firstRow, endRow, width);
        const int bw = band_.width();
        const int bh = band_.height();
        const int rowOffset = roi_.top() - band_.top();
        const int columnOffset = roi_.left() - band_.left();
        const int lo = std::max(std::clamp(firstRow + rowOffset, 0, bh - 1) - 1, 0);
        const int hi = std::min(std::clamp(endRow - 1 + rowOffset, 0, bh - 1) + 2, bh);
        std::vector<float> rows(area(hi - lo, bw), 0.0f);
        convertImageRows(image_, band_, rows.data(), lo, hi);
        std::string error;
        if (!nlcFilterGpu(rows.data(), rows.data(), bw, hi - lo, kNlcRadius, state_->refMean, state_->refStd,
                          error)) {
            recordStreamedNlcFailure(*state_, "NLC (reference, streamed): " + error);
            return zeroRows(dst, firstRow, endRow, width);
        }
        parallelForRows(firstRow, endRow, [&](int from, int to) {
            for (int r = from; r < to; ++r) {
                float* out = dst + area(int64_t(r) - firstRow, width);
                const int b = r + rowOffset;
                if (b < lo || b >= hi) {
                    std::fill(out, out + width, 0.0f);
                    continue;
                }
                const float* in = rows.data() + area(b - lo, bw);
                for (int c = 0; c < width; ++c) {
                    const int bc = columnOffset + c;
                    out[c] = bc >= 0 && bc < bw ? in[bc] : 0.0f;
                }
            }
        });
    }

private:
    QImage image_;
    QRect roi_;
    QRect band_;
    std::shared_ptr<StreamedNlcState> state_;
};

} // namespace

QRect referenceBand(const QRect& roi, int margin, const QSize& imageSize) {
    return roi.adjusted(-margin, -margin, margin, margin).intersected(QRect(QPoint(0, 0), imageSize));
}

QRect deformedBand(const QRect& roi, float shiftX, float shiftY, int k, const QSize& imageSize) {
    if (roi.isEmpty() || imageSize.isEmpty()) return {};
    const float sx = finiteOrZero(shiftX);
    const float sy = finiteOrZero(shiftY);
    const float lastX = float(imageSize.width() - 1);
    const float lastY = float(imageSize.height() - 1);
    const int left = static_cast<int>(std::floor(std::clamp(float(roi.left()) - sx, 0.0f, lastX))) - k;
    const int right = static_cast<int>(std::ceil(std::clamp(float(roi.right()) - sx, 0.0f, lastX))) + k;
    const int top = static_cast<int>(std::floor(std::clamp(float(roi.top()) - sy, 0.0f, lastY))) - k;
    const int bottom = static_cast<int>(std::ceil(std::clamp(float(roi.bottom()) - sy, 0.0f, lastY))) + k;
    return QRect(QPoint(left, top), QPoint(right, bottom)).intersected(QRect(QPoint(0, 0), imageSize));
}

std::pair<float, float> bandMeanStdDev(const QImage& image, const QRect& band) {
    const ImageSource source([image, band](float* dst, int firstRow, int endRow) {
        convertImageRows(image, band, dst, firstRow, endRow);
    });
    return computeMeanStdDev(source, band.width(), band.height());
}

std::vector<float> resampleShifted(const std::vector<float>& bandValues, const QRect& band, const QSize& imageSize,
                                   const QRect& roi, float shiftX, float shiftY) {
    if (roi.width() < 1 || roi.height() < 1) return {};
    const ShiftedSampling sampling(roi, band, imageSize, shiftX, shiftY);
    if (sampling.empty() || bandValues.size() < area(band.width(), band.height())) return {};
    std::vector<float> out(area(roi.width(), roi.height()));
    sampling.resample(bandValues.data(), 0, band.height(), out.data(), 0, roi.height());
    return out;
}

QRect shiftedImageArea(const QRect& roi, const QSize& imageSize, float shiftX, float shiftY) {
    if (roi.isEmpty() || imageSize.isEmpty()) return {};
    // Region pixel c reads the image at roi.left + c - shift, real in [0, size - 1].
    auto span = [](int start, int size, float shift, int extent) {
        const double first = std::ceil(double(finiteOrZero(shift)) - start);
        const double last = std::floor(double(size - 1) + finiteOrZero(shift) - start);
        return std::pair<int, int>{int(std::clamp(first, 0.0, double(extent))),
                                   int(std::clamp(last, -1.0, double(extent - 1)))};
    };
    const auto [left, right] = span(roi.left(), imageSize.width(), shiftX, roi.width());
    const auto [top, bottom] = span(roi.top(), imageSize.height(), shiftY, roi.height());
    if (left > right || top > bottom) return {};
    return QRect(QPoint(left, top), QPoint(right, bottom));
}

ImageSource::RowProvider referenceRows(const QImage& image, const QRect& roi) {
    return [image, roi](float* dst, int firstRow, int endRow) { convertImageRows(image, roi, dst, firstRow, endRow); };
}

ImageSource::RowProvider deformedRows(const QImage& image, const QRect& roi, float shiftX, float shiftY,
                                      const QRect& band) {
    return DeformedProvider(image, roi, shiftX, shiftY, band, nullptr);
}

ImageSource::RowProvider referenceNlcRows(const QImage& image, const QRect& roi,
                                          std::shared_ptr<StreamedNlcState> state) {
    return ReferenceNlcProvider(image, roi, state ? std::move(state) : std::make_shared<StreamedNlcState>());
}

ImageSource::RowProvider deformedNlcRows(const QImage& image, const QRect& roi, float shiftX, float shiftY,
                                         const QRect& band, std::shared_ptr<StreamedNlcState> state) {
    // A null state would silently turn this into the unfiltered provider.
    return DeformedProvider(image, roi, shiftX, shiftY, band,
                            state ? std::move(state) : std::make_shared<StreamedNlcState>());
}

void recordStreamedNlcFailure(StreamedNlcState& state, const std::string& message) {
    if (state.failed.exchange(true)) return;
    state.error = message;
    mgpuLog("NLC_STREAM_FAIL msg=" + message);
}

bool checkStreamedNlcFailure(const StreamedNlcState& state, const FailureReport& fail) {
    if (!state.failed.load()) return false;
    if (fail) fail(QStringLiteral("NLC filter error (streamed)"), QString::fromStdString(state.error));
    return true;
}

} // namespace tavro::gui
