#include "gui/foundation/theme.h"

#include <QLatin1String>

#include <cstddef>

namespace tavro::gui {

const QString kAccent = QStringLiteral("#4778a9");
const QString kAccentFocus = kAccent;
const QString kAccentTabSelected = kAccent;
const QString kAccentHover = QStringLiteral("#4f82b5");
const QString kAccentPressed = QStringLiteral("#3c6690");
const QString kControl = QStringLiteral("#3a4558");
const QString kControlHover = QStringLiteral("#4a5568");
const QString kControlPressed = QStringLiteral("#2d3748");
const QString kControlBorder = QStringLiteral("#40485a");
const QString kControlBorderDisabled = QStringLiteral("#3a3f4a");
const QString kSurfaceSunken = QStringLiteral("#1f2127");
const QString kSurfaceSunkenHover = QStringLiteral("#2a2e38");
const QString kSurfaceDisabled = QStringLiteral("#2a2e38");
const QString kSurfacePane = QStringLiteral("#282c34");
const QString kSurfaceTab = QStringLiteral("#333848");
const QString kSurfaceTabHover = QStringLiteral("#3d4452");
const QString kScrollHandle = QStringLiteral("#50586a");
const QString kScrollHandleHover = QStringLiteral("#6a7490");
const QString kSegmentIdle = QStringLiteral("#4c5368");
const QString kSeparator = QStringLiteral("#3a4050");
const QString kTextWhite = QStringLiteral("#ffffff");
const QString kTextMuted = QStringLiteral("#8b93ab");
const QString kTextFaint = QStringLiteral("#9ca3af");
const QString kTextDisabled = QStringLiteral("#7d8496");
const QString kTextDisabledSelected = QStringLiteral("#b4bbc9");
const QString kDangerSoft = QStringLiteral("#ff6b6b");
const QString kTextOnFill = QStringLiteral("white");
const QString kControlRaisedHover = QStringLiteral("#5a6578");
const QString kSegmentIdleHover = QStringLiteral("#535c78");
const QString kSegmentIdlePressed = QStringLiteral("#5b6688");
const QString kDanger = QStringLiteral("#dc3545");
const QString kDangerHover = QStringLiteral("#c82333");
const QString kDangerPressed = QStringLiteral("#bd2130");
const QString kDangerToolHover = QStringLiteral("#c53030");
const QString kDangerToolPressed = QStringLiteral("#9b2c2c");
const QString kSuccess = QStringLiteral("#4CAF50");
const QString kWarning = QStringLiteral("#e57c23");

// Defined after the colours: within one file, dynamic initialisation follows
// the order of definition.
const QString kMutedTextStyle = QStringLiteral("color: %1;").arg(kTextMuted);
const QString kMutedTinyTextStyle = QStringLiteral("color: %1; font-size: 9px;").arg(kTextMuted);
const QString kMutedSmallTextStyle = QStringLiteral("color: %1; font-size: 10px;").arg(kTextMuted);
const QString kMutedSmallTopTextStyle =
    QStringLiteral("color: %1; font-size: 10px; margin-top: 8px;").arg(kTextMuted);
const QString kMutedMediumTextStyle = QStringLiteral("color: %1; font-size: 11px;").arg(kTextMuted);
const QString kSuccessSmallTextStyle = QStringLiteral("color: %1; font-size: 10px;").arg(kSuccess);
const QString kDangerSmallTextStyle = QStringLiteral("color: %1; font-size: 10px;").arg(kDangerSoft);
const QString kFaintSmallTextStyle = QStringLiteral("font-size: 10px; color: #9ca3af;");
const QString kBoldStyle = QStringLiteral("font-weight: bold;");
const QString kBoldMediumStyle = QStringLiteral("font-weight: bold; font-size: 11px;");
const QString kBoldTopMarginStyle = QStringLiteral("font-weight: bold; margin-top: 8px;");
const QString kBoldSmallTopMarginStyle = QStringLiteral("font-weight: bold; margin-top: 4px;");
const QString kSmallFontStyle = QStringLiteral("font-size: 10px;");
const QString kMediumFontStyle = QStringLiteral("font-size: 12px;");
const QString kLargeFontStyle = QStringLiteral("font-size: 14px;");
const QString kMonospaceStyle = QStringLiteral("font-family: monospace;");

namespace {

struct ThemeToken {
    qint64 length;
    const char* text;
    const QString* colour;
};

template <std::size_t N>
constexpr ThemeToken token(const char (&text)[N], const QString& colour) {
    return {static_cast<qint64>(N - 1), text, &colour};
}

constexpr ThemeToken kThemeTokens[] = {
    token("@control-border-disabled", kControlBorderDisabled),
    token("@text-disabled-selected", kTextDisabledSelected),
    token("@surface-sunken-hover", kSurfaceSunkenHover),
    token("@scroll-handle-hover", kScrollHandleHover),
    token("@accent-tab-selected", kAccentTabSelected),
    token("@surface-tab-hover", kSurfaceTabHover),
    token("@surface-disabled", kSurfaceDisabled),
    token("@surface-sunken", kSurfaceSunken),
    token("@control-pressed", kControlPressed),
    token("@control-border", kControlBorder),
    token("@scroll-handle", kScrollHandle),
    token("@control-hover", kControlHover),
    token("@accent-pressed", kAccentPressed),
    token("@text-disabled", kTextDisabled),
    token("@accent-focus", kAccentFocus),
    token("@accent-hover", kAccentHover),
    token("@segment-idle", kSegmentIdle),
    token("@surface-pane", kSurfacePane),
    token("@surface-tab", kSurfaceTab),
    token("@text-muted", kTextMuted),
    token("@text-faint", kTextFaint),
    token("@text-white", kTextWhite),
    token("@separator", kSeparator),
    token("@danger-soft", kDangerSoft),
    token("@control", kControl),
    token("@accent", kAccent),
};

constexpr bool startsWith(const ThemeToken& text, const ThemeToken& prefix) {
    if (prefix.length > text.length)
        return false;
    for (qint64 i = 0; i < prefix.length; ++i) {
        if (text.text[i] != prefix.text[i])
            return false;
    }
    return true;
}

// Replacing a prefix first would leave its longer tokens half replaced.
constexpr bool longerTokensComeFirst() {
    constexpr std::size_t count = std::size(kThemeTokens);
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t j = i + 1; j < count; ++j) {
            if (startsWith(kThemeTokens[j], kThemeTokens[i]))
                return false;
        }
    }
    return true;
}
static_assert(longerTokensComeFirst());

