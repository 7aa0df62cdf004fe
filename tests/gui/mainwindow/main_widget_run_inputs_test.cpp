#include "gui/mainwindow/main_widget.h"

#include "support/synthetic_images.h"
#include "window_session.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QSpinBox>
#include <QDropEvent>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace tavro::gui {

namespace {

constexpr int kSize = 160;

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

}  // namespace

struct MainWidgetRunInputsTestAccess {
    // Translated pairs of one reference, set up for a small grid.
    struct Run : WindowTestSession {
        QStringList deformed;

        explicit Run(const std::vector<std::array<double, 2>>& shifts) {
            testing::SpeckleOptions options;
            options.width = options.height = kSize;
            for (std::size_t i = 0; i < shifts.size(); ++i) {
                const testing::ImagePair pair = testing::makeFourierShiftedPair(options, shifts[i][0], shifts[i][1]);
                if (i == 0)
                    save(QStringLiteral("reference.tif"), session::toImage(pair.reference));
                deformed << save(QStringLiteral("state_%1.tif").arg(i + 1), session::toImage(pair.deformed));
            }
            loadReference(folder + QStringLiteral("/reference.tif"));
            addDeformed(deformed);
            window->windowSizeXSpin->setValue(21);
            window->spacingXSpin->setValue(8);
        }

        QString save(const QString& name, const QImage& image) {
            const QString path = folder + QLatin1Char('/') + name;
            EXPECT_TRUE(session::writeImage(path, image));
            return path;
        }

        void compute(const std::function<void()>& meanwhile = {}) { computeAndWait(meanwhile); }

        void drop(const QString& file) {
            QMimeData mime;
            mime.setUrls({QUrl::fromLocalFile(file)});
            QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(window.get(), &enter);
            QDropEvent event(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(window.get(), &event);
        }
    };

