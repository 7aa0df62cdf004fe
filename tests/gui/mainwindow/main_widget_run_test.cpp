#include "gui/mainwindow/main_widget.h"

#include "compute/computation_types.h"
#include "compute/kinematic_models.h"
#include "images/image_io.h"
#include "gui/foundation/contrast_histogram_widget.h"
#include "images/field_rendering.h"
#include "gui/mainwindow/criterion_edit_dialog.h"
#include "gui/mainwindow/named_kernel_edit_dialog.h"
#include "gui/mainwindow/result_rendering.h"
#include "gui/project/user_defaults.h"
#include "gui/mainwindow/result_writer.h"
#include "support/file_size_limit.h"
#include "support/synthetic_images.h"
#include "window_session.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QToolButton>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tavro::gui {

namespace {

constexpr int kSize = 160;

using session::toImage;

testing::SpeckleOptions speckleOptions() {
    testing::SpeckleOptions options;
    options.width = options.height = kSize;
    options.supersampling = 2;
    return options;
}

struct Shift {
    double ux;
    double uy;
};

std::vector<float> readField(const QString& path, std::uint32_t& width, std::uint32_t& height) {
    std::vector<float> values;
    QString error;
    EXPECT_TRUE(readFloatTiff(path, width, height, values, error)) << path.toStdString() << ": "
                                                                   << error.toStdString();
    return values;
}

// Every measured point of a translated pair holds the translation. The files
// hold what the search measured after the rigid registration took out its
// whole-pixel shift, which the result keeps (negated) beside them.
void expectUniform(const QString& path, double translation, float rigidShift, std::uint32_t gridWidth,
                   std::uint32_t gridHeight) {
    const double expected = translation + rigidShift;
    std::uint32_t width = 0, height = 0;
    const std::vector<float> values = readField(path, width, height);
    EXPECT_EQ(width, gridWidth) << path.toStdString();
    EXPECT_EQ(height, gridHeight) << path.toStdString();
    int finite = 0;
    for (float value : values) {
        if (!std::isfinite(value))
            continue;
        ++finite;
        // Cubic B-spline on an exact Fourier shift: a few hundredths of a pixel.
        EXPECT_NEAR(value, expected, 0.03) << path.toStdString();
    }
    EXPECT_GT(finite, static_cast<int>(values.size()) * 3 / 4) << path.toStdString();
}

}  // namespace

struct MainWidgetRunTestAccess {
    // A project with a reference and translated deformed images, set up for a
    // small grid: window 21, step 8, search 6, cubic B-spline.
    struct Run : WindowTestSession {
        QStringList deformed;

        // One pair per field, all of one reference: rendered, for any field.
        explicit Run(const std::vector<testing::DisplacementField>& fields) {
            for (std::size_t i = 0; i < fields.size(); ++i) {
                const testing::ImagePair pair = testing::makeRenderedPair(speckleOptions(), fields[i]);
                if (i == 0)
                    saveImage(QStringLiteral("reference.tif"), toImage(pair.reference));
                deformed << saveImage(QStringLiteral("state_%1.tif").arg(i + 1), toImage(pair.deformed));
            }
            setUp();
        }

        explicit Run(const std::vector<Shift>& shifts, const QStringList& names = {}) {
            for (std::size_t i = 0; i < shifts.size(); ++i) {
                const testing::ImagePair pair =
                    testing::makeFourierShiftedPair(speckleOptions(), shifts[i].ux, shifts[i].uy);
                if (i == 0)
                    saveImage(QStringLiteral("reference.tif"), toImage(pair.reference));
                const QString name =
                    i < static_cast<std::size_t>(names.size()) ? names[static_cast<int>(i)]
                                                               : QStringLiteral("state_%1.tif").arg(i + 1);
                deformed << saveImage(name, toImage(pair.deformed));
            }
            setUp();
        }

        void setUp() {
            loadReference(folder + QStringLiteral("/reference.tif"));
            addDeformed(deformed);
            MainWidget& w = *window;
            w.windowSizeXSpin->setValue(21);
            w.spacingXSpin->setValue(8);
            w.interpolationCombo->setCurrentIndex(2);
        }

        QString saveImage(const QString& name, const QImage& image) {
            const QString path = folder + QLatin1Char('/') + name;
            EXPECT_TRUE(session::writeImage(path, image));
            return path;
        }

        // Starts the run and lets events through until it is over.
        void compute(const std::function<void()>& meanwhile = {}) { computeAndWait(meanwhile); }

        QString resultFile(const QString& base, const char* suffix) const {
            return resultFilePath(folder, kDisplacementsFolder, base, QString::fromLatin1(suffix));
        }
    };

    static void ThreeImagesWriteTheirFieldsAndTheControlsFollowTheRun();
    static void StartChecksRefuseBeforeAnyResultIsDeleted();
    static void StopEndsTheRunAndLeavesOnlyWholeFiles();
    static void AFileThatCannotBeWrittenIsReported();
    static void ProgressTextsSplitIntoStatusAndTiming();
    static void AResultOutsideARunIsDropped();
    static void ReadOutsAndProfilesShowTheFieldInGridAndFullImagePlacement();
    static void StatesLoadFromMemoryOrFromTheirFilesWithTheirOwnGeometry();
    static void RangesAreAutomaticTypedOrAppliedToAllAndKeptPerState();
    static void OnlyResultsThatCanBeReadBackLeaveMemory();
    static void AProjectComesBackWithItsInputsSettingsAndResults();
    static void AMissingImageIsReportedKeptInTheFileAndItsResultsStayItsOwn();
    static void OlderLayoutsLoadAndAnotherFileDoesNotReplaceTheFoldersOwn();
    static std::unique_ptr<MainWidget> reopen(const QString& folder);
    static void StrainsOfEveryResultAreComputedShownAndWritten();
    static void StopLeavesNoStrainFile();
    static void KernelsAndCriteriaEditsReachTheUsersLibraryOnly();
    static void ACrackIsFoundAlongItsLineAndItsDerivedMapsGoBesideTheRawOnes();
    static void TheShownFieldIsExportedOnGridOrImageAndNothingIsReplacedUnasked();
    static void EveryModeAndTheMaskShowTheSameRowsChosenByHandReloadedOrReset();
    static void AFolderThatCannotHoldTheProjectIsNotTakenAndEveryFailedSaveIsSaid();
    static void HeightRangesOfStatesNotListedSurviveTheNextSave();
    static void APairTheProjectFileNeverRecordedKeepsItsRigidShiftFromItsFiles();
    static void TheProjectFilesEntryStaysTheAuthorityOverTheShiftItsFilesCarry();
};

#define RUN_TEST(Suite, Name)                  \
    TEST(Suite, Name) {                        \
        MainWidgetRunTestAccess::Name();       \
    }                                          \
    void MainWidgetRunTestAccess::Name()

RUN_TEST(ComputeRun, ThreeImagesWriteTheirFieldsAndTheControlsFollowTheRun) {
    const std::vector<Shift> shifts{{1.3, -0.7}, {2.6, 1.1}, {-1.8, 0.4}};
    Run run(shifts);
    MainWidget& w = run.w();
    bool sawComputing = false;
    run.compute([&] {
        if (w.computationRunning)
            sawComputing = sawComputing || (!w.computeButton->isEnabled() && w.stopButton->isEnabled() &&
                                             !w.addDeformedButton->isEnabled());
    });
    EXPECT_TRUE(run.boxes.isEmpty()) << run.boxes.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(sawComputing);
    EXPECT_TRUE(run.status().startsWith(QStringLiteral("All computations completed: 3 image(s) processed | Total "
                                                      "time: ")))
        << run.status().toStdString();
    EXPECT_TRUE(w.computeButton->isEnabled());
    EXPECT_FALSE(w.stopButton->isEnabled());
    EXPECT_EQ(w.progressBar->value(), 100);
    ASSERT_EQ(w.results.size(), 3u);
    // The shifts the files leave out are in the project file once the run ends.
    const ProjectParameters saved = run.saved();
    ASSERT_EQ(saved.resultCache.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(saved.resultCache[i].rigidShift) << i;
        EXPECT_EQ((*saved.resultCache[i].rigidShift)[0], w.results[i].rigid.shiftX) << i;
    }
    const auto& grid = *w.results[0].displacements;
    ASSERT_GT(grid.gridWidth, 8);
    for (std::size_t i = 0; i < shifts.size(); ++i) {
        const QString base = QStringLiteral("state_%1").arg(i + 1);
        const RigidRegistrationResult& rigid = w.results[i].rigid;
        EXPECT_EQ(rigid.shiftX, -std::round(shifts[i].ux));
        expectUniform(run.resultFile(base, "_ux"), shifts[i].ux, rigid.shiftX, grid.gridWidth, grid.gridHeight);
        expectUniform(run.resultFile(base, "_uy"), shifts[i].uy, rigid.shiftY, grid.gridWidth, grid.gridHeight);
    }
    EXPECT_FALSE(QDir(run.folder + QStringLiteral("/Strains")).exists()) << "no strains were asked for";
    EXPECT_FALSE(QDir(run.folder + QStringLiteral("/Fracture")).exists());

    // Full-image files: the reference's size, NaN away from the grid points.
    w.saveFullImageCheck->setChecked(true);
    run.answer = QMessageBox::Yes;
    run.compute();
    std::uint32_t width = 0, height = 0;
    const std::vector<float> full = readField(run.resultFile(QStringLiteral("state_2"), "_ux"), width, height);
    EXPECT_EQ(width, static_cast<std::uint32_t>(kSize));
    EXPECT_EQ(height, static_cast<std::uint32_t>(kSize));
    ASSERT_EQ(full.size(), static_cast<std::size_t>(kSize) * kSize);
    EXPECT_TRUE(std::isnan(full[0])) << "the corner lies outside every grid block";
    EXPECT_NEAR(full[static_cast<std::size_t>(kSize / 2) * kSize + kSize / 2], 2.6 + w.results[1].rigid.shiftX, 0.03);
}

