#include "gui/mainwindow/main_widget.h"

#include "compute/computation_types.h"
#include "gui/foundation/image_io.h"
#include "gui/mainwindow/result_writer.h"
#include "support/synthetic_images.h"
#include "window_session.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace tavro::gui {

namespace {

constexpr int kSize = 160;

QImage toImage(const testing::Image& image) {
    const std::vector<std::uint8_t> bytes = testing::quantize8(image);
    QImage out(image.width, image.height, QImage::Format_Grayscale8);
    for (int y = 0; y < image.height; ++y)
        std::memcpy(out.scanLine(y), &bytes[static_cast<std::size_t>(y) * image.width], image.width);
    return out;
}

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
        void compute(const std::function<void()>& meanwhile = {}) {
            MainWidget& w = *window;
            w.onCompute();
            EXPECT_TRUE(QTest::qWaitFor(
                [&] {
                    if (meanwhile)
                        meanwhile();
                    return !w.runInProgress && !w.computationRunning;
                },
                60000));
            w.waitForResultWrites();
            QCoreApplication::processEvents();
        }

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
    EXPECT_EQ(run.boxes.last(), QStringLiteral("Images: All images must have the same size."));
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
    run.compute([&] {
        if (!stopped && w.runImageIndex == 1) {
            stopped = true;
            w.stopButton->click();
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
    run.compute();
    ASSERT_FALSE(run.boxes.isEmpty());
    EXPECT_TRUE(run.boxes.last().startsWith(QStringLiteral("Result files: 2 result file(s) could not be written: ")))
        << run.boxes.last().toStdString();
    EXPECT_TRUE(run.status().startsWith(QStringLiteral("2 result file(s) could not be written")));
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
    w.onComputationFinished(stray);
    EXPECT_TRUE(w.results.empty());
    EXPECT_FALSE(w.shownDisplacements);
    EXPECT_TRUE(w.computeButton->isEnabled());
}

}  // namespace tavro::gui
