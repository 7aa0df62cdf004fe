#pragma once

#include <QFileDialog>
#include <QMessageBox>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QDialog;
class QUrl;
class QWidget;

namespace tavro::gui {

// An information box: the given title and text, one OK button, no icon.
void showMessage(QWidget* parent, const QString& title, const QString& text);
// The same with the warning icon: a refusal inside a dialog the user is filling.
void showWarning(QWidget* parent, const QString& title, const QString& text);

// An information box whose text can be selected and copied (a path, an address).
void showCopyableMessage(QWidget* parent, const QString& title, const QString& text);

// Hands `url` to the desktop (browser, mail program); false when nothing took
// it. While a dialog responder is installed the desktop is never asked: the
// URL opener answers, or nothing opens.
bool openExternalUrl(const QUrl& url);

// A question box without icon; returns the standard button that closed it.
// Callers pass Yes | No with No as default and act only on Yes, so Enter,
// Escape and closing the window never confirm.
QMessageBox::StandardButton askQuestion(QWidget* parent, const QString& title, const QString& text,
                                        QMessageBox::StandardButtons buttons,
                                        QMessageBox::StandardButton defaultButton);

// Runs a dialog modally, through the responder when one is installed. Every
// modal dialog of the program goes through here, so tests never block on one.
int runModalDialog(QDialog& dialog);

enum class FileDialogKind { OpenFile, OpenFiles, SaveFile, ExistingDirectory };

struct FileDialogRequest {
    FileDialogKind kind = FileDialogKind::OpenFile;
    QWidget* parent = nullptr;
    QString caption;
    QString directory;
    QString filter;
};

// File dialogs; each returns what the user chose, or an empty value when the
// dialog was cancelled.
QString askOpenFileName(QWidget* parent, const QString& caption, const QString& directory = QString(),
                        const QString& filter = QString());
QStringList askOpenFileNames(QWidget* parent, const QString& caption, const QString& directory = QString(),
                             const QString& filter = QString());
QString askSaveFileName(QWidget* parent, const QString& caption, const QString& directory = QString(),
                        const QString& filter = QString());
QString askExistingDirectory(QWidget* parent, const QString& caption, const QString& directory = QString());

// The process-wide seam through which tests answer dialogs. While a responder
// is installed no file dialog is shown at all, and a modal dialog is shown but
// handed to `answerDialog` as soon as its event loop runs.
struct DialogResponder {
    // Must close the dialog (click a button, send a key, call done()). A dialog
    // left open is rejected, with a warning, so a test cannot hang on it.
    std::function<void(QDialog& dialog)> answerDialog;
    // Returns the chosen paths; an empty list means cancelled. For the single
    // path dialogs only the first entry counts.
    std::function<QStringList(const FileDialogRequest& request)> answerFileDialog;
};

// Installs a responder for this object's lifetime and restores the previous
// one afterwards, so responders nest. GUI thread only.
class ScopedDialogResponder {
public:
    explicit ScopedDialogResponder(DialogResponder responder);
    ~ScopedDialogResponder();
    ScopedDialogResponder(const ScopedDialogResponder&) = delete;
    ScopedDialogResponder& operator=(const ScopedDialogResponder&) = delete;

private:
    std::optional<DialogResponder> previous_;
};

// Installs, for this object's lifetime, what `openExternalUrl` answers in
// place of the desktop. GUI thread only.
class ScopedUrlOpener {
public:
    explicit ScopedUrlOpener(std::function<bool(const QUrl& url)> opener);
    ~ScopedUrlOpener();
    ScopedUrlOpener(const ScopedUrlOpener&) = delete;
    ScopedUrlOpener& operator=(const ScopedUrlOpener&) = delete;

private:
    std::function<bool(const QUrl& url)> previous_;
};

}  // namespace tavro::gui
