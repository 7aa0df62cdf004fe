#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/elided_label.h"
#include "images/image_write.h"
#include "gui/foundation/message_boxes.h"
#include "gui/mainwindow/input_rules.h"
#include "gui/mainwindow/run_async.h"
#include "gui/project/project_parameters.h"
#include "window_session.h"
#include "support/temp_dir.h"
#include "support/test_application.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace tavro::gui {

using session::speckle;
using session::writeImage;

struct MainWidgetInputsTestAccess {
    using Session = WindowTestSession;

    static void LoadsInTheBackgroundKeepsItsRegionAndRefusesJpeg();
    static void ClearingItClearsTheMaskAndIsSaved();
    static void AReferenceOfAnotherSizeThanTheDeformedImagesIsRefusedAndChangesNothing();
    static void AreAddedInOrderSkippingUnreadableFilesWhileTheWindowIsBusy();
    static void RemovingMovingAndClearingCarryTheResultsAndAreSaved();
    static void StopCancelsTheLoadingOfAddedImages();
    static void AFullResolutionReadIsStoredOnlyInTheRowItWasReadFor();
    static void TheMaskMustMatchTheReferenceWheneverEitherChanges();
    static void TheBoxesPlaceTheRegionInFilePixelsAndTheViewsInShownPixels();
    static void TheNeuralPresetsAreSavedOnceAndRestoredOnce();
    static void CrackOptionsShowOnlyForHeavisideModels();
};

using Access = MainWidgetInputsTestAccess;

#define INPUTS_TEST(Suite, Name)               \
    TEST(Suite, Name) {                        \
        MainWidgetInputsTestAccess::Name();    \
    }                                          \
    void MainWidgetInputsTestAccess::Name()

TEST(InputRules, JpegFilesAreRefusedBySuffixInAnyCase) {
    const LossySplit split = splitLossyImages({QStringLiteral("/a/ref.tif"), QStringLiteral("/a/d1.JPG"),
                                               QStringLiteral("/a/d2.jpeg"), QStringLiteral("/b/d3.png"),
                                               QStringLiteral("/b/d4.Jfif"), QStringLiteral("/b/d5.jpe")});
    EXPECT_EQ(split.kept, (QStringList{QStringLiteral("/a/ref.tif"), QStringLiteral("/b/d3.png")}));
    EXPECT_EQ(split.rejectedNames, (QStringList{QStringLiteral("d1.JPG"), QStringLiteral("d2.jpeg"),
                                                QStringLiteral("d4.Jfif"), QStringLiteral("d5.jpe")}));
    EXPECT_TRUE(lossyRejectionText({QStringLiteral("d1.JPG")}).startsWith(QStringLiteral("d1.JPG uses JPEG")));
    EXPECT_TRUE(lossyRejectionText({QStringLiteral("a.jpg"), QStringLiteral("b.jpg"), QStringLiteral("c.jpg")})
                    .startsWith(QStringLiteral("a.jpg and 2 other file(s) uses JPEG compression")));
    EXPECT_FALSE(isLossyImagePath(QStringLiteral("/a/jpg/speckle.tiff")));
}

TEST(InputRules, ImagesWhoseResultFilesWouldCoincideClash) {
    const QStringList existing{QStringLiteral("/x/img_01.tif"), QStringLiteral("/x/run.2.png")};
    EXPECT_EQ(resultNameClash(QStringLiteral("/y/IMG_01.png"), existing), QStringLiteral("/x/img_01.tif"));
    EXPECT_EQ(resultNameClash(QStringLiteral("/y/run.2.bmp"), existing), QStringLiteral("/x/run.2.png"));
    EXPECT_FALSE(resultNameClash(QStringLiteral("/x/img_010.tif"), existing));
    EXPECT_FALSE(resultNameClash(QStringLiteral("/x/run.3.png"), existing));
}

