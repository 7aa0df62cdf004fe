#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/contrast_histogram_widget.h"
#include "images/field_rendering.h"
#include "gui/foundation/message_boxes.h"
#include "gui/mainwindow/input_rules.h"
#include "gui/mainwindow/run_async.h"
#include "gui/style/switch_widget.h"
#include "support/temp_dir.h"
#include "window_session.h"

#include <QCoreApplication>
#include <QDialog>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QToolButton>
#include <QUrl>
#include <QUrlQuery>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace tavro::gui {

using session::speckle;
using session::writeImage;

struct MainWidgetInputViewsTestAccess {
    using Session = WindowTestSession;

    static void ReadOutsGiveFileGreyLevelsAtFullResolution();
    static void TheWindowsReRenderTheViewsAndSurviveImageChanges();
    static void DropsGoToTheVisiblePageAndAreRefusedWhileBusy();
    static void DroppedTilesAreSortedByNameAndDuplicatesReported();
    static void TheManualAndTheAboutBox();
    static void ARestoredWindowReturnsInsideTheScreen();
    static void FitAndOneToOneShowWhatEachViewDraws();

    // The scale of a fit of the whole image into the viewport, as QGraphicsView
    // makes it (a 2-pixel margin on each side).
    static double fittedScale(const ImageViewWidget* view) {
        const QRectF room = QRectF(view->viewport()->rect()).adjusted(2, 2, -2, -2);
        const QSize size = view->image().size();
        return std::min(room.width() / size.width(), room.height() / size.height());
    }

    // Each button of the pair is checked exactly when its view draws that zoom.
    static void expectButtonsShowTheViews(MainWidget& w, const char* step) {
        const struct {
            ImageViewWidget* view;
            QToolButton* fit;
            QToolButton* oneToOne;
        } sides[] = {{w.referenceView, w.referenceFitButton, w.referenceOneToOneButton},
                     {w.deformedView, w.deformedFitButton, w.deformedOneToOneButton}};
        for (const auto& side : sides) {
            ASSERT_FALSE(side.view->image().isNull()) << step;
            const double scale = side.view->transform().m11();
            const double fit = fittedScale(side.view);
            ASSERT_GT(std::abs(fit - 1.0), 0.01) << step << ": the two modes must be told apart";
            // Linked views of slightly unequal viewports share one transform:
            // a couple of pixels off an exact fit still show the whole image.
            const QSize size = side.view->image().size();
            const bool fitted = std::abs(scale - fit) * std::max(size.width(), size.height()) < 2.5;
            const bool oneToOne = scale == 1.0;
            EXPECT_EQ(side.fit->isChecked(), fitted)
                << step << (side.view == w.referenceView ? ", reference" : ", deformed") << " at " << scale
                << " of " << fit;
            EXPECT_EQ(side.oneToOne->isChecked(), oneToOne) << step;
            EXPECT_EQ(side.view->isFitted(), fitted) << step;
            EXPECT_EQ(side.view->isOneToOne(), oneToOne) << step;
        }
    }

    static void ctrlWheel(ImageViewWidget* view, int angle) {
        const QPointF at(view->viewport()->width() / 3.0, view->viewport()->height() / 3.0);
        QWheelEvent event(at, view->viewport()->mapToGlobal(at), QPoint(), QPoint(0, angle), Qt::NoButton,
                          Qt::ControlModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(view->viewport(), &event);
    }

    // "I(x, y) = v" of a read-out, or "none".
    static QString readout(MainWidget& w, ImageViewWidget* view, const LoadedImage& image, const QString& path,
                           const QPoint& point) {
        const auto value = w.inspectInputPixel(view, image, path, point);
        return value ? value->label : QStringLiteral("none");
    }

    static int gray(const QImage& image, const QPoint& point) {
        const QRgb rgb = image.pixel(point);
        return (11 * qRed(rgb) + 16 * qGreen(rgb) + 5 * qBlue(rgb)) >> 5;
    }

    // Delivers a drop of local files as the desktop would.
    static bool drop(MainWidget& w, const QStringList& files) {
        QMimeData mime;
        QList<QUrl> urls;
        for (const QString& file : files)
            urls << QUrl::fromLocalFile(file);
        mime.setUrls(urls);
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&w, &enter);
        const bool accepted = enter.isAccepted();
        QDropEvent dropped(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&w, &dropped);
        return accepted;
    }
};

