#include "gui/foundation/message_boxes.h"
#include "support/test_application.h"

#include <QAbstractButton>
#include <QDialog>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

namespace tavro::gui {
namespace {

QMessageBox& asMessageBox(QDialog& dialog) {
    auto* box = qobject_cast<QMessageBox*>(&dialog);
    EXPECT_NE(box, nullptr);
    return *box;
}

QMessageBox::StandardButton askYesNo() {
    return askQuestion(nullptr, QStringLiteral("Mode change"), QStringLiteral("Do you want to continue?"),
                       QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
}

DialogResponder answerWith(std::function<void(QDialog&)> answer) {
    return DialogResponder{std::move(answer), {}};
}

TEST(ShowMessage, ShowsTitleTextAndOneOkButtonWithoutIcon) {
    test::testApplication();
    int shown = 0;
    const ScopedDialogResponder responder(answerWith([&shown](QDialog& dialog) {
        QMessageBox& box = asMessageBox(dialog);
        ++shown;
        EXPECT_TRUE(box.isVisible());
        EXPECT_EQ(box.windowTitle(), QStringLiteral("Invalid expression"));
        EXPECT_EQ(box.text(), QStringLiteral("Criterion \"c1\": unexpected ')'"));
        EXPECT_EQ(box.icon(), QMessageBox::NoIcon);
        ASSERT_EQ(box.buttons().size(), 1);
        EXPECT_EQ(box.standardButton(box.buttons().front()), QMessageBox::Ok);
        box.buttons().front()->click();
    }));
    showMessage(nullptr, QStringLiteral("Invalid expression"), QStringLiteral("Criterion \"c1\": unexpected ')'"));
    EXPECT_EQ(shown, 1);
}

TEST(AskQuestion, OffersYesAndNoWithNoAsDefaultAndNoIcon) {
    test::testApplication();
    const ScopedDialogResponder responder(answerWith([](QDialog& dialog) {
        QMessageBox& box = asMessageBox(dialog);
        EXPECT_EQ(box.icon(), QMessageBox::NoIcon);
        EXPECT_EQ(box.buttons().size(), 2);
        EXPECT_EQ(box.defaultButton(), box.button(QMessageBox::No));
        box.button(QMessageBox::Yes)->click();
    }));
    EXPECT_EQ(askYesNo(), QMessageBox::Yes);
}

TEST(AskQuestion, EnterOnAFreshBoxAnswersNo) {
    test::testApplication();
    for (const Qt::Key key : {Qt::Key_Enter, Qt::Key_Return}) {
        const ScopedDialogResponder responder(answerWith([key](QDialog& dialog) { QTest::keyClick(&dialog, key); }));
        EXPECT_EQ(askYesNo(), QMessageBox::No);
    }
}

TEST(AskQuestion, EscapeOrClosingTheWindowNeverConfirms) {
    test::testApplication();
    {
        const ScopedDialogResponder responder(
            answerWith([](QDialog& dialog) { QTest::keyClick(&dialog, Qt::Key_Escape); }));
        EXPECT_NE(askYesNo(), QMessageBox::Yes);
    }
    {
        const ScopedDialogResponder responder(answerWith([](QDialog& dialog) { dialog.close(); }));
        EXPECT_NE(askYesNo(), QMessageBox::Yes);
    }
}

TEST(RunModalDialog, ADialogTheResponderLeavesOpenIsRejectedInsteadOfBlocking) {
    test::testApplication();
    const ScopedDialogResponder responder(answerWith([](QDialog&) {}));
    QDialog dialog;
    EXPECT_EQ(runModalDialog(dialog), QDialog::Rejected);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_NE(askYesNo(), QMessageBox::Yes);
}

TEST(ScopedDialogResponder, NestedRespondersRestoreTheOuterOne) {
    test::testApplication();
    QString answeredBy;
    const ScopedDialogResponder outer(answerWith([&answeredBy](QDialog& dialog) {
        answeredBy = QStringLiteral("outer");
        dialog.reject();
    }));
    {
        const ScopedDialogResponder inner(answerWith([&answeredBy](QDialog& dialog) {
            answeredBy = QStringLiteral("inner");
            dialog.reject();
        }));
        QDialog dialog;
        runModalDialog(dialog);
        EXPECT_EQ(answeredBy, QStringLiteral("inner"));
    }
    QDialog dialog;
    EXPECT_EQ(runModalDialog(dialog), QDialog::Rejected);
    EXPECT_EQ(answeredBy, QStringLiteral("outer"));
}

TEST(FileDialogs, AreAnsweredByTheResponderThatSeesTheRequest) {
    test::testApplication();
    std::vector<FileDialogRequest> requests;
    DialogResponder answers;
    answers.answerFileDialog = [&requests](const FileDialogRequest& request) {
        requests.push_back(request);
        if (request.kind == FileDialogKind::OpenFiles)
            return QStringList{QStringLiteral("/data/a.tif"), QStringLiteral("/data/b.tif")};
        return QStringList{QStringLiteral("/data/answer")};
    };
    const ScopedDialogResponder responder(answers);

    EXPECT_EQ(askOpenFileName(nullptr, QStringLiteral("Reference image"), QStringLiteral("/data"),
                              QStringLiteral("Images (*.tif *.png)")),
              QStringLiteral("/data/answer"));
    EXPECT_EQ(askOpenFileNames(nullptr, QStringLiteral("Deformed images")),
              (QStringList{QStringLiteral("/data/a.tif"), QStringLiteral("/data/b.tif")}));
    EXPECT_EQ(askSaveFileName(nullptr, QStringLiteral("Export")), QStringLiteral("/data/answer"));
    EXPECT_EQ(askExistingDirectory(nullptr, QStringLiteral("Project folder"), QStringLiteral("/home")),
              QStringLiteral("/data/answer"));

    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].caption, QStringLiteral("Reference image"));
    EXPECT_EQ(requests[0].filter, QStringLiteral("Images (*.tif *.png)"));
    EXPECT_EQ(requests[3].kind, FileDialogKind::ExistingDirectory);
    EXPECT_EQ(requests[3].directory, QStringLiteral("/home"));
}

TEST(FileDialogs, AnEmptyAnswerOrAResponderWithoutFileAnswersCancels) {
    test::testApplication();
    {
        DialogResponder answers;
        answers.answerFileDialog = [](const FileDialogRequest&) { return QStringList(); };
        const ScopedDialogResponder responder(answers);
        EXPECT_TRUE(askOpenFileName(nullptr, QStringLiteral("Open")).isEmpty());
        EXPECT_TRUE(askExistingDirectory(nullptr, QStringLiteral("Folder")).isEmpty());
    }
    const ScopedDialogResponder responder(answerWith([](QDialog& dialog) { dialog.reject(); }));
    EXPECT_TRUE(askSaveFileName(nullptr, QStringLiteral("Save")).isEmpty());
    EXPECT_TRUE(askOpenFileNames(nullptr, QStringLiteral("Open")).isEmpty());
}

}  // namespace
}  // namespace tavro::gui
