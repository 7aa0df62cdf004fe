#include "gui/foundation/theme.h"
#include "support/test_application.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QTabWidget>
#include <QToolButton>

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace tavro::gui {
namespace {

using CachedBuilder = const QString& (*)();

const std::vector<std::pair<const char*, CachedBuilder>>& placeholderBuilders() {
    static const std::vector<std::pair<const char*, CachedBuilder>> builders{
        {"smallOutlineButtonStyle", &smallOutlineButtonStyle},
        {"outlineListButtonStyle", &outlineListButtonStyle},
        {"dangerButtonStyle", &dangerButtonStyle},
        {"accentActionButtonStyle", &accentActionButtonStyle},
        {"accentToolButtonStyle", &accentToolButtonStyle},
        {"smallDangerButtonStyle", &smallDangerButtonStyle},
        {"neutralButtonStyle", &neutralButtonStyle},
        {"dangerToolButtonStyle", &dangerToolButtonStyle},
        {"iconToolButtonStyle", &iconToolButtonStyle},
        {"compactButtonStyle", &compactButtonStyle},
        {"secondaryButtonStyle", &secondaryButtonStyle},
        {"accentSmallButtonStyle", &accentSmallButtonStyle},
        {"boldSecondaryButtonStyle", &boldSecondaryButtonStyle},
        {"checkableToolButtonStyle", &checkableToolButtonStyle},
        {"menuToolButtonStyle", &menuToolButtonStyle},
        {"dangerTextButtonStyle", &dangerTextButtonStyle},
        {"hintLabelStyle", &hintLabelStyle},
        {"successHintLabelStyle", &successHintLabelStyle},
        {"warningHintLabelStyle", &warningHintLabelStyle},
        {"sectionLabelStyle", &sectionLabelStyle},
        {"infoBoxLabelStyle", &infoBoxLabelStyle},
        {"selectionHighlightStyle", &selectionHighlightStyle},
        {"highlightedInfoLabelStyle", &highlightedInfoLabelStyle},
        {"separatorStyle", &separatorStyle},
        {"scrollAreaStyle", &scrollAreaStyle},
        {"monospaceAccentStyle", &monospaceAccentStyle},
    };
    return builders;
}

const std::vector<std::pair<const char*, CachedBuilder>>& tokenBuilders() {
    static const std::vector<std::pair<const char*, CachedBuilder>> builders{
        {"horizontalScrollAreaStyle", &horizontalScrollAreaStyle},
        {"tabWidgetStyle", &tabWidgetStyle},
        {"segmentedControlStyle", &segmentedControlStyle},
    };
    return builders;
}

// Qt reports a sheet it cannot parse as a warning when a widget is polished.
QStringList parseWarnings(QWidget& widget, const QString& sheet) {
    static QStringList* captured = nullptr;
    QStringList warnings;
    captured = &warnings;
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
            captured->append(text);
        });
    widget.setStyleSheet(sheet);
    widget.ensurePolished();
    qInstallMessageHandler(previous);
    captured = nullptr;
    return warnings;
}

TEST(ApplyThemeTokens, LongerTokenWinsOverItsPrefix) {
    EXPECT_EQ(applyThemeTokens("@control-border-disabled"), QStringLiteral("#3a3f4a"));
    EXPECT_EQ(applyThemeTokens("@control-border"), QStringLiteral("#40485a"));
    EXPECT_EQ(applyThemeTokens("@control-hover @control-pressed @control"),
              QStringLiteral("#4a5568 #2d3748 #3a4558"));
    EXPECT_EQ(applyThemeTokens("@surface-sunken-hover @surface-sunken"), QStringLiteral("#2a2e38 #1f2127"));
    EXPECT_EQ(applyThemeTokens("@text-disabled-selected @text-disabled"), QStringLiteral("#b4bbc9 #7d8496"));
}

TEST(ApplyThemeTokens, AccentVariantsAreReplacedWholeBeforeTheAccent) {
    EXPECT_EQ(applyThemeTokens("@accent-tab-selected|@accent-focus|@accent-hover|@accent-pressed|@accent"),
              QStringLiteral("#4778a9|#4778a9|#4f82b5|#3c6690|#4778a9"));
}

TEST(ApplyThemeTokens, LeavesOtherTextAndCommentsAlone) {
    EXPECT_EQ(applyThemeTokens("/* bouton sélectionné */ QLabel { color: red; } @unknown"),
              QStringLiteral("/* bouton sélectionné */ QLabel { color: red; } @unknown"));
    EXPECT_EQ(applyThemeTokens("@accentuated"), QStringLiteral("#4778a9uated"));
    EXPECT_TRUE(applyThemeTokens("").isEmpty());
}