using Access = MainWidgetInputViewsTestAccess;

#define VIEWS_TEST(Suite, Name)                   \
    TEST(Suite, Name) {                           \
        MainWidgetInputViewsTestAccess::Name();   \
    }                                             \
    void MainWidgetInputViewsTestAccess::Name()

TEST(InputRules, DroppedNamesExportNamesAndTheContactLink) {
    EXPECT_TRUE(isDroppableImageName(QStringLiteral("/a/B.TIF")));
    EXPECT_TRUE(isDroppableImageName(QStringLiteral("/a/b.Tiff")));
    EXPECT_TRUE(isDroppableImageName(QStringLiteral("c.bmp")));
    EXPECT_FALSE(isDroppableImageName(QStringLiteral("/a/d.jpg")));
    EXPECT_FALSE(isDroppableImageName(QStringLiteral("/a/png")));

    QStringList tiles{QStringLiteral("/x/tile_2.tif"), QStringLiteral("/y/tile_10.tif"), QStringLiteral("/a/Tile_3.tif")};
    sortByFileName(tiles);
    EXPECT_EQ(tiles, (QStringList{QStringLiteral("/a/Tile_3.tif"), QStringLiteral("/y/tile_10.tif"),
                                  QStringLiteral("/x/tile_2.tif")}));

    EXPECT_EQ(suffixedExportPath(QStringLiteral("/d/displacements.tif"), QStringLiteral("_ux")),
              QStringLiteral("/d/displacements_ux.tif"));
    EXPECT_EQ(suffixedExportPath(QStringLiteral("/d/result.TIFF"), QStringLiteral("_uy")),
              QStringLiteral("/d/result_uy.TIFF"));
    EXPECT_EQ(suffixedExportPath(QStringLiteral("/d/a.b.tif"), QStringLiteral("_ux")), QStringLiteral("/d/a.b_ux.tif"))
        << "a dotted name keeps its middle once";
    EXPECT_EQ(suffixedExportPath(QStringLiteral("/d.v2/result"), QStringLiteral("_ux")),
              QStringLiteral("/d.v2/result_ux"));

    const QUrl mail = contactMailUrl(QStringLiteral("help@example.org"), QStringLiteral("1.3.2"));
    EXPECT_EQ(mail.scheme(), QStringLiteral("mailto"));
    EXPECT_EQ(mail.path(), QStringLiteral("help@example.org"));
    EXPECT_EQ(QUrlQuery(mail).queryItemValue(QStringLiteral("subject"), QUrl::FullyDecoded),
              QStringLiteral("Contact - Tavro2D 1.3.2"));
}