    static void ADropDuringARunChangesNeitherItsInputsNorItsResults();
    static void AResultOnDiskKeepsItsRigidShiftWhenTheRunNeverEnds();
    static void ClosingDuringARunAsksAndQuitsOnlyAfterStop();
    static void EveryRefusalAndFailureIsSaidInTheStatusLine();
    static void StrainsAreMaskedOnlyByAMaskTheCorrelationTook();
    static void TheMapBehindTheLoadSummaryIsTheOneShownAfterIt();
};

#define RUN_INPUTS_TEST(Suite, Name)                 \
    TEST(Suite, Name) {                              \
        MainWidgetRunInputsTestAccess::Name();       \
    }                                                \
    void MainWidgetRunInputsTestAccess::Name()

RUN_INPUTS_TEST(RunInputs, ADropDuringARunChangesNeitherItsInputsNorItsResults) {
    Run run({{1.3, -0.7}, {2.6, 1.1}, {-1.8, 0.4}, {0.6, 2.2}, {-2.4, -1.5}});
    MainWidget& w = run.w();
    w.show();
    w.referenceSegmentButton->click();
    ASSERT_TRUE(w.referencePage->isVisible());
    run.compute();
    ASSERT_EQ(w.results.size(), 5u);
    const std::vector<ComputationResult> undisturbed = w.results;
    // The run's total is in the status; the last image's own duration is not left beside it.
    EXPECT_TRUE(run.status().contains(QStringLiteral("Total time: ")));
    EXPECT_EQ(w.timingLabel->text(), QString());

    const QString stranger = run.image(QStringLiteral("stranger.tif"), kSize, kSize, QImage::Format_Grayscale8, 77);
    const QString extra = run.image(QStringLiteral("extra.tif"), kSize, kSize, QImage::Format_Grayscale8, 78);
    QStringList said;
    run.answer = QMessageBox::Yes;
    const std::unique_ptr<WorkerGate> gate = run.holdWorker({1, 3});
    run.compute([&] {
        if (w.runImageIndex == 1 && said.isEmpty()) {
            run.drop(stranger);
            said << run.status();
            gate->open();
        } else if (w.runImageIndex == 3 && said.size() == 1) {
            w.referencePage->hide();
            w.deformedPage->show();
            run.drop(extra);
            said << run.status();
            gate->open();
        }
    });
    ASSERT_EQ(said.size(), 2);
    for (const QString& text : said)
        EXPECT_EQ(text, QStringLiteral("Busy: dropped files ignored until the current task ends."));
    EXPECT_EQ(w.referenceImage.path, run.folder + QStringLiteral("/reference.tif"));
    EXPECT_EQ(w.deformedImages.size(), 5u);
    ASSERT_EQ(w.results.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(w.results[i].rigid.shiftX, undisturbed[i].rigid.shiftX) << i;
        EXPECT_TRUE(session::sameField(w.results[i].displacements->dispX, undisturbed[i].displacements->dispX)) << i;
        EXPECT_TRUE(session::sameField(w.results[i].displacements->dispY, undisturbed[i].displacements->dispY)) << i;
    }

    // Once the run is over, a drop is taken again.
    run.drop(extra);
    EXPECT_EQ(w.deformedImages.size(), 6u);
}

RUN_INPUTS_TEST(RunResults, AResultOnDiskKeepsItsRigidShiftWhenTheRunNeverEnds) {
    Run run({{2.6, 1.1}, {-1.8, 0.4}, {0.6, 2.2}});
    MainWidget& w = run.w();
    run.compute();
    ASSERT_EQ(run.saved().resultCache.size(), 3u);

    // A second run: what parameters.json holds at two moments a kill could come.
    const QString parameters = run.folder + QStringLiteral("/parameters.json");
    QByteArray beforeFirstFiles;
    QByteArray afterFirstFiles;
    run.answer = QMessageBox::Yes;
    // The worker waits after the first image until the test has read the file, however fast the machine.
    const std::unique_ptr<WorkerGate> gate = run.holdWorker({1});
    run.compute([&] {
        if (beforeFirstFiles.isEmpty())
            beforeFirstFiles = fileBytes(parameters);
        if (afterFirstFiles.isEmpty() && w.runImageIndex >= 1 && w.pendingResultWrites == 0) {
            afterFirstFiles = fileBytes(parameters);
            w.stopButton->click();
            gate->open();
        }
    });
    ASSERT_FALSE(afterFirstFiles.isEmpty());
    ASSERT_EQ(w.results[0].rigid.shiftX, -3.0f);
    for (const char* base : {"state_2", "state_3"})
        for (const char* suffix : {"_ux", "_uy"})
            QFile::remove(resultFilePath(run.folder, kDisplacementsFolder, QString::fromLatin1(base),
                                         QString::fromLatin1(suffix)));

    writeBytes(parameters, beforeFirstFiles);
    ProjectParameters killedEarly = run.saved();
    EXPECT_TRUE(killedEarly.resultCache.empty()) << "the deleted results are no longer listed";

    const auto expectReopensWithItsShift = [&](const QByteArray& project) {
        writeBytes(parameters, project);
        MainWidget again;
        again.loadParametersFromFile(parameters);
        ASSERT_FALSE(again.results.empty());
        EXPECT_EQ(again.results[0].rigid.shiftX, -3.0f);
        EXPECT_EQ(again.rigidShiftLabel->text(), QStringLiteral("Rigid body shift: dx = 3 px, dy = 1 px"));
    };
    expectReopensWithItsShift(afterFirstFiles);
    // Files that no entry describes: they carry the shift themselves.
    expectReopensWithItsShift(beforeFirstFiles);

    // Files of older versions, which kept the shift out, and no entry: the
    // shift is said to be unknown, and stays so.
    writeBytes(parameters, beforeFirstFiles);
    session::writeWithoutRigidShift(run.folder, QStringLiteral("state_1"));
    {
        MainWidget again;
        again.loadParametersFromFile(parameters);
        ASSERT_FALSE(again.results.empty());
        ASSERT_FALSE(again.results[0].displacements->dispX.empty());
        EXPECT_EQ(again.rigidShiftLabel->text(), QStringLiteral("Rigid body shift: unknown"));
        again.saveParametersToProject();
        EXPECT_TRUE(run.saved().resultCache.empty());
    }
}

RUN_INPUTS_TEST(WindowClose, ClosingDuringARunAsksAndQuitsOnlyAfterStop) {
    Run run({{1.3, -0.7}, {2.6, 1.1}, {-1.8, 0.4}, {0.6, 2.2}});
    MainWidget& w = run.w();
    w.show();
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    run.whileBoxOpen = [&] {
        for (QWidget* top : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(top);
            if (box && box->isVisible())
                defaultButton = box->standardButton(box->defaultButton());
        }
    };
    // The worker waits after the first image until both questions are answered.
    const std::unique_ptr<WorkerGate> gate = run.holdWorker({1});
    bool asked = false;
    run.compute([&] {
        if (w.runImageIndex != 1 || asked)
            return;
        asked = true;
        run.answer = QMessageBox::No;
        w.close();
        EXPECT_TRUE(w.isVisible()) << "No keeps the window and the run";
        EXPECT_TRUE(w.runInProgress);
        run.answer = QMessageBox::Yes;
        w.close();
        gate->open();
    });
    EXPECT_TRUE(asked);
    EXPECT_EQ(run.boxes.size(), 2);
    EXPECT_EQ(run.boxes.first(), QStringLiteral("Quit: A computation is running. Stop it and quit?"));
    EXPECT_EQ(defaultButton, QMessageBox::No);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !w.isVisible(); }, 5000)) << "the window closes once stopped";
    // Only results whose files are on disk are listed in the project file.
    const ProjectParameters saved = run.saved();
    EXPECT_FALSE(saved.resultCache.empty());
    for (const ResultRangeEntry& entry : saved.resultCache)
        EXPECT_TRUE(QFile::exists(resultFilePath(run.folder, kDisplacementsFolder,
                                                 QStringLiteral("state_%1").arg(entry.index + 1),
                                                 QStringLiteral("_ux"))))
            << entry.index;
    // The image with the worker at Stop is finished; none after it is begun.
    EXPECT_LE(saved.resultCache.size(), 2u);
}

