#pragma once

#include <QByteArray>
#include <QColor>
#include <QPalette>
#include <QString>

#include <optional>

namespace tavro::gui {

// The colours of a theme file that the application style draws with. A
// default-constructed theme holds the dark theme, so the style draws sensibly
// even before (or without) a theme file; keys absent from a file keep these.
struct StyleTheme {
    QString name = QStringLiteral("Dark");
    QString author;
    QString version;

    QColor backgroundColorMain1{0x1f, 0x21, 0x27};
    QColor backgroundColorMain2{0x28, 0x2b, 0x33};
    QColor backgroundColorMain3{0x33, 0x38, 0x48};
    QColor backgroundColorMain4{0x33, 0x38, 0x48};
    QColor backgroundColorWorkspace{0x17, 0x18, 0x1c};
    QColor backgroundColorTabBar{0x1e, 0x20, 0x26};

    QColor borderColor{0x40, 0x48, 0x5a};
    QColor borderColorHovered{0x4a, 0x56, 0x70};
    QColor borderColorPressed{0x5b, 0x6e, 0x98};
    QColor borderColorDisabled{0x2f, 0x34, 0x3f};
    QColor focusColor{0x47, 0x78, 0xa9, 0x6a};

    QColor neutralColor{0x4c, 0x53, 0x68};
    QColor neutralColorHovered{0x53, 0x5c, 0x78};
    QColor neutralColorPressed{0x5b, 0x66, 0x88};
    QColor neutralColorDisabled{0x2d, 0x31, 0x3b};

    QColor primaryColor{0x47, 0x78, 0xa9};
    QColor primaryColorHovered{0x4f, 0x82, 0xb5};
    QColor primaryColorPressed{0x3c, 0x66, 0x90};
    QColor primaryColorDisabled{0x2a, 0x2e, 0x38};
    QColor primaryColorForeground{0xff, 0xff, 0xff};
    QColor primaryColorForegroundDisabled{0x7d, 0x84, 0x96};

    QColor secondaryColor{0xff, 0xff, 0xff};
    QColor secondaryColorDisabled{0xff, 0xff, 0xff, 0x33};
    QColor secondaryAlternativeColor{0x67, 0x71, 0x8d};
    QColor secondaryAlternativeColorHovered{0x8b, 0x93, 0xab};
    QColor secondaryAlternativeColorDisabled{0x57, 0x5f, 0x76, 0x3f};

    QColor semiTransparentColor1{0xb7, 0xc9, 0xff, 0x18};
    QColor semiTransparentColor2{0xb7, 0xc9, 0xff, 0x23};
    QColor shadowColor1{0x00, 0x00, 0x00, 0x66};
    QColor shadowColor3{0x00, 0x00, 0x00, 0xff};

    QColor statusColorError{0xe9, 0x6b, 0x72};
    QColor statusColorInfo{0x1b, 0xa8, 0xd5};
    QColor statusColorSuccess{0x2b, 0xb5, 0xa0};
    QColor statusColorWarning{0xfb, 0xc0, 0x64};

    // Reads a theme object; colour keys not listed above are accepted and ignored.
    // Fails, naming the key, on a colour that is not "#RRGGBB" or "#RRGGBBAA".
    static std::optional<StyleTheme> fromJson(const QByteArray& json, QString* error = nullptr);
    static std::optional<StyleTheme> fromFile(const QString& path, QString* error = nullptr);

    // Every role of the three colour groups; Active and Inactive are identical so
    // that a window does not change colour when it loses focus.
    QPalette palette() const;

    bool operator==(const StyleTheme&) const = default;
};

// Theme files write alpha last ("#RRGGBBAA"); QColor's own parser reads eight
// hex digits as "#AARRGGBB", so it must not be used for them.
std::optional<QColor> parseThemeColor(const QString& text);

// The colour that `over` painted on the opaque `under` gives, opaque.
QColor blendOver(const QColor& under, const QColor& over);

}  // namespace tavro::gui
