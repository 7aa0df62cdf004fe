#include "compute/streamed_nlc.h"

#include "compute/worker_conversions.h"
#include "core/nlc_filter.h"
#include "support/engine_environment.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

namespace tavro::gui {
namespace {

// Smooth speckle-like pattern so that bilinear sampling and the NLC filter see varied values.
QImage speckle(int width, int height, QImage::Format format) {
    QImage image(width, height, format);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double v = 0.5 + 0.25 * std::sin(0.37 * x + 0.11 * y) + 0.2 * std::cos(0.05 * x * y + 0.7 * y);
            if (format == QImage::Format_Grayscale16)
                reinterpret_cast<quint16*>(image.scanLine(y))[x] = quint16(std::lround(v * 65535));
            else
                image.scanLine(y)[x] = uchar(std::lround(v * 255));
        }
    }
    return image;
}

// What a provider delivers for rows [first, end) of a region `width` wide.
std::vector<float> provide(const ImageSource::RowProvider& provider, int width, int first, int end) {
    std::vector<float> rows(size_t(end - first) * width, -1.0f);
    provider(rows.data(), first, end);
    return rows;
}

// The provider's rows, asked for in bands of `band` rows, in order.
std::vector<float> provideInBands(const ImageSource::RowProvider& provider, int width, int height, int band) {
    std::vector<float> all;
    for (int first = 0; first < height; first += band) {
        const std::vector<float> part = provide(provider, width, first, std::min(first + band, height));
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

TEST(StreamedRows, ReferenceRowsMatchTheWholeRegionWithZerosPastTheImage) {
    for (QImage::Format format : {QImage::Format_Grayscale8, QImage::Format_Grayscale16}) {
        const QImage image = speckle(90, 70, format);
        const QRect roi(60, -3, 40, 80);  // past the right, top and bottom edges
        const std::vector<float> expected = roiToNormalizedFloats(image, roi);
        EXPECT_EQ(provideInBands(referenceRows(image, roi), 40, 80, 80), expected);
        EXPECT_EQ(provideInBands(referenceRows(image, roi), 40, 80, 7), expected);
        EXPECT_EQ(expected[size_t(10) * 40 + 35], 0.0f) << "column 95 lies past the image";
    }
}

TEST(StreamedRows, DeformedRowsMatchTheWholeBandResampledUnderTheShift) {
    const QImage image = speckle(120, 100, QImage::Format_Grayscale16);
    const QRect roi(20, 15, 70, 75);
    for (auto [sx, sy] : {std::pair{3.25f, -2.75f}, std::pair{-0.5f, 7.125f}, std::pair{0.0f, 0.0f}}) {
        const QRect band = deformedBand(roi, sx, sy, 1, image.size());
        const std::vector<float> expected =
            resampleShifted(roiToNormalizedFloats(image, band), band, image.size(), roi, sx, sy);
        ASSERT_EQ(expected.size(), size_t(70) * 75);
        const ImageSource::RowProvider provider = deformedRows(image, roi, sx, sy, band);
        EXPECT_EQ(provideInBands(provider, 70, 75, 75), expected) << sx << "," << sy;
        EXPECT_EQ(provideInBands(provider, 70, 75, 4), expected) << sx << "," << sy;
    }
}

TEST(StreamedRows, IntegerShiftReadsTheShiftedPixelsExactly) {
    const QImage image = speckle(50, 40, QImage::Format_Grayscale8);
    const QRect roi(10, 10, 20, 15);
    const QRect band = deformedBand(roi, 3.0f, -2.0f, 1, image.size());
    const std::vector<float> rows = provide(deformedRows(image, roi, 3.0f, -2.0f, band), 20, 0, 15);
    const std::vector<float> moved = roiToNormalizedFloats(image, roi.translated(-3, 2));
    for (size_t k = 0; k < rows.size(); ++k) ASSERT_FLOAT_EQ(rows[k], moved[k]) << k;
}

TEST(StreamedRows, AShiftPastTheImageRepeatsTheEdgePixels) {
    const QImage image = speckle(40, 30, QImage::Format_Grayscale8);
    const QRect roi(0, 0, 10, 10);
    const QRect band = deformedBand(roi, 25.0f, 0.0f, 1, image.size());
    const std::vector<float> rows = provide(deformedRows(image, roi, 25.0f, 0.0f, band), 10, 0, 10);
    const float edge = float(image.constScanLine(4)[0]) / 255.0f;
    EXPECT_FLOAT_EQ(rows[4 * 10 + 0], edge);
    EXPECT_FLOAT_EQ(rows[4 * 10 + 9], edge) << "x clamps to 0 rather than giving zeros";
}

TEST(StreamedRows, DeformedBandCoversTheShiftedRegionWithItsMargin) {
    const QSize size(100, 80);
    EXPECT_EQ(deformedBand(QRect(20, 10, 30, 20), 2.5f, -3.5f, 1, size), QRect(QPoint(16, 12), QPoint(48, 34)));
    EXPECT_EQ(deformedBand(QRect(20, 10, 30, 20), 40.0f, 0.0f, 2, size), QRect(QPoint(0, 8), QPoint(11, 31)));
    EXPECT_EQ(referenceBand(QRect(0, 5, 100, 10), 1, size), QRect(0, 4, 100, 12));
}

TEST(StreamedNlc, ReferenceBandsFilterAsTheWholeBandDoes) {
    const QImage image = speckle(80, 90, QImage::Format_Grayscale16);
    const QRect roi(5, 0, 60, 85);  // the band stops at the image's top edge
    const QRect band = referenceBand(roi, 1, image.size());
    auto state = std::make_shared<StreamedNlcState>();
    std::tie(state->refMean, state->refStd) = bandMeanStdDev(image, band);

    std::vector<float> whole = roiToNormalizedFloats(image, band);
    const auto [mean, stddev] = computeMeanStdDev(ImageSource(whole.data()), band.width(), band.height());
    EXPECT_FLOAT_EQ(state->refMean, mean);
    EXPECT_FLOAT_EQ(state->refStd, stddev);
    std::string error;
    ASSERT_TRUE(nlcFilterGpu(whole.data(), whole.data(), band.width(), band.height(), 1, mean, stddev, error)) << error;
    const std::vector<float> expected =
        cropFloatField(whole, band.width(), band.height(), roi.translated(-band.topLeft()));

    const ImageSource::RowProvider provider = referenceNlcRows(image, roi, state);
    EXPECT_EQ(provideInBands(provider, 60, 85, 85), expected);
    EXPECT_EQ(provideInBands(provider, 60, 85, 10), expected);
    EXPECT_EQ(provideInBands(provider, 60, 85, 1), expected);
    EXPECT_FALSE(state->failed.load());
}

TEST(StreamedNlc, DeformedBandsFilterThenResampleAsTheWholeBandDoes) {
    const QImage image = speckle(100, 90, QImage::Format_Grayscale8);
    const QRect roi(10, 20, 70, 60);
    const float sx = -2.5f, sy = 4.75f;
    const QRect band = deformedBand(roi, sx, sy, 2, image.size());
    auto state = std::make_shared<StreamedNlcState>();
    std::tie(state->defMean, state->defStd) = bandMeanStdDev(image, band);

    std::vector<float> whole = roiToNormalizedFloats(image, band);
    std::string error;
    ASSERT_TRUE(nlcFilterGpu(whole.data(), whole.data(), band.width(), band.height(), 1, state->defMean,
                             state->defStd, error))
        << error;
    const std::vector<float> expected = resampleShifted(whole, band, image.size(), roi, sx, sy);

    const ImageSource::RowProvider provider = deformedNlcRows(image, roi, sx, sy, band, state);
    EXPECT_EQ(provideInBands(provider, 70, 60, 60), expected);
    EXPECT_EQ(provideInBands(provider, 70, 60, 11), expected);
    std::vector<std::vector<float>> got(3);
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) threads.emplace_back([&, t] { got[t] = provideInBands(provider, 70, 60, 5 + 3 * t); });
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < 3; ++t) EXPECT_EQ(got[t], expected) << t;
}