VIEWS_TEST(InputViews, ReadOutsGiveFileGreyLevelsAtFullResolution) {
    Session s;
    MainWidget& w = s.w();
    const QString reference = s.image(QStringLiteral("ref.tif"), 4096, 1024, QImage::Format_Grayscale16, 1);
    s.loadReference(reference);
    ASSERT_EQ(w.referenceView->image().size(), QSize(2048, 512));
    const QImage full = w.referenceImage.full;
    const QString inMemory = QStringLiteral("I(200, 100) = %1").arg(gray(full, QPoint(200, 100)));
    EXPECT_EQ(readout(w, w.referenceView, w.referenceImage, w.referenceViewSourcePath(), QPoint(100, 50)), inMemory)
        << "display coordinates are half the file's";
    EXPECT_EQ(readout(w, w.referenceView, w.referenceImage, w.referenceViewSourcePath(), QPoint(2048, 10)),
              QStringLiteral("none"));

    // Released from memory, the pixel comes from a strip of the file.
    w.referenceImage.releaseFullImage();
    ASSERT_TRUE(w.referenceImage.full.isNull());
    EXPECT_EQ(readout(w, w.referenceView, w.referenceImage, w.referenceViewSourcePath(), QPoint(100, 50)), inMemory);
    EXPECT_EQ(w.pixelReadCache.region, QRect(0, 64, 512, 64));
    EXPECT_EQ(readout(w, w.referenceView, w.referenceImage, w.referenceViewSourcePath(), QPoint(2000, 500)),
              QStringLiteral("I(4000, 1000) = %1").arg(gray(full, QPoint(4000, 1000))));

    // A PNG is never read piecewise: the preview gives an approximate value.
    const QString png = s.image(QStringLiteral("def.png"), 4096, 1024, QImage::Format_Grayscale8, 2);
    s.addDeformed({png});
    ASSERT_EQ(w.deformedImages.size(), 1u);
    LoadedImage& deformed = w.deformedImages.front();
    deformed.releaseFullImage();
    ASSERT_TRUE(deformed.full.isNull());
    EXPECT_EQ(readout(w, w.deformedView, deformed, w.deformedViewSourcePath(), QPoint(30, 40)),
              QStringLiteral("I(60, 80) = ~%1").arg(gray(w.deformedView->image(), QPoint(30, 40))));

    // A TIFF that cannot be read once is not tried again on the same path.
    const QString broken = s.folder + QStringLiteral("/broken.tif");
    QFile::copy(reference, broken);
    LoadedImage released = w.referenceImage;
    released.path = broken;
    QFile file(broken);
    ASSERT_TRUE(file.resize(4096));
    EXPECT_TRUE(readout(w, w.referenceView, released, broken, QPoint(100, 50)).contains(QStringLiteral("= ~")));
    EXPECT_TRUE(w.pixelReadCache.failed);
    EXPECT_TRUE(readout(w, w.referenceView, released, broken, QPoint(700, 400)).contains(QStringLiteral("= ~")));

    // A file behind the view that is not the loaded one: its size from its header.
    const QString other = s.image(QStringLiteral("other.tif"), 1024, 256, QImage::Format_Grayscale8, 3);
    const QString text = readout(w, w.referenceView, LoadedImage(), other, QPoint(1000, 200));
    EXPECT_EQ(text, QStringLiteral("I(500, 100) = %1").arg(gray(speckle(1024, 256, QImage::Format_Grayscale8, 3),
                                                                 QPoint(500, 100))));
}

VIEWS_TEST(InputContrast, TheWindowsReRenderTheViewsAndSurviveImageChanges) {
    Session s;
    MainWidget& w = s.w();
    w.onReferenceHistogramRangeEdited(40.0f, 200.0f);
    EXPECT_FALSE(w.referenceDisplayRangeSet) << "no image: the edit is ignored";

    s.loadReference(s.image(QStringLiteral("ref.tif"), 300, 200, QImage::Format_Grayscale8, 1));
    EXPECT_FALSE(w.referenceCropButton->isEnabled()) << "the whole scale selected: nothing to zoom to";
    EXPECT_EQ(w.referenceHistogram->selectionMin(), 0.0f);
    EXPECT_EQ(w.referenceHistogram->selectionMax(), 255.0f);
    w.referenceView->setRoi(QRect(10, 10, 50, 40));
    w.onReferenceHistogramRangeEdited(40.0f, 200.0f);
    EXPECT_EQ(w.referenceView->image(), grayToDisplayImage(w.referenceImage.full, 40.0f, 200.0f));
    EXPECT_EQ(w.referenceView->roi(), QRect(10, 10, 50, 40)) << "the region stays drawn";
    EXPECT_EQ(w.referenceMinMaxLabel->text(), QStringLiteral("Min : 40    Max : 200"));
    w.onReferenceHistogramRangeEdited(120.0f, 120.0f);
    EXPECT_EQ(w.referenceDisplayMax, 200.0f) << "an empty window is ignored";

    w.referenceHistogram->setRange(40.0f, 200.0f);
    w.updateReferenceContrastButtons();
    EXPECT_TRUE(w.referenceCropButton->isEnabled());
    EXPECT_TRUE(w.referenceResetButton->isEnabled());

    s.loadReference(s.image(QStringLiteral("ref2.tif"), 300, 200, QImage::Format_Grayscale8, 5));
    EXPECT_EQ(w.referenceHistogram->selectionMin(), 40.0f) << "a window set by hand survives a new image";
    EXPECT_EQ(w.referenceHistogram->selectionMax(), 200.0f);

    // One deformed window for every image, once applied to all.
    s.addDeformed({s.image(QStringLiteral("d1.tif"), 300, 200, QImage::Format_Grayscale8, 2)});
    EXPECT_TRUE(w.deformedApplyAllButton->isHidden()) << "one image: nothing to apply to";
    s.addDeformed({s.image(QStringLiteral("d2.tif"), 300, 200, QImage::Format_Grayscale8, 3)});
    w.onDeformedSelectionChanged(0);
    EXPECT_FALSE(w.deformedApplyAllButton->isHidden());
    w.onDeformedHistogramRangeEdited(30.0f, 100.0f);
    EXPECT_EQ(w.deformedView->image(), grayToDisplayImage(w.deformedImages[0].full, 30.0f, 100.0f));
    w.applyDeformedContrastToAll();
    EXPECT_EQ(s.status(), QStringLiteral("Contrast range applied to all deformed images."));
    w.onDeformedSelectionChanged(1);
    EXPECT_EQ(w.deformedView->image(), grayToDisplayImage(w.deformedImages[1].full, 30.0f, 100.0f));
    EXPECT_EQ(w.deformedHistogram->selectionMin(), 30.0f);

    // Zooming samples the shown image again, keeping only the values inside.
    w.zoomImageHistogram(w.deformedHistogram, w.deformedImages[1].full, 30.0f, 100.0f);
    EXPECT_TRUE(w.deformedHistogram->isZoomed());
    EXPECT_EQ(w.deformedHistogram->viewMin(), 30.0f);
    EXPECT_EQ(w.deformedHistogram->viewMax(), 100.0f);
}

