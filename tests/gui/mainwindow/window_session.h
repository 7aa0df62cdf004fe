#pragma once
// The window as a test drives it: a project folder of its own, generated
// image files, and every dialog answered here.

#include "compute/compute_worker.h"
#include "gui/foundation/elided_label.h"
#include "images/image_io.h"
#include "images/image_write.h"
#include "gui/foundation/message_boxes.h"
#include "gui/mainwindow/main_widget.h"
#include "gui/project/project_parameters.h"
#include "gui/project/result_files.h"
#include "isolated_settings.h"
#include "support/synthetic_images.h"
#include "support/temp_dir.h"
#include "support/test_application.h"

#include <QAbstractButton>
#include <QApplication>
#include <QListWidget>
#include <QMessageBox>
#include <QSemaphore>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace tavro::gui {

namespace session {

inline QString qpath(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

// A speckle-like grey image whose pixels differ from one seed to the next.
inline QImage speckle(int width, int height, QImage::Format format, std::uint32_t seed) {
    QImage image(width, height, format);
    std::uint32_t state = seed * 2654435761u + 1u;
    for (int y = 0; y < height; ++y) {
        uchar* line = image.scanLine(y);
        for (int x = 0; x < width; ++x) {
            state = state * 1664525u + 1013904223u;
            if (format == QImage::Format_Grayscale16)
                reinterpret_cast<quint16*>(line)[x] = static_cast<quint16>(state >> 16);
            else
                line[x] = static_cast<uchar>(state >> 24);
        }
    }
    return image;
}

// An 8-bit grey image of a synthetic one.
inline QImage toImage(const testing::Image& image) {
    const std::vector<std::uint8_t> bytes = testing::quantize8(image);
    QImage out(image.width, image.height, QImage::Format_Grayscale8);
    for (int y = 0; y < image.height; ++y)
        std::memcpy(out.scanLine(y), &bytes[static_cast<std::size_t>(y) * image.width], image.width);
    return out;
}

inline bool writeImage(const QString& path, const QImage& image) {
    if (path.endsWith(QStringLiteral(".tif")) || path.endsWith(QStringLiteral(".tiff"))) {
        QString error;
        return writeGrayTiff(path, image, error, {});
    }
    return image.save(path);
}

// Bitwise alike, NaN holes included: one build gives the same answer twice.
inline bool sameField(const std::vector<float>& a, const std::vector<float>& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!(a[i] == b[i] || (std::isnan(a[i]) && std::isnan(b[i]))))
            return false;
    return true;
}

// Rewrites the Ux and Uy files of `base` as versions that kept the rigid
// shift out of them wrote them: the same values, no text.
inline void writeWithoutRigidShift(const QString& folder, const QString& base) {
    for (const char* suffix : {"_ux", "_uy"}) {
        const QString path = resultFilePath(folder, kDisplacementsFolder, base, QString::fromLatin1(suffix));
        std::uint32_t width = 0, height = 0;
        std::vector<float> values;
        QString error;
        ASSERT_TRUE(readFloatTiff(path, width, height, values, error)) << error.toStdString();
        ASSERT_TRUE(writeFloatTiff(path, static_cast<int>(width), static_cast<int>(height), values, error, {}))
            << error.toStdString();
    }
}

}  // namespace session

// Holds the worker's thread just after it has sent the results counted in
// `holds` (1 for the first), each until open(): the window takes that result
// in, and the run goes no further until the test lets it, however fast the
// machine is. Every hold is let go when the gate goes out of scope.
class WorkerGate {
public:
    WorkerGate(ComputeWorker* worker, std::vector<int> holds) : state_(std::make_shared<State>()) {
        state_->holds = std::move(holds);
        connection_ = QObject::connect(
            worker, &ComputeWorker::succeeded, worker,
            [state = state_](const ComputationResult&) {
                const int sent = ++state->sent;
                if (!state->done.load() && std::find(state->holds.begin(), state->holds.end(), sent) != state->holds.end())
                    state->gate.acquire();
            },
            Qt::DirectConnection);
    }
    ~WorkerGate() {
        QObject::disconnect(connection_);
        state_->done.store(true);
        state_->gate.release(static_cast<int>(state_->holds.size()));
    }
    WorkerGate(const WorkerGate&) = delete;
    WorkerGate& operator=(const WorkerGate&) = delete;