TEST(StreamedNlcFailure, OnlyTheFirstFailureIsKeptAndLogged) {
    testing::LogCapture log;
    StreamedNlcState state;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&state, t] { recordStreamedNlcFailure(state, "band " + std::to_string(t)); });
    for (std::thread& thread : threads) thread.join();
    recordStreamedNlcFailure(state, "late");

    ASSERT_TRUE(state.failed.load());
    EXPECT_EQ(log.lines(), std::vector<std::string>{"NLC_STREAM_FAIL msg=" + state.error});
    EXPECT_EQ(state.error.rfind("band ", 0), 0u);

    QString status, details;
    EXPECT_TRUE(checkStreamedNlcFailure(state, [&](const QString& s, const QString& d) {
        status = s;
        details = d;
    }));
    EXPECT_EQ(status, QStringLiteral("NLC filter error (streamed)"));
    EXPECT_EQ(details, QString::fromStdString(state.error));
    EXPECT_FALSE(checkStreamedNlcFailure(StreamedNlcState(), [](const QString&, const QString&) { FAIL(); }));
}

#if !defined(TAVRO_USE_CUDA)

TEST(StreamedNlcFailure, FailingBandsDeliverZerosAndReportTheFirstMessage) {
    const QImage image = speckle(80, 60, QImage::Format_Grayscale8);
    const QRect roi(5, 5, 70, 50);
    auto state = std::make_shared<StreamedNlcState>();
    testing::LogCapture log;
    std::vector<float> reference, deformed;
    {
        // Too small for any band buffer: every NLC call fails.
        const testing::ScopedCpuDevice device(testing::cpuDeviceWithMemory(256));
        reference = provide(referenceNlcRows(image, roi, state), 70, 0, 20);
        deformed = provide(deformedNlcRows(image, roi, 1.0f, 1.0f, deformedBand(roi, 1.0f, 1.0f, 2, image.size()),
                                           state),
                           70, 20, 50);
    }
    EXPECT_EQ(reference, std::vector<float>(size_t(70) * 20, 0.0f));
    EXPECT_EQ(deformed, std::vector<float>(size_t(70) * 30, 0.0f));
    ASSERT_TRUE(state->failed.load());
    EXPECT_EQ(state->error.rfind("NLC (reference, streamed): ", 0), 0u) << state->error;
    EXPECT_EQ(log.lines(), std::vector<std::string>{"NLC_STREAM_FAIL msg=" + state->error});
}

#endif

} // namespace
} // namespace tavro::gui