TEST(InputRules, RoiBoxesAreCutToTheImageThenMovedIntoIt) {
    const QSize image(1000, 800);
    EXPECT_EQ(roiFromBoxes(900, 10, 300, 50, image), QRect(700, 10, 300, 50));
    EXPECT_EQ(roiFromBoxes(400, 0, 5000, 50, image), QRect(0, 0, 1000, 50));
    EXPECT_TRUE(roiFromBoxes(10, 10, 0, 50, image).isNull());
    EXPECT_TRUE(roiFromBoxes(10, 10, 50, 50, QSize()).isNull());

    EXPECT_EQ(roiForBoxes(QRect(), image), QRect(0, 0, 1000, 800));
    EXPECT_EQ(roiForBoxes(QRect(900, 700, 300, 300), image), QRect(900, 700, 100, 100));
    EXPECT_EQ(roiForBoxes(QRect(2000, 0, 10, 10), image), QRect(0, 0, 1000, 800));
    EXPECT_EQ(roiLabelText(QRect(), QSize()), QStringLiteral("ROI : aucune image"));
    EXPECT_EQ(roiLabelText(QRect(), image), QStringLiteral("ROI : pleine image (0, 0) 1000 x 800"));
    EXPECT_EQ(roiLabelText(QRect(5000, 0, 5, 5), image), QStringLiteral("ROI : pleine image (0, 0) 1000 x 800"));
    EXPECT_EQ(roiLabelText(QRect(990, 5, 20, 10), image), QStringLiteral("ROI : (990, 5) 10 x 10"));
}

TEST(InputRules, StepCaptionsAndHistogramSamples) {
    EXPECT_EQ(stateStepText(QStringLiteral("Step"), 0, 3, QStringLiteral("img_01")),
              QStringLiteral("Step 1 / 3  \u2014  img_01"));
    EXPECT_EQ(stateStepText(QStringLiteral("Step"), 0, 0, QStringLiteral("img_01")), QStringLiteral("Step \u2014 / \u2014"));
    EXPECT_EQ(stateStepText(QStringLiteral("Deformed"), 1, 2, QString()), QStringLiteral("Deformed 2 / 2"));
    EXPECT_EQ(minMaxText(true, 0.0f, 255.0f), QStringLiteral("Min : 0    Max : 255"));

    QImage low(40, 40, QImage::Format_Grayscale16);
    low.fill(0);
    reinterpret_cast<quint16*>(low.scanLine(3))[7] = 255;
    for (float sample : histogramSamples(low))
        EXPECT_EQ(sample, 0.0f) << "the high byte of values below 256";
    EXPECT_EQ(histogramSamples(speckle(30, 30, QImage::Format_Grayscale8, 1)).size(), 900u);
    EXPECT_EQ(sampleStepForCount(4000, 3000), 109);
    EXPECT_EQ(sampleStepForCount(1000, 1), 1);
    EXPECT_EQ(sampleStepForCount(0, 5), 1);
    EXPECT_EQ(histogramSamples(QImage(4000, 3000, QImage::Format_Grayscale8)).size(), 37u * 28u);
}