const char* const kTabButtonBarTemplate = R"(
    QWidget { background: transparent; }
    QPushButton {
        padding: 8px 16px;
        border: 1px solid @control-border;
        border-bottom: none;
        border-radius: 0px;
        border-top-left-radius: 4px;
        border-top-right-radius: 4px;
        background: @surface-tab;
        color: @text-faint;
    }
    QPushButton:checked {
        background: @surface-pane;
        color: @text-white;
        border-color: @control-border;
        border-top: 2px solid @accent;
        padding-top: 7px;
        border-bottom: 1px solid @surface-pane;
    }
    QPushButton:hover:!checked {
        background: @surface-tab-hover;
        color: @text-white;
    }
    QPushButton:disabled {
        background: @surface-disabled;
        color: @text-disabled;
        border-color: @control-border-disabled;
    }
    QPushButton:checked:disabled {
        background: @control-hover;
        color: @text-disabled-selected;
        border-color: @control-hover;
    }
    QPushButton#%ADD% {
        background: transparent;
        border: 1px solid @accent;
        color: @text-white;
        padding: 8px 12px;
    }
    QPushButton#%ADD%:hover {
        background: @accent;
        border-color: @accent;
    }
    QPushButton#%ADD%:disabled {
        background: @surface-disabled;
        color: @text-disabled;
        border-color: @control-border-disabled;
    }
)";

const char* const kHorizontalScrollAreaTemplate = R"(
    QScrollArea { border: none; background: transparent; }
    QScrollBar:horizontal {
        height: 10px;
        background: @surface-sunken;
        border-radius: 5px;
        margin: 2px 0;
    }
    QScrollBar:horizontal:hover {
        height: 12px;
        background: @surface-sunken-hover;
    }
    QScrollBar::handle:horizontal {
        background: @scroll-handle;
        border-radius: 5px;
        min-width: 30px;
    }
    QScrollBar::handle:horizontal:hover {
        background: @scroll-handle-hover;
    }
    QScrollBar::add-line:horizontal, QScrollBar::sub-line:horizontal { width: 0; }
)";