RUN_TEST(ComputeCommand, StartChecksRefuseBeforeAnyResultIsDeleted) {
    Run run({{1.0, 0.5}, {0.5, 1.0}}, {QStringLiteral("x.tif"), QStringLiteral("x.png")});
    MainWidget& w = run.w();
    // The second file was refused when added: its name is taken.
    ASSERT_EQ(w.deformedImages.size(), 1u);
    ASSERT_EQ(run.boxes.size(), 1);
    run.boxes.clear();

    QDir root(run.folder);
    ASSERT_TRUE(root.mkpath(QStringLiteral("Rupture")));
    const QString old = root.filePath(QStringLiteral("Rupture/old_cox.tif"));
    QFile(old).open(QIODevice::WriteOnly);

    // Names that clash through a list made elsewhere are refused before the question.
    LoadedImage twin = w.deformedImages[0];
    twin.path = run.folder + QStringLiteral("/sub/X.bmp");
    w.deformedImages.push_back(twin);
    w.onCompute();
    ASSERT_EQ(run.boxes.size(), 1);
    EXPECT_TRUE(run.boxes.last().startsWith(QStringLiteral("Images: Several deformed images are named alike")));
    EXPECT_TRUE(run.boxes.last().contains(QStringLiteral("x, X")));
    w.deformedImages.pop_back();

    run.answer = QMessageBox::No;
    w.onCompute();
    EXPECT_EQ(run.boxes.last(),
              QStringLiteral("Existing results: Results already exist in this project.\nDo you want to overwrite them?"));
    EXPECT_TRUE(QFile::exists(old));
    EXPECT_TRUE(w.computeButton->isEnabled());

    // Accepted, then a check fails: the old results are still there.
    run.answer = QMessageBox::Yes;
    w.deformedImages[0].originalSize = QSize(kSize, kSize + 1);
    w.deformedImages[0].full = QImage();
    w.onCompute();
    EXPECT_EQ(run.boxes.last(), QStringLiteral("Images: All images must have the same size: x.tif is 160\u00d7161, "
                                               "the reference 160\u00d7160."));
    EXPECT_TRUE(QFile::exists(old));
    EXPECT_FALSE(w.runInProgress);
    EXPECT_TRUE(w.computeButton->isEnabled());

    w.deformedImages.clear();
    w.onCompute();
    EXPECT_EQ(run.boxes.last(), QStringLiteral("Images: Please load at least one deformed image first."));
    EXPECT_TRUE(QFile::exists(old));

    w.onClearReference();
    w.onCompute();
    EXPECT_EQ(run.boxes.last(), QStringLiteral("Images: Please load reference image first."));
    EXPECT_TRUE(QFile::exists(old));

    w.appliedProjectFolder.clear();
    w.onCompute();
    EXPECT_EQ(run.boxes.last(),
              QStringLiteral("Project folder: Please select a project folder before starting computation."));
}

RUN_TEST(ComputeRun, StopEndsTheRunAndLeavesOnlyWholeFiles) {
    const std::vector<Shift> shifts{{1.3, -0.7}, {2.6, 1.1}, {-1.8, 0.4}};
    Run run(shifts);
    MainWidget& w = run.w();
    bool stopped = false;
    // Held after the first image, so that Stop comes before the last one, however fast the run.
    const std::unique_ptr<WorkerGate> gate = run.holdWorker({1});
    run.compute([&] {
        if (!stopped && w.runImageIndex == 1) {
            stopped = true;
            w.stopButton->click();
            gate->open();
        }
    });
    ASSERT_TRUE(stopped);
    EXPECT_EQ(run.status(), QStringLiteral("Computation cancelled."));
    EXPECT_TRUE(w.computeButton->isEnabled());
    EXPECT_FALSE(w.stopButton->isEnabled());
    const auto& grid = *w.results[0].displacements;
    expectUniform(run.resultFile(QStringLiteral("state_1"), "_ux"), shifts[0].ux, w.results[0].rigid.shiftX,
                  grid.gridWidth, grid.gridHeight);
    EXPECT_FALSE(QFile::exists(run.resultFile(QStringLiteral("state_3"), "_ux")))
        << "no request is posted after Stop";
    // Whatever was written is whole: no temporary file is left beside it.
    for (const QString& name : QDir(run.folder + QStringLiteral("/Displacements")).entryList(QDir::Files))
        EXPECT_TRUE(name.endsWith(QStringLiteral("_ux.tif")) || name.endsWith(QStringLiteral("_uy.tif")))
            << name.toStdString();
}

