#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/contrast_histogram_widget.h"
#include "images/image_write.h"
#include "gui/project/result_files.h"
#include "gui/style/switch_widget.h"
#include "support/file_size_limit.h"
#include "window_session.h"

#include <QCheckBox>
#include <QDialog>
#include <QDir>
#include <QListWidget>
#include <QTest>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QToolButton>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>

#include <gtest/gtest.h>

namespace tavro::gui {

namespace {

constexpr int kImageSize = 64;
// The grid a correlation of the images above would give.
constexpr int kGridWidth = 12;
constexpr int kGridHeight = 10;

int countStartingWith(const QStringList& boxes, const QString& start) {
    return static_cast<int>(std::count_if(boxes.begin(), boxes.end(),
                                          [&](const QString& box) { return box.startsWith(start); }));
}

}  // namespace

struct MainWidgetReopenTestAccess {
    // A project of a reference and `images` deformed images whose result
    // files are written by the test, as earlier runs would have left them.
    struct Project : WindowTestSession {
        QStringList deformed;

        explicit Project(int images) {
            loadReference(image(QStringLiteral("reference.tif"), kImageSize, kImageSize, QImage::Format_Grayscale8, 1));
            for (int i = 0; i < images; ++i)
                deformed << image(QStringLiteral("state_%1.tif").arg(i + 1), kImageSize, kImageSize,
                                  QImage::Format_Grayscale8, static_cast<std::uint32_t>(i + 2));
            addDeformed(deformed);
            window->saveParametersToProject();
        }

        QString field(const QString& sub, const QString& base, const char* suffix, int width, int height,
                      float value) {
            QDir(folder).mkpath(sub);
            const QString path = resultFilePath(folder, sub, base, QString::fromLatin1(suffix));
            QString error;
            std::vector<float> values(static_cast<std::size_t>(width) * height);
            for (std::size_t k = 0; k < values.size(); ++k)
                values[k] = value + 0.001f * static_cast<float>(k);
            EXPECT_TRUE(writeFloatTiff(path, width, height, values, error, {})) << error.toStdString();
            return path;
        }

        void heightMaps() {
            window->referenceHeightPaths = {folder + QStringLiteral("/h0.tif")};
            window->deformedHeightStates = {{folder + QStringLiteral("/h1.tif"), folder + QStringLiteral("/h2.tif")}};
            window->saveParametersToProject();
            field(kHeightFolder, QStringLiteral("state_1"), "_uz", kGridWidth, kGridHeight, 3.0f);
            field(kHeightFolder, QStringLiteral("state_2"), "_uz", kGridWidth, kGridHeight, 7.0f);
        }

        void displacements(const QString& base, float value) {
            field(kDisplacementsFolder, base, "_ux", kGridWidth, kGridHeight, value);
            field(kDisplacementsFolder, base, "_uy", kGridWidth, kGridHeight, -value);
        }
    };