INPUTS_TEST(ReferenceImage, LoadsInTheBackgroundKeepsItsRegionAndRefusesJpeg) {
    Access::Session s;
    MainWidget& w = s.w();
    const QString first = s.image(QStringLiteral("ref_a.tif"), 4096, 1024, QImage::Format_Grayscale16, 1);
    s.loadReference(first);
    ASSERT_EQ(w.referenceImage.full.size(), QSize(4096, 1024));
    EXPECT_EQ(w.referencePathEdit->text(), QStringLiteral("ref_a.tif"));
    EXPECT_EQ(s.status(), QStringLiteral("Loaded: ref_a.tif (4096 x 1024)"));
    EXPECT_EQ(w.referenceView->image().size(), QSize(2048, 512)) << "the view shows the preview";
    EXPECT_TRUE(w.clearReferenceButton->isEnabled());
    EXPECT_TRUE(w.roiWidthSpin->isEnabled());
    EXPECT_EQ(w.roiWidthSpin->maximum(), 4096);
    EXPECT_EQ(w.roiWidthSpin->value(), 4096) << "no region: the boxes show the whole image";
    EXPECT_EQ(s.saved().referenceImage, first);

    // A rectangle drawn in the preview is twice as large in file pixels.
    w.referenceView->setRoi(QRect(10, 20, 100, 50));
    EXPECT_EQ(QRect(w.roiXSpin->value(), w.roiYSpin->value(), w.roiWidthSpin->value(), w.roiHeightSpin->value()),
              QRect(20, 40, 200, 100));
    EXPECT_EQ(s.saved().roi, QRect(20, 40, 200, 100));

    const QString second = s.image(QStringLiteral("ref_b.png"), 4096, 1024, QImage::Format_Grayscale8, 2);
    s.loadReference(second);
    EXPECT_EQ(w.referenceImage.path, second);
    EXPECT_EQ(w.referenceView->roi(), QRect(10, 20, 100, 50)) << "the drawn region survives a new reference";
    EXPECT_EQ(w.roiWidthSpin->value(), 200);

    const QString jpeg = s.folder + QStringLiteral("/ref_c.JPG");
    writeImage(jpeg, speckle(64, 64, QImage::Format_Grayscale8, 3));
    s.loadReference(jpeg);
    ASSERT_EQ(s.boxes.size(), 1);
    EXPECT_TRUE(s.boxes.front().startsWith(QStringLiteral("Unsupported image format: ref_c.JPG uses JPEG")));
    EXPECT_EQ(w.referenceImage.path, second);

    s.chosen = {s.folder + QStringLiteral("/missing.tif")};
    w.onSelectReference();
    ASSERT_EQ(s.boxes.size(), 2);
    EXPECT_TRUE(s.boxes.last().startsWith(QStringLiteral("Loading: "))) << s.boxes.last().toStdString();
    EXPECT_EQ(w.referenceImage.path, second) << "a failed load leaves the reference alone";
}