VIEWS_TEST(Drops, DropsGoToTheVisiblePageAndAreRefusedWhileBusy) {
    Session s;
    MainWidget& w = s.w();
    w.show();
    const QString jpeg = s.folder + QStringLiteral("/photo.jpg");
    ASSERT_TRUE(writeImage(jpeg, speckle(64, 64, QImage::Format_Grayscale8, 9)));
    const QString upper = s.image(QStringLiteral("B.TIF"), 120, 80, QImage::Format_Grayscale8, 1);
    const QString png = s.image(QStringLiteral("a.png"), 120, 80, QImage::Format_Grayscale8, 2);

    w.referenceSegmentButton->click();
    ASSERT_TRUE(w.referencePage->isVisible());
    EXPECT_FALSE(drop(w, {jpeg})) << "JPEG is never taken by a drop";
    EXPECT_TRUE(w.referencePathEdit->styleSheet().isEmpty()) << "nothing highlighted";
    EXPECT_TRUE(drop(w, {upper, png}));
    EXPECT_EQ(w.referenceImage.path, upper) << "only the first file is the reference";
    EXPECT_TRUE(w.referencePathEdit->styleSheet().isEmpty()) << "the highlight ends with the drop";

    w.deformedSegmentButton->click();
    ASSERT_TRUE(w.deformedPage->isVisible());
    const QString d2 = s.image(QStringLiteral("d2.png"), 120, 80, QImage::Format_Grayscale8, 3);
    const QString d1 = s.image(QStringLiteral("d1.bmp"), 120, 80, QImage::Format_Grayscale8, 4);
    drop(w, {d2, jpeg, d1});
    ASSERT_EQ(w.deformedImages.size(), 2u);
    EXPECT_EQ(w.deformedImages[0].path, d2) << "deformed images keep the order of the drop";
    EXPECT_EQ(w.deformedImages[1].path, d1);

    {
        BusyScope busy(&w, true);
        drop(w, {s.image(QStringLiteral("d3.tif"), 120, 80, QImage::Format_Grayscale8, 5)});
        EXPECT_EQ(w.deformedImages.size(), 2u) << "a drop during a task would change the inputs under it";
        EXPECT_TRUE(s.status().startsWith(QStringLiteral("Busy")));
    }
}