    static void ARunIsRefusedBeforeItStartsAndEveryFailedSaveSaysSo();
    static void AReadOnlyParametersFileInAWritableFolderIsKeptAndEveryAttemptSaysSo();
    static void OpeningItTellsInItsOneSummaryBoxOnceTheLoadIsOverThatChangesAreNotSaved();
    static void HeightMapsOnDiskAreCountedShownAndBrowsedWithTheirStoredRanges();
    static void AHeightMapOpensAtItsAutomaticRangeOrAtTheOneSetByHand();
    static void AHalfWrittenPairNamesItsMissingFileAndShowsNoMapOfAnotherStep();
    static void TheSummaryCountsOnlyResultsThatCanBeRead();
    static void TheSummaryNamesTheFilesARunStoppedBetweenLeftWithoutTheRestOfTheirGroup();
    static void ClearingAndResettingLeaveNothingOfTheOldResultsAndMosaics();
    static void AnotherProjectLeavesNoneOfThePreviousModesControls();
    static void ControlsRestoredQuietlyGetTheStateTheirSignalsWouldHaveGiven();
    static void TheMaskOverlayCoversThePreviewOfALargeReference();
    static void AClickOutsideTheWindowsPanelsKeepsTheTileSelection();
    static void AChosenFolderGetsTheWriteTestAndANewProjectSaysItsFirstFailedSave();
};

#define REOPEN_TEST(Suite, Name)           \
    TEST(Suite, Name) {                    \
        MainWidgetReopenTestAccess::Name(); \
    }                                      \
    void MainWidgetReopenTestAccess::Name()

REOPEN_TEST(ReadOnlyProject, ARunIsRefusedBeforeItStartsAndEveryFailedSaveSaysSo) {
    Project p(1);
    MainWidget& w = p.w();
    const QString notSaved = QStringLiteral("Changes are not saved: %1/parameters.json cannot be written (").arg(p.folder);
    {
        const testing::ScopedFileSizeLimit limit(0);
        w.onCompute();
        EXPECT_FALSE(w.runInProgress);
        EXPECT_FALSE(w.computationRunning);
        EXPECT_TRUE(w.computeButton->isEnabled());
        ASSERT_FALSE(p.boxes.isEmpty());
        EXPECT_TRUE(p.boxes.last().startsWith(
            QStringLiteral("Project folder: The project folder cannot be written, so the results")))
            << p.boxes.last().toStdString();
        EXPECT_TRUE(p.boxes.last().contains(p.folder)) << "the folder is named";
        EXPECT_TRUE(p.status().startsWith(QStringLiteral("The project folder cannot be written: nothing was "
                                                         "computed")));
        EXPECT_FALSE(QDir(p.folder + QStringLiteral("/Displacements")).exists());

        // Every change that cannot be saved says so, not only the first.
        w.windowSizeXSpin->setValue(31);
        EXPECT_TRUE(p.status().startsWith(notSaved)) << p.status().toStdString();
        w.setStatus(QStringLiteral("Something else"));
        w.windowSizeXSpin->setValue(35);
        EXPECT_TRUE(p.status().startsWith(notSaved)) << p.status().toStdString();
    }
    EXPECT_EQ(countStartingWith(p.boxes, QStringLiteral("Save: ")), 2) << "a box at every failed save";
}

// Root may write any file: the owner's read-only mark is what keeps the file.
REOPEN_TEST(ReadOnlyProject, AReadOnlyParametersFileInAWritableFolderIsKeptAndEveryAttemptSaysSo) {
    Project p(1);
    MainWidget& w = p.w();
    const QString file = p.folder + QStringLiteral("/parameters.json");
    ASSERT_TRUE(QFile::setPermissions(file, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    QFile before(file);
    ASSERT_TRUE(before.open(QIODevice::ReadOnly));
    const QByteArray kept = before.readAll();
    before.close();
    p.boxes.clear();
    w.windowSizeXSpin->setValue(31);
    w.windowSizeXSpin->setValue(35);
    ASSERT_EQ(countStartingWith(p.boxes, QStringLiteral("Save: Unable to create parameters file.\n\n")), 2)
        << p.boxes.join(QStringLiteral(" | ")).toStdString();
    EXPECT_TRUE(p.boxes.last().endsWith(QStringLiteral("the file is read-only"))) << p.boxes.last().toStdString();
    EXPECT_EQ(p.status(), QStringLiteral("Changes are not saved: %1 cannot be written (the file is read-only).").arg(file));
    QFile after(file);
    ASSERT_TRUE(after.open(QIODevice::ReadOnly));
    EXPECT_EQ(after.readAll(), kept);
    EXPECT_EQ(QFile::permissions(file) & (QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther),
              QFile::Permissions());

    // A press on a spin box's arrow: the box comes once the press ends. Shown
    // inside the press it would take the release, and the spin box would step
    // (and fail to save) again each time the box is closed.
    p.boxes.clear();
    QSpinBox* spin = w.windowSizeXSpin;
    const int start = spin->value();
    const QPoint upArrow(spin->width() - 4, 3);
    QTest::mousePress(spin, Qt::LeftButton, {}, upArrow);
    EXPECT_EQ(spin->value(), start + spin->singleStep());
    EXPECT_TRUE(p.boxes.isEmpty()) << "not while the arrow is held";
    QTest::mouseRelease(spin, Qt::LeftButton, {}, upArrow);
    QCoreApplication::processEvents();
    EXPECT_EQ(countStartingWith(p.boxes, QStringLiteral("Save: Unable to create parameters file.")), 1);
    QTest::qWait(700);
    EXPECT_EQ(spin->value(), start + spin->singleStep()) << "one press, one step";
    EXPECT_EQ(p.boxes.size(), 1);
}

REOPEN_TEST(ReadOnlyProject, OpeningItTellsInItsOneSummaryBoxOnceTheLoadIsOverThatChangesAreNotSaved) {
    Project p(1);
    const QString notSaved = QStringLiteral("Changes are not saved: %1/parameters.json cannot be written (").arg(p.folder);
    p.boxes.clear();
    const auto again = std::make_unique<MainWidget>();
    bool stopShown = true;
    bool controlsBack = false;
    p.whileBoxOpen = [&] {
        if (!p.boxes.last().startsWith(QStringLiteral("Loading successful: ")))
            return;
        stopShown = !again->stopButton->isHidden();
        controlsBack = again->computeButton->isEnabled() && again->controlContent->isEnabled();
    };
    {
        const testing::ScopedFileSizeLimit limit(0);
        again->loadParametersFromFile(p.folder + QStringLiteral("/parameters.json"));
    }
    EXPECT_FALSE(stopShown) << "the load was over when its summary came up";
    EXPECT_TRUE(controlsBack);
    ASSERT_EQ(p.boxes.size(), 1) << p.boxes.join(QStringLiteral(" | ")).toStdString();
    EXPECT_TRUE(p.boxes[0].startsWith(QStringLiteral("Loading successful: Project loaded successfully!")))
        << p.boxes[0].toStdString();
    EXPECT_TRUE(p.boxes[0].contains(QStringLiteral("\n\n") + notSaved)) << "the summary says why";
    EXPECT_FALSE(again->stopButton->isEnabled());
    EXPECT_TRUE(again->statusLabel->fullText().startsWith(notSaved)) << again->statusLabel->fullText().toStdString();

    // The next change that cannot be saved says so as every failed save does.
    again->setStatus(QStringLiteral("Something else"));
    {
        const testing::ScopedFileSizeLimit limit(0);
        again->windowSizeXSpin->setValue(31);
    }
    ASSERT_EQ(p.boxes.size(), 2);
    EXPECT_TRUE(p.boxes[1].startsWith(QStringLiteral("Save: Unable to create parameters file.\n\n")));
    EXPECT_TRUE(again->statusLabel->fullText().startsWith(notSaved));
}

REOPEN_TEST(ProjectFolder, AChosenFolderGetsTheWriteTestAndANewProjectSaysItsFirstFailedSave) {
    WindowTestSession s;
    MainWidget& w = s.w();
    w.saveParametersToProject();
    const QString applied = w.appliedProjectFolder;
    const QString chosen = s.folder + QStringLiteral("/chosen");
    ASSERT_TRUE(QDir().mkpath(chosen));
    s.chosen = {chosen};
    {
        const testing::ScopedFileSizeLimit limit(64);
        w.onSelectProjectFolder();
    }
    EXPECT_EQ(w.appliedProjectFolder, applied) << "a folder that takes no project file is not adopted";
    EXPECT_EQ(s.status(), QStringLiteral("Project folder not changed: ") + chosen);
    EXPECT_EQ(countStartingWith(s.boxes, QStringLiteral("Save: Unable to create parameters file.\n\n")), 1);

    // A failed save of this project, then another project that cannot be
    // written either: its own first failure is told as well, in its summary.
    const QString other = s.folder + QStringLiteral("/other");
    ASSERT_TRUE(QDir().mkpath(other));
    ASSERT_TRUE(QFile::copy(applied + QStringLiteral("/parameters.json"), other + QStringLiteral("/parameters.json")));
    s.boxes.clear();
    {
        const testing::ScopedFileSizeLimit limit(64);
        w.saveParametersToProject();
        w.loadParametersFromFile(other + QStringLiteral("/parameters.json"));
    }
    EXPECT_EQ(w.appliedProjectFolder, other);
    ASSERT_EQ(s.boxes.size(), 2) << s.boxes.join(QStringLiteral(" | ")).toStdString();
    EXPECT_TRUE(s.boxes[0].startsWith(QStringLiteral("Save: Unable to create parameters file.")));
    EXPECT_TRUE(s.boxes[1].startsWith(QStringLiteral("Loading successful: ")));
    EXPECT_TRUE(s.boxes[1].contains(QStringLiteral("Changes are not saved: %1/parameters.json cannot be written (").arg(other)))
        << s.boxes[1].toStdString();
}

REOPEN_TEST(OpenProject, HeightMapsOnDiskAreCountedShownAndBrowsedWithTheirStoredRanges) {
    Project p(2);
    MainWidget& w = p.w();
    p.displacements(QStringLiteral("state_1"), 0.5f);
    p.displacements(QStringLiteral("state_2"), 1.5f);
    w.referenceHeightPaths = {p.folder + QStringLiteral("/h0.tif")};
    w.deformedHeightStates = {{p.folder + QStringLiteral("/h1.tif"), p.folder + QStringLiteral("/h2.tif")}};
    // The second map's range was set by hand before the project was closed.
    w.heightResultRanges = {{1, 7.0f, 7.119f, -1.0f, 2.0f, std::array<float, 2>{-0.25f, 0.75f}}};
    w.saveParametersToProject();
    p.field(kHeightFolder, QStringLiteral("state_1"), "_uz", kGridWidth, kGridHeight, 3.0f);
    p.field(kHeightFolder, QStringLiteral("state_2"), "_uz", kGridWidth, kGridHeight, 7.0f);

    const std::unique_ptr<MainWidget> again = p.reopen();
    MainWidget& v = *again;
    ASSERT_EQ(p.boxes.size(), 1);
    EXPECT_TRUE(p.boxes.front().endsWith(QStringLiteral("\n- Displacement results: 2/2\n- Height results: 2")))
        << p.boxes.front().toStdString();
    EXPECT_EQ(v.statusLabel->fullText(), QStringLiteral("Project loaded with 2 result(s), 2 3D map(s)."));
    EXPECT_GE(v.mainTabs->indexOf(v.heightResultPage), 0) << "the 3D Maps page is there";
    // The last map is shown, with the range the project kept for it.
    EXPECT_EQ(v.shownHeightIndex, 1);
    EXPECT_TRUE(v.heightSlider->isEnabled());
    EXPECT_EQ(v.heightSlider->maximum(), 1);
    EXPECT_EQ(v.heightSlider->value(), 1);
    EXPECT_FLOAT_EQ(v.heightDisplayMin, -0.25f);
    EXPECT_FLOAT_EQ(v.heightDisplayMax, 0.75f);
    EXPECT_FALSE(v.heightView->image().isNull());
    EXPECT_TRUE(v.heightStepLabel->text().startsWith(QStringLiteral("State 2 / 2"))) << v.heightStepLabel->text().toStdString();
    EXPECT_FALSE(v.outOfPlaneStale);

    v.heightSlider->setValue(0);
    EXPECT_EQ(v.shownHeightIndex, 0);
    ASSERT_FALSE(v.shownHeightValues.empty());
    EXPECT_FLOAT_EQ(v.shownHeightValues.front(), 3.0f);
    EXPECT_TRUE(v.heightPrevButton->isEnabled() == false && v.heightNextButton->isEnabled());
}

// The four numbers kept for a height map are its data range and automatic
// range; what the user sets by hand is kept beside them.
REOPEN_TEST(OpenProject, AHeightMapOpensAtItsAutomaticRangeOrAtTheOneSetByHand) {
    Project p(1);
    MainWidget& w = p.w();
    p.displacements(QStringLiteral("state_1"), 0.5f);
    w.referenceHeightPaths = {p.folder + QStringLiteral("/h0.tif")};
    w.deformedHeightStates = {{p.folder + QStringLiteral("/h1.tif")}};
    w.heightResultRanges = {{0, -12.5f, 40.0f, -10.0f, 38.0f}};
    w.saveParametersToProject();
    // Values 3, 3.001, ... 3.119.
    p.field(kHeightFolder, QStringLiteral("state_1"), "_uz", kGridWidth, kGridHeight, 3.0f);
    const float dataMax = 3.0f + 0.001f * float(kGridWidth * kGridHeight - 1);
    {
        const std::unique_ptr<MainWidget> again = p.reopen();
        ASSERT_EQ(again->shownHeightIndex, 0);
        EXPECT_EQ(again->heightDisplayMin, -10.0f);
        EXPECT_EQ(again->heightDisplayMax, 38.0f);
        again->onHeightHistogramRangeEdited(3.02f, 3.1f);
        again->saveParametersToProject();
    }
    ProjectParameters saved = p.saved();
    ASSERT_EQ(saved.heightCache.size(), 1u);
    EXPECT_EQ(saved.heightCache[0].minUz, 3.0f) << "the data range is the map's";
    EXPECT_EQ(saved.heightCache[0].maxUz, dataMax);
    EXPECT_EQ(saved.heightCache[0].autoMin, -10.0f);
    EXPECT_EQ(saved.heightCache[0].autoMax, 38.0f);
    EXPECT_EQ(saved.heightCache[0].manualUz, (std::array<float, 2>{3.02f, 3.1f}));
    {
        const std::unique_ptr<MainWidget> again = p.reopen();
        EXPECT_EQ(again->heightDisplayMin, 3.02f);
        EXPECT_EQ(again->heightDisplayMax, 3.1f);
        again->onHeightAutoScale();
        EXPECT_EQ(again->heightDisplayMin, -10.0f);
        again->saveParametersToProject();
    }
    saved = p.saved();
    ASSERT_EQ(saved.heightCache.size(), 1u);
    EXPECT_FALSE(saved.heightCache[0].manualUz);
    EXPECT_EQ(saved.heightCache[0].autoMax, 38.0f);
}

// A run stopped between the two files of a pair leaves state_2_ux.tif alone.
REOPEN_TEST(OpenProject, AHalfWrittenPairNamesItsMissingFileAndShowsNoMapOfAnotherStep) {
    Project p(2);
    p.displacements(QStringLiteral("state_1"), 0.5f);
    p.field(kDisplacementsFolder, QStringLiteral("state_2"), "_ux", kGridWidth, kGridHeight, 1.5f);
    const std::unique_ptr<MainWidget> again = p.reopen();
    MainWidget& v = *again;
    ASSERT_EQ(v.shownResultIndex, 0);
    ASSERT_FALSE(v.uxView->image().isNull());
    const QString firstShift = v.rigidShiftLabel->text();

    v.displacementSlider->setValue(1);
    EXPECT_TRUE(v.statusLabel->fullText().startsWith(QStringLiteral("Unable to load state_2_uy.tif: ")))
        << v.statusLabel->fullText().toStdString();
    EXPECT_EQ(v.shownResultIndex, 1);
    for (QLabel* caption : {v.displacementStepLabel, v.strainStepLabel, v.fractureStepLabel})
        EXPECT_TRUE(caption->text().startsWith(QStringLiteral("Step 2 / 2"))) << caption->text().toStdString();
    for (ImageViewWidget* view : {v.uxView, v.uyView, v.strainView})
        EXPECT_TRUE(view->image().isNull()) << "no map of step 1 under the caption of step 2";
    EXPECT_TRUE(v.rigidShiftLabel->text().isEmpty()) << v.rigidShiftLabel->text().toStdString();
    EXPECT_FALSE(v.displacementHistograms[0]->isEnabled());

    v.displacementSlider->setValue(0);
    EXPECT_TRUE(v.displacementStepLabel->text().startsWith(QStringLiteral("Step 1 / 2")));
    EXPECT_FALSE(v.uxView->image().isNull());
    EXPECT_EQ(v.rigidShiftLabel->text(), firstShift);
}

REOPEN_TEST(OpenProject, TheSummaryCountsOnlyResultsThatCanBeRead) {
    Project p(3);
    p.displacements(QStringLiteral("state_1"), 0.5f);
    p.displacements(QStringLiteral("state_2"), 1.5f);
    p.displacements(QStringLiteral("state_3"), 2.5f);
    // A damaged Uy file: its state has no result.
    QFile damaged(resultFilePath(p.folder, kDisplacementsFolder, QStringLiteral("state_2"), QStringLiteral("_uy")));
    ASSERT_TRUE(damaged.open(QIODevice::WriteOnly | QIODevice::Truncate));
    damaged.write("II*\0 not a float image");
    damaged.close();
    // Strains of the first state whose last field has another size; whole
    // strains and crack maps of the third.
    for (const char* suffix : {"_exx", "_eyy", "_exy", "_e1"})
        p.field(kStrainsFolder, QStringLiteral("state_1"), suffix, kGridWidth, kGridHeight, 0.0f);
    p.field(kStrainsFolder, QStringLiteral("state_1"), "_e2", kGridWidth + 1, kGridHeight, 0.0f);
    for (const char* suffix : {"_exx", "_eyy", "_exy", "_e1", "_e2"})
        p.field(kStrainsFolder, QStringLiteral("state_3"), suffix, kGridWidth, kGridHeight, 0.0f);
    for (const char* suffix : {"_cox", "_coy", "_alpha", "_beta"})
        p.field(kLegacyFractureFolder, QStringLiteral("state_3"), suffix, kGridWidth, kGridHeight, 0.0f);

    const std::unique_ptr<MainWidget> again = p.reopen();
    ASSERT_EQ(p.boxes.size(), 1);
    EXPECT_TRUE(p.boxes.front().endsWith(
        QStringLiteral("\n- Displacement results: 2/3\n- Strain results: 1\n- Fracture results: 1")))
        << p.boxes.front().toStdString();
}

// A run killed between two files of a group leaves the first without the others.
REOPEN_TEST(OpenProject, TheSummaryNamesTheFilesARunStoppedBetweenLeftWithoutTheRestOfTheirGroup) {
    {
        SCOPED_TRACE("the first of three images incomplete");
        Project p(3);
        p.field(kDisplacementsFolder, QStringLiteral("state_1"), "_ux", kGridWidth, kGridHeight, 0.5f);
        p.displacements(QStringLiteral("state_2"), 1.5f);
        p.displacements(QStringLiteral("state_3"), 2.5f);
        const std::unique_ptr<MainWidget> again = p.reopen();
        ASSERT_EQ(p.boxes.size(), 1);
        EXPECT_TRUE(p.boxes.front().endsWith(
            QStringLiteral("\n- Displacement results: 2/3\n- Incomplete results: state_1_ux.tif")))
            << p.boxes.front().toStdString();
        EXPECT_TRUE(again->statusLabel->fullText().contains(QStringLiteral("Incomplete results: state_1_ux.tif")))
            << again->statusLabel->fullText().toStdString();
    }
    {
        SCOPED_TRACE("the only image incomplete");
        Project p(1);
        p.field(kDisplacementsFolder, QStringLiteral("state_1"), "_uy", kGridWidth, kGridHeight, 0.5f);
        const std::unique_ptr<MainWidget> again = p.reopen();
        ASSERT_EQ(p.boxes.size(), 1);
        EXPECT_TRUE(p.boxes.front().endsWith(
            QStringLiteral("- Computation parameters: OK\n- Incomplete results: state_1_uy.tif")))
            << p.boxes.front().toStdString();
        EXPECT_TRUE(again->statusLabel->fullText().contains(QStringLiteral("Incomplete results: state_1_uy.tif")))
            << again->statusLabel->fullText().toStdString();
    }
    {
        SCOPED_TRACE("strains and crack maps stopped part way, beside whole displacements");
        Project p(2);
        p.displacements(QStringLiteral("state_1"), 0.5f);
        p.displacements(QStringLiteral("state_2"), 1.5f);
        for (const char* suffix : {"_exx", "_eyy"})
            p.field(kStrainsFolder, QStringLiteral("state_1"), suffix, kGridWidth, kGridHeight, 0.0f);
        for (const char* suffix : {"_cox", "_coy", "_alpha"})
            p.field(kFractureFolder, QStringLiteral("state_2"), suffix, kGridWidth, kGridHeight, 0.0f);
        const std::unique_ptr<MainWidget> again = p.reopen();
        ASSERT_EQ(p.boxes.size(), 1);
        EXPECT_TRUE(p.boxes.front().endsWith(QStringLiteral(
            "\n- Displacement results: 2/2\n- Incomplete results: state_1_exx.tif, state_1_eyy.tif, "
            "state_2_cox.tif, state_2_coy.tif, state_2_alpha.tif")))
            << p.boxes.front().toStdString();
    }
    {
        SCOPED_TRACE("an image not found: the line comes with the others of the incomplete loading");
        Project p(2);
        p.displacements(QStringLiteral("state_1"), 0.5f);
        p.field(kDisplacementsFolder, QStringLiteral("state_2"), "_ux", kGridWidth, kGridHeight, 1.5f);
        ASSERT_TRUE(QFile::remove(p.folder + QStringLiteral("/reference.tif")));
        const std::unique_ptr<MainWidget> again = p.reopen();
        ASSERT_EQ(p.boxes.size(), 1);
        EXPECT_TRUE(p.boxes.front().contains(QStringLiteral("\n- Incomplete results: state_2_ux.tif\n")))
            << p.boxes.front().toStdString();
    }
}

REOPEN_TEST(ResetAllData, ClearingAndResettingLeaveNothingOfTheOldResultsAndMosaics) {
    Project p(2);
    p.displacements(QStringLiteral("state_1"), 0.5f);
    p.displacements(QStringLiteral("state_2"), 1.5f);
    for (const char* suffix : {"_exx", "_eyy", "_exy", "_e1", "_e2"}) {
        p.field(kStrainsFolder, QStringLiteral("state_1"), suffix, kGridWidth, kGridHeight, 0.0f);
        p.field(kStrainsFolder, QStringLiteral("state_2"), suffix, kGridWidth, kGridHeight, 0.0f);
    }
    p.heightMaps();
    const std::unique_ptr<MainWidget> again = p.reopen();
    MainWidget& v = *again;
    ASSERT_GE(v.mainTabs->indexOf(v.displacementsPage), 0);
    ASSERT_GE(v.mainTabs->indexOf(v.heightResultPage), 0);
    EXPECT_FALSE(v.computeStrainsButton->isEnabled()) << "the strains on disk are those of the settings";

    // Switching to an empty folder forgets every result, heights included.
    const QString empty = p.folder + QStringLiteral("/empty");
    ASSERT_TRUE(QDir().mkpath(empty));
    v.referenceHeightPaths.clear();
    v.deformedHeightStates = {QStringList()};
    p.chosen = {empty};
    v.onSelectProjectFolder();
    ASSERT_EQ(v.appliedProjectFolder, empty);
    for (QWidget* page : {v.displacementsPage, v.strainResultPage, v.fractureResultPage, v.heightResultPage})
        EXPECT_EQ(v.mainTabs->indexOf(page), -1);
    for (QLabel* caption : {v.displacementStepLabel, v.strainStepLabel, v.fractureStepLabel})
        EXPECT_EQ(caption->text(), QStringLiteral("No result"));
    EXPECT_NE(v.displacementValueLabels[0]->text(), QStringLiteral("No result")) << "a read-out is no caption";
    EXPECT_TRUE(v.strainValueLabel->text().endsWith(QStringLiteral(" : \u2014")));
    EXPECT_EQ(v.heightStepLabel->text(), QStringLiteral("State \u2014 : \u2014"));
    EXPECT_FALSE(v.heightSlider->isEnabled());
    EXPECT_EQ(v.heightSlider->maximum(), 0);
    EXPECT_FALSE(v.heightNextButton->isEnabled());
    EXPECT_TRUE(v.shownHeightValues.empty());
    EXPECT_TRUE(v.heightResultRanges.empty());
    EXPECT_TRUE(v.heightView->image().isNull());
    EXPECT_TRUE(p.saved().heightCache.empty()) << "the new folder holds no height range";

    // A reset also forgets the assembled mosaics and the contrast set by hand.
    v.mosaicStateImageIndex[0] = 0;
    v.mosaicDeformedNames = {QStringLiteral("mosaic_state_1")};
    MosaicConfiguration assembled;
    assembled.rows = assembled.cols = 3;
    assembled.overlapX = assembled.overlapY = 20;
    assembled.scanOrder = 1;
    v.assembledMosaicConfig = assembled;
    v.referenceDisplayMin = 40.0f;
    v.referenceDisplayRangeSet = v.deformedDisplayRangeSet = true;
    v.resetAllData();
    EXPECT_TRUE(v.mosaicStateImageIndex.empty());
    EXPECT_TRUE(v.mosaicDeformedNames.isEmpty());
    EXPECT_FALSE(v.assembledMosaicConfig.has_value());
    EXPECT_FALSE(v.referenceDisplayRangeSet);
    EXPECT_FALSE(v.deformedDisplayRangeSet);
    EXPECT_EQ(v.referenceDisplayMin, 0.0f);
}

REOPEN_TEST(OpenProject, AnotherProjectLeavesNoneOfThePreviousModesControls) {
    Project p(1);
    MainWidget& w = p.w();
    // What a per-tile mosaic project leaves on screen.
    {
        const QSignalBlocker quiet(w.mosaicSwitch);
        w.mosaicSwitch->setChecked(true);
    }
    w.perTileMode = true;
    w.updateTileNavigator(w.inputTileNavigator, 4, 9, QStringLiteral("def_tile_05"));
    ASSERT_FALSE(w.inputTileNavigator.container->isHidden());
    w.updateHeightModeHint();
    ASSERT_TRUE(w.heightModeHintLabel->text().startsWith(QStringLiteral("Load height tiles")));
    w.mosaicDefStateButtons.front()->setChecked(true);
    w.mosaicRefTilesBlock->hide();
    w.mosaicDefTilesBlock->show();

    w.loadParametersFromFile(p.folder + QStringLiteral("/parameters.json"));
    EXPECT_FALSE(w.mosaicSwitch->isChecked());
    EXPECT_TRUE(w.inputTileNavigator.container->isHidden());
    EXPECT_TRUE(w.heightModeHintLabel->text().startsWith(QStringLiteral("Load height files corresponding to "
                                                                       "intensity images")));
    EXPECT_TRUE(w.mosaicReferenceTabButton->isChecked());
    EXPECT_FALSE(w.mosaicRefTilesBlock->isHidden());
    EXPECT_TRUE(w.mosaicDefTilesBlock->isHidden());
}

REOPEN_TEST(OpenProject, ControlsRestoredQuietlyGetTheStateTheirSignalsWouldHaveGiven) {
    Project p(1);
    MainWidget& w = p.w();
    w.missingTilesCheck->setChecked(true);
    w.missingPositionsEdit->setText(QStringLiteral("2,3"));
    w.saveParametersToProject();
    ASSERT_TRUE(w.missingPositionsEdit->isEnabled());

    const std::unique_ptr<MainWidget> again = p.reopen();
    EXPECT_TRUE(again->missingTilesCheck->isChecked());
    EXPECT_EQ(again->missingPositionsEdit->text(), QStringLiteral("2,3"));
    EXPECT_TRUE(again->missingPositionsEdit->isEnabled()) << "\"Positions:\" follows \"Missing tile(s)\"";

    // And back: a project without missing tiles leaves the field disabled.
    again->missingTilesCheck->setChecked(false);
    again->saveParametersToProject();
    const std::unique_ptr<MainWidget> third = p.reopen();
    EXPECT_FALSE(third->missingPositionsEdit->isEnabled());
}

REOPEN_TEST(MaskOverlay, TheMaskOverlayCoversThePreviewOfALargeReference) {
    WindowTestSession s;
    MainWidget& w = s.w();
    // Wider than the 2048-pixel preview: the view shows a reduced image.
    s.loadReference(s.image(QStringLiteral("wide.tif"), 4096, 32, QImage::Format_Grayscale8, 3));
    const QSize shown = w.referenceView->image().size();
    ASSERT_EQ(shown.width(), 2048);
    QImage mask(4096, 32, QImage::Format_Grayscale8);
    mask.fill(255);
    s.chosen = {s.folder + QStringLiteral("/mask.png")};
    ASSERT_TRUE(mask.save(s.chosen.front()));
    w.onSelectMask();
    ASSERT_FALSE(w.maskImage.isNull());
    w.useMaskCheck->setChecked(false);
    w.maskOverlayButton->setChecked(true);

    w.useMaskCheck->setChecked(true);
    QGraphicsPixmapItem* overlay = nullptr;
    for (QGraphicsItem* item : w.referenceView->scene()->items())
        if (auto* pixmap = dynamic_cast<QGraphicsPixmapItem*>(item); pixmap && pixmap->zValue() == 1.0)
            overlay = pixmap;
    ASSERT_NE(overlay, nullptr) << "checking Use mask draws the overlay";
    EXPECT_EQ(overlay->pixmap().size(), shown) << "drawn over the preview's pixels, not the full image's";
}

REOPEN_TEST(MosaicPanel, AClickOutsideTheWindowsPanelsKeepsTheTileSelection) {
    WindowTestSession s;
    MainWidget& w = s.w();
    {
        const QSignalBlocker quiet(w.mosaicSwitch);
        w.mosaicSwitch->setChecked(true);
    }
    w.mosaicRefTileList->addItem(QStringLiteral("tile_01.tif"));
    w.mosaicRefTileList->item(0)->setSelected(true);

    QDialog dialog;
    auto* button = new QPushButton(QStringLiteral("OK"), &dialog);
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_TRUE(w.mosaicRefTileList->item(0)->isSelected()) << "a click in a dialog is none of the window's";

    QTest::mouseClick(w.displacementStepLabel, Qt::LeftButton);
    EXPECT_FALSE(w.mosaicRefTileList->item(0)->isSelected()) << "a click elsewhere in the window clears it";
}

}  // namespace tavro::gui