RUN_TEST(ResultWriting, AFileThatCannotBeWrittenIsReported) {
    Run run({{1.3, -0.7}});
    MainWidget& w = run.w();
    // A plain file where the folder should be stops even a privileged writer.
    QFile blocker(run.folder + QStringLiteral("/Displacements"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    // Found by the write test before the run, which then does not start.
    run.compute();
    ASSERT_FALSE(run.boxes.isEmpty());
    EXPECT_TRUE(run.boxes.last().startsWith(QStringLiteral("Project folder: The project folder cannot be written")))
        << run.boxes.last().toStdString();
    EXPECT_TRUE(run.boxes.last().contains(QStringLiteral("Displacements")));
    EXPECT_TRUE(w.results.empty());
    EXPECT_FALSE(w.runInProgress);

    // The writer on its own: strains are still attempted past a failure.
    ResultFilesJob job;
    job.projectFolder = run.folder;
    job.baseName = QStringLiteral("specimen.run2");
    job.gridWidth = job.gridHeight = 2;
    job.dispX = job.dispY = {0.1f, 0.2f, 0.3f, 0.4f};
    job.hasStrains = true;
    StrainResult& s = job.strain;
    s.gridWidth = s.gridHeight = 2;
    for (std::vector<float>* field : {&s.epsXX, &s.epsYY, &s.epsXY, &s.epsI, &s.epsII, &s.rotation})
        *field = {1.0f, 2.0f, 3.0f, 4.0f};
    const QStringList failures = saveCorrelationResultFiles(job);
    EXPECT_EQ(failures.size(), 2);
    EXPECT_TRUE(QFile::exists(resultFilePath(run.folder, kStrainsFolder, job.baseName, QStringLiteral("_rotation"))));
    EXPECT_FALSE(QDir(run.folder + QStringLiteral("/Fracture")).exists());

    // The neural crack stage produces every crack map but the crack position:
    // the others are written, and the missing one is no failure.
    QFile::remove(run.folder + QStringLiteral("/Displacements"));
    job.hasStrains = false;
    job.hasFracture = true;
    job.fracture.gridWidth = job.fracture.gridHeight = 2;
    for (int f : kFractureRangeFields)
        if (f != FractureResult::CrackPosition) job.fracture.fields[size_t(f)] = {0.5f, NAN, NAN, 1.5f};
    EXPECT_TRUE(saveCorrelationResultFiles(job).isEmpty());
    for (std::size_t i = 0; i < kFractureSuffixes.size(); ++i)
        EXPECT_EQ(QFile::exists(resultFilePath(run.folder, kFractureFolder, job.baseName,
                                               QString::fromLatin1(kFractureSuffixes[i]))),
                  kFractureRangeFields[i] != FractureResult::CrackPosition)
            << kFractureSuffixes[i];
}

RUN_TEST(WorkerSlots, ProgressTextsSplitIntoStatusAndTiming) {
    WindowTestSession session;
    MainWidget& w = session.w();
    w.onComputationProgress(42, QStringLiteral("Subpixel refinement|||Elapsed: 2s | Remaining: 3s"));
    EXPECT_EQ(session.status(), QStringLiteral("Subpixel refinement"));
    EXPECT_EQ(w.timingLabel->text(), QStringLiteral("Elapsed: 2s | Remaining: 3s"));
    EXPECT_EQ(w.progressBar->value(), 42);
    w.onComputationProgress(120, QStringLiteral("Integer-pixel search|||"));
    EXPECT_EQ(session.status(), QStringLiteral("Integer-pixel search"));
    EXPECT_TRUE(w.timingLabel->text().isEmpty());
    EXPECT_EQ(w.progressBar->value(), 100);
    w.onComputationProgress(-5, QStringLiteral("Preparing regions of interest"));
    EXPECT_TRUE(w.timingLabel->text().isEmpty());
    EXPECT_EQ(w.progressBar->value(), 0);

    w.onComputationFailed(QString(), QString());
    EXPECT_EQ(session.status(), QStringLiteral("Computation error."));
    EXPECT_EQ(session.boxes.last(), QStringLiteral("CUDA: Computation error."));
}

RUN_TEST(WorkerSlots, AResultOutsideARunIsDropped) {
    Run run({{1.3, -0.7}, {0.4, 0.2}});
    MainWidget& w = run.w();
    w.deformedList->setCurrentRow(1);
    ComputationResult stray;
    auto field = std::make_shared<PixelDisplacementResult>();
    field->gridWidth = field->gridHeight = 1;
    field->dispX = field->dispY = {5.0f};
    stray.displacements = field;
    stray.shapeFunctionName = QStringLiteral("Translations");
    w.onComputationFinished(stray);
    EXPECT_TRUE(w.results.empty());
    EXPECT_TRUE(run.status().startsWith(QStringLiteral("Rigid \u0394x=0 \u0394y=0 (\u03c1=0) | Translations 1 x 1")))
        << run.status().toStdString();
    EXPECT_FALSE(w.shownDisplacements);
    EXPECT_TRUE(w.computeButton->isEnabled());
}

TEST(ResultRendering, ColoursFollowTheRangeAndHolesAreGrey) {
    const float nan = std::nanf("");
    const QImage image = createColormapImage({0.0f, 0.5f, 1.0f, nan, 7.0f, -3.0f}, 6, 1, 0.0f, 1.0f);
    const QRgb* jet = jetLut();
    EXPECT_EQ(image.pixel(0, 0), jet[0]);
    EXPECT_EQ(image.pixel(1, 0), jet[128]);
    EXPECT_EQ(image.pixel(2, 0), jet[255]);
    EXPECT_EQ(image.pixel(3, 0), kHoleColor);
    EXPECT_EQ(image.pixel(4, 0), jet[255]) << "above the range: the last colour";
    EXPECT_EQ(image.pixel(5, 0), jet[0]);
    // No usable range: the data's own extremes.
    const QImage own = createColormapImage({2.0f, 4.0f}, 2, 1, 1.0f, 1.0f);
    EXPECT_EQ(own.pixel(0, 0), jet[0]);
    EXPECT_EQ(own.pixel(1, 0), jet[255]);
    EXPECT_EQ(createColormapImage({nan, nan}, 2, 1, 0.0f, 1.0f).pixel(1, 0), kHoleColor);

    const std::vector<float> wide(4096u * 1024u, 1.0f);
    const auto [reduced, cells] = createColormapImageForDisplay(wide, 4096, 1024, 0.0f, 2.0f);
    EXPECT_EQ(reduced.size(), QSize(2048, 512));
    EXPECT_DOUBLE_EQ(cells, 2.0);
    EXPECT_EQ(createColormapImageForDisplay(std::vector<float>(2048u * 2048u, nan), 2048, 2048, 0, 1).second, 1.0);
}

TEST(ResultRendering, AViewPixelMapsToOneCellForReadOutsAndProfiles) {
    EXPECT_EQ(resultCellAt(QPoint(101, 40), 0.5, QPoint(10, 5), 400, 200), QPoint(192, 75));
    EXPECT_EQ(resultCellAt(QPoint(101, 40), 1.0, QPoint(), 400, 200), QPoint(101, 40));
    EXPECT_FALSE(resultCellAt(QPoint(3, 3), 1.0, QPoint(5, 0), 400, 200));
    // A grid larger than a display image is shown reduced: its scale reads the
    // same way as a canvas's.
    std::vector<float> field(4096u * 16u);
    for (std::size_t i = 0; i < field.size(); ++i)
        field[i] = static_cast<float>(i % 4096u);
    const ResultImage shown = renderResultField(field, 4096, 16, 0.0f, 4096.0f, kJetColorMap, std::nullopt);
    EXPECT_DOUBLE_EQ(shown.scale, 0.5);
    EXPECT_EQ(resultCellAt(QPoint(1000, 3), shown.scale, shown.offset, 4096, 16), QPoint(2000, 6));
    double length = 0.0;
    const std::vector<float> along =
        sampleLineProfile(field, 4096, 16, shown.scale, shown.offset, QPointF(1000, 2), QPointF(1010, 2), length);
    ASSERT_FALSE(along.empty());
    EXPECT_NEAR(along.front(), 2000.0f, 1.0f) << "the profile starts at the cell the read-out names";
    EXPECT_NEAR(length, 20.0, 0.5);
}

RUN_TEST(ResultViews, ReadOutsAndProfilesShowTheFieldInGridAndFullImagePlacement) {
    Run run({{1.3, -0.7}});
    MainWidget& w = run.w();
    run.compute();
    ASSERT_EQ(w.results.size(), 1u);
    const PixelDisplacementResult& d = *w.shownDisplacements;
    ASSERT_EQ(w.uxView->image().size(), QSize(d.gridWidth, d.gridHeight));
    EXPECT_GE(w.mainTabs->indexOf(w.displacementsPage), 0);
    const QPoint cell(d.gridWidth / 2, d.gridHeight / 2);
    const float value = d.dispX[static_cast<std::size_t>(cell.y() * d.gridWidth + cell.x())];
    const auto readout = w.displacementInspectValue(0, cell);
    ASSERT_TRUE(readout);
    EXPECT_EQ(readout->status, QStringLiteral("Ux : %1  (x=%2, y=%3)")
                                   .arg(QLocale().toString(double(value), 'g', 6))
                                   .arg(cell.x())
                                   .arg(cell.y()));
    // The colour under that pixel is the value's place in the shown range.
    const float t = (value - w.current.minUx) / (w.current.maxUx - w.current.minUx);
    EXPECT_EQ(QColor(w.uxView->image().pixel(cell)).rgb(), jetColor(t) | 0xff000000u);

    // On the whole-image canvas the same cell lies further in.
    w.saveFullImageCheck->setChecked(true);
    w.refreshDisplacementImages(true);
    ASSERT_GT(w.resultPlacementOffset.x(), 0);
    const QPoint shifted = cell + w.resultPlacementOffset;
    const auto placed = w.displacementInspectValue(0, shifted);
    ASSERT_TRUE(placed);
    EXPECT_EQ(placed->status, readout->status);
    const auto line = w.displacementLineProfile(0, QPointF(shifted), QPointF(shifted + QPoint(4, 0)));
    ASSERT_TRUE(line.valid);
    EXPECT_EQ(line.label, QStringLiteral("Ux"));
    EXPECT_FLOAT_EQ(line.values.front(), value);
}

RUN_TEST(ResultViews, StatesLoadFromMemoryOrFromTheirFilesWithTheirOwnGeometry) {
    const std::vector<Shift> shifts{{1.3, -0.7}, {2.6, 1.1}, {-1.8, 0.4}};
    Run run(shifts);
    MainWidget& w = run.w();
    w.saveFullImageCheck->setChecked(true);
    run.compute();
    ASSERT_EQ(w.results.size(), 3u);
    EXPECT_EQ(w.displacementSlider->maximum(), 2);
    EXPECT_TRUE(w.displacementSlider->isEnabled());
    EXPECT_EQ(w.displacementStepLabel->text(), QStringLiteral("Step 3 / 3  \u2014  state_3"));

    w.displacementSlider->setValue(0);
    EXPECT_EQ(run.status(), QStringLiteral("Result loaded from cache for state_1"));
    const std::vector<float> computed = w.results[1].displacements->dispX;
    const float rigid = w.results[1].rigid.shiftX;

    // The files are full-image rasters; the controls have changed since. The
    // state comes back on its own grid, with its shift.
    w.results[1].displacements = emptyPixelDisplacementResult();
    w.spacingXSpin->setValue(5);
    w.displacementSlider->setValue(1);
    EXPECT_EQ(run.status(), QStringLiteral("Result loaded: state_2 (2/3)"));
    ASSERT_EQ(w.shownDisplacements->dispX.size(), computed.size());
    for (std::size_t k = 0; k < computed.size(); ++k) {
        if (std::isfinite(computed[k])) {
            EXPECT_FLOAT_EQ(w.shownDisplacements->dispX[k], computed[k]) << k;
        }
    }
    EXPECT_EQ(w.results[1].rigid.shiftX, rigid);
    // The label reads in the sense of the maps: state 2 moved by (2.6, 1.1).
    EXPECT_EQ(w.rigidShiftLabel->text(), QStringLiteral("Rigid body shift: dx = 3 px, dy = 1 px"));

    // The geometry travels with the project file.
    const ProjectParameters saved = run.saved();
    ASSERT_EQ(saved.resultCache.size(), 3u);
    ASSERT_TRUE(saved.resultCache[1].geometry);
    EXPECT_EQ(*saved.resultCache[1].geometry, w.results[1].geometry);
    EXPECT_EQ(saved.resultCache[1].geometry->stepX, 8);

    // An older project keeps its crack maps in "rupture".
    const auto& d = *w.results[2].displacements;
    QDir(run.folder).mkpath(QStringLiteral("rupture"));
    const std::vector<float> zeros(static_cast<std::size_t>(d.gridWidth) * d.gridHeight, 0.5f);
    for (const char* suffix : {"_cox", "_coy", "_alpha", "_beta"}) {
        QString error;
        ASSERT_TRUE(writeFloatTiff(run.folder + QStringLiteral("/rupture/state_3") + QLatin1String(suffix) +
                                       QStringLiteral(".tif"),
                                   d.gridWidth, d.gridHeight, zeros, error, {}));
    }
    w.results[2] = ComputationResult();
    w.displacementSlider->setValue(2);
    EXPECT_TRUE(w.current.hasFracture);
    EXPECT_FLOAT_EQ(w.fractureField(2)[0], std::hypot(0.5f, 0.5f)) << "intensity from the two openings";

    // A state not computed yet.
    w.results[0] = ComputationResult();
    QFile::remove(run.resultFile(QStringLiteral("state_1"), "_ux"));
    w.displacementSlider->setValue(0);
    EXPECT_EQ(run.status(), QStringLiteral("En attente du calcul pour state_1..."));
    EXPECT_TRUE(w.uxView->image().isNull());
}

RUN_TEST(ResultViews, RangesAreAutomaticTypedOrAppliedToAllAndKeptPerState) {
    Run run({{1.3, -0.7}, {2.6, 1.1}});
    MainWidget& w = run.w();
    run.compute();
    ASSERT_EQ(w.shownResultIndex, 1);
    const float autoLow = w.current.minUx, autoHigh = w.current.maxUx;
    ASSERT_LT(autoLow, autoHigh);

    w.onDisplacementHistogramRangeEdited(0, -5.0f, 5.0f);
    EXPECT_EQ(w.displacementMinMaxLabels[0]->text(), QStringLiteral("Min : -5    Max : 5"));
    EXPECT_EQ(w.results[1].minUx, -5.0f);
    EXPECT_TRUE(w.results[1].display.manualUx);
    w.onDisplacementHistogramRangeEdited(0, 3.0f, 3.0f);
    EXPECT_EQ(w.current.minUx, -5.0f) << "an empty range is refused";

    // Each state keeps its own range.
    w.displacementSlider->setValue(0);
    EXPECT_NE(w.current.minUx, -5.0f);
    w.displacementSlider->setValue(1);
    EXPECT_EQ(w.current.minUx, -5.0f);

    w.onDisplacementAutoScale(0);
    EXPECT_EQ(w.current.minUx, autoLow);
    EXPECT_EQ(w.current.maxUx, autoHigh);
    EXPECT_FALSE(w.results[1].display.manualUx);

    w.displacementHistograms[1]->setRange(-1.0f, 2.0f);
    const float uxBefore = w.results[0].minUx;
    w.applyDisplacementRangeToAll(1);
    EXPECT_EQ(run.status(), QStringLiteral("Range Uy applied to all images."));
    for (const ComputationResult& record : w.results) {
        EXPECT_EQ(record.minUy, w.displacementHistograms[1]->selectionMin());
        EXPECT_TRUE(record.display.manualUy);
    }
    EXPECT_EQ(w.results[0].minUx, uxBefore) << "Ux untouched";
}

RUN_TEST(ResultViews, OnlyResultsThatCanBeReadBackLeaveMemory) {
    WindowTestSession session;
    MainWidget& w = session.w();
    for (int i = 0; i < 9; ++i) {
        LoadedImage image;
        image.path = session.folder + QStringLiteral("/s%1.tif").arg(i);
        w.deformedImages.push_back(image);
    }
    w.results.resize(9);
    auto field = std::make_shared<PixelDisplacementResult>();
    field->gridWidth = field->gridHeight = 2;
    field->dispX = field->dispY = {1.0f, 2.0f, 3.0f, 4.0f};
    QDir(session.folder).mkpath(kDisplacementsFolder);
    for (int i = 0; i < 9; ++i) {
        w.results[static_cast<std::size_t>(i)].displacements = field;
        w.results[static_cast<std::size_t>(i)].rigid.shiftX = 2.0f;
        // Only the even states have their files.
        if (i % 2 == 0)
            for (const char* suffix : {"_ux", "_uy"}) {
                QString error;
                writeFloatTiff(resultFilePath(session.folder, kDisplacementsFolder, QStringLiteral("s%1").arg(i),
                                              QString::fromLatin1(suffix)),
                               2, 2, field->dispX, error, {});
            }
        w.touchResultCache(i);
    }
    // Six newest kept (3..8); of the older ones only those on disk went.
    EXPECT_TRUE(w.results[0].displacements->dispX.empty());
    EXPECT_FALSE(w.results[1].displacements->dispX.empty()) << "no file to read it back from";
    EXPECT_TRUE(w.results[2].displacements->dispX.empty());
    for (int i = 3; i < 9; ++i)
        EXPECT_FALSE(w.results[static_cast<std::size_t>(i)].displacements->dispX.empty()) << i;
    EXPECT_EQ(w.results[0].rigid.shiftX, 2.0f) << "the shift is no file's: it stays";
}

namespace {

}  // namespace

// A second window on the same machine, as when the program is started again.
std::unique_ptr<MainWidget> MainWidgetRunTestAccess::reopen(const QString& folder) {
    auto window = std::make_unique<MainWidget>();
    window->loadParametersFromFile(folder + QStringLiteral("/parameters.json"));
    return window;
}

namespace {

void writeConstantField(const QString& path, int width, int height, float value) {
    QString error;
    ASSERT_TRUE(writeFloatTiff(path, width, height,
                               std::vector<float>(static_cast<std::size_t>(width) * height, value), error, {}))
        << error.toStdString();
}

}  // namespace

RUN_TEST(OpenProject, AProjectComesBackWithItsInputsSettingsAndResults) {
    Run run({{1.3, -0.7}, {2.6, 1.1}});
    MainWidget& w = run.w();
    w.useMaskCheck->setChecked(true);
    QImage mask(kSize, kSize, QImage::Format_Grayscale8);
    mask.fill(255);
    run.chosen = {run.saveImage(QStringLiteral("mask.png"), mask)};
    w.onSelectMask();
    w.referenceView->setRoi(QRect(8, 8, 140, 140));
    w.searchLeftSpin->setValue(7);
    run.compute();
    ASSERT_EQ(w.results.size(), 2u);
    const auto& grid = *w.results[0].displacements;
    // Strain files as the strain computation writes them.
    QDir(run.folder).mkpath(kStrainsFolder);
    const std::pair<const char*, float> strains[] = {{"_exx", 0.01f}, {"_eyy", 0.02f}, {"_exy", 0.0f},
                                                    {"_e1", 0.3f},   {"_e2", 0.1f},   {"_rotation", 0.0f}};
    for (const auto& [suffix, value] : strains)
        writeConstantField(resultFilePath(run.folder, kStrainsFolder, QStringLiteral("state_1"),
                                          QString::fromLatin1(suffix)),
                           grid.gridWidth, grid.gridHeight, value);
    run.boxes.clear();
    std::unique_ptr<MainWidget> again = MainWidgetRunTestAccess::reopen(run.folder);
    MainWidget& v = *again;
    ASSERT_EQ(run.boxes.size(), 1);
    EXPECT_EQ(run.boxes.front(), QStringLiteral("Loading successful: Project loaded successfully!\n\n- Reference "
                                                "image: OK\n- Deformed images: 2\n- Computation parameters: "
                                                "OK\n- Displacement results: 2/2\n- Strain results: 1"));
    EXPECT_EQ(v.referenceImage.path, run.folder + QStringLiteral("/reference.tif"));
    ASSERT_EQ(v.deformedImages.size(), 2u);
    EXPECT_EQ(v.deformedImages[1].path, run.deformed[1]);
    EXPECT_FALSE(v.maskImage.isNull());
    EXPECT_TRUE(v.maskActive);
    EXPECT_EQ(scaleRect(v.referenceView->roi(), v.referenceImage.displayScale()), QRect(8, 8, 140, 140));
    EXPECT_EQ(v.windowSizeXSpin->value(), 21);
    EXPECT_EQ(v.searchLeftSpin->value(), 7);
    EXPECT_EQ(v.interpolationCombo->currentIndex(), 2);
    EXPECT_EQ(v.mainTabs->currentWidget(), v.displacementsPage);
    ASSERT_EQ(v.results.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(v.results[i].rigid.shiftX, w.results[i].rigid.shiftX) << i;
        EXPECT_EQ(v.results[i].geometry, w.results[i].geometry) << i;
        // The project file keeps six significant digits.
        EXPECT_NEAR(v.results[i].display.percentileMinUx, w.results[i].display.percentileMinUx,
                    1e-5 * std::fabs(w.results[i].display.percentileMinUx))
            << i;
    }
    // The state shown first is read from its files with its strains.
    ASSERT_TRUE(v.current.hasStrain);
    EXPECT_FLOAT_EQ(v.current.strains->epsTresca[0], 0.1f) << "half the principal difference, as computed";
    const auto& shown = *v.shownDisplacements;
    ASSERT_EQ(shown.dispX.size(), grid.dispX.size());
    for (std::size_t k = 0; k < grid.dispX.size(); ++k) {
        if (std::isfinite(grid.dispX[k])) {
            EXPECT_FLOAT_EQ(shown.dispX[k], grid.dispX[k]) << k;
        }
    }
    v.displacementSlider->setValue(1);
    EXPECT_EQ(v.statusLabel->fullText(), QStringLiteral("Result loaded: state_2 (2/2)"));
}

RUN_TEST(OpenProject, AMissingImageIsReportedKeptInTheFileAndItsResultsStayItsOwn) {
    Run run({{1.3, -0.7}, {2.6, 1.1}, {-1.8, 0.4}});
    run.compute();
    const std::vector<ComputationResult> computed = run.w().results;
    const QString file = run.folder + QStringLiteral("/parameters.json");
    QFile stored(file);
    ASSERT_TRUE(stored.open(QIODevice::ReadOnly));
    const QByteArray before = stored.readAll();
    stored.close();
    const QString away = run.folder + QStringLiteral("/away.tif");
    ASSERT_TRUE(QFile::rename(run.deformed[1], away));

    run.boxes.clear();
    std::unique_ptr<MainWidget> again = MainWidgetRunTestAccess::reopen(run.folder);
    MainWidget& v = *again;
    ASSERT_EQ(run.boxes.size(), 1);
    EXPECT_TRUE(run.boxes.front().startsWith(QStringLiteral("Incomplete loading: Some files could not be "
                                                            "loaded:\n\n- 2/3 deformed image(s) loaded\n")))
        << run.boxes.front().toStdString();
    EXPECT_TRUE(run.boxes.front().contains(QStringLiteral("- state_2.tif")));
    ASSERT_TRUE(stored.open(QIODevice::ReadOnly));
    EXPECT_EQ(stored.readAll(), before) << "an incomplete load does not rewrite the project";
    stored.close();
    ASSERT_EQ(v.deformedImages.size(), 2u);
    EXPECT_EQ(v.results[1].rigid.shiftX, computed[2].rigid.shiftX) << "the third image keeps its own entry";
    EXPECT_EQ(v.roiWidthSpin->value(), kSize) << "no region: the boxes show the whole image";
    EXPECT_TRUE(v.referenceView->roi().isNull());

    // The next change writes the file with the missing image where it was.
    v.windowSizeXSpin->setValue(23);
    const ProjectParameters saved = run.saved();
    ASSERT_EQ(saved.deformedImages.size(), 3);
    EXPECT_EQ(QFileInfo(saved.deformedImages[1]).fileName(), QStringLiteral("state_2.tif"));
    ASSERT_EQ(saved.resultCache.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(saved.resultCache[i].index, static_cast<int>(i));
        ASSERT_TRUE(saved.resultCache[i].rigidShift);
        EXPECT_EQ((*saved.resultCache[i].rigidShift)[0], computed[i].rigid.shiftX) << i;
    }
}

RUN_TEST(OpenProject, OlderLayoutsLoadAndAnotherFileDoesNotReplaceTheFoldersOwn) {
    Run run({{1.3, -0.7}});
    MainWidget& w = run.w();
    const QString legacy = run.folder + QStringLiteral("/old/parameters.json");
    QDir().mkpath(run.folder + QStringLiteral("/old"));
    QFile old(legacy);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write(R"({"referenceImage": "../reference.tif", "deformedImages": ["../state_1.tif"],
                 "windowSize": 25, "step": 6, "maxU": 10, "maxV": 3})");
    old.close();
    run.boxes.clear();
    w.loadParametersFromFile(legacy);
    EXPECT_EQ(w.windowSizeXSpin->value(), 25);
    EXPECT_EQ(w.windowSizeYSpin->value(), 25);
    EXPECT_EQ(w.spacingYSpin->value(), 6);
    EXPECT_EQ(w.searchUpSpin->value(), 10);
    EXPECT_EQ(w.searchDownSpin->value(), 10);
    EXPECT_EQ(w.searchRightSpin->value(), 3);
    EXPECT_EQ(w.deformedImages.size(), 1u);
    EXPECT_TRUE(run.boxes.last().startsWith(QStringLiteral("Loading successful")));

    // Results of an older mosaic naming are renamed once, never over a newer file.
    const QString results = run.folder + QStringLiteral("/old/Displacements/");
    QDir().mkpath(results);
    for (const char* name : {"deformed_mosaic_state_001_ux.tif", "deformed_mosaic_state_002_ux.tif",
                             "mosaic_state_002_ux.tif"}) {
        QFile file(results + QLatin1String(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(name);
    }
    QTest::qWait(150);
    w.loadParametersFromFile(legacy);
    EXPECT_TRUE(QFile::exists(results + QStringLiteral("mosaic_state_001_ux.tif")));
    EXPECT_FALSE(QFile::exists(results + QStringLiteral("deformed_mosaic_state_001_ux.tif")));
    EXPECT_TRUE(QFile::exists(results + QStringLiteral("deformed_mosaic_state_002_ux.tif")));
    QFile newer(results + QStringLiteral("mosaic_state_002_ux.tif"));
    ASSERT_TRUE(newer.open(QIODevice::ReadOnly));
    EXPECT_EQ(newer.readAll(), QByteArray("mosaic_state_002_ux.tif"));

    // A file beside the folder's own parameters.json asks before it replaces it.
    const QString other = run.folder + QStringLiteral("/old/other.json");
    ASSERT_TRUE(QFile::copy(legacy, other));
    QFile own(legacy);
    ASSERT_TRUE(own.open(QIODevice::ReadOnly));
    const QByteArray kept = own.readAll();
    own.close();
    run.answer = QMessageBox::No;
    QTest::qWait(150);  // the first load's end
    w.windowSizeXSpin->blockSignals(true);
    w.windowSizeXSpin->setValue(41);
    w.windowSizeXSpin->blockSignals(false);
    w.loadParametersFromFile(other);
    EXPECT_TRUE(run.boxes.last().startsWith(QStringLiteral("Load project: This folder already holds a "
                                                          "parameters.json.")));
    EXPECT_EQ(w.windowSizeXSpin->value(), 41) << "declined: nothing changed";
    ASSERT_TRUE(own.open(QIODevice::ReadOnly));
    EXPECT_EQ(own.readAll(), kept);
}

namespace {

// Small strains of u = G (X - c): the tensor's symmetric part; its principal
// values by the usual circle.
struct KnownStrains {
    double exx, eyy, exy, e1, e2;
};

KnownStrains knownStrains(const std::array<double, 4>& g) {
    KnownStrains k{g[0], g[3], 0.5 * (g[1] + g[2]), 0, 0};
    const double mean = 0.5 * (k.exx + k.eyy);
    const double radius = std::hypot(0.5 * (k.exx - k.eyy), k.exy);
    k.e1 = mean + radius;
    k.e2 = mean - radius;
    return k;
}

// The median of the finite values: the interior of a uniform field, whatever
// its borders do.
double median(std::vector<float> values) {
    std::erase_if(values, [](float v) { return !std::isfinite(v); });
    if (values.empty())
        return std::nan("");
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2), values.end());
    return values[values.size() / 2];
}

}  // namespace

RUN_TEST(StrainsOnRequest, StrainsOfEveryResultAreComputedShownAndWritten) {
    const std::vector<std::array<double, 4>> gradients{
        {0.01, 0.0, 0.0, -0.004}, {0.004, 0.003, 0.002, 0.006}, {-0.006, 0.0, 0.0, 0.008}};
    std::vector<testing::DisplacementField> fields;
    for (const auto& g : gradients)
        fields.push_back(testing::affineField(g, {kSize / 2.0, kSize / 2.0}, {0.4, -0.3}));
    Run run(fields);
    MainWidget& w = run.w();
    run.compute();
    ASSERT_EQ(w.results.size(), 3u);
    EXPECT_TRUE(w.computeStrainsButton->isEnabled());
    run.boxes.clear();
    w.onComputeStrainFields();
    EXPECT_TRUE(run.boxes.isEmpty()) << run.boxes.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(run.status().startsWith(QStringLiteral("Strains computed and exported (3 set(s)) to ")))
        << run.status().toStdString();
    EXPECT_TRUE(run.status().contains(QStringLiteral(" | Total time: "))) << "strains end with their duration";
    EXPECT_FALSE(w.computeStrainsButton->isEnabled()) << "nothing changed since";
    EXPECT_TRUE(w.current.hasStrain);
    EXPECT_FALSE(w.strainView->image().isNull());
    for (std::size_t i = 0; i < gradients.size(); ++i) {
        const KnownStrains known = knownStrains(gradients[i]);
        const QString base = QStringLiteral("state_%1").arg(i + 1);
        const std::pair<const char*, double> expected[] = {
            {"_exx", known.exx}, {"_eyy", known.eyy}, {"_exy", known.exy}, {"_e1", known.e1}, {"_e2", known.e2}};
        std::uint32_t width = 0, height = 0;
        for (const auto& [suffix, value] : expected) {
            const std::vector<float> field = readField(
                resultFilePath(run.folder, kStrainsFolder, base, QString::fromLatin1(suffix)), width, height);
            // A few thousandths of a pixel of displacement noise over the kernel's span.
            EXPECT_NEAR(median(field), value, 6e-4) << base.toStdString() << suffix;
        }
        const std::vector<float> vonMises =
            readField(resultFilePath(run.folder, kStrainsFolder, base, QStringLiteral("_von_mises")), width, height);
        const double v = std::sqrt(2.0 / 3.0 * (known.e1 * known.e1 + known.e2 * known.e2 - known.e1 * known.e2));
        EXPECT_NEAR(median(vonMises), v, 8e-4) << base.toStdString();
        EXPECT_FALSE(QFile::exists(resultFilePath(run.folder, kStrainsFolder, base, QStringLiteral("_max_shear"))))
            << "a disabled criterion is not computed";
    }
    EXPECT_TRUE(run.saved().resultCache[0].hasStrain);
}

RUN_TEST(StrainsOnRequest, StopLeavesNoStrainFile) {
    Run run({{1.3, -0.7}});
    MainWidget& w = run.w();
    run.compute();
    QTimer::singleShot(0, &w, [&w] { w.stopButton->click(); });
    w.onComputeStrainFields();
    EXPECT_EQ(run.status(), QStringLiteral("Strain computation cancelled."));
    EXPECT_TRUE(run.boxes.isEmpty()) << "a cancellation is no failure";
    EXPECT_FALSE(QDir(run.folder + QStringLiteral("/Strains")).exists());
    EXPECT_FALSE(w.results[0].hasStrain);
    EXPECT_TRUE(w.computeButton->isEnabled());

    // With no result at all there is nothing to compute from.
    WindowTestSession empty;
    empty.w().onComputeStrainFields();
    ASSERT_EQ(empty.boxes.size(), 1);
    EXPECT_TRUE(empty.boxes.front().startsWith(QStringLiteral("Computation not possible: ")));
}

RUN_TEST(KernelsAndCriteria, KernelsAndCriteriaEditsReachTheUsersLibraryOnly) {
    // This process's own configuration folder, so that its library is its own.
    const QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    WindowTestSession s;
    MainWidget& w = s.w();
    ASSERT_EQ(w.derivativeKernels.size(), 3u);
    ASSERT_EQ(w.smoothingKernels.size(), 3u);
    ASSERT_EQ(w.strainSettings.criteria.size(), 2u);
    EXPECT_EQ(w.derivativeKernelGroup->button(1)->toolTip(), QStringLiteral("[ 1/12, -2/3, 0, 2/3, -1/12 ]"));
    EXPECT_EQ(w.smoothingKernelGroup->button(0)->toolTip(), QStringLiteral("No smoothing"));
    EXPECT_TRUE(w.smoothingKernelRows->findChildren<QToolButton*>().size() == 4u) << "None has no buttons";
    w.derivativeKernelGroup->button(1)->click();
    EXPECT_EQ(w.kernelPreviewLabel->text(), QStringLiteral("Kernel preview \u2202/\u2202x (1\u00d75)"));
    EXPECT_EQ(w.strainSettings.derivativeCoefficients.size(), 5u);

    // The dialogs, played as a user would.
    QString name, text;
    const auto fill = [&](QDialog& dialog) {
        if (auto* kernel = dynamic_cast<NamedKernelEditDialog*>(&dialog)) {
            kernel->nameEdit->setText(name);
            kernel->coefficientsEdit->setText(text);
            kernel->applyButton->click();
        } else if (auto* criterion = dynamic_cast<CriterionEditDialog*>(&dialog)) {
            criterion->nameEdit->setText(name);
            criterion->expressionEdit->setText(text);
            criterion->applyButton->click();
        } else if (auto* box = qobject_cast<QMessageBox*>(&dialog)) {
            s.boxes << box->windowTitle() + QStringLiteral(": ") + box->text();
            box->button(box->buttons().contains(box->button(QMessageBox::Yes)) ? QMessageBox::Yes : QMessageBox::Ok)
                ->click();
        }
    };
    const ScopedDialogResponder player({fill, {}});
    name = QStringLiteral("Mine");
    text = QStringLiteral("-1 0 1");
    w.onAddDerivativeKernel();
    ASSERT_EQ(w.derivativeKernels.size(), 4u);
    EXPECT_EQ(w.selectedDerivativeKernel, 3);
    UserDefaults stored;
    ASSERT_EQ(readUserDefaults(userDefaultsFilePath(), stored), UserDefaultsRead::Read);
    ASSERT_TRUE(stored.derivativeKernels);
    EXPECT_EQ(stored.derivativeKernels->back().name, "Mine");

    // A project's own lists replace the window's, never the user's library.
    const QString project = s.folder + QStringLiteral("/project.json");
    QFile file(project);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(R"({"strain": {"derivativeKernels": [{"name": "ProjectOnly", "coefficients": [-0.5, 0, 0.5]}],
                  "smoothingKernels": [{"name": "None", "coefficients": []}],
                  "criteria": [{"name": "Project criterion", "expression": "exx", "enabled": true}]}})");
    file.close();
    w.loadParametersFromFile(project);
    ASSERT_EQ(w.derivativeKernels.size(), 1u);
    name = QStringLiteral("Second");
    text = QStringLiteral("-0.5, 0, 0.5");
    w.onAddDerivativeKernel();
    name = QStringLiteral("Shear");
    text = QStringLiteral("(eI - eII)/2");
    w.onNewCriterion();
    ASSERT_EQ(w.strainSettings.criteria.size(), 2u);
    ASSERT_EQ(readUserDefaults(userDefaultsFilePath(), stored), UserDefaultsRead::Read);
    QStringList kernels, criteria;
    for (const NamedKernel& kernel : *stored.derivativeKernels)
        kernels << QString::fromStdString(kernel.name);
    for (const StrainCriterion& criterion : *stored.criteria)
        criteria << QString::fromStdString(criterion.name);
    EXPECT_EQ(kernels, (QStringList{QStringLiteral("Order 2"), QStringLiteral("Order 4"), QStringLiteral("Order 6"),
                                    QStringLiteral("Mine"), QStringLiteral("Second")}));
    EXPECT_EQ(criteria,
              (QStringList{QStringLiteral("Von Mises"), QStringLiteral("Max Shear"), QStringLiteral("Shear")}));

    // A name that would share its criterion's files with another is refused.
    name = QStringLiteral("shear");
    w.onNewCriterion();
    EXPECT_EQ(w.strainSettings.criteria.size(), 2u);
    EXPECT_TRUE(s.boxes.last().startsWith(QStringLiteral("Name not usable: "))) << s.boxes.last().toStdString();

    // Deleting keeps the selected kernel where it can: the last one gives way to its predecessor.
    w.derivativeKernelGroup->button(1)->click();
    ASSERT_EQ(w.selectedDerivativeKernel, 1);
    w.onDeleteDerivativeKernel(1);
    EXPECT_EQ(w.selectedDerivativeKernel, 0);
    EXPECT_EQ(w.derivativeKernels.size(), 1u);
    w.onDeleteDerivativeKernel(0);
    EXPECT_EQ(s.boxes.last(), QStringLiteral("Cannot delete: There must be at least one derivative kernel."));
}

