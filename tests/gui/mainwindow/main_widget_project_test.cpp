#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/elided_label.h"
#include "gui/foundation/message_boxes.h"
#include "gui/foundation/scientific_double_spin_box.h"
#include "gui/mainwindow/run_async.h"
#include "isolated_settings.h"
#include "support/file_size_limit.h"
#include "support/temp_dir.h"
#include "support/test_application.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QStandardPaths>
#include <QSemaphore>
#include <QThread>

#include <QSettings>
#include <QTemporaryDir>
#include <QSignalBlocker>

#include <gtest/gtest.h>

#include <new>

namespace tavro::gui {

namespace {

QString qpath(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// Answers the folder dialog with `folder`, clicks `button` in the
// existing-project question and records every box.
struct Answers {
    QString folder;
    QString button;
    QStringList boxes;
    QStringList startFolders;

    DialogResponder responder() {
        return {[this](QDialog& dialog) {
                    auto* box = qobject_cast<QMessageBox*>(&dialog);
                    if (!box) {
                        dialog.reject();
                        return;
                    }
                    boxes << box->windowTitle() + QStringLiteral(": ") + box->text();
                    for (QAbstractButton* each : box->buttons())
                        if (each->text() == button) {
                            each->click();
                            return;
                        }
                    box->reject();
                },
                [this](const FileDialogRequest& request) {
                    startFolders << request.directory;
                    return folder.isEmpty() ? QStringList() : QStringList{folder};
                }};
    }
};

}  // namespace

struct MainWidgetProjectTestAccess {
    static void chooseFolder(MainWidget& window) { window.onSelectProjectFolder(); }
    static void typeFolder(MainWidget& window, const QString& text) {
        window.projectPathEdit->setText(text);
        window.projectPathEdited = true;
        window.applyProjectFolder();
    }
    static QString applied(const MainWidget& window) { return window.appliedProjectFolder; }
    static QLineEdit* field(const MainWidget& window) { return window.projectPathEdit; }
    static QSpinBox* windowSizeX(const MainWidget& window) { return window.windowSizeXSpin; }
    static QString status(const MainWidget& window) { return window.statusLabel->fullText(); }
    static void save(MainWidget& window) { window.saveParametersToProject(); }
    static void load(MainWidget& window, const QString& path) { window.loadParametersFromFile(path); }

    static void newProjectInheritsNothing();
    static void busyStateNestsAndKeepsStopForARunningComputation();
};

TEST(ProjectFolder, TheFolderDialogsOutcomes) {
    test::testApplication();
    isolateSettings();
    const testing::TempDir dir("tavro_project");
    const QString folder = qpath(dir.path());
    const QString file = folder + QStringLiteral("/parameters.json");
    Answers answers;
    const ScopedDialogResponder responder(answers.responder());
    QStringList logFolders;
    setProjectLogMover([&](const QString& moved) { logFolders << moved; });
    MainWidget window;
    using Access = MainWidgetProjectTestAccess;

    Access::chooseFolder(window);  // dialog cancelled
    EXPECT_TRUE(Access::applied(window).isEmpty());

    answers.folder = folder;
    Access::chooseFolder(window);  // a folder without a project becomes one
    EXPECT_EQ(Access::applied(window), folder);
    EXPECT_EQ(Access::field(window)->text(), folder);
    EXPECT_TRUE(QFileInfo::exists(file));
    EXPECT_EQ(logFolders, QStringList{folder});
    // Without a project, and with any stored folder gone, dialogs start in the documents.
    EXPECT_EQ(answers.startFolders,
              QStringList(2, QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)));

    Access::windowSizeX(window)->setValue(33);
    Access::save(window);
    const QByteArray saved = contents(file);
    {
        // A change the autosave has not written yet.
        const QSignalBlocker quiet(Access::windowSizeX(window));
        Access::windowSizeX(window)->setValue(45);
    }
    answers.button = QStringLiteral("Cancel");
    Access::chooseFolder(window);
    EXPECT_EQ(contents(file), saved);
    EXPECT_EQ(Access::windowSizeX(window)->value(), 45);

    answers.button = QStringLiteral("Load project");
    Access::chooseFolder(window);
    EXPECT_EQ(Access::windowSizeX(window)->value(), 33);
    EXPECT_EQ(Access::applied(window), folder);