INPUTS_TEST(ReferenceImage, AReferenceOfAnotherSizeThanTheDeformedImagesIsRefusedAndChangesNothing) {
    Access::Session s;
    MainWidget& w = s.w();
    const QString reference = s.image(QStringLiteral("ref.tif"), 64, 48, QImage::Format_Grayscale8, 1);
    s.loadReference(reference);
    s.addDeformed({s.image(QStringLiteral("d1.tif"), 64, 48, QImage::Format_Grayscale8, 2),
                   s.image(QStringLiteral("d2.tif"), 64, 48, QImage::Format_Grayscale8, 3)});
    auto shown = std::make_shared<PixelDisplacementResult>();
    shown->dispX = {1.0f};
    w.shownDisplacements = shown;
    const QByteArray parameters = [&] {
        QFile file(s.folder + QStringLiteral("/parameters.json"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }();
    ASSERT_FALSE(parameters.isEmpty());
    s.boxes.clear();

    s.loadReference(s.image(QStringLiteral("tiny.tif"), 1, 1, QImage::Format_Grayscale8, 4));
    ASSERT_EQ(s.boxes.size(), 1);
    EXPECT_EQ(s.boxes.front(), QStringLiteral("Images: All images must have the same size: tiny.tif is 1\u00d71, the "
                                              "deformed image d1.tif 64\u00d748.\n\nThe reference was not changed."));
    EXPECT_EQ(w.referenceImage.path, reference);
    EXPECT_EQ(w.referenceSize(), QSize(64, 48));
    EXPECT_EQ(w.referencePathEdit->text(), QStringLiteral("ref.tif"));
    EXPECT_EQ(w.shownDisplacements, shown) << "the result shown stays";
    QFile file(s.folder + QStringLiteral("/parameters.json"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), parameters) << "the project still names the old reference";

    // A reference of the images' size is taken as before.
    const QString other = s.image(QStringLiteral("ref_b.tif"), 64, 48, QImage::Format_Grayscale8, 5);
    s.loadReference(other);
    EXPECT_EQ(s.boxes.size(), 1);
    EXPECT_EQ(w.referenceImage.path, other);
}

INPUTS_TEST(ReferenceImage, ClearingItClearsTheMaskAndIsSaved) {
    Access::Session s;
    MainWidget& w = s.w();
    s.loadReference(s.image(QStringLiteral("ref.tif"), 300, 200, QImage::Format_Grayscale8, 1));
    w.useMaskCheck->setChecked(true);
    s.chosen = {s.image(QStringLiteral("mask.png"), 300, 200, QImage::Format_Grayscale8, 2)};
    w.onSelectMask();
    ASSERT_FALSE(w.maskImage.isNull());
    ASSERT_FALSE(s.saved().maskImage.isEmpty());

    w.onClearReference();
    EXPECT_TRUE(w.referenceImage.displayImage().isNull());
    EXPECT_TRUE(w.referencePathEdit->text().isEmpty());
    EXPECT_FALSE(w.clearReferenceButton->isEnabled());
    EXPECT_TRUE(w.maskImage.isNull());
    EXPECT_EQ(s.status(), QStringLiteral("Reference image deleted"));
    const ProjectParameters saved = s.saved();
    EXPECT_TRUE(saved.referenceImage.isEmpty());
    EXPECT_TRUE(saved.maskImage.isEmpty());
    EXPECT_EQ(w.roiWidthSpin->maximum(), 0);
}

INPUTS_TEST(DeformedImages, AreAddedInOrderSkippingUnreadableFilesWhileTheWindowIsBusy) {
    Access::Session s;
    MainWidget& w = s.w();
    const QStringList files{s.image(QStringLiteral("d1.tif"), 120, 80, QImage::Format_Grayscale8, 1),
                            s.image(QStringLiteral("d2.png"), 120, 80, QImage::Format_Grayscale16, 2),
                            s.folder + QStringLiteral("/d3.tif"),
                            s.image(QStringLiteral("d4.bmp"), 120, 80, QImage::Format_Grayscale8, 4),
                            s.image(QStringLiteral("d5.tif"), 120, 80, QImage::Format_Grayscale16, 5)};
    QFile broken(files[2]);
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
    broken.write("II*\0 not a tiff at all");
    broken.close();

    bool busyMidway = false;
    s.whileBoxOpen = [&] {
        busyMidway = !w.computeButton->isEnabled() && !w.loadProjectButton->isEnabled() &&
                     !w.clearDeformedButton->isEnabled() && w.stopButton->isEnabled();
    };
    s.addDeformed(files);
    ASSERT_EQ(s.boxes.size(), 1);
    EXPECT_TRUE(s.boxes.front().startsWith(QStringLiteral("Image: Unable to load ") + files[2] + QLatin1Char(':')));
    EXPECT_TRUE(busyMidway) << "the inputs stay disabled for the whole loop";
    EXPECT_TRUE(w.computeButton->isEnabled());
    EXPECT_FALSE(w.stopButton->isEnabled());
    EXPECT_EQ(s.status(), QStringLiteral("4 image(s) added"));
    ASSERT_EQ(w.deformedImages.size(), 4u);
    EXPECT_EQ(w.deformedList->count(), 4);
    EXPECT_EQ(w.deformedList->item(2)->text(), QStringLiteral("d4.bmp"));
    EXPECT_EQ(w.deformedCountLabel->text(), QStringLiteral("4 images"));
    EXPECT_TRUE(w.deformedHintLabel->isHidden());
    EXPECT_EQ(w.deformedSlider->maximum(), 3);
    EXPECT_TRUE(w.deformedSlider->isEnabled());
    EXPECT_EQ(w.deformedTitleLabel->text(), QStringLiteral("Deformed 1 / 4  \u2014  d1"));
    EXPECT_EQ(w.deformedView->image().size(), QSize(120, 80));
    EXPECT_EQ(s.saved().deformedImages, (QStringList{files[0], files[1], files[3], files[4]}));

    w.onNextDeformed();
    EXPECT_EQ(w.shownDeformedIndex, 1);
    EXPECT_EQ(w.deformedTitleLabel->text(), QStringLiteral("Deformed 2 / 4  \u2014  d2"));
    EXPECT_TRUE(w.deformedPrevButton->isEnabled());
}

INPUTS_TEST(DeformedImages, RemovingMovingAndClearingCarryTheResultsAndAreSaved) {
    Access::Session s;
    MainWidget& w = s.w();
    QStringList files;
    for (int i = 0; i < 5; ++i)
        files << s.image(QStringLiteral("state_%1.tif").arg(i), 64, 48, QImage::Format_Grayscale8, i);
    s.addDeformed(files);
    ASSERT_EQ(w.deformedImages.size(), 5u);
    w.results.resize(5);
    for (int i = 0; i < 5; ++i)
        w.results[static_cast<std::size_t>(i)].rigid.shiftX = static_cast<float>(i);

    s.selectRows({1, 3});
    w.onRemoveDeformed();
    ASSERT_EQ(w.deformedImages.size(), 3u);
    ASSERT_EQ(w.results.size(), 3u);
    EXPECT_EQ(s.saved().deformedImages, (QStringList{files[0], files[2], files[4]}));
    EXPECT_EQ(w.results[1].rigid.shiftX, 2.0f) << "a result stays with its image";

    // The current image is followed by the view's index when it moves...
    w.deformedList->setCurrentRow(2);
    ASSERT_EQ(w.shownDeformedIndex, 2);
    w.onMoveUpDeformed();
    EXPECT_EQ(w.shownDeformedIndex, 1);
    EXPECT_EQ(w.deformedList->currentRow(), 1);
    EXPECT_EQ(w.results[1].rigid.shiftX, 4.0f);
    EXPECT_EQ(s.saved().deformedImages, (QStringList{files[0], files[4], files[2]}));
    // ...and when its neighbour moves past it.
    w.deformedList->setCurrentRow(0);
    w.onMoveDownDeformed();
    EXPECT_EQ(w.deformedImages[1].path, files[0]);
    EXPECT_EQ(w.results[0].rigid.shiftX, 4.0f);
    EXPECT_EQ(s.saved().deformedImages, (QStringList{files[4], files[0], files[2]}));

    // A second image named like one in the list would write over its results.
    const QString twin = s.folder + QStringLiteral("/other");
    ASSERT_TRUE(QDir().mkpath(twin));
    s.addDeformed({s.image(QStringLiteral("other/state_0.png"), 64, 48, QImage::Format_Grayscale8, 9)});
    ASSERT_EQ(s.boxes.size(), 1);
    EXPECT_TRUE(s.boxes.front().contains(twin + QStringLiteral("/state_0.png")));
    EXPECT_TRUE(s.boxes.front().contains(files[0]));
    EXPECT_EQ(w.deformedImages.size(), 3u);

    s.answer = QMessageBox::No;
    w.onClearAllDeformed();
    EXPECT_EQ(w.deformedImages.size(), 3u);
    s.answer = QMessageBox::Yes;
    w.onClearAllDeformed();
    EXPECT_TRUE(w.deformedImages.empty());
    EXPECT_TRUE(w.results.empty());
    EXPECT_EQ(w.deformedList->count(), 0);
    EXPECT_TRUE(w.deformedCountLabel->isHidden());
    EXPECT_FALSE(w.deformedHintLabel->isHidden());
    EXPECT_EQ(w.deformedSlider->maximum(), 0);
    EXPECT_FALSE(w.deformedSlider->isEnabled());
    EXPECT_TRUE(w.deformedView->image().isNull());
    EXPECT_EQ(s.status(), QStringLiteral("All deformed images have been deleted."));
    EXPECT_TRUE(s.saved().deformedImages.isEmpty());
}

INPUTS_TEST(DeformedImages, StopCancelsTheLoadingOfAddedImages) {
    Access::Session s;
    MainWidget& w = s.w();
    QStringList files;
    for (int i = 0; i < 3; ++i)
        files << s.image(QStringLiteral("d%1.tif").arg(i), 64, 48, QImage::Format_Grayscale8, i);
    // Pressed as soon as the first load lets events through.
    QTimer::singleShot(0, &w, [&w] {
        ASSERT_TRUE(w.stopButton->isEnabled());
        w.stopButton->click();
    });
    s.addDeformed(files);
    EXPECT_TRUE(w.deformedImages.empty());
    EXPECT_EQ(s.status(), QStringLiteral("Loading cancelled."));
    EXPECT_FALSE(w.stopButton->isEnabled());
    EXPECT_TRUE(w.computeButton->isEnabled());
}

INPUTS_TEST(DeformedImages, AFullResolutionReadIsStoredOnlyInTheRowItWasReadFor) {
    Access::Session s;
    MainWidget& w = s.w();
    // Wider than a preview: only the preview stays in memory.
    const QString a = s.image(QStringLiteral("a.tif"), 2100, 40, QImage::Format_Grayscale8, 1);
    const QString b = s.image(QStringLiteral("b.tif"), 2100, 40, QImage::Format_Grayscale8, 2);
    s.addDeformed({a, b});
    ASSERT_EQ(w.deformedImages.size(), 2u);
    ASSERT_TRUE(w.deformedImages[0].full.isNull());
    ASSERT_TRUE(w.deformedImages[1].full.isNull());

    QString error;
    ASSERT_TRUE(w.ensureDeformedGrayLoaded(1, error)) << error.toStdString();
    EXPECT_EQ(w.deformedImages[1].full, speckle(2100, 40, QImage::Format_Grayscale8, 2));
    ASSERT_TRUE(w.ensureDeformedGrayLoaded(0, error));
    EXPECT_TRUE(w.deformedImages[1].full.isNull()) << "one deformed image at full resolution at a time";

    // The rows swap while b is read for row 1, which then holds a.
    QTimer::singleShot(0, &w, [&w] {
        w.deformedList->setCurrentRow(1);
        w.onMoveUpDeformed();
    });
    EXPECT_FALSE(w.ensureDeformedGrayLoaded(1, error));
    EXPECT_EQ(error, QStringLiteral("Image list changed while loading"));
    EXPECT_EQ(w.deformedImages[1].path, a);
    EXPECT_TRUE(w.deformedImages[1].full.isNull());

    {
        // As between two images of a run, which holds the window busy.
        const BusyScope busy(&w, true);
        QTimer::singleShot(0, &w, [&w] { w.stopButton->click(); });
        EXPECT_FALSE(w.ensureDeformedGrayLoaded(1, error));
        EXPECT_EQ(error, QStringLiteral("Loading cancelled, or not enough memory"));
    }

    EXPECT_FALSE(w.ensureDeformedGrayLoaded(2, error));
    EXPECT_EQ(error, QStringLiteral("Invalid deformed image index"));

    // A file replaced on disk since it was added is not correlated unseen.
    w.loadCancelFlag->store(false);  // as the next run starts
    writeImage(a, speckle(2000, 40, QImage::Format_Grayscale8, 3));
    EXPECT_FALSE(w.ensureDeformedGrayLoaded(1, error));
    EXPECT_TRUE(error.contains(QStringLiteral("changed on disk"))) << error.toStdString();
}

INPUTS_TEST(MaskAndRoi, TheMaskMustMatchTheReferenceWheneverEitherChanges) {
    Access::Session s;
    MainWidget& w = s.w();
    w.useMaskCheck->setChecked(true);
    const QString small = s.image(QStringLiteral("mask_small.png"), 1000, 800, QImage::Format_Grayscale8, 1);
    s.chosen = {small};
    w.onSelectMask();
    ASSERT_EQ(s.boxes.size(), 1);
    EXPECT_EQ(s.boxes.last(), QStringLiteral("Mask: Please load a reference image first before loading a mask."));

    s.loadReference(s.image(QStringLiteral("ref.tif"), 1000, 801, QImage::Format_Grayscale8, 2));
    s.chosen = {small};
    w.onSelectMask();
    EXPECT_EQ(s.boxes.last(), QStringLiteral("Mask: The mask size (1000x800) does not match the reference image size "
                                             "(1000x801).\n\nThe mask must have exactly the same dimensions."));
    EXPECT_TRUE(w.maskImage.isNull());

    s.chosen = {s.folder + QStringLiteral("/mask.jpeg")};
    w.onSelectMask();
    EXPECT_TRUE(s.boxes.last().startsWith(QStringLiteral("Unsupported image format: mask.jpeg")));

    const QString fitting = s.image(QStringLiteral("mask.png"), 1000, 801, QImage::Format_Grayscale8, 3);
    s.chosen = {fitting};
    w.onSelectMask();
    ASSERT_FALSE(w.maskImage.isNull());
    EXPECT_EQ(s.status(), QStringLiteral("Mask loaded: 1000x801 pixels"));
    EXPECT_EQ(w.maskPathEdit->text(), QStringLiteral("mask.png"));
    EXPECT_TRUE(w.maskActive);
    EXPECT_FALSE(w.maskOverlayButton->isHidden());
    EXPECT_EQ(s.saved().maskImage, fitting);
    w.maskOverlayButton->setChecked(false);
    EXPECT_FALSE(w.maskImage.isNull()) << "hiding the overlay keeps the mask";

    // A new reference of another size takes the mask away, with a word why.
    const int before = static_cast<int>(s.boxes.size());
    s.loadReference(s.image(QStringLiteral("ref_wide.tif"), 1200, 801, QImage::Format_Grayscale8, 4));
    ASSERT_EQ(s.boxes.size(), before + 1);
    EXPECT_TRUE(s.boxes.last().startsWith(QStringLiteral("Mask: The mask mask.png (1000x801) does not match")));
    EXPECT_TRUE(w.maskImage.isNull());
    EXPECT_TRUE(s.saved().maskImage.isEmpty());

    // A mask that came in unchecked is checked again before a computation.
    s.addDeformed({s.image(QStringLiteral("def.tif"), 1200, 801, QImage::Format_Grayscale8, 5)});
    w.maskImage = QImage(1000, 801, QImage::Format_Grayscale8);
    w.maskPath = fitting;
    EXPECT_FALSE(w.checkInputImagesLoaded());
    EXPECT_TRUE(w.maskImage.isNull());
    EXPECT_TRUE(w.checkInputImagesLoaded());
}

INPUTS_TEST(MaskAndRoi, TheBoxesPlaceTheRegionInFilePixelsAndTheViewsInShownPixels) {
    Access::Session s;
    MainWidget& w = s.w();
    s.loadReference(s.image(QStringLiteral("ref.tif"), 4096, 1024, QImage::Format_Grayscale8, 1));
    s.addDeformed({s.image(QStringLiteral("def.tif"), 4096, 1024, QImage::Format_Grayscale8, 2)});

    w.roiWidthSpin->setValue(600);
    w.roiHeightSpin->setValue(300);
    w.roiXSpin->setValue(3900);
    EXPECT_EQ(w.roiXSpin->value(), 3496) << "moved inside the image";
    EXPECT_EQ(w.referenceView->roi(), QRect(1748, 0, 300, 150));
    EXPECT_EQ(w.deformedView->roi(), w.referenceView->roi()) << "the deformed view shows the same region";
    EXPECT_EQ(s.saved().roi, QRect(3496, 0, 600, 300));

    // The overlay lies over the preview the view shows, not over a quarter of it.
    w.useMaskCheck->setChecked(true);
    s.chosen = {s.image(QStringLiteral("mask.tif"), 4096, 1024, QImage::Format_Grayscale8, 3)};
    w.onSelectMask();
    QSize overlay;
    for (const QGraphicsItem* item : w.referenceView->scene()->items())
        if (const auto* pixmap = dynamic_cast<const QGraphicsPixmapItem*>(item); pixmap && item->zValue() == 1.0)
            overlay = pixmap->pixmap().size();
    EXPECT_EQ(overlay, QSize(2048, 512));

    w.roiWidthSpin->setMinimum(0);
    w.roiWidthSpin->setValue(0);
    EXPECT_TRUE(w.referenceView->roi().isNull());
    EXPECT_TRUE(w.deformedView->roi().isNull());
    EXPECT_EQ(w.roiWidthSpin->value(), 4096) << "the whole image";
    EXPECT_EQ(s.saved().roi, QRect(0, 0, 0, 0));
}

INPUTS_TEST(KinematicModel, TheNeuralPresetsAreSavedOnceAndRestoredOnce) {
    Access::Session s;
    MainWidget& w = s.w();
    QComboBox* models = w.computationModeCombo;
    w.windowSizeXSpin->setValue(31);
    w.spacingXSpin->setValue(4);
    ASSERT_EQ(w.windowSizeYSpin->value(), 31);

    models->setCurrentIndex(models->findData(4));
    EXPECT_EQ(w.currentComputationModeId(), 4);
    EXPECT_EQ(w.windowSizeXSpin->value(), 65);
    EXPECT_EQ(w.windowSizeYSpin->value(), 65);
    EXPECT_EQ(w.spacingXSpin->value(), 1);
    EXPECT_EQ(w.spacingYSpin->value(), 1);
    EXPECT_TRUE(w.interpolationCombo->isHidden());
    EXPECT_TRUE(w.maxIterationsSpin->isHidden());
    EXPECT_TRUE(w.nlcFilterCheck->isHidden());
    EXPECT_FALSE(w.nlcFilterCheck->isChecked());
    ProjectParameters saved = s.saved();
    EXPECT_EQ(saved.windowSizeX, 31) << "the file keeps the user's window";
    EXPECT_EQ(saved.stepX, 4);
    w.onDegreeOfFreedomChanged(models->currentIndex());
    EXPECT_EQ(s.saved().windowSizeX, 31) << "a second run keeps the user's values aside";

    // Reopening the project puts the presets up again over the user's values.
    w.loadParametersFromFile(s.folder + QStringLiteral("/parameters.json"));
    EXPECT_EQ(w.currentComputationModeId(), 4);
    EXPECT_EQ(w.windowSizeXSpin->value(), 65);
    EXPECT_EQ(s.saved().windowSizeX, 31);

    models->setCurrentIndex(models->findData(1));
    EXPECT_EQ(w.windowSizeXSpin->value(), 31);
    EXPECT_EQ(w.windowSizeYSpin->value(), 31);
    EXPECT_EQ(w.spacingXSpin->value(), 4);
    EXPECT_FALSE(w.interpolationCombo->isHidden());
    EXPECT_FALSE(w.nlcFilterCheck->isHidden());
    EXPECT_EQ(s.saved().windowSizeX, 31);
}

INPUTS_TEST(KinematicModel, CrackOptionsShowOnlyForHeavisideModels) {
    Access::Session s;
    MainWidget& w = s.w();
    QComboBox* models = w.computationModeCombo;
    for (int id : {2, 3}) {
        models->setCurrentIndex(models->findData(id));
        EXPECT_FALSE(w.twinningCheck->isHidden()) << id;
        EXPECT_FALSE(w.maxJumpInitSpin->isHidden()) << id;
        w.twinningCheck->setChecked(true);
    }
    for (int id : {0, 1}) {
        models->setCurrentIndex(models->findData(id));
        EXPECT_TRUE(w.twinningCheck->isHidden()) << id;
        EXPECT_FALSE(w.twinningCheck->isChecked()) << id;
        EXPECT_TRUE(w.maxJumpInitSpin->isHidden()) << id;
    }
    models->addItem(QStringLiteral("no data"));
    models->setCurrentIndex(models->count() - 1);
    EXPECT_EQ(w.currentComputationModeId(), 1);
}

}  // namespace tavro::gui
