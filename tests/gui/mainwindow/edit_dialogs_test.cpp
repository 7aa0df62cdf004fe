#include "gui/mainwindow/criterion_edit_dialog.h"
#include "gui/mainwindow/named_kernel_edit_dialog.h"

#include "gui/foundation/message_boxes.h"
#include "support/test_application.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace {

using tavro::gui::criterionSlugTaken;
using tavro::gui::NamedKernel;
using tavro::gui::StrainCriterion;

// Answers every warning box with OK and records it as "title: text"; the
// dialog under test is handed to `script`, which plays the user.
struct ScriptedUser {
    QApplication& application = tavro::test::testApplication();
    QStringList boxes;
    std::function<void()> script;
    tavro::gui::ScopedDialogResponder responder{tavro::gui::DialogResponder{
        [this](QDialog& dialog) {
            if (auto* box = qobject_cast<QMessageBox*>(&dialog)) {
                EXPECT_EQ(box->icon(), QMessageBox::Warning);
                boxes << box->windowTitle() + QStringLiteral(": ") + box->text();
                box->button(QMessageBox::Ok)->click();
            } else if (script) {
                script();
            }
        },
        {}}};
};

QString status(const NamedKernelEditDialog& dialog) { return dialog.statusLabel->text(); }

TEST(NamedKernelEditDialog, EmptyTextMeansNoSmoothingButNoDerivativeKernel) {
    tavro::test::testApplication();
    NamedKernelEditDialog smoothing(1, nullptr);
    smoothing.setKernel(NamedKernel{"None", {}});
    EXPECT_EQ(status(smoothing), QStringLiteral("✓ No smoothing (empty)"));
    EXPECT_TRUE(smoothing.valid);
    EXPECT_TRUE(smoothing.coefficients.empty());
    EXPECT_TRUE(smoothing.statusLabel->styleSheet().contains(QStringLiteral("#4CAF50")));
    smoothing.coefficientsEdit->setText(QStringLiteral(" , \t"));
    EXPECT_EQ(status(smoothing), QStringLiteral("✓ No smoothing (empty)"));

    NamedKernelEditDialog derivative(0, nullptr);
    derivative.setKernel(NamedKernel{"None", {}});
    EXPECT_EQ(status(derivative), QStringLiteral("✗ Coefficients cannot be empty."));
    EXPECT_FALSE(derivative.valid);
    EXPECT_TRUE(derivative.statusLabel->styleSheet().contains(QStringLiteral("#ff6b6b")));
    // Separators alone parse to no coefficient, which is not antisymmetric.
    derivative.coefficientsEdit->setText(QStringLiteral(" , "));
    EXPECT_EQ(status(derivative), QStringLiteral("✗ Not antisymmetric. c[i] must equal -c[n-1-i]"));
    EXPECT_FALSE(derivative.valid);
}

TEST(NamedKernelEditDialog, StatusNamesTheFirstProblemOfTheTypedText) {
    tavro::test::testApplication();
    struct Case {
        int kind;
        const char* text;
        const char* status;
    };
    const Case cases[] = {
        {0, "1 2", "✗ Size 2 (must be odd)"},
        {1, "1 2", "✗ Size 2 (must be odd)"},
        {0, "1 x", "✗ Invalid coefficient: x"},
        {0, "1, 0, 1", "✗ Not antisymmetric. Sum = 2 (must be 0)"},
        {0, "-1 1 0", "✗ Not antisymmetric. c[i] must equal -c[n-1-i]"},
        // With the outer pair cancelling, the sum is the middle coefficient.
        {0, "-1 0.5 1", "✗ Not antisymmetric. Sum = 0.5 (must be 0)"},
        {1, "1 2 3", "✗ Not symmetric. c[i] must equal c[n-1-i]"},
        {0, "1 abc -1", "✗ Invalid coefficient: abc"},
        {0, "-1 1/0 1", "✗ Invalid coefficient: 1/0"},
        {0, "-0.5\t0,0.5", "✓ Valid (3 coefficients)"},
        {1, "1 2 1", "✓ Valid (3 coefficients)"},
    };
    for (const Case& c : cases) {
        NamedKernelEditDialog dialog(c.kind, nullptr);
        dialog.coefficientsEdit->setText(QString::fromUtf8(c.text));
        EXPECT_EQ(status(dialog), QString::fromUtf8(c.status)) << c.text;
        EXPECT_EQ(dialog.valid, status(dialog).startsWith(QStringLiteral("✓"))) << c.text;
    }
}

