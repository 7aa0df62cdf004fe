// The "3D Maps" inputs and the out-of-plane computation through the window:
// height files on disk, displacement results as a correlation leaves them.
#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/contrast_histogram_widget.h"
#include "images/image_io.h"
#include "images/image_write.h"
#include "gui/project/result_files.h"
#include "gui/style/switch_widget.h"
#include "window_session.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>

namespace tavro::gui {

using Surface = std::function<double(double x, double y)>;

struct MainWidgetHeightsTestAccess {
    static constexpr int kImage = 64;
    static constexpr int kStep = 4;
    static constexpr int kGrid = kImage / kStep;

    struct Heights : WindowTestSession {
        QString heightFile(const QString& name, int size, const Surface& s) {
            std::vector<float> values;
            for (int y = 0; y < size; ++y)
                for (int x = 0; x < size; ++x)
                    values.push_back(float(s(x, y)));
            const QString path = folder + QStringLiteral("/heights/") + name;
            QDir().mkpath(folder + QStringLiteral("/heights"));
            QString error;
            EXPECT_TRUE(writeFloatTiff(path, size, size, values, error, {})) << error.toStdString();
            return path;
        }

        // A correlation result of a uniform in-plane motion on a grid of step
        // kStep from pixel 0, with the rigid part kept beside the fields as the
        // run keeps it.
        static ComputationResult uniformResult(float ux, float uy, float shiftX, float shiftY) {
            auto d = std::make_shared<PixelDisplacementResult>();
            d->gridWidth = d->gridHeight = kGrid;
            d->dispX.assign(size_t(kGrid) * kGrid, ux);
            d->dispY.assign(size_t(kGrid) * kGrid, uy);
            ComputationResult r;
            r.displacements = d;
            r.rigid.shiftX = shiftX;
            r.rigid.shiftY = shiftY;
            r.geometry.roi = QRect(0, 0, kImage, kImage);
            r.geometry.stepX = r.geometry.stepY = kStep;
            r.geometry.imageWidth = r.geometry.imageHeight = kImage;
            r.geometry.gridWidth = r.geometry.gridHeight = kGrid;
            return r;
        }

        std::vector<float> readUz(const QString& base, std::uint32_t& width, std::uint32_t& height) {
            std::vector<float> values;
            QString error;
            EXPECT_TRUE(readFloatTiff(resultFilePath(folder, kHeightFolder, base, QStringLiteral("_uz")), width, height,
                                      values, error))
                << base.toStdString() << ": " << error.toStdString();
            return values;
        }

        // Two deformed images, img_a and img_b, with their results; heights of
        // `size` pixels a side (the images are kImage) for a plane surface moved
        // by (2, 1) image pixels and raised by 0.5 and 1.5.
        void setUpTwoStates(int size) {
            loadReference(image(QStringLiteral("reference.tif"), kImage, kImage, QImage::Format_Grayscale8, 1));
            addDeformed({image(QStringLiteral("img_a.tif"), kImage, kImage, QImage::Format_Grayscale8, 2),
                         image(QStringLiteral("img_b.tif"), kImage, kImage, QImage::Format_Grayscale8, 3)});
            // The fields hold the motion less the rigid shift, which is (1, -1).
            w().results = {uniformResult(3.0f, 0.0f, 1.0f, -1.0f), uniformResult(3.0f, 0.0f, 1.0f, -1.0f)};
            w().shownDisplacements = w().results[0].displacements;
            w().shownResultGeometry = w().results[0].geometry;
            const double k = double(kImage) / size;  // image pixels per height pixel
            const Surface plane = [k](double x, double y) { return 0.1 * x * k + 0.05 * y * k; };
            const auto moved = [&](double rise) {
                return [=](double x, double y) { return plane(x - 2.0 / k, y - 1.0 / k) + rise; };
            };
            chosen = {heightFile(QStringLiteral("h0.tif"), size, plane)};
            w().onAddHeightRefTiles();
            chosen = {heightFile(QStringLiteral("h1_b.tif"), size, moved(1.5)),
                      heightFile(QStringLiteral("h1_a.tif"), size, moved(0.5))};
            w().onAddHeightDefTiles();
        }

        // Interior grid values of a written map all hold `rise`.
        void expectRise(const QString& base, float rise) {
            std::uint32_t width = 0, height = 0;
            const std::vector<float> uz = readUz(base, width, height);
            ASSERT_EQ(width, std::uint32_t(kGrid));
            ASSERT_EQ(height, std::uint32_t(kGrid));
            int finite = 0;
            for (std::uint32_t j = 2; j < height - 2; ++j)
                for (std::uint32_t i = 2; i < width - 2; ++i) {
                    const float v = uz[j * width + i];
                    ASSERT_TRUE(std::isfinite(v)) << base.toStdString() << " " << i << "," << j;
                    EXPECT_NEAR(v, rise, 1e-3) << base.toStdString() << " " << i << "," << j;
                    ++finite;
                }
            EXPECT_GT(finite, 0);
        }
    };

    static void EachStateIsComputedShownAndWrittenUnderItsImageName();
    static void AHeightMapAtHalfTheImageSizeGivesTheSameRise();
    static void AReleasedFieldIsReadBackFromItsFiles();
    static void EachTileIsComputedFromItsFilesAndWrittenUnderItsName();
    static void DuplicateNamesAreIgnoredAndStatesRenumberWhenOneIsDeleted();
    static void SummaryNamesWhatIsMissing();
    static void AFailedH1LeavesBothMapsAsTheyWere();
    static void StatesWithoutAFileNameAreNamedByNumber();
    static void StatesAreShownFromTheCacheWithTheirEditedRangeOrReadFromTheirFile();
    static void StopEndsTheComputationAndWritesNothing();
    static void AWideMapIsReadProfiledAndDetailedOnOneScale();
    static void TheRigidShiftLineBelongsToTheStateOnThePageShown();
    static void ANewEmptyProjectReturnsFromAResultPageToTheInputImages();
    static void AnEmptiedMapShowsNoRangeOfTheMapBefore();
    static void AChosenReferenceMapIsShownUntilItIsRemoved();
    static void AReferenceMapNeverTakesAStatesPlaceAndIsOnShowAgainAfterReopening();
    static void MapsOfImagesThatMoveOrGoArePairedAnewNeverShownUnderAnotherImage();
    static void TheResultPagesFollowTheImageTheyShowThroughMovesAndRemovals();
    static void MapsOfHeightFilesThatMoveOrGoLeaveTheHeightFolder();

    // Images img_a, img_b and img_c with uniform results of ux 1, 2 and 3, and
    // heights h1_a, h1_b, h1_c raised by 0.5, 1.5 and 2.5 over a flat h0.
    static void threeStates(Heights& h) {
        MainWidget& w = h.w();
        h.loadReference(h.image(QStringLiteral("reference.tif"), kImage, kImage, QImage::Format_Grayscale8, 1));
        QStringList images;
        for (int i = 0; i < 3; ++i)
            images << h.image(QStringLiteral("img_%1.tif").arg(QChar('a' + i)), kImage, kImage,
                              QImage::Format_Grayscale8, std::uint32_t(2 + i));
        h.addDeformed(images);
        w.results.clear();
        for (int i = 0; i < 3; ++i)
            w.results.push_back(Heights::uniformResult(float(i + 1), 0.0f, 0.0f, 0.0f));
        w.shownDisplacements = w.results[0].displacements;
        w.shownResultGeometry = w.results[0].geometry;
        h.chosen = {h.heightFile(QStringLiteral("h0.tif"), kImage, [](double, double) { return 0.0; })};
        w.onAddHeightRefTiles();
        h.chosen.clear();
        for (int i = 0; i < 3; ++i)
            h.chosen << h.heightFile(QStringLiteral("h1_%1.tif").arg(QChar('a' + i)), kImage,
                                     [i](double, double) { return 0.5 + i; });
        w.onAddHeightDefTiles();
    }