RUN_TEST(Fracture, ACrackIsFoundAlongItsLineAndItsDerivedMapsGoBesideTheRawOnes) {
    // A straight crack at 30 degrees through the middle; its faces part by
    // 1 px, turned 40 degrees from the normal: opening with some sliding.
    constexpr double kAngle = 30.0, kJump = 1.0, kTurn = 40.0 * 3.14159265358979 / 180.0;
    testing::StraightCrack crack;
    crack.point = {kSize / 2.0 + 0.3, kSize / 2.0 - 0.2};
    crack.angle = kAngle;
    const testing::Vec2 n = crack.normal();
    const testing::Vec2 jump{kJump * (n[0] * std::cos(kTurn) - n[1] * std::sin(kTurn)),
                             kJump * (n[0] * std::sin(kTurn) + n[1] * std::cos(kTurn))};
    crack.minus = testing::translationField(0.3 - 0.5 * jump[0], 0.2 - 0.5 * jump[1]);
    crack.plus = testing::translationField(0.3 + 0.5 * jump[0], 0.2 + 0.5 * jump[1]);
    const testing::SpeckleModel model(speckleOptions());
    WindowTestSession s;
    MainWidget& w = s.w();
    const auto save = [&](const QString& name, const testing::Image& image) {
        const QString path = s.folder + QLatin1Char('/') + name;
        EXPECT_TRUE(session::writeImage(path, toImage(image)));
        return path;
    };
    s.loadReference(save(QStringLiteral("reference.tif"), model.render()));
    s.addDeformed({save(QStringLiteral("cracked.tif"), testing::renderCracked(model, crack))});
    w.windowSizeXSpin->setValue(21);
    w.spacingXSpin->setValue(4);
    w.interpolationCombo->setCurrentIndex(2);
    w.computationModeCombo->setCurrentIndex(w.computationModeCombo->findData(3));
    w.onCompute();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.runInProgress && !w.computationRunning; }, 120000));
    w.waitForResultWrites();
    QCoreApplication::processEvents();
    ASSERT_EQ(w.results.size(), 1u);
    ASSERT_TRUE(w.results[0].hasFracture) << s.status().toStdString();
    EXPECT_GE(w.mainTabs->indexOf(w.fractureResultPage), 0);
    EXPECT_FALSE(w.fractureMinJumpRow->isHidden());
    EXPECT_GE(w.fractureParameterCombo->currentData().toInt(), 0) << "a map is chosen, not a group heading";

    const CrackLineSet* lines = w.crackLineCache();
    ASSERT_NE(lines, nullptr);
    const CrackLineSet points = extractCrackLines(*lines, w.crackLineParameters());
    ASSERT_GE(points.size(), 8u);
    std::vector<float> angle, magnitude, opening;
    for (std::size_t k = 0; k < points.size(); ++k) {
        angle.push_back(std::fmod(points.alpha[k] + 360.0f, 180.0f));
        magnitude.push_back(std::hypot(points.jumpA[k], points.jumpB[k]));
        opening.push_back(std::fabs(points.jumpB[k]));
    }
    EXPECT_NEAR(median(angle), kAngle, 2.0);
    EXPECT_NEAR(median(magnitude), kJump, 0.05);
    EXPECT_NEAR(median(opening), kJump * std::cos(kTurn), 0.05);

    // The view shows the opening read along the line; a minimum above the
    // jump leaves no line to read it on.
    const auto finiteCount = [](const std::vector<float>& field) {
        return std::count_if(field.begin(), field.end(), [](float v) { return std::isfinite(v); });
    };
    EXPECT_GT(finiteCount(w.derivedFractureMap(2)), 0);
    w.fractureOpeningMin = 5.0;
    EXPECT_EQ(finiteCount(w.derivedFractureMap(2)), 0);
    w.fractureOpeningMin = 0.1;
    // Lines first extracted under a high minimum come back when it is lowered.
    w.fractureOpeningMin = 5.0;
    w.clearCrackLineCache();
    EXPECT_EQ(finiteCount(w.derivedFractureMap(2)), 0);
    w.fractureOpeningMin = 0.1;
    EXPECT_GT(finiteCount(w.derivedFractureMap(2)), 0);

    // "Save all" writes beside the raw maps and leaves them as measured.
    const QString raw = resultFilePath(s.folder, kFractureFolder, QStringLiteral("cracked"), QStringLiteral("_cox"));
    QFile rawFile(raw);
    ASSERT_TRUE(rawFile.open(QIODevice::ReadOnly));
    const QByteArray before = rawFile.readAll();
    rawFile.close();
    w.onSaveAllDerivedFractureMaps();
    EXPECT_TRUE(s.status().startsWith(QStringLiteral("Saved "))) << s.status().toStdString();
    EXPECT_TRUE(QFile::exists(resultFilePath(s.folder, kFractureFolder, QStringLiteral("cracked"),
                                             QStringLiteral("_cox_derived"))));
    ASSERT_TRUE(rawFile.open(QIODevice::ReadOnly));
    EXPECT_EQ(rawFile.readAll(), before);
    rawFile.close();
    w.onSaveAllDerivedFractureMaps();
    EXPECT_TRUE(s.status().contains(QStringLiteral("earlier derived maps replaced"))) << s.status().toStdString();
}

