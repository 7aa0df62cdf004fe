// Closing the window while a background task runs: asked first, then the task
// is stopped and the window closes once it has ended and saved what it made.
#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/message_boxes.h"

#include <QCloseEvent>
#include <QTimer>

namespace tavro::gui {

bool MainWidget::backgroundTaskRunning() const { return inputsLocked() || projectLoading; }

void MainWidget::closeEvent(QCloseEvent* event) {
    if (!backgroundTaskRunning()) {
        QWidget::closeEvent(event);
        return;
    }
    event->ignore();
    if (quitAfterStop)
        return;
    if (askQuestion(this, QStringLiteral("Quit"), QStringLiteral("A computation is running. Stop it and quit?"),
                    QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
        return;
    quitAfterStop = true;
    onStopComputation();
    closeWhenIdle();
}

// Polled rather than waited for: the task may be a nested event loop further
// up this very stack, which can only end once this call has returned.
void MainWidget::closeWhenIdle() {
    if (backgroundTaskRunning()) {
        QTimer::singleShot(50, this, [this] { closeWhenIdle(); });
        return;
    }
    close();
}

}  // namespace tavro::gui