    static bool uzOnDisk(Heights& h, const char* base) {
        return QFileInfo::exists(resultFilePath(h.folder, kHeightFolder, QString::fromLatin1(base), QStringLiteral("_uz")));
    }

    // The map shown for height state `index`, NaN when none is.
    static double shownRise(MainWidget& w, int index) {
        w.forgetShownHeightMap();
        w.loadHeightResult(index, true);
        if (w.shownHeightIndex != index)
            return std::nan("");
        for (float v : w.shownHeightValues)
            if (std::isfinite(v))
                return v;
        return std::nan("");
    }
    static void HeightFilesPassTheChecksOfAnImageAndAFullListCanBeCleared();
    static void EachHeightRowNamesItsImageThroughAddsMovesAndRemovals();
    static void ArrowsMoveAHeightFileAndForgetTheMapsOfBothPairings();
    static void AColourHeightFileIsRefusedWhenAddedWithTheComputationsReason();
    static void TheFirstReferenceTileAddedIsFittedToItsView();
    static void AnUnreadableReferenceMapEndsTheComputationInTheStatus();

    static QString colourPng(Heights& h, const QString& name) {
        QImage colour(kImage, kImage, QImage::Format_RGB32);
        colour.fill(qRgb(100, 100, 100));
        colour.setPixel(kImage - 1, kImage - 1, qRgb(255, 0, 0));
        const QString path = h.folder + QLatin1Char('/') + name;
        EXPECT_TRUE(colour.save(path));
        return path;
    }