    for (const char* sub : {"Displacements", "Strains", "Fracture", "Rupture", "Height"})
        QDir(folder).mkpath(QString::fromLatin1(sub) + QStringLiteral("/inner"));
    writeFile(folder + QStringLiteral("/mosaic_reference.tiff"), "keep");
    answers.button = QStringLiteral("Overwrite");
    Access::chooseFolder(window);
    EXPECT_EQ(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              (QStringList{QStringLiteral("mosaic_reference.tiff"), QStringLiteral("parameters.json")}));
    EXPECT_EQ(Access::windowSizeX(window)->value(), 61);
    EXPECT_EQ(Access::status(window), QStringLiteral("Project overwritten - ready to restart"));
    EXPECT_EQ(answers.startFolders.last(), folder);
    // The three questions and the summary of the project that was loaded.
    EXPECT_EQ(answers.boxes.size(), 4);
    setProjectLogMover({});
    EXPECT_EQ(answers.boxes.value(0),
              QStringLiteral("Existing project detected: The selected folder already contains a project "
                             "(parameters.json)."));
    EXPECT_TRUE(answers.boxes.value(2).startsWith(QStringLiteral("Loading successful: Project loaded successfully!")));
}

TEST(ProjectFolder, ATypedFolderIsUsedOnlyOnceAppliedAndCancelRestoresTheField) {
    test::testApplication();
    isolateSettings();
    const testing::TempDir dir("tavro_project");
    const QString first = qpath(dir.path()) + QStringLiteral("/first");
    const QString second = qpath(dir.path()) + QStringLiteral("/second/deeper");
    Answers answers;
    const ScopedDialogResponder responder(answers.responder());
    MainWidget window;
    using Access = MainWidgetProjectTestAccess;

    Access::typeFolder(window, QStringLiteral("  ") + first + QStringLiteral(" "));
    EXPECT_EQ(Access::applied(window), first);
    EXPECT_EQ(Access::status(window), QStringLiteral("Project folder created: ") + first);

    // While a path is being typed, autosave keeps writing into the project.
    Access::field(window)->setText(second);
    Access::save(window);
    EXPECT_FALSE(QFileInfo::exists(second));
    EXPECT_TRUE(QFileInfo::exists(first + QStringLiteral("/parameters.json")));

    QDir().mkpath(second);
    writeFile(second + QStringLiteral("/parameters.json"), "{}");
    answers.button = QStringLiteral("Cancel");
    Access::typeFolder(window, second);
    EXPECT_EQ(Access::applied(window), first);
    EXPECT_EQ(Access::field(window)->text(), first);
    EXPECT_EQ(contents(second + QStringLiteral("/parameters.json")), QByteArray("{}"));
}

TEST(ProjectFile, AMalformedFileIsRefusedBeforeTheWindowOrTheProjectChanges) {
    test::testApplication();
    isolateSettings();
    const testing::TempDir dir("tavro_project");
    const QString folder = qpath(dir.path());
    Answers answers;
    answers.folder = folder + QStringLiteral("/project");
    QDir().mkpath(answers.folder);
    const ScopedDialogResponder responder(answers.responder());
    MainWidget window;
    using Access = MainWidgetProjectTestAccess;
    Access::chooseFolder(window);
    Access::windowSizeX(window)->setValue(41);
    Access::save(window);
    const QByteArray saved = contents(answers.folder + QStringLiteral("/parameters.json"));
    for (const char* bad : {"[1, 2]", "{\"windowSizeX\": 9,", "{\"strain\": 1}"}) {
        const QString path = folder + QStringLiteral("/bad.json");
        writeFile(path, bad);
        Access::load(window, path);
        EXPECT_EQ(Access::windowSizeX(window)->value(), 41);
        EXPECT_EQ(Access::applied(window), answers.folder);
    }
    EXPECT_EQ(contents(answers.folder + QStringLiteral("/parameters.json")), saved);
    ASSERT_EQ(answers.boxes.size(), 3);
    for (const QString& box : answers.boxes)
        EXPECT_TRUE(box.startsWith(QStringLiteral("Loading: Error reading JSON file: "))) << box.toStdString();
    Access::load(window, folder + QStringLiteral("/missing.json"));
    EXPECT_EQ(answers.boxes.value(3), QStringLiteral("Loading: Unable to open parameter file."));

    // Values beyond the controls are bounded when read.
    const QString odd = folder + QStringLiteral("/odd.json");
    writeFile(odd, R"({"dofIndex": 99, "windowSizeX": 100000, "heightCache": {"2000000000": {"minUz": 1}}})");
    Access::load(window, odd);
    EXPECT_EQ(Access::windowSizeX(window)->value(), Access::windowSizeX(window)->maximum());
    const QString rewritten = QString::fromUtf8(contents(folder + QStringLiteral("/parameters.json")));
    EXPECT_TRUE(rewritten.contains(QStringLiteral("\"dofIndex\": 1,"))) << "a new project's mode";
    EXPECT_TRUE(rewritten.contains(QStringLiteral("\"heightCache\": {\n\n    }")));
}

TEST(ProjectFile, AFailedSaveShowsTheSaveBoxAndKeepsTheOldFile) {
    test::testApplication();
    isolateSettings();
    const testing::TempDir dir("tavro_project");
    Answers answers;
    answers.folder = qpath(dir.path());
    const ScopedDialogResponder responder(answers.responder());
    MainWidget window;
    using Access = MainWidgetProjectTestAccess;
    Access::chooseFolder(window);
    const QString file = answers.folder + QStringLiteral("/parameters.json");
    const QByteArray old = contents(file);
    ASSERT_FALSE(old.isEmpty());
    // A file size limit fails the write for root too, who ignores a
    // read-only folder.
    {
        const testing::ScopedFileSizeLimit limit(128);
        {
            const QSignalBlocker quiet(Access::windowSizeX(window));  // one save, not the autosave too
            Access::windowSizeX(window)->setValue(51);
        }
        Access::save(window);
    }
    EXPECT_EQ(contents(file), old);
    ASSERT_EQ(answers.boxes.size(), 1);
    EXPECT_TRUE(answers.boxes.front().startsWith(QStringLiteral("Save: Unable to create parameters file.\n\n")))
        << "the fixed text, then the reason";
}

// A file of an older version: a strain block with indices only, no window,
// step or mode. It opens as a new project would, with the built-in kernels
// and default criteria, and is saved so.
TEST(ProjectFile, AnOlderFileOpensWithANewProjectsValuesAndIsSavedSo) {
    test::testApplication();
    isolateSettings();
    const testing::TempDir dir("tavro_project");
    Answers answers;
    const ScopedDialogResponder responder(answers.responder());
    MainWidget window;
    using Access = MainWidgetProjectTestAccess;
    Access::windowSizeX(window)->setValue(21);
    const QString file = qpath(dir.path()) + QStringLiteral("/parameters.json");
    writeFile(file, R"({"strain": {"derivKernelIndex": 1, "smoothKernelIndex": 1}})");
    Access::load(window, file);
    EXPECT_EQ(Access::windowSizeX(window)->value(), 61);
    const QString saved = QString::fromUtf8(contents(file));
    for (const char* key : {"\"windowSizeX\": 61,", "\"stepY\": 4,", "\"dofIndex\": 1,", "\"gridRows\": 3,"})
        EXPECT_TRUE(saved.contains(QLatin1String(key))) << key;
    // Read without fallbacks: the lists are in the file itself.
    ProjectParameters read;
    QString error;
    ProjectReadFailure failure = ProjectReadFailure::None;
    ASSERT_TRUE(readProjectParametersFile(file, ProjectReadDefaults{{}, {}, {}}, read, error, failure))
        << error.toStdString();
    ASSERT_TRUE(read.strain);
    EXPECT_EQ(read.strain->derivativeKernels.size(), 3u);
    EXPECT_EQ(read.strain->smoothingKernels.size(), 3u);
    EXPECT_EQ(read.strain->selectedDerivativeKernelIndex, 1);
    EXPECT_EQ(read.strain->selectedSmoothingKernelIndex, 2);
    ASSERT_EQ(read.strain->criteria.size(), 2u);
    EXPECT_EQ(read.strain->criteria.front().name, "Von Mises");
}

void MainWidgetProjectTestAccess::newProjectInheritsNothing() {
    isolateSettings();
    const testing::TempDir dir("tavro_project");
    MainWidget window;
    window.appliedProjectFolder = window.projectFolderPath = qpath(dir.path());
    window.nlcFilterCheck->setChecked(true);
    window.maxJumpInitSpin->setValue(12);
    window.fractureOpeningMin = 2.5;
    window.fractureRidgeThickness = 40;
    window.windowSizeXSpin->setValue(21);
    window.spacingYSpin->setValue(9);
    window.toleranceSpin->setValue(0.01);
    window.results.resize(3);
    window.heightResultRanges.push_back({0, 1, 2, 3, 4});
    window.referenceTilePositions << stitching::TilePosition();
    window.tileCrop = QRect(1, 2, 3, 4);
    window.mosaicRefTilePaths << QStringLiteral("/t.tif");
    EXPECT_TRUE(window.hasAnyData());
    QFile::remove(qpath(dir.file("parameters.json")));
    window.resetAllData();
    EXPECT_FALSE(window.hasAnyData());
    EXPECT_FALSE(window.nlcFilterCheck->isChecked());
    EXPECT_EQ(window.maxJumpInitSpin->value(), 0);
    EXPECT_EQ(window.fractureOpeningMin, 0.1);
    EXPECT_EQ(window.fractureRidgeThickness, 5);
    EXPECT_EQ(window.windowSizeXSpin->value(), 61);
    EXPECT_EQ(window.spacingYSpin->value(), 4);
    EXPECT_EQ(window.searchLeftSpin->value(), 6);
    EXPECT_DOUBLE_EQ(window.toleranceSpin->value(), 0.0001);
    EXPECT_EQ(window.maxIterationsSpin->value(), 30);
    EXPECT_EQ(window.computationModeCombo->currentData().toInt(), 1);
    EXPECT_TRUE(window.referenceTilePositions.isEmpty());
    EXPECT_TRUE(window.tileCrop.isNull());
    EXPECT_TRUE(window.appliedProjectFolder.isEmpty());
    EXPECT_FALSE(window.parametersGroup->isEnabled());
    EXPECT_TRUE(window.projectPathEdit->text().isEmpty());
    // Nothing is written to the folder the window left.
    window.nlcFilterCheck->setChecked(true);
    EXPECT_TRUE(QDir(qpath(dir.path())).isEmpty());
}

TEST(ResetAllData, ANewProjectInheritsNothing) {
    test::testApplication();
    MainWidgetProjectTestAccess::newProjectInheritsNothing();
}

void MainWidgetProjectTestAccess::busyStateNestsAndKeepsStopForARunningComputation() {
    MainWidget window;
    window.appliedProjectFolder = QStringLiteral("/p");
    window.refreshProjectControls();
    {
        BusyScope outer(&window, true);
        EXPECT_FALSE(window.computeButton->isEnabled());
        EXPECT_TRUE(window.stopButton->isEnabled());
        {
            BusyScope inner(&window, false);
            EXPECT_TRUE(window.stopButton->isEnabled());
        }
        EXPECT_FALSE(window.computeButton->isEnabled());
    }
    EXPECT_TRUE(window.computeButton->isEnabled());
    EXPECT_FALSE(window.stopButton->isEnabled());
    window.popBusy();  // unmatched: ignored
    EXPECT_EQ(window.busyCounter, 0);
    window.computationRunning = true;
    { BusyScope scope(&window, false); }
    EXPECT_FALSE(window.computeButton->isEnabled());
    EXPECT_TRUE(window.stopButton->isEnabled());
}

TEST(BusyState, NestsAndKeepsStopForARunningComputation) {
    test::testApplication();
    MainWidgetProjectTestAccess::busyStateNestsAndKeepsStopForARunningComputation();
}

TEST(RunAsyncWithUI, ReturnsTheValueReportsAFailureAndDropsACancelledTask) {
    test::testApplication();
    std::atomic<bool> cancel{false};
    ElidedLabel status;
    EXPECT_EQ(runAsyncWithUI([] { return 7; }, cancel, &status, QStringLiteral("Working...")), 7);
    EXPECT_EQ(status.fullText(), QStringLiteral("Working..."));

    EXPECT_FALSE(runAsyncWithUI([]() -> int { throw std::bad_alloc(); }, cancel, &status, QString()));
    EXPECT_EQ(status.fullText(), QStringLiteral("Out of memory or error during the operation."));
    EXPECT_FALSE(runAsyncWithUI([]() -> int { throw 1; }, cancel, static_cast<QLabel*>(nullptr), QString()));

    // The task cannot end before the call has returned: only the cancel ends the wait.
    auto finished = std::make_shared<std::atomic<bool>>(false);
    auto held = std::make_shared<QSemaphore>();
    QTimer::singleShot(0, [&] { cancel.store(true); });
    status.setText(QStringLiteral("before"));
    const auto cancelled = runAsyncWithUI(
        [finished, held] {
            held->acquire();
            finished->store(true);
            return 1;
        },
        cancel, &status, QString());
    EXPECT_FALSE(cancelled);
    EXPECT_FALSE(finished->load());  // returned without waiting for the task
    EXPECT_EQ(status.fullText(), QStringLiteral("before"));
    held->release();
    QThreadPool::globalInstance()->waitForDone();
    EXPECT_TRUE(finished->load());
}

}  // namespace tavro::gui
