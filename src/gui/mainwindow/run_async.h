#pragma once
// Background work started from the window: the task runs on the global pool
// while the GUI thread goes on handling events, and its value comes back to
// the caller as if the call had been synchronous.

#include <QCoreApplication>
#include <QEventLoop>
#include <QFutureWatcher>
#include <QLabel>
#include <QString>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent>

#include <atomic>
#include <optional>
#include <type_traits>
#include <utility>

namespace tavro::gui {

class MainWidget;

// Holds the window busy from construction to destruction; a null window is
// allowed and does nothing.
class BusyScope {
public:
    BusyScope(MainWidget* window, bool allowStop);
    ~BusyScope();
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    MainWidget* window_;
};

namespace detail {

// ElidedLabel hides QLabel::setText; call the one of the label's own type.
template <typename Label>
void showStatus(Label* status, const QString& text) {
    status->setText(text);
    QCoreApplication::processEvents();
}

// How often a running task's caller looks at the cancel flag, which is
// written without any signal.
inline constexpr int kCancelPollMs = 20;

}  // namespace detail

// Empty when the task threw (the status then says so) or when `cancel` was
// seen set; a cancelled task runs on and its value is dropped. The GUI thread
// sleeps in an event loop meanwhile, waking for events, the task's end and
// the cancel poll.
template <typename F, typename Label = QLabel>
auto runAsyncWithUI(F&& task, const std::atomic<bool>& cancel, Label* status, const QString& message)
    -> std::optional<std::invoke_result_t<std::decay_t<F>&>> {
    using R = std::invoke_result_t<std::decay_t<F>&>;
    if (!message.isEmpty() && status)
        detail::showStatus(status, message);
    QFuture<std::optional<R>> future =
        QtConcurrent::run(QThreadPool::globalInstance(), [job = std::forward<F>(task)]() mutable -> std::optional<R> {
            try {
                return std::optional<R>(job());
            } catch (...) {
                return std::nullopt;
            }
        });
    if (!future.isFinished()) {
        QEventLoop loop;
        QFutureWatcher<std::optional<R>> watcher;
        QObject::connect(&watcher, &QFutureWatcherBase::finished, &loop, &QEventLoop::quit);
        QTimer poll;
        poll.setInterval(detail::kCancelPollMs);
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (cancel.load())
                loop.quit();
        });
        watcher.setFuture(future);
        poll.start();
        if (!future.isFinished() && !cancel.load())
            loop.exec();
    }
    if (cancel.load() || !future.isFinished())
        return std::nullopt;
    std::optional<R> result = future.takeResult();
    if (!result && status)
        detail::showStatus(status, QStringLiteral("Out of memory or error during the operation."));
    return result;
}

}  // namespace tavro::gui