const char* const kTabWidgetTemplate = R"(
    QTabBar::tab {
        padding: 10px 8px;
        margin-right: 2px;
        border: 1px solid @control-border;
        border-bottom: none;
        border-top-left-radius: 4px;
        border-top-right-radius: 4px;
        background: @surface-tab;
        color: @text-faint;
        font-size: 13px;
    }
    QTabBar::tab:selected {
        background: @surface-pane;
        color: @text-white;
        border-color: @control-border;
        border-top: 2px solid @accent;
        padding-top: 9px;
    }
    QTabBar::tab:hover:!selected {
        background: @surface-tab-hover;
        color: @text-white;
    }
    QTabBar::tab:disabled {
        background: @surface-disabled;
        color: @text-disabled;
        border-color: @control-border-disabled;
    }
    QTabWidget::pane {
        border: 1px solid @control-border;
        border-top: none;
        background: @surface-pane;
    }
)";

const char* const kSegmentedControlTemplate = R"(
    QPushButton#segmentedLeft, QPushButton#segmentedRight {
        padding: 6px 16px;
        border: 1px solid @control-border;
        background: @surface-sunken;
        color: @text-muted;
    }
    QPushButton#segmentedLeft {
        border-top-left-radius: 4px;
        border-bottom-left-radius: 4px;
        border-right: none;
    }
    QPushButton#segmentedRight {
        border-top-right-radius: 4px;
        border-bottom-right-radius: 4px;
    }
    QPushButton#segmentedLeft:hover:!checked, QPushButton#segmentedRight:hover:!checked {
        background: @surface-sunken-hover;
    }
    QPushButton#segmentedLeft:checked, QPushButton#segmentedRight:checked {
        background: @control-hover;
        color: @text-white;
    }
    QPushButton#segmentedLeft:disabled, QPushButton#segmentedRight:disabled {
        background: @surface-disabled;
        color: @text-disabled;
        border-color: @control-border-disabled;
    }
    QPushButton#segmentedLeft:checked:disabled, QPushButton#segmentedRight:checked:disabled {
        background: @control-hover;
        color: @text-disabled-selected;
        border-color: @control-hover;
    }
)";

QString outlineButtonTemplate() {
    return QStringLiteral(
        "QPushButton { background-color: transparent; color: %1; border: 1px solid %2; "
        "padding: 3px 6px; border-radius: 3px; font-size: 10px; }"
        "QPushButton:hover { background-color: %2; }"
        "QPushButton:pressed { background-color: %3; border-color: %3; }"
        "QPushButton:disabled { background-color: transparent; color: %4; border-color: %5; }");
}

QString filledButtonTemplate() {
    return QStringLiteral(
        "QPushButton { background-color: %1; color: %2; border: none; padding: 8px 20px; "
        "border-radius: 4px; font-weight: bold; }"
        "QPushButton:hover { background-color: %3; }"
        "QPushButton:pressed { background-color: %4; }"
        "QPushButton:disabled { background-color: %5; color: %6; }");
}

QString smallFilledButtonTemplate() {
    return QStringLiteral(
        "QPushButton { background-color: %1; color: %2; border: none; padding: %3; border-radius: 4px; }"
        "QPushButton:hover { background-color: %4; }"
        "QPushButton:pressed { background-color: %5; }%6");
}

QString toolTextButtonTemplate() {
    return QStringLiteral(
        "QToolButton { background-color: transparent; color: %1; border: none; padding: 2px; "
        "border-radius: 3px; font-size: 12px; font-weight: bold; }"
        "QToolButton:hover { background-color: %2; color: %3; }"
        "QToolButton:pressed { background-color: %4; color: %3; }"
        "QToolButton:disabled { background-color: transparent; color: %5; }");
}

QString secondaryButtonTemplate() {
    return QStringLiteral(
        "QPushButton { background-color: %1; color: %2; border: none; padding: 5px 10px; "
        "border-radius: 3px; min-width: 14px; }"
        "QPushButton:hover { background-color: %3; }"
        "QPushButton:pressed { background-color: %4; }"
        "QPushButton:disabled { background-color: %5; color: %6; }");
}

QString hintLabelTemplate() {
    return QStringLiteral("QLabel { color: %1; font-style: italic; }");
}

}  // namespace

