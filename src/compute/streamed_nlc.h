#pragma once
// Row providers through which the engine reads the two images of a computation
// band by band: the reference rows of the region of interest, the deformed rows
// resampled under the rigid shift, and both again through the NLC filter with
// global statistics computed beforehand. Only the rows asked for (plus one row
// of context for the filter) are ever converted.
//
// Providers may be called from several engine threads at once: each call works
// in its own buffer and shares only read-only captures and the NLC state.

#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "compute/image_rows.h"
#include "core/gpu_common.h"

namespace tavro::gui {

// One per computation, shared by the worker and the two NLC providers. A failing
// band delivers zeros and records its message; the engine call carries on and
// the worker reports the first failure at its next check.
struct StreamedNlcState {
    float refMean = 0.0f;
    float refStd = 1.0f;
    float defMean = 0.0f;
    float defStd = 1.0f;
    std::atomic<bool> failed{false};
    // Written once, by the caller that set `failed`; read after the engine call returned.
    std::string error;
};

// roi grown by `margin` on every side, clamped to the image.
QRect referenceBand(const QRect& roi, int margin, const QSize& imageSize);

// The deformed pixels the shifted region of interest reads, grown by k on every
// side and clamped to the image.
QRect deformedBand(const QRect& roi, float shiftX, float shiftY, int k, const QSize& imageSize);

// Global (mean, standard deviation) of a band, its rows converted on demand.
std::pair<float, float> bandMeanStdDev(const QImage& image, const QRect& band);

// The region of interest sampled bilinearly from a whole converted band
// (band.width() x band.height() values): region pixel (c, r) reads the deformed
// image at the clamped position (roi.left + c - shiftX, roi.top + r - shiftY),
// its neighbours clamped to the band. Empty when the band values are short.
std::vector<float> resampleShifted(const std::vector<float>& bandValues, const QRect& band, const QSize& imageSize,
                                   const QRect& roi, float shiftX, float shiftY);

// The region pixels (region coordinates) at which the resampled deformed image
// shows pixels of the image rather than repeated edge pixels; empty when the
// shift moves the whole region off the image.
QRect shiftedImageArea(const QRect& roi, const QSize& imageSize, float shiftX, float shiftY);

// Reference pixels of roi; positions outside the image give 0.
ImageSource::RowProvider referenceRows(const QImage& image, const QRect& roi);

// The deformed image resampled under the rigid shift, read from `band`
// (deformedBand with k = 1 without the NLC filter). A rigid shift that moves the
// region past the image repeats the edge pixels.
ImageSource::RowProvider deformedRows(const QImage& image, const QRect& roi, float shiftX, float shiftY,
                                      const QRect& band);

// Reference rows through the NLC filter (radius 1) with the state's reference statistics.
ImageSource::RowProvider referenceNlcRows(const QImage& image, const QRect& roi,
                                          std::shared_ptr<StreamedNlcState> state);

// Deformed band rows through the NLC filter with the state's deformed
// statistics, then resampled as deformedRows (band: deformedBand with k = 2).
ImageSource::RowProvider deformedNlcRows(const QImage& image, const QRect& roi, float shiftX, float shiftY,
                                         const QRect& band, std::shared_ptr<StreamedNlcState> state);

// Keeps the first failure only: its message is stored and written to the
// multi-GPU log as "NLC_STREAM_FAIL msg=" + message; later ones are dropped.
void recordStreamedNlcFailure(StreamedNlcState& state, const std::string& message);

using FailureReport = std::function<void(const QString& status, const QString& details)>;

// When a failure is recorded: reports it with status "NLC filter error (streamed)"
// and the recorded message as details, and returns true.
bool checkStreamedNlcFailure(const StreamedNlcState& state, const FailureReport& fail);

} // namespace tavro::gui