TEST(NamedKernelEditDialog, FractionsGiveTheirQuotient) {
    tavro::test::testApplication();
    NamedKernelEditDialog dialog(0, nullptr);
    dialog.coefficientsEdit->setText(QStringLiteral("1/12, -2/3, 0, 2/3, -1/12"));
    ASSERT_TRUE(dialog.valid);
    const std::vector<float> expected{1.0f / 12, -2.0f / 3, 0.0f, 2.0f / 3, -1.0f / 12};
    ASSERT_EQ(dialog.coefficients.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_FLOAT_EQ(dialog.coefficients[i], expected[i]);
}

TEST(NamedKernelEditDialog, NonFiniteCoefficientsAreRefusedAndTheLastValidOnesKept) {
    tavro::test::testApplication();
    NamedKernelEditDialog dialog(1, nullptr);
    dialog.coefficientsEdit->setText(QStringLiteral("1 2 1"));
    ASSERT_TRUE(dialog.valid);
    // NaN compares false with everything, so "nan 2 nan" would look symmetric.
    for (const char* token : {"nan", "inf", "-inf", "3e38/0.1", "nan/1", "1/inf", "1e39"}) {
        const QString text = QString::fromLatin1(token);
        dialog.coefficientsEdit->setText(text + QStringLiteral(" 2 ") + text);
        EXPECT_EQ(status(dialog), QStringLiteral("✗ Invalid coefficient: ") + text);
        EXPECT_FALSE(dialog.valid) << token;
    }
    EXPECT_EQ(dialog.coefficients, (std::vector<float>{1.0f, 2.0f, 1.0f}));

    std::vector<float> parsed;
    QString error;
    EXPECT_TRUE(dialog.parseCoefficients(QStringLiteral("3e37/0.5"), parsed, error));
    ASSERT_EQ(parsed.size(), 1u);
    EXPECT_FLOAT_EQ(parsed[0], 6e37f);
}

TEST(NamedKernelEditDialog, AKernelIsShownAsTextThatReadsBackValid) {
    tavro::test::testApplication();
    NamedKernelEditDialog dialog(0, nullptr);
    EXPECT_FALSE(dialog.valid);
    dialog.setKernel(NamedKernel{"Order 2", {-0.5f, 0.0f, 0.5f}});
    EXPECT_EQ(dialog.nameEdit->text(), QStringLiteral("Order 2"));
    EXPECT_EQ(dialog.coefficientsEdit->text(), QStringLiteral("-0.5  0  0.5"));
    EXPECT_TRUE(dialog.valid);

    // Below 0.001 six digits are kept, so a tiny kernel does not round to another one.
    dialog.setKernel(NamedKernel{"Tiny", {-0.000123456f, 0.0f, 0.000123456f}});
    EXPECT_EQ(dialog.coefficientsEdit->text(), QStringLiteral("-0.000123456  0  0.000123456"));
    EXPECT_TRUE(dialog.valid);

    NamedKernelEditDialog smoothing(1, nullptr);
    smoothing.setKernel(NamedKernel{"Gauss", {1.0f / 3, 2.0f / 3, 1.0f / 3}});
    EXPECT_EQ(smoothing.coefficientsEdit->text(), QStringLiteral("0.3333  0.6667  0.3333"));
    EXPECT_TRUE(smoothing.valid);
}

TEST(NamedKernelEditDialog, NameLosesBracketsAndEqualsSigns) {
    tavro::test::testApplication();
    NamedKernelEditDialog dialog(0, nullptr);
    dialog.nameEdit->setText(QStringLiteral("a[b]=c"));
    EXPECT_EQ(dialog.nameEdit->text(), QStringLiteral("abc"));
    EXPECT_EQ(dialog.name, "abc");
    dialog.setKernel(NamedKernel{"k=[1]", {-1.0f, 0.0f, 1.0f}});
    EXPECT_EQ(dialog.name, "k1");
}

TEST(NamedKernelEditDialog, ApplyRefusesABlankNameOrBadCoefficientsAndStaysOpen) {
    ScriptedUser user;
    NamedKernelEditDialog dialog(0, nullptr);
    user.script = [&] {
        dialog.nameEdit->setText(QStringLiteral("   "));
        dialog.coefficientsEdit->setText(QStringLiteral("-1 0 1"));
        dialog.applyButton->click();
        EXPECT_TRUE(dialog.isVisible());
        EXPECT_EQ(dialog.focusWidget(), dialog.nameEdit);

        dialog.nameEdit->setText(QStringLiteral("  Sobel "));
        dialog.coefficientsEdit->setText(QStringLiteral("1 0 1"));
        dialog.applyButton->click();
        EXPECT_TRUE(dialog.isVisible());
        EXPECT_EQ(dialog.focusWidget(), dialog.coefficientsEdit);

        dialog.coefficientsEdit->setText(QStringLiteral("-1, 0, 1"));
        dialog.applyButton->click();
    };
    EXPECT_EQ(tavro::gui::runModalDialog(dialog), QDialog::Accepted);
    EXPECT_EQ(user.boxes, (QStringList{QStringLiteral("Name required: Please enter a name for the kernel."),
                                       QStringLiteral("Invalid coefficients: The coefficients contain errors.")}));
    EXPECT_EQ(dialog.name, "Sobel");
    EXPECT_EQ(dialog.coefficients, (std::vector<float>{-1.0f, 0.0f, 1.0f}));
}

TEST(CriterionSlugTaken, NamesWhoseFilesWouldCollideAreTaken) {
    const std::vector<std::string> others{"Von Mises", "Max-Shear"};
    for (const char* name : {"", "!!!", "\u00e9\u00e9", "EXX", "eyy", "Exy", "E1", "e2", "Rotation", "von mises",
                             "VON_MISES", "maxshear"})
        EXPECT_TRUE(criterionSlugTaken(QString::fromUtf8(name), others)) << name;
    for (const char* name : {"Tresca", "exx2", "e 1", "max_shear", "rotation rate"})
        EXPECT_FALSE(criterionSlugTaken(QString::fromUtf8(name), others)) << name;
}

TEST(CriterionEditDialog, NameLosesBracketsAndEqualsSigns) {
    tavro::test::testApplication();
    CriterionEditDialog dialog(nullptr);
    dialog.nameEdit->setText(QStringLiteral("a[b]=c"));
    EXPECT_EQ(dialog.nameEdit->text(), QStringLiteral("abc"));
    EXPECT_EQ(dialog.criterion().name, "abc");
}

TEST(CriterionEditDialog, ExpressionIsCheckedAsItIsTyped) {
    tavro::test::testApplication();
    CriterionEditDialog dialog(nullptr);
    EXPECT_FALSE(dialog.valid);
    const std::string vonMises = "sqrt(exx**2 + eyy**2 - exx*eyy + 3*exy**2)";
    dialog.setCriterion(StrainCriterion{"Von Mises", vonMises, true});
    EXPECT_EQ(dialog.validationLabel->text(), QStringLiteral("✓ Valid expression"));
    EXPECT_TRUE(dialog.valid);

    dialog.expressionEdit->setText(QStringLiteral("exx +"));
    EXPECT_TRUE(dialog.validationLabel->text().startsWith(QStringLiteral("✗ ")));
    EXPECT_GT(dialog.validationLabel->text().size(), 2);
    EXPECT_FALSE(dialog.valid);
    EXPECT_EQ(dialog.criterion().expression, vonMises);

    // Blanks are not empty for the live check: the parser judges them.
    dialog.expressionEdit->setText(QStringLiteral("   "));
    EXPECT_TRUE(dialog.validationLabel->text().startsWith(QStringLiteral("✗ ")));

    dialog.expressionEdit->clear();
    EXPECT_TRUE(dialog.validationLabel->text().isEmpty());
    EXPECT_EQ(dialog.validationLabel->styleSheet(), QStringLiteral("font-size: 10px;"));
    EXPECT_FALSE(dialog.valid);
}

TEST(CriterionEditDialog, ApplyRefusesWhatCannotBeSavedAndStaysOpen) {
    ScriptedUser user;
    CriterionEditDialog dialog(nullptr);
    dialog.setCriterion(StrainCriterion{"", "", false});
    dialog.setOtherCriterionNames({"Von Mises"});
    const auto applyAndExpectOpenAt = [&dialog](QLineEdit* field) {
        dialog.applyButton->click();
        EXPECT_TRUE(dialog.isVisible());
        EXPECT_EQ(dialog.focusWidget(), field);
    };
    user.script = [&] {
        dialog.expressionEdit->setText(QStringLiteral("abs(exx)"));
        applyAndExpectOpenAt(dialog.nameEdit);
        // The name is checked before the expression, whatever the expression holds.
        dialog.expressionEdit->clear();
        dialog.nameEdit->setText(QStringLiteral("von mises"));
        applyAndExpectOpenAt(dialog.nameEdit);
        dialog.nameEdit->setText(QStringLiteral("\u03b5"));
        applyAndExpectOpenAt(dialog.nameEdit);
        dialog.nameEdit->setText(QStringLiteral(" Max shear "));
        applyAndExpectOpenAt(dialog.expressionEdit);
        dialog.expressionEdit->setText(QStringLiteral("   "));
        applyAndExpectOpenAt(dialog.expressionEdit);
        dialog.expressionEdit->setText(QStringLiteral("max(exx,"));
        applyAndExpectOpenAt(dialog.expressionEdit);
        dialog.expressionEdit->setText(QStringLiteral("  abs(exx - eyy) / 2 "));
        dialog.applyButton->click();
    };
    EXPECT_EQ(tavro::gui::runModalDialog(dialog), QDialog::Accepted);
    const QString taken = QStringLiteral(
        "Name not usable: The criterion would be saved as \"%1\", which is empty or already taken. "
        "Please choose another name.");
    const QString expressionRequired =
        QStringLiteral("Expression required: Please enter an expression for the criterion.");
    EXPECT_EQ(user.boxes, (QStringList{QStringLiteral("Name required: Please enter a name for the criterion."),
                                       taken.arg(QStringLiteral("von_mises")), taken.arg(QString()),
                                       expressionRequired, expressionRequired,
                                       QStringLiteral("Invalid expression: The expression contains errors. "
                                                      "Please correct it.")}));
    EXPECT_EQ(dialog.criterion().name, "Max shear");
    EXPECT_EQ(dialog.criterion().expression, "abs(exx - eyy) / 2");
    EXPECT_FALSE(dialog.criterion().enabled);
}

}  // namespace