RUN_TEST(DisplacementExport, TheShownFieldIsExportedOnGridOrImageAndNothingIsReplacedUnasked) {
    Run run({{1.3, -0.7}});
    MainWidget& w = run.w();
    w.onSaveDisplacements();
    EXPECT_TRUE(run.boxes.isEmpty()) << "nothing shown: nothing to export";
    run.compute();
    ASSERT_TRUE(w.shownDisplacements);
    const PixelDisplacementResult& d = *w.shownDisplacements;
    EXPECT_TRUE(w.exportDisplacementsButton->isEnabled());

    const QString out = run.folder + QStringLiteral("/export");
    ASSERT_TRUE(QDir().mkpath(out));
    run.chosen = {out + QStringLiteral("/run.v2")};
    w.onSaveDisplacements();
    const QString ux = out + QStringLiteral("/run.v2_ux.tif");
    const QString uy = out + QStringLiteral("/run.v2_uy.tif");
    std::uint32_t width = 0, height = 0;
    const std::vector<float> grid = readField(ux, width, height);
    ASSERT_EQ(width, static_cast<std::uint32_t>(d.gridWidth));
    ASSERT_EQ(height, static_cast<std::uint32_t>(d.gridHeight));
    EXPECT_EQ(grid, d.dispX);
    EXPECT_EQ(readField(uy, width, height), d.dispY);
    EXPECT_EQ(run.status(), QStringLiteral("Displacements saved to %1 and %2 (computation area %3\u00d7%4)")
                                .arg(ux, uy)
                                .arg(d.gridWidth)
                                .arg(d.gridHeight));

    // Drawings made for the grid placement do not survive the switch.
    ASSERT_FALSE(w.results.empty());
    const QImage gridDrawing(4, 4, QImage::Format_RGB32);
    w.results[0].display.uxImage = gridDrawing;
    w.results[0].display.strainImageComponent = 2;
    // The second export would overwrite both: asked first, and "No" keeps them.
    w.saveFullImageCheck->setChecked(true);
    EXPECT_NE(w.results[0].display.uxImage.cacheKey(), gridDrawing.cacheKey()) << "drawn again for the image";
    EXPECT_EQ(w.results[0].display.strainImageComponent, -1);
    run.answer = QMessageBox::No;
    w.onSaveDisplacements();
    ASSERT_EQ(run.boxes.size(), 1);
    EXPECT_EQ(run.boxes.front(),
              QStringLiteral("Save displacements: These files already exist:\nrun.v2_ux.tif\nrun.v2_uy.tif\n\nReplace them?"));
    readField(ux, width, height);
    EXPECT_EQ(width, static_cast<std::uint32_t>(d.gridWidth));

    run.answer = QMessageBox::Yes;
    w.onSaveDisplacements();
    const QSize image = w.referenceImage.originalSize;
    const std::vector<float> full = readField(ux, width, height);
    ASSERT_EQ(width, static_cast<std::uint32_t>(image.width()));
    ASSERT_EQ(height, static_cast<std::uint32_t>(image.height()));
    EXPECT_TRUE(std::isnan(full.front())) << "outside the computed blocks";
    const std::size_t finite =
        static_cast<std::size_t>(std::count_if(full.begin(), full.end(), [](float v) { return std::isfinite(v); }));
    EXPECT_GT(finite, d.dispX.size());
    EXPECT_TRUE(run.status().endsWith(
        QStringLiteral(" (full image %1\u00d7%2)").arg(image.width()).arg(image.height())));

    // Another project without results: no shift of the old one stays on show.
    ASSERT_FALSE(w.rigidShiftLabel->text().isEmpty());
    const QString other = run.folder + QStringLiteral("/other");
    ASSERT_TRUE(QDir().mkpath(other));
    QString error;
    ASSERT_TRUE(writeProjectParametersFile(other + QStringLiteral("/parameters.json"), ProjectParameters(), error));
    w.loadParametersFromFile(other + QStringLiteral("/parameters.json"));
    EXPECT_EQ(w.appliedProjectFolder, other);
    EXPECT_TRUE(w.rigidShiftLabel->text().isEmpty());
}

