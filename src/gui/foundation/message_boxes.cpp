#include "gui/foundation/message_boxes.h"

#include <QDesktopServices>
#include <QDialog>
#include <QTimer>
#include <QUrl>

#include <utility>

namespace tavro::gui {

namespace {

std::optional<DialogResponder>& installedResponder() {
    static std::optional<DialogResponder> responder;
    return responder;
}

std::optional<QStringList> respondToFileDialog(const FileDialogRequest& request) {
    // A copy: the answer may itself install or remove a responder.
    const std::optional<DialogResponder> responder = installedResponder();
    if (!responder)
        return std::nullopt;
    if (!responder->answerFileDialog) {
        qWarning("A dialog responder without file answers cancelled the file dialog \"%s\".",
                 qPrintable(request.caption));
        return QStringList();
    }
    return responder->answerFileDialog(request);
}

}  // namespace

int runModalDialog(QDialog& dialog) {
    const std::optional<DialogResponder> responder = installedResponder();
    if (!responder)
        return dialog.exec();
    // Queued so that the answer comes once exec() has shown the dialog and runs
    // its event loop, exactly as a user's would.
    QTimer::singleShot(0, &dialog, [&dialog, answer = responder->answerDialog] {
        if (answer)
            answer(dialog);
        if (dialog.isVisible()) {
            qWarning("The dialog responder left \"%s\" open; it is rejected.", qPrintable(dialog.windowTitle()));
            dialog.reject();
        }
    });
    return dialog.exec();
}

namespace {

void showBox(QWidget* parent, const QString& title, const QString& text, QMessageBox::Icon icon,
             bool selectable = false) {
    QMessageBox box(parent);
    box.setWindowTitle(title);
    box.setText(text);
    box.setIcon(icon);
    if (selectable)
        box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    box.setStandardButtons(QMessageBox::Ok);
    runModalDialog(box);
}

}  // namespace

void showMessage(QWidget* parent, const QString& title, const QString& text) {
    showBox(parent, title, text, QMessageBox::NoIcon);
}

void showWarning(QWidget* parent, const QString& title, const QString& text) {
    showBox(parent, title, text, QMessageBox::Warning);
}

void showCopyableMessage(QWidget* parent, const QString& title, const QString& text) {
    showBox(parent, title, text, QMessageBox::NoIcon, true);
}

namespace {

std::function<bool(const QUrl&)>& installedUrlOpener() {
    static std::function<bool(const QUrl&)> opener;
    return opener;
}

}  // namespace

bool openExternalUrl(const QUrl& url) {
    if (const std::function<bool(const QUrl&)> opener = installedUrlOpener())
        return opener(url);
    if (installedResponder())
        return false;
    return QDesktopServices::openUrl(url);
}

ScopedUrlOpener::ScopedUrlOpener(std::function<bool(const QUrl& url)> opener)
    : previous_(std::exchange(installedUrlOpener(), std::move(opener))) {}

ScopedUrlOpener::~ScopedUrlOpener() { installedUrlOpener() = std::move(previous_); }

QMessageBox::StandardButton askQuestion(QWidget* parent, const QString& title, const QString& text,
                                        QMessageBox::StandardButtons buttons,
                                        QMessageBox::StandardButton defaultButton) {
    QMessageBox box(parent);
    box.setWindowTitle(title);
    box.setText(text);
    box.setIcon(QMessageBox::NoIcon);
    box.setStandardButtons(buttons);
    box.setDefaultButton(defaultButton);
    runModalDialog(box);
    return box.standardButton(box.clickedButton());
}

QString askOpenFileName(QWidget* parent, const QString& caption, const QString& directory, const QString& filter) {
    if (const auto answer = respondToFileDialog({FileDialogKind::OpenFile, parent, caption, directory, filter}))
        return answer->value(0);
    return QFileDialog::getOpenFileName(parent, caption, directory, filter);
}

QStringList askOpenFileNames(QWidget* parent, const QString& caption, const QString& directory,
                             const QString& filter) {
    if (const auto answer = respondToFileDialog({FileDialogKind::OpenFiles, parent, caption, directory, filter}))
        return *answer;
    return QFileDialog::getOpenFileNames(parent, caption, directory, filter);
}

QString askSaveFileName(QWidget* parent, const QString& caption, const QString& directory, const QString& filter) {
    if (const auto answer = respondToFileDialog({FileDialogKind::SaveFile, parent, caption, directory, filter}))
        return answer->value(0);
    return QFileDialog::getSaveFileName(parent, caption, directory, filter);
}

QString askExistingDirectory(QWidget* parent, const QString& caption, const QString& directory) {
    if (const auto answer =
            respondToFileDialog({FileDialogKind::ExistingDirectory, parent, caption, directory, QString()}))
        return answer->value(0);
    return QFileDialog::getExistingDirectory(parent, caption, directory);
}

ScopedDialogResponder::ScopedDialogResponder(DialogResponder responder)
    : previous_(std::exchange(installedResponder(), std::move(responder))) {}

ScopedDialogResponder::~ScopedDialogResponder() {
    installedResponder() = std::move(previous_);
}

}  // namespace tavro::gui