TEST(ThemeFragments, ColouredFragmentsAreBuiltFromThePalette) {
    EXPECT_EQ(kAccentFocus, kAccent);
    EXPECT_EQ(kAccentTabSelected, kAccent);
    EXPECT_EQ(kMutedSmallTopTextStyle, QStringLiteral("color: #8b93ab; font-size: 10px; margin-top: 8px;"));
    EXPECT_EQ(kDangerSmallTextStyle, QStringLiteral("color: #ff6b6b; font-size: 10px;"));
}

TEST(TabButtonBarStyle, NamesTheAddButtonInItsThreeRules) {
    const QString sheet = tabButtonBarStyle(QStringLiteral("heightAddTabButton"));
    EXPECT_TRUE(sheet.contains(QStringLiteral("QPushButton#heightAddTabButton {")));
    EXPECT_TRUE(sheet.contains(QStringLiteral("QPushButton#heightAddTabButton:hover {")));
    EXPECT_TRUE(sheet.contains(QStringLiteral("QPushButton#heightAddTabButton:disabled {")));
    EXPECT_FALSE(sheet.contains(QStringLiteral("%ADD%")));
    EXPECT_FALSE(sheet.contains(QLatin1Char('@')));
    EXPECT_FALSE(tabButtonBarStyle(QStringLiteral("mosaicAddTabButton")).contains(QStringLiteral("heightAdd")));
}

TEST(StyleBuilders, ReturnTheSameSheetObjectOnEveryCall) {
    for (const auto& [name, builder] : placeholderBuilders())
        EXPECT_EQ(&builder(), &builder()) << name;
    for (const auto& [name, builder] : tokenBuilders())
        EXPECT_EQ(&builder(), &builder()) << name;
}

TEST(StyleBuilders, LeaveNoTokenOrPlaceholderUnfilled) {
    const QRegularExpression placeholder(QStringLiteral("%\\d"));
    for (const auto& [name, builder] : placeholderBuilders()) {
        EXPECT_FALSE(builder().contains(placeholder)) << name;
        EXPECT_FALSE(builder().isEmpty()) << name;
    }
    for (const auto& [name, builder] : tokenBuilders()) {
        EXPECT_FALSE(builder().contains(QLatin1Char('@'))) << name;
        EXPECT_TRUE(builder().startsWith(QStringLiteral("\n    "))) << name;
    }
}

TEST(StyleBuilders, EverySheetParses) {
    test::testApplication();
    for (const auto& [name, builder] : placeholderBuilders()) {
        QPushButton widget;
        EXPECT_TRUE(parseWarnings(widget, builder()).isEmpty()) << name;
    }
    for (const auto& [name, builder] : tokenBuilders()) {
        QTabWidget widget;
        EXPECT_TRUE(parseWarnings(widget, builder()).isEmpty()) << name;
    }
    QWidget bar;
    EXPECT_TRUE(parseWarnings(bar, tabButtonBarStyle(QStringLiteral("addButton"))).isEmpty());
    QLabel label;
    for (const QString& fragment : {kMutedTextStyle, kMutedTinyTextStyle, kFaintSmallTextStyle, kBoldStyle,
                                    kBoldTopMarginStyle, kLargeFontStyle, kMonospaceStyle})
        EXPECT_TRUE(parseWarnings(label, fragment).isEmpty()) << fragment.toStdString();
}

TEST(StyleBuilders, FillTheirTemplatesWithTheRightColours) {
    EXPECT_TRUE(compactButtonStyle().contains(
        QStringLiteral("QPushButton:disabled { background-color: #2d3748; color: #7d8496; }")));
    EXPECT_TRUE(outlineListButtonStyle().contains(
        QStringLiteral("padding: 4px 8px; border-radius: 3px; text-align: left;")));
    EXPECT_FALSE(outlineListButtonStyle().contains(QStringLiteral("font-size")));
    EXPECT_TRUE(iconToolButtonStyle().contains(QStringLiteral("font-size: 11px;")));
    EXPECT_FALSE(iconToolButtonStyle().contains(QStringLiteral("font-weight")));
    EXPECT_TRUE(dangerToolButtonStyle().contains(QStringLiteral("font-size: 12px; font-weight: bold;")));
    EXPECT_TRUE(smallDangerButtonStyle().endsWith(
        QStringLiteral("QPushButton:pressed { background-color: #bd2130; }")));
    EXPECT_EQ(highlightedInfoLabelStyle(),
              QStringLiteral("QLabel { color: #8b93ab; border-radius: 4px; "
                             "background-color: rgba(80, 134, 255, 0.2); }"));
}

}  // namespace
}  // namespace tavro::gui
