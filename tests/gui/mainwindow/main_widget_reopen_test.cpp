#include "gui/mainwindow/main_widget.h"

#include "images/image_write.h"
#include "gui/project/result_files.h"
#include "support/file_size_limit.h"
#include "window_session.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
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

        void displacements(const QString& base, float value) {
            field(kDisplacementsFolder, base, "_ux", kGridWidth, kGridHeight, value);
            field(kDisplacementsFolder, base, "_uy", kGridWidth, kGridHeight, -value);
        }

        std::unique_ptr<MainWidget> reopen() {
            boxes.clear();
            auto again = std::make_unique<MainWidget>();
            again->loadParametersFromFile(folder + QStringLiteral("/parameters.json"));
            return again;
        }
    };

    static void ARunIsRefusedBeforeItStartsAndEveryFailedSaveSaysSo();
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
    const QString notSaved = QStringLiteral("The project folder cannot be written: changes are not saved (");
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
    EXPECT_EQ(countStartingWith(p.boxes, QStringLiteral("Save: ")), 1) << "one box until a save succeeds";
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
    // written either: its own first failure is told in a box as well.
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
    EXPECT_EQ(countStartingWith(s.boxes, QStringLiteral("Save: Unable to create parameters file.")), 2)
        << s.boxes.join(QStringLiteral(" | ")).toStdString();
}

}  // namespace tavro::gui