RUN_TEST(OpenProject, EveryModeAndTheMaskShowTheSameRowsChosenByHandReloadedOrReset) {
    WindowTestSession s;
    MainWidget& w = s.w();
    const auto rows = [](MainWidget& window) {
        QString shown;
        for (QWidget* row : {static_cast<QWidget*>(window.maxJumpInitSpin), static_cast<QWidget*>(window.twinningCheck),
                             static_cast<QWidget*>(window.nlcFilterCheck), window.maskFieldBlock})
            shown += row && !row->isHidden() ? QLatin1Char('1') : QLatin1Char('0');
        return shown;
    };
    for (int mode = 0; mode < w.computationModeCombo->count(); ++mode) {
        w.computationModeCombo->setCurrentIndex(mode);
        w.useMaskCheck->setChecked(mode % 2 == 1);
        w.saveParametersToProject();
        const QString byHand = rows(w);
        const std::unique_ptr<MainWidget> reloaded = reopen(s.folder);
        EXPECT_EQ(reloaded->computationModeCombo->currentIndex(), mode);
        EXPECT_EQ(rows(*reloaded), byHand) << "mode " << mode;
    }
    for (int mode = 0; mode < w.computationModeCombo->count(); ++mode)
        if (hasHeavisideTerm(w.computationModeCombo->itemData(mode, Qt::UserRole).toInt()))
            w.computationModeCombo->setCurrentIndex(mode);
    ASSERT_FALSE(w.maxJumpInitSpin->isHidden());
    w.resetAllData();
    EXPECT_TRUE(w.maxJumpInitSpin->isHidden()) << "a reset leaves no Heaviside row behind";
    EXPECT_TRUE(w.twinningCheck->isHidden());
}