RUN_INPUTS_TEST(ComputeRefusals, EveryRefusalAndFailureIsSaidInTheStatusLine) {
    Run run({{1.3, -0.7}, {2.6, 1.1}, {-1.8, 0.4}});
    MainWidget& w = run.w();

    // An image of another size is refused when it is added, not only at Compute.
    run.addDeformed({run.image(QStringLiteral("small.png"), 120, 100, QImage::Format_Grayscale8, 5)});
    const QString sizes = QStringLiteral("All images must have the same size: small.png is 120\u00d7100, the reference "
                                         "160\u00d7160.");
    EXPECT_EQ(w.deformedImages.size(), 3u);
    EXPECT_EQ(run.boxes.last(), QStringLiteral("Images: ") + sizes);
    EXPECT_EQ(run.status(), sizes);

    // A file that can no longer be read ends the run, and the status says why.
    w.deformedImages[1].full = QImage();
    ASSERT_TRUE(QFile::remove(run.deformed[1]));
    run.compute();
    EXPECT_TRUE(run.status().startsWith(QStringLiteral("Unable to reload deformed image 2: "))) << run.status().toStdString();
    EXPECT_EQ(run.boxes.last(), QStringLiteral("Computation: ") + run.status());
    EXPECT_TRUE(w.computeButton->isEnabled());
    EXPECT_FALSE(w.stopButton->isEnabled());

    w.deformedImages[0].originalSize = QSize(kSize, kSize + 1);
    w.deformedImages[0].full = QImage();
    run.answer = QMessageBox::Yes;
    w.onCompute();
    EXPECT_EQ(run.status(), QStringLiteral("All images must have the same size: state_1.tif is 160\u00d7161, the "
                                           "reference 160\u00d7160."));
    w.onClearReference();
    w.onCompute();
    EXPECT_EQ(run.status(), QStringLiteral("Please load reference image first."));
}

RUN_INPUTS_TEST(StrainsOnRequest, StrainsAreMaskedOnlyByAMaskTheCorrelationTook) {
    Run run({{1.3, -0.7}});
    MainWidget& w = run.w();
    run.compute();
    ASSERT_EQ(w.results.size(), 1u);
    QImage mask(kSize, kSize, QImage::Format_Grayscale8);
    mask.fill(0);
    w.useMaskCheck->setChecked(true);
    run.chosen = {run.save(QStringLiteral("mask.png"), mask)};
    w.onSelectMask();
    ASSERT_TRUE(w.maskActive);
    const auto finiteStrains = [&] {
        w.onComputeStrainFields();
        const std::vector<float>& exx = w.results[0].strains->epsXX;
        return std::count_if(exx.begin(), exx.end(), [](float v) { return std::isfinite(v); });
    };
    // A result computed on images of another size (a tile) was correlated without the mask.
    w.results[0].geometry.imageWidth = kSize / 2;
    EXPECT_GT(finiteStrains(), 0);
    w.results[0].geometry.imageWidth = kSize;
    w.strainSettingsChanged = true;
    EXPECT_EQ(finiteStrains(), 0) << "a mask over the whole image hides every point";
}

RUN_INPUTS_TEST(OpenProject, TheMapBehindTheLoadSummaryIsTheOneShownAfterIt) {
    Run run({{1.3, -0.7}, {2.6, 1.1}});
    run.compute();
    // The first state, shown on opening, keeps a range set by hand.
    MainWidget& w = run.w();
    w.shownResultIndex = 0;
    w.loadAndDisplayResult(0, false);
    const float low = w.current.display.percentileMinUx;
    const float high = w.current.display.percentileMaxUx;
    w.onDisplacementHistogramRangeEdited(0, low + 0.25f * (high - low), high);
    w.saveParametersToProject();
    ASSERT_EQ(run.saved().resultCache.size(), 2u);

    run.boxes.clear();
    // Opened again in the window that computed it.
    w.show();
    QImage behind;
    QString rangeBehind;
    run.whileBoxOpen = [&] {
        behind = w.uxView->image();
        rangeBehind = w.displacementMinMaxLabels[0]->text();
    };
    w.loadParametersFromFile(run.folder + QStringLiteral("/parameters.json"));
    run.whileBoxOpen = {};
    ASSERT_EQ(run.boxes.size(), 1);
    ASSERT_TRUE(run.boxes.front().startsWith(QStringLiteral("Loading successful: Project loaded successfully!")))
        << run.boxes.front().toStdString();
    // What the load leaves for later: its fit and the tab signal once it is over.
    QTest::qWait(300);
    ASSERT_FALSE(behind.isNull());
    EXPECT_TRUE(w.current.display.manualUx);
    // The project file keeps about seven significant digits.
    EXPECT_NEAR(w.current.minUx, low + 0.25f * (high - low), 1e-5f * std::abs(high));
    EXPECT_EQ(w.displacementMinMaxLabels[0]->text(), rangeBehind);
    EXPECT_TRUE(w.uxView->image() == behind);
}

}  // namespace tavro::gui
