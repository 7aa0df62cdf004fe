#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/contrast_histogram_widget.h"
#include "gui/project/deformed_states.h"
#include "gui/project/result_files.h"
#include "gui/style/switch_widget.h"
#include "support/file_size_limit.h"
#include "window_session.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDir>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QTabWidget>
#include <QToolButton>

#include <gtest/gtest.h>

namespace tavro::gui {

namespace {

// The mask overlay is the view's pixmap item drawn above the image.
bool overlayDrawn(const ImageViewWidget* view) {
    for (QGraphicsItem* item : view->scene()->items())
        if (auto* pixmap = dynamic_cast<QGraphicsPixmapItem*>(item);
            pixmap && pixmap->zValue() == 1.0 && pixmap->isVisible() && !pixmap->pixmap().isNull())
            return true;
    return false;
}

bool writeField(const QString& path, int width, int height, float value) {
    QString error;
    return writeFloatTiff(path, width, height, std::vector<float>(static_cast<std::size_t>(width) * height, value),
                          error, {});
}

}  // namespace

struct MainWidgetProjectStepsTestAccess {
    struct Session : WindowTestSession {
        // A mosaic project file of its own tiles (never assembled) in `folder`.
        void writeMosaicProject(const QList<int>& tilesPerState, const std::optional<QSize>& finalSize = {},
                                const QString& mask = {}) {
            ProjectParameters p;
            MosaicParameters mosaic;
            mosaic.enabled = true;
            for (int t = 0; t < 2; ++t)
                mosaic.referenceTiles << image(QStringLiteral("ref_%1.tif").arg(t), 48, 40, QImage::Format_Grayscale8,
                                               static_cast<std::uint32_t>(t + 1));
            for (int s = 0; s < tilesPerState.size(); ++s) {
                QStringList state;
                for (int t = 0; t < tilesPerState[s]; ++t)
                    state << image(QStringLiteral("def%1_%2.tif").arg(s + 1).arg(t), 48 + 8 * s, 40,
                                   QImage::Format_Grayscale8, static_cast<std::uint32_t>(10 * s + t + 5));
                mosaic.deformedStates << state;
            }
            mosaic.finalSize = finalSize;
            p.mosaic = mosaic;
            HeightParameters heights;
            heights.referenceTiles = {folder + QStringLiteral("/h0.tif")};
            p.heightFields = heights;
            if (!mask.isEmpty()) {
                p.useMask = true;
                p.maskImage = mask;
            }
            QString error;
            EXPECT_TRUE(writeProjectParametersFile(folder + QStringLiteral("/parameters.json"), p, error))
                << error.toStdString();
        }
    };