RUN_TEST(OpenProject, AFolderThatCannotHoldTheProjectIsNotTakenAndEveryFailedSaveIsSaid) {
    WindowTestSession s;
    MainWidget& w = s.w();
    const QString applied = w.appliedProjectFolder;
    const QString other = s.folder + QStringLiteral("/elsewhere");
    {
        const testing::ScopedFileSizeLimit limit(64);
        w.projectPathEdit->setText(other);
        w.projectPathEdited = true;
        w.applyProjectFolder();
        w.saveParametersToProject();
        w.saveParametersToProject();
    }

    EXPECT_EQ(w.appliedProjectFolder, applied);
    EXPECT_EQ(w.projectPathEdit->text(), applied) << "the field names the folder in use";
    EXPECT_TRUE(s.status().startsWith(QStringLiteral("Changes are not saved: %1/parameters.json cannot be written (")
                                          .arg(applied)))
        << "the last failed save is said in the status line";
    ASSERT_EQ(s.boxes.size(), 3) << s.boxes.join(QStringLiteral(" | ")).toStdString();
    EXPECT_TRUE(s.boxes[0].startsWith(QStringLiteral("Save: Unable to create parameters file.\n\n")));
    EXPECT_GT(s.boxes[0].size(), QStringLiteral("Save: Unable to create parameters file.\n\n").size())
        << "the reason follows the fixed text";
    EXPECT_TRUE(s.boxes[1].startsWith(QStringLiteral("Save: Unable to create parameters file.")));
    EXPECT_TRUE(s.boxes[2].startsWith(QStringLiteral("Save: Unable to create parameters file.")))
        << "two failed autosaves of the project in use: two boxes";

    w.windowSizeXSpin->setValue(w.windowSizeXSpin->value() + 2);
    w.saveParametersToProject();
    EXPECT_EQ(s.saved().windowSizeX, w.windowSizeXSpin->value()) << "saving works again once the disk allows it";
}