VIEWS_TEST(Drops, DroppedTilesAreSortedByNameAndDuplicatesReported) {
    Session s;
    MainWidget& w = s.w();
    w.show();
    w.mosaicSwitch->setChecked(true);
    w.singleImagePage->hide();
    w.mosaicPage->show();
    w.mosaicRefTilesBlock->show();
    w.mosaicDefTilesBlock->hide();
    const QString t10 = s.image(QStringLiteral("tile_10.tif"), 64, 64, QImage::Format_Grayscale8, 1);
    const QString t2 = s.image(QStringLiteral("tile_2.tif"), 64, 64, QImage::Format_Grayscale8, 2);
    drop(w, {t2, t10});
    EXPECT_EQ(w.mosaicRefTilePaths, (QStringList{t10, t2}));
    ASSERT_EQ(w.mosaicRefTileList->count(), 2);
    EXPECT_EQ(w.mosaicRefTileList->item(0)->text(), QStringLiteral("tile_10.tif"));
    EXPECT_EQ(s.status(), QStringLiteral("2 reference tile(s) added"));
    ASSERT_TRUE(s.saved().mosaic.has_value());
    EXPECT_EQ(s.saved().mosaic->referenceTiles, (QStringList{t10, t2})) << "a drop is saved as the button's adding is";

    w.mosaicRefTilesBlock->hide();
    w.mosaicDefTilesBlock->show();
    testing::TempDir other{"tavro_other_tiles"};
    const QString again = session::qpath(other.path()) + QStringLiteral("/tile_3.tif");
    ASSERT_TRUE(writeImage(again, speckle(64, 64, QImage::Format_Grayscale8, 3)));
    const QString t3 = s.image(QStringLiteral("tile_3.tif"), 64, 64, QImage::Format_Grayscale8, 4);
    drop(w, {t3});
    drop(w, {again, s.image(QStringLiteral("tile_4.tif"), 64, 64, QImage::Format_Grayscale8, 5)});
    ASSERT_EQ(w.mosaicDefTilePaths.size(), 1);
    EXPECT_EQ(w.mosaicDefTilePaths[0], (QStringList{t3, s.folder + QStringLiteral("/tile_4.tif")}));
    ASSERT_FALSE(s.boxes.isEmpty());
    EXPECT_EQ(s.boxes.last(),
              QStringLiteral("Tiles ignored: The following tiles were ignored because their name already exists:\n"
                             "tile_3.tif"));
    EXPECT_EQ(s.status(), QStringLiteral("1 deformed tile(s) added to state 1"));
    EXPECT_EQ(s.saved().mosaic->deformedStates.value(0), w.mosaicDefTilePaths[0]);
}

VIEWS_TEST(HelpMenu, TheManualAndTheAboutBox) {
    Session s;
    MainWidget& w = s.w();
    const QString manual = QCoreApplication::applicationDirPath() + QStringLiteral("/doc/Tavro2D_Documentation.html");
    if (!QFile::exists(manual)) {
        w.openDocumentation();
        ASSERT_EQ(s.boxes.size(), 1);
        EXPECT_EQ(s.boxes.front(), QStringLiteral("Documentation: Documentation file not found:\n") + manual);
    }

    QString title;
    QString header;
    QStringList buttons;
    {
        ScopedDialogResponder responder(DialogResponder{[&](QDialog& dialog) {
                                                            title = dialog.windowTitle();
                                                            if (auto* label = dialog.findChild<QLabel*>())
                                                                header = label->text();
                                                            for (QPushButton* button :
                                                                 dialog.findChildren<QPushButton*>())
                                                                buttons << button->text() +
                                                                               (button->isDefault() ? "*" : "");
                                                            dialog.reject();
                                                        },
                                                        {}});
        w.showAboutDialog();
    }
    EXPECT_EQ(title, QStringLiteral("About Tavro2D"));
    EXPECT_TRUE(header.contains(QStringLiteral(">Tavro2D</span>")));
    EXPECT_TRUE(header.contains(QCoreApplication::applicationVersion()));
    EXPECT_EQ(buttons, (QStringList{QStringLiteral("Contact us"), QStringLiteral("Close*")}));
}