QString applyThemeTokens(const char* utf8Template) {
    QString sheet = QString::fromUtf8(utf8Template);
    for (const ThemeToken& entry : kThemeTokens)
        sheet.replace(QLatin1String(entry.text, entry.length), *entry.colour);
    return sheet;
}

QString tabButtonBarStyle(const QString& addButtonName) {
    static const QString sheet = applyThemeTokens(kTabButtonBarTemplate);
    return QString(sheet).replace(QLatin1String("%ADD%"), addButtonName);
}

const QString& horizontalScrollAreaStyle() {
    static const QString sheet = applyThemeTokens(kHorizontalScrollAreaTemplate);
    return sheet;
}

const QString& tabWidgetStyle() {
    static const QString sheet = applyThemeTokens(kTabWidgetTemplate);
    return sheet;
}

const QString& segmentedControlStyle() {
    static const QString sheet = applyThemeTokens(kSegmentedControlTemplate);
    return sheet;
}

const QString& smallOutlineButtonStyle() {
    static const QString sheet =
        outlineButtonTemplate().arg(kTextWhite, kAccent, kAccentPressed, kTextDisabled, kControlBorderDisabled);
    return sheet;
}

const QString& outlineListButtonStyle() {
    static const QString sheet =
        outlineButtonTemplate()
            .replace(QLatin1String("padding: 3px 6px; border-radius: 3px; font-size: 10px;"),
                     QLatin1String("padding: 4px 8px; border-radius: 3px; text-align: left;"))
            .arg(kTextWhite, kAccent, kAccentPressed, kTextDisabled, kControlBorderDisabled);
    return sheet;
}

const QString& dangerButtonStyle() {
    static const QString sheet =
        filledButtonTemplate().arg(kDanger, kTextOnFill, kDangerHover, kDangerPressed, kSurfaceDisabled, kTextDisabled);
    return sheet;
}

const QString& accentActionButtonStyle() {
    static const QString sheet =
        filledButtonTemplate().arg(kAccent, kTextOnFill, kAccentHover, kAccentPressed, kSurfaceDisabled, kTextDisabled);
    return sheet;
}

const QString& accentToolButtonStyle() {
    static const QString sheet =
        QStringLiteral(
            "QToolButton { background-color: %1; color: %2; border: none; padding: 4px 12px; "
            "border-radius: 4px; font-weight: bold; }"
            "QToolButton:hover { background-color: %3; }"
            "QToolButton:pressed { background-color: %4; }"
            "QToolButton:disabled { background-color: %5; color: %6; }")
            .arg(kAccent, kTextOnFill, kAccentHover, kAccentPressed, kSurfaceDisabled, kTextDisabled);
    return sheet;
}

const QString& smallDangerButtonStyle() {
    static const QString sheet = smallFilledButtonTemplate().arg(
        kDanger, kTextOnFill, QStringLiteral("6px 16px"), kDangerHover, kDangerPressed, QString());
    return sheet;
}

const QString& neutralButtonStyle() {
    static const QString sheet = smallFilledButtonTemplate().arg(
        kSegmentIdle, kTextOnFill, QStringLiteral("6px 16px"), kSegmentIdleHover, kSegmentIdlePressed, QString());
    return sheet;
}

const QString& dangerToolButtonStyle() {
    static const QString sheet =
        toolTextButtonTemplate().arg(kDangerSoft, kDangerToolHover, kTextOnFill, kDangerToolPressed, kTextDisabled);
    return sheet;
}

const QString& iconToolButtonStyle() {
    static const QString sheet =
        toolTextButtonTemplate()
            .replace(QLatin1String("font-size: 12px; font-weight: bold;"), QLatin1String("font-size: 11px;"))
            .arg(kTextMuted, kControlHover, kTextWhite, kControlPressed, kTextDisabled);
    return sheet;
}

const QString& compactButtonStyle() {
    static const QString sheet =
        QStringLiteral(
            "QPushButton { background-color: %1; color: %2; border: none; padding: 4px; "
            "border-radius: 3px; font-weight: bold; }"
            "QPushButton:hover { background-color: %3; }"
            "QPushButton:pressed { background-color: %4; }"
            "QPushButton:disabled { background-color: %4; color: %5; }")
            .arg(kControl, kTextOnFill, kControlHover, kControlPressed, kTextDisabled);
    return sheet;
}