RUN_TEST(OpenProject, HeightRangesOfStatesNotListedSurviveTheNextSave) {
    WindowTestSession s;
    s.w().saveParametersToProject();
    ProjectParameters p = s.saved();
    p.heightCache = {{5, -1.0f, 2.0f, -0.5f, 1.5f}, {200000, 0.0f, 1.0f, 0.0f, 1.0f}};
    QString error;
    ASSERT_TRUE(writeProjectParametersFile(s.folder + QStringLiteral("/parameters.json"), p, error));
    const std::unique_ptr<MainWidget> reopened = reopen(s.folder);
    reopened->windowSizeXSpin->setValue(reopened->windowSizeXSpin->value() + 2);
    reopened->saveParametersToProject();
    const ProjectParameters back = s.saved();
    EXPECT_EQ(back.windowSizeX, reopened->windowSizeXSpin->value());
    ASSERT_EQ(back.heightCache.size(), 1u) << "a key no state could have is dropped";
    EXPECT_EQ(back.heightCache[0].index, 5);
    EXPECT_EQ(back.heightCache[0].maxUz, 2.0f);
    EXPECT_FALSE(back.heightFields && back.heightFields->hasResult) << "no listed state has a height result";
}

namespace {

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    return file.readAll();
}

void replaceFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
}

// The mean over the measured points of a stored field plus the shift taken out before it was measured.
double meanFullDisplacement(const std::vector<float>& stored, float rigidShift) {
    double sum = 0.0;
    int count = 0;
    for (float value : stored)
        if (std::isfinite(value)) {
            sum += static_cast<double>(value) - static_cast<double>(rigidShift);
            ++count;
        }
    EXPECT_GT(count, static_cast<int>(stored.size()) * 3 / 4);
    return count > 0 ? sum / count : 0.0;
}

}  // namespace

// The program killed after the pair's files took their names and before the
// project file recorded the pair: the files alone must give the displacement.
RUN_TEST(ReopenAfterKill, APairTheProjectFileNeverRecordedKeepsItsRigidShiftFromItsFiles) {
    const Shift truth{12.3, -7.6};
    Run run(std::vector<Shift>{truth});
    const QString projectFile = run.folder + QStringLiteral("/parameters.json");
    run.w().saveParametersToProject();
    const QByteArray beforeThePair = fileBytes(projectFile);
    run.compute();
    ASSERT_EQ(run.w().results.size(), 1u);
    const RigidRegistrationResult measured = run.w().results[0].rigid;
    ASSERT_EQ(measured.shiftX, -12.0f);
    ASSERT_EQ(measured.shiftY, 8.0f);
    replaceFile(projectFile, beforeThePair);
    ASSERT_TRUE(run.saved().resultCache.empty());

    const std::unique_ptr<MainWidget> again = run.reopen();
    MainWidget& v = *again;
    ASSERT_EQ(v.results.size(), 1u);
    const ComputationResult& reopened = v.results[0];
    ASSERT_FALSE(reopened.displacements->dispX.empty());
    EXPECT_FALSE(reopened.display.rigidShiftUnknown);
    EXPECT_EQ(reopened.rigid.shiftX, measured.shiftX);
    EXPECT_EQ(reopened.rigid.shiftY, measured.shiftY);
    EXPECT_EQ(v.rigidShiftLabel->text(), QStringLiteral("Rigid body shift: dx = 12 px, dy = -8 px"));
    // Cubic B-spline on an exact Fourier shift, averaged over the grid: well within 0.01 px.
    EXPECT_NEAR(meanFullDisplacement(reopened.displacements->dispX, reopened.rigid.shiftX), truth.ux, 0.01);
    EXPECT_NEAR(meanFullDisplacement(reopened.displacements->dispY, reopened.rigid.shiftY), truth.uy, 0.01);
    // The save that ends the opening records the pair again.
    const ProjectParameters saved = run.saved();
    ASSERT_EQ(saved.resultCache.size(), 1u);
    ASSERT_TRUE(saved.resultCache[0].rigidShift);
    EXPECT_EQ((*saved.resultCache[0].rigidShift)[0], measured.shiftX);
    EXPECT_EQ((*saved.resultCache[0].rigidShift)[1], measured.shiftY);
}

RUN_TEST(ReopenAfterKill, TheProjectFilesEntryStaysTheAuthorityOverTheShiftItsFilesCarry) {
    Run run(std::vector<Shift>{{3.2, -1.1}});
    run.compute();
    ProjectParameters edited = run.saved();
    ASSERT_EQ(edited.resultCache.size(), 1u);
    ASSERT_TRUE(edited.resultCache[0].rigidShift);
    edited.resultCache[0].rigidShift = std::array<float, 2>{-5.0f, 2.0f};
    QString error;
    ASSERT_TRUE(writeProjectParametersFile(run.folder + QStringLiteral("/parameters.json"), edited, error))
        << error.toStdString();

    const std::unique_ptr<MainWidget> again = run.reopen();
    ASSERT_EQ(again->results.size(), 1u);
    EXPECT_EQ(again->results[0].rigid.shiftX, -5.0f);
    EXPECT_EQ(again->results[0].rigid.shiftY, 2.0f);
}

}  // namespace tavro::gui
