#pragma once

#include <QString>

// The dark palette as named colours, short style fragments built from them, and
// the style-sheet builders that make the window's elements look alike.
//
// The constants and fragments are initialised dynamically, before main, in
// theme.cpp; code that runs during static initialisation of another file must
// not read them.
namespace tavro::gui {

extern const QString kAccent;
extern const QString kAccentFocus;
extern const QString kAccentTabSelected;
extern const QString kAccentHover;
extern const QString kAccentPressed;
extern const QString kControl;
extern const QString kControlHover;
extern const QString kControlPressed;
extern const QString kControlBorder;
extern const QString kControlBorderDisabled;
extern const QString kSurfaceSunken;
extern const QString kSurfaceSunkenHover;
extern const QString kSurfaceDisabled;
extern const QString kSurfacePane;
extern const QString kSurfaceTab;
extern const QString kSurfaceTabHover;
extern const QString kScrollHandle;
extern const QString kScrollHandleHover;
extern const QString kSegmentIdle;
extern const QString kSeparator;
extern const QString kTextWhite;
extern const QString kTextMuted;
extern const QString kTextFaint;
extern const QString kTextDisabled;
extern const QString kTextDisabledSelected;
extern const QString kDangerSoft;
extern const QString kTextOnFill;
extern const QString kControlRaisedHover;
extern const QString kSegmentIdleHover;
extern const QString kSegmentIdlePressed;
extern const QString kDanger;
extern const QString kDangerHover;
extern const QString kDangerPressed;
extern const QString kDangerToolHover;
extern const QString kDangerToolPressed;
extern const QString kSuccess;
extern const QString kWarning;

extern const QString kMutedTextStyle;
extern const QString kMutedTinyTextStyle;
extern const QString kMutedSmallTextStyle;
extern const QString kMutedSmallTopTextStyle;
extern const QString kMutedMediumTextStyle;
extern const QString kSuccessSmallTextStyle;
extern const QString kDangerSmallTextStyle;
extern const QString kFaintSmallTextStyle;
extern const QString kBoldStyle;
extern const QString kBoldMediumStyle;
extern const QString kBoldTopMarginStyle;
extern const QString kBoldSmallTopMarginStyle;
extern const QString kSmallFontStyle;
extern const QString kMediumFontStyle;
extern const QString kLargeFontStyle;
extern const QString kMonospaceStyle;

// Replaces every "@token" of the palette by its colour. A token is replaced
// before any shorter token that is its prefix, so "@control-border-disabled"
// never turns into "#40485a-disabled".
QString applyThemeTokens(const char* utf8Template);

// Tabs drawn by a row of checkable push buttons; `addButtonName` is the object
// name of the row's "+" button, which gets an accent outline.
QString tabButtonBarStyle(const QString& addButtonName);
const QString& horizontalScrollAreaStyle();
const QString& tabWidgetStyle();
// Two buttons named "segmentedLeft" and "segmentedRight" side by side.
const QString& segmentedControlStyle();

const QString& smallOutlineButtonStyle();
const QString& outlineListButtonStyle();
const QString& dangerButtonStyle();
const QString& accentActionButtonStyle();
const QString& accentToolButtonStyle();
const QString& smallDangerButtonStyle();
const QString& neutralButtonStyle();
const QString& dangerToolButtonStyle();
const QString& iconToolButtonStyle();
const QString& compactButtonStyle();
const QString& secondaryButtonStyle();
const QString& accentSmallButtonStyle();
const QString& boldSecondaryButtonStyle();
const QString& checkableToolButtonStyle();
const QString& menuToolButtonStyle();
const QString& dangerTextButtonStyle();
const QString& hintLabelStyle();
const QString& successHintLabelStyle();
const QString& warningHintLabelStyle();
const QString& sectionLabelStyle();
const QString& infoBoxLabelStyle();
const QString& selectionHighlightStyle();
const QString& highlightedInfoLabelStyle();
const QString& separatorStyle();
const QString& scrollAreaStyle();
const QString& monospaceAccentStyle();

}  // namespace tavro::gui
