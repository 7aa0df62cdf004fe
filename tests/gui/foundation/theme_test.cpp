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
#define BUILDER(name) std::pair<const char*, CachedBuilder>{#name, &name}

const std::vector<std::pair<const char*, CachedBuilder>>& placeholderBuilders() {
    static const std::vector<std::pair<const char*, CachedBuilder>> builders{
        BUILDER(smallOutlineButtonStyle), BUILDER(outlineListButtonStyle), BUILDER(dangerButtonStyle),
        BUILDER(accentActionButtonStyle), BUILDER(accentToolButtonStyle), BUILDER(smallDangerButtonStyle),
        BUILDER(neutralButtonStyle), BUILDER(dangerToolButtonStyle), BUILDER(iconToolButtonStyle),
        BUILDER(compactButtonStyle), BUILDER(secondaryButtonStyle), BUILDER(accentSmallButtonStyle),
        BUILDER(boldSecondaryButtonStyle), BUILDER(checkableToolButtonStyle), BUILDER(menuToolButtonStyle),
        BUILDER(dangerTextButtonStyle), BUILDER(hintLabelStyle), BUILDER(successHintLabelStyle),
        BUILDER(warningHintLabelStyle), BUILDER(sectionLabelStyle), BUILDER(infoBoxLabelStyle),
        BUILDER(selectionHighlightStyle), BUILDER(highlightedInfoLabelStyle), BUILDER(separatorStyle),
        BUILDER(scrollAreaStyle), BUILDER(monospaceAccentStyle),
    };
    return builders;
}

const std::vector<std::pair<const char*, CachedBuilder>>& tokenBuilders() {
    static const std::vector<std::pair<const char*, CachedBuilder>> builders{
        BUILDER(horizontalScrollAreaStyle), BUILDER(tabWidgetStyle), BUILDER(segmentedControlStyle),
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

TEST(ApplyThemeTokens, ALongerTokenWinsOverItsPrefixAndOtherTextStays) {
    const std::pair<const char*, const char*> cases[] = {
        {"@control-border-disabled @control-border", "#3a3f4a #40485a"},
        {"@control-hover @control-pressed @control", "#4a5568 #2d3748 #3a4558"},
        {"@surface-sunken-hover @surface-sunken", "#2a2e38 #1f2127"},
        {"@text-disabled-selected @text-disabled", "#b4bbc9 #7d8496"},
        {"@accent-tab-selected|@accent-focus|@accent-hover|@accent-pressed|@accent",
         "#4778a9|#4778a9|#4f82b5|#3c6690|#4778a9"},
        {"/* bouton sélectionné */ QLabel { color: red; } @unknown",
         "/* bouton sélectionné */ QLabel { color: red; } @unknown"},
        {"@accentuated", "#4778a9uated"},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(applyThemeTokens(text), QString::fromUtf8(expected)) << text;
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

}  // namespace
}  // namespace tavro::gui