const QString& secondaryButtonStyle() {
    static const QString sheet = secondaryButtonTemplate().arg(
        kControl, kTextOnFill, kControlHover, kControlPressed, kSurfaceDisabled, kTextDisabled);
    return sheet;
}

const QString& accentSmallButtonStyle() {
    static const QString sheet = secondaryButtonTemplate().arg(
        kAccent, kTextOnFill, kAccentHover, kAccentPressed, kSurfaceDisabled, kTextDisabled);
    return sheet;
}

const QString& boldSecondaryButtonStyle() {
    static const QString sheet =
        QStringLiteral(
            "QPushButton { background-color: %1; color: %2; border: none; padding: 4px; "
            "border-radius: 4px; font-weight: bold; }"
            "QPushButton:hover { background-color: %3; }"
            "QPushButton:pressed { background-color: %4; }"
            "QPushButton:disabled { background-color: %5; color: %6; }")
            .arg(kControlHover, kTextOnFill, kControlRaisedHover, kControl, kControlPressed, kTextDisabled);
    return sheet;
}

const QString& checkableToolButtonStyle() {
    static const QString sheet =
        QStringLiteral(
            "QToolButton { background-color: %1; color: %2; border: none; padding: 2px; "
            "border-radius: 3px; font-size: 10px; }"
            "QToolButton:hover { background-color: %3; }"
            "QToolButton:pressed { background-color: %4; }"
            "QToolButton:checked { background-color: %5; }"
            "QToolButton:disabled { background-color: %6; color: %7; }")
            .arg(kControl, kTextOnFill, kControlHover, kControlPressed, kAccent, kSurfaceDisabled, kTextDisabled);
    return sheet;
}

const QString& menuToolButtonStyle() {
    static const QString sheet =
        QStringLiteral(
            "QToolButton { background: transparent; color: %1; border: none; padding: 2px 8px; "
            "font-size: 12px; }"
            "QToolButton:hover { color: %2; }"
            "QToolButton:pressed { color: %2; }"
            "QToolButton::menu-indicator { image: none; width: 0px; }")
            .arg(kTextMuted, kTextWhite);
    return sheet;
}

const QString& dangerTextButtonStyle() {
    static const QString sheet =
        QStringLiteral(
            "QPushButton { color: %1; }"
            "QPushButton:hover { background-color: rgba(255, 107, 107, 0.2); }"
            "QPushButton:disabled { color: %2; }")
            .arg(kDangerSoft, kTextDisabled);
    return sheet;
}

const QString& hintLabelStyle() {
    static const QString sheet = hintLabelTemplate().arg(kTextMuted);
    return sheet;
}

const QString& successHintLabelStyle() {
    static const QString sheet = hintLabelTemplate().arg(kSuccess);
    return sheet;
}

const QString& warningHintLabelStyle() {
    static const QString sheet = hintLabelTemplate().arg(kWarning);
    return sheet;
}

const QString& sectionLabelStyle() {
    static const QString sheet =
        QStringLiteral("QLabel { color: %1; font-weight: bold; font-size: 11px; }").arg(kTextMuted);
    return sheet;
}

const QString& infoBoxLabelStyle() {
    static const QString sheet =
        QStringLiteral("QLabel { color: %1; border: 1px solid %2; border-radius: 4px; background-color: %3; }")
            .arg(kTextMuted, kControlBorder, kSurfaceSunken);
    return sheet;
}

const QString& selectionHighlightStyle() {
    static const QString sheet = QStringLiteral("background-color: rgba(80, 134, 255, 0.2);");
    return sheet;
}

const QString& highlightedInfoLabelStyle() {
    static const QString sheet =
        QStringLiteral("QLabel { color: %1; border-radius: 4px; %2 }").arg(kTextMuted, selectionHighlightStyle());
    return sheet;
}

const QString& separatorStyle() {
    static const QString sheet =
        QStringLiteral("QFrame { background-color: %1; max-height: 1px; margin: 8px 0px; }").arg(kSeparator);
    return sheet;
}

const QString& scrollAreaStyle() {
    static const QString sheet = QStringLiteral("\n    QScrollArea { border: none; background: transparent; }\n  ");
    return sheet;
}

const QString& monospaceAccentStyle() {
    static const QString sheet = QStringLiteral("font-family: monospace; font-weight: bold; color: %1;").arg(kAccent);
    return sheet;
}

}  // namespace tavro::gui