    void open() { state_->gate.release(); }

private:
    struct State {
        std::vector<int> holds;
        std::atomic<int> sent{0};
        std::atomic<bool> done{false};
        QSemaphore gate;
    };
    std::shared_ptr<State> state_;
    QMetaObject::Connection connection_;
};

// A window with a project folder, whose dialogs are answered here: file
// prompts with `chosen`, question boxes with `answer`, and every box is
// recorded as "title: text".
struct WindowTestSession {
    QApplication& application = test::testApplication();
    testing::TempDir dir{"tavro_window"};
    QString folder = session::qpath(dir.path());
    QStringList chosen;
    QStringList boxes;
    QMessageBox::StandardButton answer = QMessageBox::Yes;
    // When set, the button of a box with this text is clicked instead.
    QString click;
    // The folder each file dialog was opened in.
    QStringList startFolders;
    // Runs while a box is open, in the middle of whatever opened it.
    std::function<void()> whileBoxOpen;
    std::optional<ScopedDialogResponder> responder;
    std::unique_ptr<MainWidget> window;

    WindowTestSession() {
        isolateSettings();
        responder.emplace(DialogResponder{[this](QDialog& dialog) {
                                              auto* box = qobject_cast<QMessageBox*>(&dialog);
                                              if (!box) {
                                                  dialog.reject();
                                                  return;
                                              }
                                              boxes << box->windowTitle() + QStringLiteral(": ") + box->text();
                                              if (whileBoxOpen)
                                                  whileBoxOpen();
                                              for (QAbstractButton* button : box->buttons())
                                                  if (!click.isEmpty() && button->text() == click) {
                                                      button->click();
                                                      return;
                                                  }
                                              if (QAbstractButton* button = box->button(answer))
                                                  button->click();
                                              else
                                                  box->accept();
                                          },
                                          [this](const FileDialogRequest& request) {
                                              startFolders << request.directory;
                                              return chosen;
                                          }});
        window = std::make_unique<MainWidget>();
        window->adoptProjectFolder(folder);
    }

    MainWidget& w() { return *window; }

    std::unique_ptr<WorkerGate> holdWorker(std::vector<int> holds) {
        return std::make_unique<WorkerGate>(window->worker.data(), std::move(holds));
    }

    // The project opened in a fresh window, as after closing the program; the boxes shown so far are forgotten.
    std::unique_ptr<MainWidget> reopen() {
        boxes.clear();
        auto again = std::make_unique<MainWidget>();
        again->loadParametersFromFile(folder + QStringLiteral("/parameters.json"));
        return again;
    }

    QString image(const QString& name, int width, int height, QImage::Format format, std::uint32_t seed) {
        const QString path = folder + QLatin1Char('/') + name;
        EXPECT_TRUE(session::writeImage(path, session::speckle(width, height, format, seed))) << name.toStdString();
        return path;
    }

    ProjectParameters saved() const {
        ProjectParameters parameters;
        QString error;
        ProjectReadFailure failure = ProjectReadFailure::None;
        EXPECT_TRUE(readProjectParametersFile(folder + QStringLiteral("/parameters.json"), ProjectReadDefaults(),
                                              parameters, error, failure))
            << error.toStdString();
        return parameters;
    }

    QString status() { return window->statusLabel->fullText(); }

    void loadReference(const QString& path) {
        chosen = {path};
        window->onSelectReference();
    }

    void addDeformed(const QStringList& paths) {
        chosen = paths;
        window->onAddDeformed();
    }

    // Starts a run and lets events through until it is over.
    void computeAndWait(const std::function<void()>& meanwhile = {}) {
        window->onCompute();
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                if (meanwhile)
                    meanwhile();
                return !window->runInProgress && !window->computationRunning;
            },
            60000));
        window->waitForResultWrites();
        QCoreApplication::processEvents();
    }

    void selectRows(std::initializer_list<int> rows) {
        QListWidget* list = window->deformedList;
        list->clearSelection();
        for (int row : rows)
            list->item(row)->setSelected(true);
    }
};

}  // namespace tavro::gui