    // A map of two levels, `low` on its left half and `high` on its right.
    static QString twoLevelFile(Heights& h, const QString& name, int width, int height, float low, float high) {
        std::vector<float> values;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                values.push_back(x < width / 2 ? low : high);
        const QString path = h.folder + QLatin1Char('/') + name;
        QString error;
        EXPECT_TRUE(writeFloatTiff(path, width, height, values, error, {})) << error.toStdString();
        return path;
    }
};

#define HEIGHT_TEST(Suite, Name)               \
    TEST(Suite, Name) {                        \
        MainWidgetHeightsTestAccess::Name();   \
    }                                          \
    void MainWidgetHeightsTestAccess::Name()

HEIGHT_TEST(OutOfPlanePerState, EachStateIsComputedShownAndWrittenUnderItsImageName) {
    Heights h;
    h.setUpTwoStates(kImage);
    MainWidget& w = h.w();
    // Sorted on entry: h1_a is state 1.
    ASSERT_EQ(w.deformedHeightStates.front().size(), 2);
    EXPECT_TRUE(w.deformedHeightStates.front().front().endsWith(QStringLiteral("h1_a.tif")));
    ASSERT_TRUE(w.computeOutOfPlaneButton->isEnabled());
    w.onComputeOutOfPlane();
    EXPECT_TRUE(h.boxes.isEmpty()) << h.boxes.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(h.status().section(QStringLiteral(" | Total time: "), 0, 0), QStringLiteral("Computation completed: 2 state(s) processed"));
    EXPECT_TRUE(h.status().contains(QStringLiteral(" | Total time: "))) << "the computation ends with its duration";
    h.expectRise(QStringLiteral("img_a"), 0.5f);
    h.expectRise(QStringLiteral("img_b"), 1.5f);
    // The last state is shown, at grid resolution, and its range is kept for the project.
    EXPECT_EQ(w.shownHeightIndex, 1);
    EXPECT_EQ(w.shownHeightGridWidth, kGrid);
    EXPECT_NEAR(w.heightDisplayMin, 1.5f, 1e-3);
    EXPECT_EQ(w.heightStepLabel->text(), QStringLiteral("State 2/2: h1_b \u2192 img_b"));
    EXPECT_EQ(h.saved().heightCache.size(), 2u);
    EXPECT_FALSE(w.outOfPlaneStale);
    EXPECT_EQ(w.busyCounter, 0);

    // The full map is written when asked for, at the height map's size.
    w.heightSaveFullImageCheck->setChecked(true);
    w.onComputeOutOfPlane();
    std::uint32_t width = 0, height = 0;
    h.readUz(QStringLiteral("img_a"), width, height);
    EXPECT_EQ(width, std::uint32_t(kImage));
}

HEIGHT_TEST(OutOfPlanePerState, AHeightMapAtHalfTheImageSizeGivesTheSameRise) {
    // Displacements and the rigid shift are in image pixels; taken as height
    // pixels they would add 0.2 * 1 + 0.1 * 0.5 to the rise.
    Heights h;
    h.setUpTwoStates(kImage / 2);
    h.w().onComputeOutOfPlane();
    EXPECT_TRUE(h.boxes.isEmpty()) << h.boxes.join(QLatin1Char('\n')).toStdString();
    h.expectRise(QStringLiteral("img_a"), 0.5f);
    h.expectRise(QStringLiteral("img_b"), 1.5f);
}

HEIGHT_TEST(OutOfPlanePerState, AReleasedFieldIsReadBackFromItsFiles) {
    Heights h;
    h.setUpTwoStates(kImage);
    MainWidget& w = h.w();
    const ComputationResult kept = w.results[1];
    QDir().mkpath(h.folder + QLatin1Char('/') + kDisplacementsFolder);
    for (const char* suffix : {"_ux", "_uy"}) {
        QString error;
        const std::vector<float>& field =
            QString::fromLatin1(suffix) == QStringLiteral("_ux") ? kept.displacements->dispX : kept.displacements->dispY;
        ASSERT_TRUE(writeFloatTiff(resultFilePath(h.folder, kDisplacementsFolder, QStringLiteral("img_b"),
                                                  QString::fromLatin1(suffix)),
                                   kGrid, kGrid, field, error, {}));
    }
    w.results[1].displacements = std::make_shared<PixelDisplacementResult>();
    w.onComputeOutOfPlane();
    EXPECT_TRUE(h.boxes.isEmpty()) << h.boxes.join(QLatin1Char('\n')).toStdString();
    h.expectRise(QStringLiteral("img_b"), 1.5f);
}

HEIGHT_TEST(OutOfPlanePerState, StopEndsTheComputationAndWritesNothing) {
    Heights h;
    h.setUpTwoStates(kImage);
    MainWidget& w = h.w();
    // A click on Stop once the work has begun: the computation's first event
    // pass posts it, the next one delivers it.
    QTimer::singleShot(0, &w, [&w] { QTimer::singleShot(0, &w, [&w] { w.onStopComputation(); }); });
    w.onComputeOutOfPlane();
    EXPECT_EQ(h.status(), QStringLiteral("Computation cancelled."));
    EXPECT_FALSE(QFileInfo::exists(h.folder + QLatin1Char('/') + kHeightFolder + QStringLiteral("/img_a_uz.tif")));
    EXPECT_EQ(w.busyCounter, 0);
    EXPECT_TRUE(w.computeOutOfPlaneButton->isEnabled());
    EXPECT_FALSE(w.stopButton->isEnabled());
}

HEIGHT_TEST(OutOfPlanePerTile, EachTileIsComputedFromItsFilesAndWrittenUnderItsName) {
    Heights h;
    MainWidget& w = h.w();
    // One state of two tiles; the intensity tiles are alike, so no rigid shift.
    const QString ref0 = h.image(QStringLiteral("ref_0.tif"), kImage, kImage, QImage::Format_Grayscale8, 7);
    const QString ref1 = h.image(QStringLiteral("ref_1.tif"), kImage, kImage, QImage::Format_Grayscale8, 8);
    const QString def0 = h.image(QStringLiteral("def_0.tif"), kImage, kImage, QImage::Format_Grayscale8, 7);
    const QString def1 = h.image(QStringLiteral("def_1.tif"), kImage, kImage, QImage::Format_Grayscale8, 8);
    w.mosaicSwitch->setChecked(true);
    w.perTileMode = true;
    w.mosaicRefTilePaths = {ref0, ref1};
    w.mosaicDefTilePaths = {QStringList{def0, def1}};
    w.windowSizeXSpin->setValue(21);
    w.windowSizeYSpin->setValue(21);
    // Only def_0 was correlated: def_1 forms no pair.
    QDir().mkpath(h.folder + QLatin1Char('/') + kDisplacementsFolder);
    const std::vector<float> ux(size_t(kGrid) * kGrid, 2.0f), uy(size_t(kGrid) * kGrid, 1.0f);
    QString error;
    ASSERT_TRUE(writeFloatTiff(resultFilePath(h.folder, kDisplacementsFolder, QStringLiteral("def_0"),
                                              QStringLiteral("_ux")), kGrid, kGrid, ux, error, {}));
    ASSERT_TRUE(writeFloatTiff(resultFilePath(h.folder, kDisplacementsFolder, QStringLiteral("def_0"),
                                              QStringLiteral("_uy")), kGrid, kGrid, uy, error, {}));
    ASSERT_TRUE(writeFloatTiff(resultFilePath(h.folder, kDisplacementsFolder, QStringLiteral("def_1"),
                                              QStringLiteral("_ux")), kGrid, kGrid, ux, error, {}));
    const Surface plane = [](double x, double y) { return 0.1 * x - 0.02 * y; };
    const Surface raised = [&](double x, double y) { return plane(x - 2.0, y - 1.0) + 0.25; };
    w.referenceHeightPaths = {h.heightFile(QStringLiteral("r0.tif"), kImage, plane),
                              h.heightFile(QStringLiteral("r1.tif"), kImage, plane)};
    w.deformedHeightStates = {QStringList{h.heightFile(QStringLiteral("d0.tif"), kImage, raised),
                                          h.heightFile(QStringLiteral("d1.tif"), kImage, raised)}};
    w.heightSaveFullImageCheck->setChecked(true);
    w.onComputeOutOfPlane();
    EXPECT_TRUE(h.boxes.isEmpty()) << h.boxes.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(h.status().section(QStringLiteral(" | Total time: "), 0, 0), QStringLiteral("Batch height computation completed: 1/1 tiles"));
    EXPECT_TRUE(h.status().contains(QStringLiteral(" | Total time: ")));
    std::uint32_t width = 0, height = 0;
    const std::vector<float> uz = h.readUz(QStringLiteral("def_0"), width, height);
    ASSERT_EQ(width, std::uint32_t(kImage));
    // The grid starts at half a window plus the search margin: its middle is well inside.
    for (int y = 24; y < 40; ++y)
        for (int x = 24; x < 40; ++x)
            ASSERT_NEAR(uz[size_t(y) * kImage + x], 0.25f, 1e-3) << x << "," << y;
    EXPECT_FALSE(QFileInfo::exists(resultFilePath(h.folder, kHeightFolder, QStringLiteral("def_1"),
                                                  QStringLiteral("_uz"))));
    EXPECT_EQ(w.heightBatchNames, QStringList{QStringLiteral("def_0")});
    EXPECT_EQ(w.currentHeightTileIndex, 0);

    // A state whose height tile count differs from the reference's is skipped, said once.
    w.deformedHeightStates = {QStringList{w.deformedHeightStates.front().front()}};
    w.onComputeOutOfPlane();
    ASSERT_EQ(h.boxes.size(), 2);
    EXPECT_EQ(h.boxes[0], QStringLiteral("Warning: State 1: height tiles count (1) != ref tiles count (2). Skipping."));
    EXPECT_TRUE(h.boxes[1].startsWith(QStringLiteral("Error: No valid tile pairs found.")));
}

HEIGHT_TEST(HeightInputs, DuplicateNamesAreIgnoredAndStatesRenumberWhenOneIsDeleted) {
    Heights h;
    MainWidget& w = h.w();
    w.mosaicSwitch->setChecked(true);
    QDir().mkpath(h.folder + QStringLiteral("/other"));
    const Surface flat = [](double, double) { return 0.0; };
    const QString b = h.heightFile(QStringLiteral("b.tif"), 4, flat);
    const QString a = h.heightFile(QStringLiteral("a.tif"), 4, flat);
    const QString otherA = h.folder + QStringLiteral("/other/a.tif");
    ASSERT_TRUE(QFile::copy(a, otherA));
    h.chosen = {b, otherA, a};
    w.onAddHeightRefTiles();
    // The full paths sort ".../heights/a.tif" before ".../other/a.tif".
    EXPECT_EQ(w.referenceHeightPaths, (QStringList{a, b}));
    EXPECT_EQ(h.boxes, QStringList{QStringLiteral("Tiles ignored: The following height tiles were ignored because "
                                                  "their name already exists:\na.tif")});
    EXPECT_EQ(h.status(), QStringLiteral("2 height tile(s) (reference) added"));
    EXPECT_EQ(w.heightRefTiles.list->count(), 2);
    EXPECT_EQ(w.heightRefTiles.countLabel->text(), QStringLiteral("2 tiles"));

    // Deleting the only state does nothing; deleting state 2 of 3 renumbers state 3.
    w.onDeleteHeightDefState();
    EXPECT_EQ(w.deformedHeightStates.size(), 1);
    w.onAddHeightDefState();
    w.onAddHeightDefState();
    h.chosen = {b};
    w.onAddHeightDefTiles();
    ASSERT_EQ(w.deformedHeightStates.size(), 3);
    w.onHeightTabChanged(2);
    w.onDeleteHeightDefState();
    ASSERT_EQ(w.heightStateButtons.size(), 2);
    EXPECT_EQ(w.heightStateButtons[1]->text(), QStringLiteral("Deformed 2"));
    EXPECT_EQ(w.heightTabGroup->id(w.heightStateButtons[1]), 2);
    EXPECT_EQ(w.deformedHeightStates[1], QStringList{b});
    EXPECT_EQ(h.saved().heightFields->deformedStates.size(), 2);

    // Moves need exactly one selected row with a neighbour that way.
    w.onHeightTabChanged(0);
    w.heightRefTiles.list->item(0)->setSelected(true);
    w.onMoveUpHeightRefTile();
    EXPECT_EQ(w.referenceHeightPaths.front(), a);
    w.onMoveDownHeightRefTile();
    EXPECT_EQ(w.referenceHeightPaths, (QStringList{b, a}));
}

HEIGHT_TEST(HeightInputs, SummaryNamesWhatIsMissing) {
    Heights h;
    MainWidget& w = h.w();
    h.addDeformed({h.image(QStringLiteral("i1.tif"), 16, 16, QImage::Format_Grayscale8, 1),
                   h.image(QStringLiteral("i2.tif"), 16, 16, QImage::Format_Grayscale8, 2),
                   h.image(QStringLiteral("i3.tif"), 16, 16, QImage::Format_Grayscale8, 3)});
    const Surface flat = [](double, double) { return 0.0; };
    h.chosen = {h.heightFile(QStringLiteral("d1.tif"), 4, flat), h.heightFile(QStringLiteral("d2.tif"), 4, flat)};
    w.onAddHeightDefTiles();
    EXPECT_EQ(w.heightSummaryLabel->text(), QStringLiteral("2/4 height maps \u2014 missing reference, 1 deformed"));
    EXPECT_EQ(w.heightFileCountLabel->text(), QStringLiteral("2 files"));
    EXPECT_FALSE(w.computeOutOfPlaneButton->isEnabled());
}

HEIGHT_TEST(HeightMaps, AFailedH1LeavesBothMapsAsTheyWere) {
    Heights h;
    MainWidget& w = h.w();
    const Surface flat = [](double, double) { return 1.0; };
    w.referenceHeightPaths = {h.heightFile(QStringLiteral("h0.tif"), 8, flat)};
    w.deformedHeightStates = {QStringList{h.heightFile(QStringLiteral("h1.tif"), 8, flat)}};
    w.onAssembleHeights();
    ASSERT_EQ(w.heightMapWidth, 8);
    EXPECT_EQ(h.status(), QStringLiteral("Heights loaded: 8 x 8 pixels"));
    EXPECT_TRUE(QFileInfo::exists(h.folder + QStringLiteral("/mosaic_height_deformed_001.tif")));

    // A new, larger h0 with an h1 that cannot be read: the old pair stays whole.
    w.referenceHeightPaths = {h.heightFile(QStringLiteral("big.tif"), 16, flat)};
    w.deformedHeightStates = {QStringList{h.folder + QStringLiteral("/missing.tif")}};
    w.onAssembleHeights();
    EXPECT_EQ(h.status(), QStringLiteral("Loading error"));
    EXPECT_EQ(w.heightMapWidth, 8);
    EXPECT_EQ(w.heightH0.size(), 64u);
    EXPECT_EQ(w.heightH1.size(), 64u);
    EXPECT_EQ(w.busyCounter, 0);
}

HEIGHT_TEST(HeightMaps, StatesWithoutAFileNameAreNamedByNumber) {
    Heights h;
    MainWidget& w = h.w();
    w.deformedImages.emplace_back();
    EXPECT_EQ(w.heightStateBaseName(0), QStringLiteral("state_001"));
    EXPECT_EQ(w.heightStateBaseName(4), QStringLiteral("state_005"));
}

HEIGHT_TEST(HeightResults, StatesAreShownFromTheCacheWithTheirEditedRangeOrReadFromTheirFile) {
    Heights h;
    h.setUpTwoStates(kImage);
    MainWidget& w = h.w();
    w.onComputeOutOfPlane();
    ASSERT_EQ(w.shownHeightIndex, 1);
    w.onHeightHistogramRangeEdited(1.0f, 2.0f);
    w.onHeightSliderChanged(0);
    EXPECT_EQ(w.shownHeightIndex, 0);
    EXPECT_NEAR(w.heightDisplayMin, 0.5f, 1e-3);
    w.onHeightSliderChanged(1);
    EXPECT_EQ(w.heightDisplayMin, 1.0f);
    EXPECT_EQ(w.heightDisplayMax, 2.0f);
    EXPECT_EQ(w.heightRangeLabel->text(), QStringLiteral("Min : 1.0000   Max : 2.0000"));
    const std::optional<ImageViewWidget::InspectValue> value = w.heightInspectValue(QPoint(5, 6));
    ASSERT_TRUE(value);
    EXPECT_TRUE(value->label.startsWith(QStringLiteral("w(5, 6) = 1.5"))) << value->label.toStdString();

    // Without the cache the state is read from its file, at the file's size.
    w.heightResultCache.clear();
    w.onHeightSliderChanged(0);
    EXPECT_EQ(w.shownHeightIndex, 0);
    EXPECT_EQ(w.shownHeightWidth, kGrid);
    EXPECT_NEAR(w.heightAutoMin, 0.5f, 1e-3);
    w.heightSlider->setValue(0);
    QFile::remove(resultFilePath(h.folder, kHeightFolder, QStringLiteral("img_b"), QStringLiteral("_uz")));
    w.heightSlider->setValue(1);
    EXPECT_EQ(h.status(), QStringLiteral("Result not available for state 2"));
    EXPECT_EQ(w.shownHeightIndex, 0);
    EXPECT_EQ(w.heightSlider->value(), 0) << "the slider stays with the map and caption of state 1";
    EXPECT_TRUE(w.heightStepLabel->text().startsWith(QStringLiteral("State 1 / 2")))
        << w.heightStepLabel->text().toStdString();
}

HEIGHT_TEST(HeightResults, AWideMapIsReadProfiledAndDetailedOnOneScale) {
    Heights h;
    MainWidget& w = h.w();
    // 4096 columns are shown at half size; each cell holds its own column number.
    constexpr int kWidth = 4096;
    constexpr int kHeight = 8;
    w.shownHeightWidth = kWidth;
    w.shownHeightHeight = kHeight;
    w.shownHeightValues.resize(static_cast<std::size_t>(kWidth) * kHeight);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            w.shownHeightValues[static_cast<std::size_t>(y) * kWidth + x] = static_cast<float>(x);
    w.heightResultShown = true;
    w.updateHeightPreview(true, true);
    ASSERT_EQ(w.heightView->image().width(), 2048);
    EXPECT_DOUBLE_EQ(w.heightPreviewScale, 0.5);

    // Image pixel 300 is cell 600 for the read-out and for the profile alike.
    const std::optional<ImageViewWidget::InspectValue> value = w.heightInspectValue(QPoint(300, 1));
    ASSERT_TRUE(value);
    EXPECT_TRUE(value->label.startsWith(QStringLiteral("w(600, 2) = 600"))) << value->label.toStdString();
    const ImageViewWidget::LineProfile profile = w.heightLineProfile(QPointF(300, 1), QPointF(400, 1));
    ASSERT_TRUE(profile.valid);
    ASSERT_GE(profile.values.size(), 2u);
    EXPECT_NEAR(profile.values.front(), 600.0f, 1.0f);
    EXPECT_NEAR(profile.values.back(), 800.0f, 1.0f);
    EXPECT_NEAR(profile.length, 200.0, 1.0) << "in map cells";

    // Zoomed in, the detail tile shows the cells themselves.
    const ImageViewWidget::DetailTile tile =
        w.buildGridDetailTile(w.heightDisplayedField, w.shownHeightGridWidth, w.shownHeightGridHeight,
                              w.heightPreviewScale, QPoint(), w.heightDisplayMin, w.heightDisplayMax,
                              QRectF(300, 0, 40, 4), 4.0);
    ASSERT_FALSE(tile.image.isNull());
    EXPECT_GT(tile.image.width(), 40) << "more cells than the reduced image has pixels there";
    EXPECT_LE(tile.sceneRect.left(), 300.0);
    EXPECT_GE(tile.sceneRect.right(), 340.0);
}

// One shift line serves every page: on the 3D Maps page it tells the shift of
// the height state shown, elsewhere that of the displacement result shown.
HEIGHT_TEST(HeightResults, TheRigidShiftLineBelongsToTheStateOnThePageShown) {
    Heights h;
    h.setUpTwoStates(kImage);
    MainWidget& w = h.w();
    w.onComputeOutOfPlane();
    w.results[1].rigid.shiftX = -4.0f;
    w.results[1].rigid.shiftY = -2.0f;
    w.loadAndDisplayResult(1, true);
    const QString second = QStringLiteral("Rigid body shift: dx = 4 px, dy = 2 px");
    ASSERT_EQ(w.rigidShiftLabel->text(), second);
    const QString displacementCaption = w.displacementStepLabel->text();

    w.mainTabs->setCurrentWidget(w.heightResultPage);
    w.onHeightSliderChanged(0);
    EXPECT_EQ(w.rigidShiftLabel->text(), QStringLiteral("Rigid body shift: dx = -1 px, dy = 1 px"));
    w.onHeightSliderChanged(1);
    EXPECT_EQ(w.rigidShiftLabel->text(), second);
    w.onHeightSliderChanged(0);

    w.mainTabs->setCurrentWidget(w.inputImagesPage);
    EXPECT_EQ(w.rigidShiftLabel->text(), second);
    EXPECT_EQ(w.displacementStepLabel->text(), displacementCaption);
}

// The heights stay listed, so 3D Maps stays a tab; it is not what the user
// was looking at, the input images of the new project are.
HEIGHT_TEST(HeightResults, ANewEmptyProjectReturnsFromAResultPageToTheInputImages) {
    Heights h;
    h.setUpTwoStates(kImage);
    MainWidget& w = h.w();
    w.setDisplacementsTabVisible(true);
    w.setStrainsTabVisible(true);
    ASSERT_GE(w.mainTabs->indexOf(w.heightResultPage), 0);
    for (QWidget* page : {w.displacementsPage, w.strainResultPage}) {
        w.mainTabs->setCurrentWidget(page);
        testing::TempDir other{"tavro_window_other"};
        w.projectPathEdit->setText(session::qpath(other.path()));
        w.projectPathEdited = true;
        w.applyProjectFolder();
        EXPECT_LT(w.mainTabs->indexOf(page), 0);
        EXPECT_EQ(w.mainTabs->currentWidget(), w.inputImagesPage);
        w.setDisplacementsTabVisible(true);
        w.setStrainsTabVisible(true);
    }
}

HEIGHT_TEST(HeightResults, AnEmptiedMapShowsNoRangeOfTheMapBefore) {
    Heights h;
    MainWidget& w = h.w();
    const QString none = w.heightRangeLabel->text();
    h.setUpTwoStates(kImage);
    w.onComputeOutOfPlane();
    ASSERT_NE(w.heightRangeLabel->text(), none);
    w.forgetHeightResults();
    EXPECT_EQ(w.heightRangeLabel->text(), none);
}

HEIGHT_TEST(HeightInputs, AChosenReferenceMapIsShownUntilItIsRemoved) {
    Heights h;
    MainWidget& w = h.w();
    const QString none = w.heightRangeLabel->text();
    h.chosen = {twoLevelFile(h, QStringLiteral("h0.tif"), 40, 24, -2.5f, 7.25f)};
    w.onAddHeightRefTiles();
    EXPECT_EQ(w.heightView->image().size(), QSize(40, 24));
    EXPECT_EQ(w.heightRangeLabel->text(), QStringLiteral("Min : -2.5000   Max : 7.2500"));
    EXPECT_TRUE(w.heightHistogram->isEnabled());
    EXPECT_EQ(h.status(), QStringLiteral("Height file (reference) loaded: h0.tif"));
    // The deformed files leave the reference on show.
    h.chosen = {twoLevelFile(h, QStringLiteral("h1.tif"), 40, 24, 0.0f, 1.0f)};
    w.onAddHeightDefTiles();
    EXPECT_EQ(w.heightView->image().size(), QSize(40, 24));
    EXPECT_EQ(w.heightRangeLabel->text(), QStringLiteral("Min : -2.5000   Max : 7.2500"));

    w.heightRefRemoveButton->click();
    EXPECT_TRUE(w.referenceHeightPaths.isEmpty());
    EXPECT_TRUE(w.heightView->image().isNull());
    EXPECT_EQ(w.heightRangeLabel->text(), none);

    // Tiles: the first added shows, a selected one replaces it, and removing the
    // tile on show empties the view.
    w.mosaicSwitch->setChecked(true);
    h.chosen = {twoLevelFile(h, QStringLiteral("t1.tif"), 30, 20, 1.0f, 3.0f),
                twoLevelFile(h, QStringLiteral("t2.tif"), 16, 12, -1.0f, 0.5f)};
    w.onAddHeightRefTiles();
    EXPECT_EQ(w.heightView->image().size(), QSize(30, 20));
    w.heightRefTiles.list->item(1)->setSelected(true);
    EXPECT_EQ(w.heightView->image().size(), QSize(16, 12));
    EXPECT_EQ(w.heightRangeLabel->text(), QStringLiteral("Min : -1.0000   Max : 0.5000"));
    w.onRemoveHeightRefTiles();
    EXPECT_EQ(w.referenceHeightPaths.size(), 1);
    EXPECT_TRUE(w.heightView->image().isNull());
    EXPECT_EQ(w.heightRangeLabel->text(), none);
}

HEIGHT_TEST(HeightInputs, AReferenceMapNeverTakesAStatesPlaceAndIsOnShowAgainAfterReopening) {
    {
        // Before any result: the chosen map is on show, and again in the reopened project.
        Heights h;
        MainWidget& w = h.w();
        h.chosen = {twoLevelFile(h, QStringLiteral("h0.tif"), 40, 24, -2.5f, 7.25f)};
        w.onAddHeightRefTiles();
        ASSERT_EQ(w.heightView->image().size(), QSize(40, 24));
        MainWidget again;
        again.loadParametersFromFile(h.folder + QStringLiteral("/parameters.json"));
        EXPECT_EQ(again.referenceHeightPaths, w.referenceHeightPaths);
        EXPECT_EQ(again.heightView->image().size(), QSize(40, 24));
        EXPECT_EQ(again.heightRangeLabel->text(), QStringLiteral("Min : -2.5000   Max : 7.2500"));
        // A reset leaves nothing of it.
        again.resetAllData();
        EXPECT_TRUE(again.heightView->image().isNull());
        EXPECT_EQ(again.heightRangeLabel->text(), QStringLiteral("Min : \u2014    Max : \u2014"));
    }
    // With a state's result on show, choosing another reference keeps that result, its caption and its range.
    Heights h;
    h.setUpTwoStates(kImage);
    MainWidget& w = h.w();
    w.onComputeOutOfPlane();
    ASSERT_EQ(w.shownHeightIndex, 1);
    const QString caption = w.heightStepLabel->text(), range = w.heightRangeLabel->text();
    const QSize shown = w.heightView->image().size();
    h.chosen = {twoLevelFile(h, QStringLiteral("other.tif"), 40, 24, -2.5f, 7.25f)};
    w.onAddHeightRefTiles();
    EXPECT_EQ(w.shownHeightIndex, 1);
    EXPECT_EQ(w.heightStepLabel->text(), caption);
    EXPECT_EQ(w.heightRangeLabel->text(), range);
    EXPECT_EQ(w.heightView->image().size(), shown);
    EXPECT_TRUE(w.outOfPlaneStale) << "the results were computed from the other reference";
}

// Height files keep their rows while images move: a map belongs to the pair it
// was computed from, and once its image pairs with another file it is gone,
// from the window and from the Height folder.
HEIGHT_TEST(SingleImageHeights, MapsOfImagesThatMoveOrGoArePairedAnewNeverShownUnderAnotherImage) {
    Heights h;
    threeStates(h);
    MainWidget& w = h.w();
    w.onComputeOutOfPlane();
    ASSERT_NEAR(shownRise(w, 0), 0.5, 1e-3);
    ASSERT_NEAR(shownRise(w, 1), 1.5, 1e-3);

    // Up on img_b: b now pairs with h1_a and a with h1_b; c keeps its map.
    w.deformedList->setCurrentRow(1);
    w.onMoveUpDeformed();
    EXPECT_TRUE(std::isnan(shownRise(w, 0))) << "img_a's map shown under img_b";
    EXPECT_TRUE(std::isnan(shownRise(w, 1)));
    EXPECT_NEAR(shownRise(w, 2), 2.5, 1e-3);
    EXPECT_FALSE(uzOnDisk(h, "img_a"));
    EXPECT_FALSE(uzOnDisk(h, "img_b"));
    EXPECT_TRUE(uzOnDisk(h, "img_c"));

    // Removing img_a (row 1) moves img_c onto h1_b: its map goes, and so does a's file.
    w.onComputeOutOfPlane();
    ASSERT_TRUE(uzOnDisk(h, "img_a"));
    h.selectRows({1});
    w.onRemoveDeformed();
    EXPECT_FALSE(uzOnDisk(h, "img_a")) << "the removed image's map stays on disk";
    EXPECT_FALSE(uzOnDisk(h, "img_c"));
    EXPECT_TRUE(uzOnDisk(h, "img_b"));
    EXPECT_TRUE(std::isnan(shownRise(w, 1)));
    EXPECT_NEAR(shownRise(w, 0), 0.5, 1e-3) << "img_b with h1_a, as computed";

    // Cleared and refilled, no old map passes for a new image's.
    h.answer = QMessageBox::Yes;
    w.onClearAllDeformed();
    EXPECT_FALSE(uzOnDisk(h, "img_b"));
    h.addDeformed({h.image(QStringLiteral("img_d.tif"), kImage, kImage, QImage::Format_Grayscale8, 8),
                   h.image(QStringLiteral("img_e.tif"), kImage, kImage, QImage::Format_Grayscale8, 9)});
    EXPECT_TRUE(std::isnan(shownRise(w, 0)));
    EXPECT_TRUE(std::isnan(shownRise(w, 1)));
}

// The same from the height list's side: a map whose pairing a drag, a removal
// or a clear undid is gone from disk too, so a reopened project neither shows
// it nor takes it as up to date.
HEIGHT_TEST(SingleImageHeights, MapsOfHeightFilesThatMoveOrGoLeaveTheHeightFolder) {
    Heights h;
    threeStates(h);
    MainWidget& w = h.w();
    w.onComputeOutOfPlane();
    ASSERT_TRUE(uzOnDisk(h, "img_a") && uzOnDisk(h, "img_b") && uzOnDisk(h, "img_c"));

    // h1_a dropped below h1_b: img_a and img_b change files, img_c keeps h1_c.
    w.onHeightClassicRowsMoved(0, 0, 2);
    EXPECT_FALSE(uzOnDisk(h, "img_a"));
    EXPECT_FALSE(uzOnDisk(h, "img_b"));
    EXPECT_TRUE(uzOnDisk(h, "img_c"));

    w.onComputeOutOfPlane();
    ASSERT_TRUE(uzOnDisk(h, "img_a") && uzOnDisk(h, "img_b"));
    w.heightDefFileList->clearSelection();
    w.heightDefFileList->item(1)->setSelected(true);
    w.onRemoveHeightClassicDefTiles();
    EXPECT_TRUE(uzOnDisk(h, "img_a"));
    EXPECT_FALSE(uzOnDisk(h, "img_b")) << "img_b now pairs with h1_c";
    EXPECT_FALSE(uzOnDisk(h, "img_c"));

    w.onClearHeightClassicDefTiles();
    EXPECT_FALSE(uzOnDisk(h, "img_a"));
}

// The caption, the slider and the field are always of one image; a page whose
// field is gone says "No result".
HEIGHT_TEST(SingleImageResults, TheResultPagesFollowTheImageTheyShowThroughMovesAndRemovals) {
    Heights h;
    threeStates(h);
    MainWidget& w = h.w();
    const auto expectShown = [&w](int index, const QString& caption) {
        EXPECT_EQ(w.shownResultIndex, index);
        EXPECT_EQ(w.displacementSlider->value(), index);
        EXPECT_EQ(w.displacementStepLabel->text(), caption);
        ASSERT_TRUE(w.shownDisplacements);
        EXPECT_EQ(w.shownDisplacements, w.results[std::size_t(index)].displacements);
    };
    w.loadAndDisplayResult(1, true);
    w.updateResultSlider();
    expectShown(1, QStringLiteral("Step 2 / 3  \u2014  img_b"));

    w.deformedList->setCurrentRow(1);
    w.onMoveUpDeformed();
    expectShown(0, QStringLiteral("Step 1 / 3  \u2014  img_b"));
    w.deformedList->setCurrentRow(0);
    w.onMoveDownDeformed();
    expectShown(1, QStringLiteral("Step 2 / 3  \u2014  img_b"));

    // img_a goes: img_b, still shown, is step 1 of 2.
    h.selectRows({0});
    w.onRemoveDeformed();
    expectShown(0, QStringLiteral("Step 1 / 2  \u2014  img_b"));
    EXPECT_EQ(w.shownDisplacements->dispX.front(), 2.0f);

    // The image shown goes: its field goes with it, and the image now in its place is shown, never a page
    // that says "No result" while a result is there.
    h.selectRows({0});
    w.onRemoveDeformed();
    expectShown(0, QStringLiteral("Step 1 / 1  \u2014  img_c"));
    EXPECT_EQ(w.shownDisplacements->dispX.front(), 3.0f);
    EXPECT_EQ(w.strainStepLabel->text(), QStringLiteral("Step 1 / 1  \u2014  img_c"));
    EXPECT_FALSE(w.uxView->image().isNull());
    h.answer = QMessageBox::Yes;
    w.onClearAllDeformed();
    EXPECT_EQ(w.displacementStepLabel->text(), QStringLiteral("No result"));
    EXPECT_FALSE(w.shownDisplacements);
}

// A profilometer's export as grey in RGB gives the heights it holds (100 and
// 102, not 257 times that); colour and JPEG never pass for heights.
HEIGHT_TEST(HeightInputs, HeightFilesPassTheChecksOfAnImageAndAFullListCanBeCleared) {
    Heights h;
    MainWidget& w = h.w();
    EXPECT_FALSE(w.heightModeHintLabel->text().contains(QStringLiteral("JPG")));
    h.loadReference(h.image(QStringLiteral("reference.tif"), kImage, kImage, QImage::Format_Grayscale8, 1));
    h.addDeformed({h.image(QStringLiteral("img_a.tif"), kImage, kImage, QImage::Format_Grayscale8, 2)});
    w.results = {Heights::uniformResult(3.0f, 0.0f, 1.0f, -1.0f)};
    w.shownDisplacements = w.results[0].displacements;
    w.shownResultGeometry = w.results[0].geometry;
    const auto greyRgb = [&](const QString& name, int level) {
        QImage rgb(kImage, kImage, QImage::Format_RGB32);
        rgb.fill(qRgb(level, level, level));
        const QString path = h.folder + QLatin1Char('/') + name;
        EXPECT_TRUE(rgb.save(path));
        return path;
    };
    const QString jpeg = greyRgb(QStringLiteral("h1.jpg"), 102);

    h.chosen = {jpeg};
    w.onAddHeightRefTiles();
    EXPECT_TRUE(w.referenceHeightPaths.isEmpty());
    h.chosen = {greyRgb(QStringLiteral("h0.png"), 100)};
    w.onAddHeightRefTiles();
    EXPECT_FALSE(w.heightDefClearButton->isEnabled());
    h.chosen = {jpeg, greyRgb(QStringLiteral("h1.bmp"), 102)};
    w.onAddHeightDefTiles();
    ASSERT_EQ(h.boxes.size(), 2) << h.boxes.join(QLatin1Char('\n')).toStdString();
    for (const QString& box : h.boxes)
        EXPECT_TRUE(box.startsWith(QStringLiteral("Unsupported image format: h1.jpg uses JPEG compression")))
            << box.toStdString();
    ASSERT_EQ(w.deformedHeightStates.front().size(), 1);
    EXPECT_TRUE(w.deformedHeightStates.front().front().endsWith(QStringLiteral("h1.bmp")));
    EXPECT_TRUE(w.heightDefClearButton->isEnabled()) << "files are listed";

    ASSERT_TRUE(w.computeOutOfPlaneButton->isEnabled());
    w.onComputeOutOfPlane();
    EXPECT_EQ(h.boxes.size(), 2) << h.boxes.join(QLatin1Char('\n')).toStdString();
    h.expectRise(QStringLiteral("img_a"), 2.0f);

    w.heightDefClearButton->click();
    EXPECT_TRUE(w.deformedHeightStates.isEmpty() || w.deformedHeightStates.front().isEmpty());
    EXPECT_FALSE(w.heightDefClearButton->isEnabled());
}

// Height files pair with the deformed images by row: each row says with which
// image, whatever order the files were chosen in and whatever moves after.
HEIGHT_TEST(HeightPairing, EachHeightRowNamesItsImageThroughAddsMovesAndRemovals) {
    Heights h;
    MainWidget& w = h.w();
    h.loadReference(h.image(QStringLiteral("reference.tif"), kImage, kImage, QImage::Format_Grayscale8, 1));
    h.addDeformed({h.image(QStringLiteral("load_03.tif"), kImage, kImage, QImage::Format_Grayscale8, 2)});
    h.addDeformed({h.image(QStringLiteral("load_01.tif"), kImage, kImage, QImage::Format_Grayscale8, 3)});
    const Surface flat = [](double, double) { return 0.0; };
    h.chosen = {h.heightFile(QStringLiteral("h3.tif"), kImage, flat), h.heightFile(QStringLiteral("h1.tif"), kImage, flat)};
    w.onAddHeightDefTiles();
    EXPECT_EQ(h.status(), QStringLiteral("2 height file(s) (deformed) added \u2014 sorted by name; each file pairs "
                                         "with the image in the same row"));
    ASSERT_EQ(w.heightDefFileList->count(), 2);
    EXPECT_EQ(w.heightDefFileList->item(0)->text(), QStringLiteral("h1.tif \u2192 load_03"));
    EXPECT_EQ(w.heightDefFileList->item(1)->text(), QStringLiteral("h3.tif \u2192 load_01"));

    h.chosen = {h.heightFile(QStringLiteral("h5.tif"), kImage, flat)};
    w.onAddHeightDefTiles();
    EXPECT_EQ(h.status(), QStringLiteral("1 height file(s) (deformed) added")) << "nothing was reordered";
    EXPECT_EQ(w.heightDefFileList->item(2)->text(), QStringLiteral("h5.tif \u2192 (no image)"));

    // The image list moves and loses rows under the height files.
    h.addDeformed({h.image(QStringLiteral("load_05.tif"), kImage, kImage, QImage::Format_Grayscale8, 4)});
    EXPECT_EQ(w.heightDefFileList->item(2)->text(), QStringLiteral("h5.tif \u2192 load_05"));
    h.selectRows({0});
    w.deformedList->setCurrentRow(0);
    w.onMoveDownDeformed();
    EXPECT_EQ(w.heightDefFileList->item(0)->text(), QStringLiteral("h1.tif \u2192 load_01"));
    EXPECT_EQ(w.heightDefFileList->item(1)->text(), QStringLiteral("h3.tif \u2192 load_03"));
    h.selectRows({2});
    w.onRemoveDeformed();
    EXPECT_EQ(w.heightDefFileList->item(2)->text(), QStringLiteral("h5.tif \u2192 (no image)"));

    // A drag of a row relabels every row it passes.
    ASSERT_TRUE(w.heightDefFileList->model()->moveRow(QModelIndex(), 2, QModelIndex(), 0));
    EXPECT_EQ(w.heightDefFileList->item(0)->text(), QStringLiteral("h5.tif \u2192 load_01"));
    EXPECT_EQ(w.heightDefFileList->item(2)->text(), QStringLiteral("h3.tif \u2192 (no image)"));

    // The caption over a map names the image beside the height file.
    w.results = {Heights::uniformResult(0.f, 0.f, 0.f, 0.f), Heights::uniformResult(0.f, 0.f, 0.f, 0.f)};
    w.heightResultCache.assign(2, HeightCacheEntry{});
    for (HeightCacheEntry& entry : w.heightResultCache) {
        entry.valid = true;
        entry.values.assign(std::size_t(kGrid) * kGrid, 1.0f);
        entry.width = entry.height = kGrid;
    }
    w.loadHeightResult(1, true);
    EXPECT_TRUE(w.heightStepLabel->text().endsWith(QStringLiteral("h1 \u2192 load_03")))
        << w.heightStepLabel->text().toStdString();
}

HEIGHT_TEST(HeightPairing, ArrowsMoveAHeightFileAndForgetTheMapsOfBothPairings) {
    Heights h;
    MainWidget& w = h.w();
    h.loadReference(h.image(QStringLiteral("reference.tif"), kImage, kImage, QImage::Format_Grayscale8, 1));
    h.addDeformed({h.image(QStringLiteral("img_a.tif"), kImage, kImage, QImage::Format_Grayscale8, 2),
                   h.image(QStringLiteral("img_b.tif"), kImage, kImage, QImage::Format_Grayscale8, 3),
                   h.image(QStringLiteral("img_c.tif"), kImage, kImage, QImage::Format_Grayscale8, 4)});
    const Surface flat = [](double, double) { return 0.0; };
    const QString a = h.heightFile(QStringLiteral("ha.tif"), kImage, flat);
    const QString b = h.heightFile(QStringLiteral("hb.tif"), kImage, flat);
    const QString c = h.heightFile(QStringLiteral("hc.tif"), kImage, flat);
    h.chosen = {a, b, c};
    w.onAddHeightDefTiles();
    ASSERT_NE(w.heightDefUpButton, nullptr);
    EXPECT_FALSE(w.heightDefUpButton->isEnabled()) << "nothing chosen";
    EXPECT_FALSE(w.heightDefDownButton->isEnabled());
    w.heightDefFileList->setCurrentRow(0);
    EXPECT_FALSE(w.heightDefUpButton->isEnabled()) << "the first row cannot go up";
    EXPECT_TRUE(w.heightDefDownButton->isEnabled());

    // Maps of every pairing, in memory and on disk.
    w.heightResultRanges = {HeightRangeEntry{0, 0.f, 1.f, 0.f, 1.f}, HeightRangeEntry{1, 0.f, 2.f, 0.f, 2.f},
                            HeightRangeEntry{2, 0.f, 3.f, 0.f, 3.f}};
    QDir().mkpath(h.folder + QLatin1Char('/') + kHeightFolder);
    for (const char* image : {"img_a", "img_b", "img_c"}) {
        QString error;
        ASSERT_TRUE(writeFloatTiff(resultFilePath(h.folder, kHeightFolder, QString::fromLatin1(image),
                                                  QStringLiteral("_uz")),
                                   2, 2, std::vector<float>(4, 1.0f), error, {}))
            << error.toStdString();
    }
    const auto uzExists = [&](const char* image) {
        return QFileInfo::exists(resultFilePath(h.folder, kHeightFolder, QString::fromLatin1(image), QStringLiteral("_uz")));
    };

    w.heightDefDownButton->click();
    EXPECT_EQ(w.deformedHeightStates[0], (QStringList{b, a, c}));
    EXPECT_EQ(h.saved().heightFields->deformedStates.value(0), (QStringList{b, a, c}));
    EXPECT_EQ(w.heightDefFileList->item(1)->text(), QStringLiteral("ha.tif \u2192 img_b"));
    EXPECT_EQ(w.heightDefFileList->currentRow(), 1) << "the moved file stays chosen";
    EXPECT_TRUE(w.heightDefUpButton->isEnabled());
    EXPECT_FALSE(uzExists("img_a"));
    EXPECT_FALSE(uzExists("img_b"));
    EXPECT_TRUE(uzExists("img_c")) << "a pairing the move left alone keeps its map";
    ASSERT_EQ(w.heightResultRanges.size(), 1u);
    EXPECT_EQ(w.heightResultRanges.front().index, 2);

    w.heightDefFileList->setCurrentRow(2);
    EXPECT_FALSE(w.heightDefDownButton->isEnabled()) << "the last row cannot go down";
    w.heightDefUpButton->click();
    EXPECT_EQ(w.deformedHeightStates[0], (QStringList{b, c, a}));
    EXPECT_FALSE(uzExists("img_c"));
    EXPECT_TRUE(w.heightResultRanges.empty());
    EXPECT_EQ(w.heightDefFileList->item(2)->text(), QStringLiteral("ha.tif \u2192 img_c"));
}

// A colour file cannot be a height map: said when it is chosen, with the words
// the computation would use, not when the computation reaches it.
HEIGHT_TEST(HeightInputs, AColourHeightFileIsRefusedWhenAddedWithTheComputationsReason) {
    Heights h;
    MainWidget& w = h.w();
    const QString colour = colourPng(h, QStringLiteral("c.png"));
    std::vector<float> values;
    int width = 0, height = 0;
    QString computeReason;
    ASSERT_FALSE(MainWidget::loadHeightImage(colour, values, width, height, computeReason));

    h.chosen = {colour};
    w.onAddHeightRefTiles();
    EXPECT_TRUE(w.referenceHeightPaths.isEmpty());
    ASSERT_EQ(h.boxes.size(), 1);
    EXPECT_EQ(h.boxes.front(), QStringLiteral("Height file: c.png was not added:\n") + computeReason);
    EXPECT_FALSE(h.status().startsWith(QStringLiteral("Height file (reference) loaded")));

    // Grey kept in RGB is still a height map; the colour file beside it is not.
    QImage greyRgb(kImage, kImage, QImage::Format_RGB32);
    greyRgb.fill(qRgb(100, 100, 100));
    const QString grey = h.folder + QStringLiteral("/g.png");
    ASSERT_TRUE(greyRgb.save(grey));
    h.chosen = {colour, grey};
    w.onAddHeightDefTiles();
    EXPECT_EQ(w.deformedHeightStates.value(0), QStringList{grey});
    EXPECT_EQ(h.boxes.size(), 2);

    // The same in the mosaic lists, reference and deformed.
    w.mosaicSwitch->setChecked(true);
    h.chosen = {colour};
    w.onAddHeightRefTiles();
    EXPECT_TRUE(w.referenceHeightPaths.isEmpty());
    w.onAddHeightDefState();
    h.chosen = {colour, grey};
    w.onAddHeightDefTiles();
    EXPECT_EQ(w.currentHeightDefTiles(), QStringList{grey});
    EXPECT_TRUE(h.boxes.last().startsWith(QStringLiteral("Height file: c.png was not added:"))) << h.boxes.join(QLatin1Char('|')).toStdString();

    // A JPEG height file is refused for what JPEG does to heights.
    const QString jpeg = h.folder + QStringLiteral("/h.jpg");
    ASSERT_TRUE(greyRgb.save(jpeg));
    h.chosen = {jpeg};
    const qsizetype before = h.boxes.size();
    w.onAddHeightRefTiles();
    ASSERT_EQ(h.boxes.size(), before + 1);
    EXPECT_TRUE(h.boxes.last().contains(QStringLiteral("heights"))) << h.boxes.last().toStdString();
    EXPECT_FALSE(h.boxes.last().contains(QStringLiteral("speckle"))) << h.boxes.last().toStdString();
    QString jpegReason;
    ASSERT_FALSE(MainWidget::loadHeightImage(jpeg, values, width, height, jpegReason));
    EXPECT_FALSE(jpegReason.contains(QStringLiteral("speckle")));
}

// A reference map that cannot be read when the computation starts ends the
// computation in the status line too, not only in its box.
HEIGHT_TEST(OutOfPlanePerState, AnUnreadableReferenceMapEndsTheComputationInTheStatus) {
    Heights h;
    h.setUpTwoStates(kImage);
    MainWidget& w = h.w();
    ASSERT_TRUE(QFile::remove(w.referenceHeightPaths.front()));
    w.onComputeOutOfPlane();
    ASSERT_EQ(h.boxes.size(), 1);
    EXPECT_TRUE(h.boxes.front().startsWith(QStringLiteral("Error: Failed to load h\u2080:")));
    EXPECT_TRUE(h.status().startsWith(QStringLiteral("Failed to load h\u2080:"))) << h.status().toStdString();
    EXPECT_TRUE(w.computeOutOfPlaneButton->isEnabled());
}

// The first reference tile is fitted to its view, as the ones chosen later are.
HEIGHT_TEST(HeightInputs, TheFirstReferenceTileAddedIsFittedToItsView) {
    Heights h;
    MainWidget& w = h.w();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    w.mosaicSwitch->setChecked(true);
    QCoreApplication::processEvents();
    h.chosen = {h.image(QStringLiteral("t1.tif"), 2000, 1500, QImage::Format_Grayscale8, 1),
                h.image(QStringLiteral("t2.tif"), 2000, 1500, QImage::Format_Grayscale8, 2)};
    w.onAddMosaicRefTiles();
    QCoreApplication::processEvents();
    EXPECT_TRUE(w.referenceView->isFitted());
}

}  // namespace tavro::gui