VIEWS_TEST(WindowEvents, ARestoredWindowReturnsInsideTheScreen) {
    Session s;
    MainWidget& w = s.w();
    w.show();
    ASSERT_TRUE(w.screen());
    const QRect available = w.screen()->availableGeometry();
    w.setGeometry(available.left() - 200, available.top() - 100, available.width() + 600, available.height() + 300);
    QWindowStateChangeEvent restored(Qt::WindowMaximized);
    QCoreApplication::sendEvent(&w, &restored);
    QCoreApplication::processEvents();
    // A window saved off every screen comes back onto one (the platform may
    // keep a frame's width between the area's corner and the client area).
    EXPECT_LE(w.width(), available.width());
    EXPECT_LE(w.height(), available.height());
    EXPECT_GE(w.x(), available.left());
    EXPECT_GE(w.y(), available.top());
    EXPECT_LT(w.x(), available.left() + 10);

    const QRect kept(available.left() + 10, available.top() + 10, 800, 600);
    w.setGeometry(kept);
    QWindowStateChangeEvent fromMinimised(Qt::WindowMinimized);
    QCoreApplication::sendEvent(&w, &fromMinimised);
    QCoreApplication::processEvents();
    EXPECT_EQ(w.geometry(), kept);
    EXPECT_EQ(w.minimumSizeHint(), QSize(800, 600));
}

VIEWS_TEST(InputViews, FitAndOneToOneShowWhatEachViewDraws) {
    Session s;
    MainWidget& w = s.w();
    s.loadReference(s.image(QStringLiteral("ref.tif"), 640, 480, QImage::Format_Grayscale8, 1));
    s.addDeformed({s.image(QStringLiteral("def1.tif"), 640, 480, QImage::Format_Grayscale8, 2),
                   s.image(QStringLiteral("def2.tif"), 640, 480, QImage::Format_Grayscale8, 3)});
    w.show();
    w.resize(1300, 850);
    QApplication::processEvents();
    ASSERT_EQ(w.mainTabs->currentIndex(), 0);
    ASSERT_TRUE(w.inputViewsLinked);
    ASSERT_EQ(w.deformedView->image().size(), QSize(640, 480));

    w.referenceFitButton->click();
    expectButtonsShowTheViews(w, "fit");
    ctrlWheel(w.referenceView, 240);
    expectButtonsShowTheViews(w, "wheel zoom of the linked pair");
    w.deformedView->horizontalScrollBar()->setValue(w.deformedView->horizontalScrollBar()->value() + 25);
    expectButtonsShowTheViews(w, "pan");

    w.deformedOneToOneButton->click();
    expectButtonsShowTheViews(w, "1:1");
    w.resize(1100, 760);
    QApplication::processEvents();
    expectButtonsShowTheViews(w, "window resize");
    // A layout change resizes a view without the window refitting it.
    w.referenceView->resize(w.referenceView->width() - 60, w.referenceView->height() - 40);
    expectButtonsShowTheViews(w, "view resize");

    w.deformedFitButton->click();
    w.deformedList->setCurrentRow(1);
    QApplication::processEvents();
    expectButtonsShowTheViews(w, "next image in a fitted view");
    // Mosaic tiles differ in size and are shown at the kept zoom.
    w.deformedView->setImage(speckle(900, 300, QImage::Format_Grayscale8, 4), false);
    expectButtonsShowTheViews(w, "new image of another size in a fitted view");
    w.deformedOneToOneButton->click();
    w.deformedList->setCurrentRow(0);
    QApplication::processEvents();
    expectButtonsShowTheViews(w, "new image in a 1:1 view");
    w.deformedView->setImage(speckle(900, 300, QImage::Format_Grayscale8, 4), false);

    w.referenceSyncButton->click();
    ASSERT_FALSE(w.inputViewsLinked);
    w.referenceFitButton->click();
    expectButtonsShowTheViews(w, "unlinked");
    // The clicked side imposes its framing: the deformed view takes the
    // reference's fitted zoom, which is no fit of its own image.
    w.referenceSyncButton->click();
    ASSERT_TRUE(w.inputViewsLinked);
    expectButtonsShowTheViews(w, "sync on");
    w.deformedFitButton->click();
    expectButtonsShowTheViews(w, "fit of the linked pair");
    w.deformedSyncButton->click();
    ctrlWheel(w.deformedView, -120);
    expectButtonsShowTheViews(w, "sync off, then a wheel zoom");
}

}  // namespace tavro::gui