    static void AnUnassembledMosaicOpensOnTheFirstTileOfEachSideAndTellsItsResults();
    static void TheOverlayIsOnAfterOpeningOffAfterAResetAndAMosaicMaskHasTheMosaicsSize();
    static void AFolderThatCannotBeWrittenIsNeitherWipedNorAdopted();
    static void DialogsStartInTheCurrentProjectFolder();
    static void TheButtonAssemblesShowsAndWritesBothMaps();
    static void ARebuildHoldsThePanelsPaintingUntilItsRowsAreSized();
};

#define STEPS_TEST(Suite, Name)                  \
    TEST(Suite, Name) {                          \
        MainWidgetProjectStepsTestAccess::Name(); \
    }                                            \
    void MainWidgetProjectStepsTestAccess::Name()

STEPS_TEST(OpenMosaicProject, AnUnassembledMosaicOpensOnTheFirstTileOfEachSideAndTellsItsResults) {
    Session s;
    s.writeMosaicProject({2, 1});
    // The second state was correlated once: its result files are in the folder.
    QDir(s.folder).mkpath(kDisplacementsFolder);
    for (const char* suffix : {"_ux", "_uy"})
        ASSERT_TRUE(writeField(resultFilePath(s.folder, kDisplacementsFolder, DeformedStates::mosaicBaseName(1),
                                              QString::fromLatin1(suffix)),
                               6, 5, 0.5f));
    const std::unique_ptr<MainWidget> w = s.reopen();

    EXPECT_EQ(w->referenceView->image().size(), QSize(48, 40)) << "the first reference tile";
    EXPECT_EQ(w->deformedView->image().size(), QSize(48, 40)) << "the first tile of the first state";
    EXPECT_EQ(w->mosaicRefTileList->currentRow(), 0);
    EXPECT_EQ(w->mosaicDefTileList->currentRow(), 0);
    EXPECT_TRUE(w->referenceHistogram->hasData());
    EXPECT_TRUE(w->deformedHistogram->hasData());
    EXPECT_GE(w->mainTabs->indexOf(w->heightResultPage), 0) << "its height inputs are on the 3D Maps page";

    ASSERT_EQ(s.boxes.size(), 1) << s.boxes.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(s.boxes.front().startsWith(QStringLiteral("Loading successful: Mosaic project loaded successfully!")))
        << s.boxes.front().toStdString();
    EXPECT_TRUE(s.boxes.front().endsWith(QStringLiteral("- Computation parameters: OK\n- Displacement results: 1/2")))
        << s.boxes.front().toStdString();
}

STEPS_TEST(MaskOnOpening, TheOverlayIsOnAfterOpeningOffAfterAResetAndAMosaicMaskHasTheMosaicsSize) {
    Session s;
    MainWidget& w = s.w();
    s.loadReference(s.image(QStringLiteral("reference.tif"), 64, 48, QImage::Format_Grayscale8, 1));
    const QString mask = s.image(QStringLiteral("mask.png"), 64, 48, QImage::Format_Grayscale8, 2);
    w.useMaskCheck->setChecked(true);
    s.chosen = {mask};
    w.onSelectMask();
    ASSERT_FALSE(w.maskImage.isNull());
    // Hidden by hand, then the project is opened again.
    w.maskOverlayButton->setChecked(false);
    EXPECT_FALSE(overlayDrawn(w.referenceView));
    w.saveParametersToProject();
    w.loadParametersFromFile(s.folder + QStringLiteral("/parameters.json"));
    ASSERT_FALSE(w.maskImage.isNull());
    EXPECT_TRUE(w.maskOverlayButton->isChecked());
    EXPECT_TRUE(w.maskOverlayButton->isVisibleTo(w.maskOverlayButton->parentWidget()));
    EXPECT_TRUE(overlayDrawn(w.referenceView));

    w.maskOverlayButton->setChecked(false);
    w.resetAllData();
    EXPECT_TRUE(w.maskOverlayButton->isChecked()) << "as in a new window";
    EXPECT_FALSE(w.maskOverlayButton->isVisibleTo(w.maskOverlayButton->parentWidget()));
    EXPECT_FALSE(overlayDrawn(w.referenceView));

    // Before any assembly, a mosaic's mask must have the size the project gives its mosaic.
    s.writeMosaicProject({2}, QSize(90, 70), mask);
    std::unique_ptr<MainWidget> wrong = s.reopen();
    EXPECT_TRUE(wrong->maskImage.isNull());
    ASSERT_EQ(s.boxes.size(), 1);
    EXPECT_TRUE(s.boxes.front().contains(QStringLiteral("mask.png (taille incorrecte)"))) << s.boxes.front().toStdString();
    const QString fits = s.image(QStringLiteral("mosaic_mask.png"), 90, 70, QImage::Format_Grayscale8, 3);
    s.writeMosaicProject({2}, QSize(90, 70), fits);
    std::unique_ptr<MainWidget> right = s.reopen();
    EXPECT_EQ(right->maskPath, fits);
    EXPECT_FALSE(overlayDrawn(right->referenceView)) << "a mosaic's mask is never drawn over one of its tiles";
}

STEPS_TEST(ProjectFolder, AFolderThatCannotBeWrittenIsNeitherWipedNorAdopted) {
    Session s;
    MainWidget& w = s.w();
    s.loadReference(s.image(QStringLiteral("reference.tif"), 32, 32, QImage::Format_Grayscale8, 1));
    w.saveParametersToProject();
    const testing::TempDir other("tavro_other");
    const QString target = session::qpath(other.path());
    QFile project(target + QStringLiteral("/parameters.json"));
    ASSERT_TRUE(project.open(QIODevice::WriteOnly));
    project.write("{}");
    project.close();
    QDir(target).mkpath(kDisplacementsFolder);
    s.click = QStringLiteral("Overwrite");
    {
        const testing::ScopedFileSizeLimit limit(0);
        s.chosen = {target};
        w.onSelectProjectFolder();
        EXPECT_EQ(s.boxes.size(), 2) << s.boxes.join(QLatin1Char('\n')).toStdString();
        EXPECT_TRUE(s.boxes.value(1).startsWith(QStringLiteral("Save: Unable to create parameters file.")));
        EXPECT_EQ(s.status(), QStringLiteral("Project folder not changed: ") + target);

        // Typed, the field comes back to the folder in use.
        s.boxes.clear();
        w.projectPathEdit->setText(target);
        w.projectPathEdited = true;
        w.applyProjectFolder();
        EXPECT_EQ(s.boxes.size(), 2) << s.boxes.join(QLatin1Char('\n')).toStdString();
        EXPECT_EQ(w.projectPathEdit->text(), s.folder);
    }
    EXPECT_EQ(w.appliedProjectFolder, s.folder);
    EXPECT_FALSE(w.referenceImage.displayImage().isNull()) << "nothing was reset";
    EXPECT_TRUE(QFileInfo::exists(target + QStringLiteral("/parameters.json"))) << "nothing was wiped";
    EXPECT_TRUE(QFileInfo::exists(target + QLatin1Char('/') + kDisplacementsFolder));
}

STEPS_TEST(FileDialogs, DialogsStartInTheCurrentProjectFolder) {
    Session s;
    MainWidget& w = s.w();
    const testing::TempDir elsewhere("tavro_images");
    const QString images = session::qpath(elsewhere.path());
    const QString reference = images + QStringLiteral("/reference.tif");
    ASSERT_TRUE(session::writeImage(reference, session::speckle(32, 32, QImage::Format_Grayscale8, 1)));
    s.loadReference(reference);
    s.chosen.clear();
    w.onSelectReference();
    EXPECT_EQ(s.startFolders.last(), images) << "the folder an image was just taken from";

    // Another project: its own folder, not the last one's images nor the working folder.
    const testing::TempDir next("tavro_next");
    const QString project = session::qpath(next.path());
    w.resetAllData();
    w.adoptProjectFolder(project);
    s.startFolders.clear();
    w.onSelectReference();
    w.onAddHeightRefTiles();
    w.onAddHeightDefTiles();
    w.mosaicSwitch->setChecked(true);
    w.onAddHeightRefTiles();
    EXPECT_EQ(s.startFolders, QStringList(4, project));
}

STEPS_TEST(HeightAssembly, TheButtonAssemblesShowsAndWritesBothMaps) {
    Session s;
    MainWidget& w = s.w();
    w.mosaicSwitch->setChecked(true);
    EXPECT_FALSE(w.heightAssembleButton->isEnabled()) << "no height tile yet";
    // Two 40 x 30 tiles side by side overlapping by 8 columns; heights 1 and 2
    // in the reference, 5 everywhere in the deformed state.
    QList<stitching::TilePosition> positions;
    for (int t = 0; t < 2; ++t) {
        w.mosaicRefTilePaths << s.image(QStringLiteral("ref_%1.tif").arg(t), 40, 30, QImage::Format_Grayscale8, 1);
        stitching::TilePosition at;
        at.col = t;
        at.tileIndex = t;
        at.isPresent = true;
        at.tx = static_cast<float>(32 * t);
        positions << at;
        const QString h0 = s.folder + QStringLiteral("/h0_%1.tif").arg(t);
        const QString h1 = s.folder + QStringLiteral("/h1_%1.tif").arg(t);
        ASSERT_TRUE(writeField(h0, 40, 30, 1.0f + static_cast<float>(t)));
        ASSERT_TRUE(writeField(h1, 40, 30, 5.0f));
        w.referenceHeightPaths << h0;
        w.deformedHeightStates[0] << h1;
    }
    w.referenceTilePositions = positions;
    w.deformedTilePositions = positions;
    w.mosaicFinalSize = QSize(72, 30);
    w.updateHeightTilesControls();
    ASSERT_TRUE(w.heightAssembleButton->isVisibleTo(w.heightMosaicContainer));
    ASSERT_TRUE(w.heightAssembleButton->isEnabled());

    w.heightAssembleButton->click();
    EXPECT_EQ(s.status(), QStringLiteral("Heights assembled: 72 x 30 pixels"));
    EXPECT_TRUE(QFileInfo::exists(s.folder + QStringLiteral("/mosaic_height_reference.tif")));
    EXPECT_TRUE(QFileInfo::exists(s.folder + QStringLiteral("/mosaic_height_deformed_001.tif")));
    EXPECT_EQ(w.heightView->image().size(), QSize(72, 30));
    EXPECT_EQ(w.shownHeightValues, w.heightH0) << "the Reference tab is chosen: h0";
    EXPECT_EQ(w.shownHeightValues.front(), 1.0f);
    EXPECT_EQ(w.shownHeightValues[71], 2.0f);
    EXPECT_EQ(w.heightStepLabel->text(), QStringLiteral("Assembled h\u2080 \u2014 Reference"));
    w.heightTabGroup->button(1)->click();
    EXPECT_EQ(w.shownHeightValues, w.heightH1);
    EXPECT_EQ(w.heightStepLabel->text(), QStringLiteral("Assembled h\u2081 \u2014 Deformed 1"));
    EXPECT_EQ(w.busyCounter, 0);

    w.perTileRadio->click();
    w.updateHeightTilesControls();  // as showing the 3D Maps page does
    EXPECT_FALSE(w.heightAssembleButton->isVisibleTo(w.heightMosaicContainer)) << "per-tile work assembles nothing";
}

STEPS_TEST(KernelLists, ARebuildHoldsThePanelsPaintingUntilItsRowsAreSized) {
    Session s;
    MainWidget& w = s.w();
    w.derivativeKernels.push_back(w.derivativeKernels.front());
    w.rebuildKernelList(true);
    EXPECT_FALSE(w.controlScrollArea->updatesEnabled()) << "the panel, its frame and scroll bars included";
    EXPECT_FALSE(w.controlContent->updatesEnabled());
    QCoreApplication::processEvents();
    EXPECT_TRUE(w.controlScrollArea->updatesEnabled());
    EXPECT_TRUE(w.controlContent->updatesEnabled());
    EXPECT_EQ(w.derivativeKernelRows->minimumHeight(), 22 * static_cast<int>(w.derivativeKernels.size()));
}

}  // namespace tavro::gui
