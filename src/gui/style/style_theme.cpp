#include "gui/style/style_theme.h"

#include "platform/regular_file.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <array>
#include <cstddef>
#include <string>
#include <utility>

namespace tavro::gui {

namespace {

// Far beyond any theme; a bound, so that a huge file is refused rather than read.
constexpr std::size_t kMaxThemeBytes = 4u << 20;

struct ColorKey {
    const char* name;
    QColor StyleTheme::*member;
};

const std::array kColorKeys{
    ColorKey{"backgroundColorMain1", &StyleTheme::backgroundColorMain1},
    ColorKey{"backgroundColorMain2", &StyleTheme::backgroundColorMain2},
    ColorKey{"backgroundColorMain3", &StyleTheme::backgroundColorMain3},
    ColorKey{"backgroundColorMain4", &StyleTheme::backgroundColorMain4},
    ColorKey{"backgroundColorWorkspace", &StyleTheme::backgroundColorWorkspace},
    ColorKey{"backgroundColorTabBar", &StyleTheme::backgroundColorTabBar},
    ColorKey{"borderColor", &StyleTheme::borderColor},
    ColorKey{"borderColorHovered", &StyleTheme::borderColorHovered},
    ColorKey{"borderColorPressed", &StyleTheme::borderColorPressed},
    ColorKey{"borderColorDisabled", &StyleTheme::borderColorDisabled},
    ColorKey{"focusColor", &StyleTheme::focusColor},
    ColorKey{"neutralColor", &StyleTheme::neutralColor},
    ColorKey{"neutralColorHovered", &StyleTheme::neutralColorHovered},
    ColorKey{"neutralColorPressed", &StyleTheme::neutralColorPressed},
    ColorKey{"neutralColorDisabled", &StyleTheme::neutralColorDisabled},
    ColorKey{"primaryColor", &StyleTheme::primaryColor},
    ColorKey{"primaryColorHovered", &StyleTheme::primaryColorHovered},
    ColorKey{"primaryColorPressed", &StyleTheme::primaryColorPressed},
    ColorKey{"primaryColorDisabled", &StyleTheme::primaryColorDisabled},
    ColorKey{"primaryColorForeground", &StyleTheme::primaryColorForeground},
    ColorKey{"primaryColorForegroundDisabled", &StyleTheme::primaryColorForegroundDisabled},
    ColorKey{"secondaryColor", &StyleTheme::secondaryColor},
    ColorKey{"secondaryColorDisabled", &StyleTheme::secondaryColorDisabled},
    ColorKey{"secondaryAlternativeColor", &StyleTheme::secondaryAlternativeColor},
    ColorKey{"secondaryAlternativeColorHovered", &StyleTheme::secondaryAlternativeColorHovered},
    ColorKey{"secondaryAlternativeColorDisabled", &StyleTheme::secondaryAlternativeColorDisabled},
    ColorKey{"semiTransparentColor1", &StyleTheme::semiTransparentColor1},
    ColorKey{"semiTransparentColor2", &StyleTheme::semiTransparentColor2},
    ColorKey{"shadowColor1", &StyleTheme::shadowColor1},
    ColorKey{"shadowColor3", &StyleTheme::shadowColor3},
    ColorKey{"statusColorError", &StyleTheme::statusColorError},
    ColorKey{"statusColorInfo", &StyleTheme::statusColorInfo},
    ColorKey{"statusColorSuccess", &StyleTheme::statusColorSuccess},
    ColorKey{"statusColorWarning", &StyleTheme::statusColorWarning},
};

bool isAsciiHexDigit(QChar c) {
    const char16_t u = c.unicode();
    return (u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'f') || (u >= u'A' && u <= u'F');
}

bool fail(QString* error, const QString& message) {
    if (error)
        *error = message;
    return false;
}

bool readColors(const QJsonObject& root, StyleTheme& theme, QString* error) {
    for (const ColorKey& key : kColorKeys) {
        const QJsonValue value = root.value(QLatin1String(key.name));
        if (value.isUndefined())
            continue;
        const std::optional<QColor> color = parseThemeColor(value.toString());
        if (!value.isString() || !color)
            return fail(error, QStringLiteral("Theme colour \"%1\" is not #RRGGBB or #RRGGBBAA.")
                                   .arg(QLatin1String(key.name)));
        theme.*key.member = *color;
    }
    return true;
}

void setBoth(QPalette& palette, QPalette::ColorRole role, const QColor& color) {
    palette.setColor(QPalette::Active, role, color);
    palette.setColor(QPalette::Inactive, role, color);
}

}  // namespace

std::optional<QColor> parseThemeColor(const QString& text) {
    if (!text.startsWith(QLatin1Char('#')) || (text.size() != 7 && text.size() != 9))
        return std::nullopt;
    // toUInt alone would also take a "0x" prefix, a sign or blanks.
    for (const QChar c : QStringView(text).mid(1)) {
        if (!isAsciiHexDigit(c))
            return std::nullopt;
    }
    bool ok = false;
    const uint value = QStringView(text).mid(1).toUInt(&ok, 16);
    if (!ok)
        return std::nullopt;
    if (text.size() == 7)
        return QColor::fromRgb((value >> 16) & 0xff, (value >> 8) & 0xff, value & 0xff);
    return QColor::fromRgb((value >> 24) & 0xff, (value >> 16) & 0xff, (value >> 8) & 0xff,
                           value & 0xff);
}

QColor blendOver(const QColor& under, const QColor& over) {
    const double a = over.alphaF();
    return QColor::fromRgbF(static_cast<float>(over.redF() * a + under.redF() * (1.0 - a)),
                            static_cast<float>(over.greenF() * a + under.greenF() * (1.0 - a)),
                            static_cast<float>(over.blueF() * a + under.blueF() * (1.0 - a)));
}

std::optional<StyleTheme> StyleTheme::fromJson(const QByteArray& json, QString* error) {
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        fail(error, QStringLiteral("Theme is not valid JSON: %1.").arg(parseError.errorString()));
        return std::nullopt;
    }
    if (!document.isObject()) {
        fail(error, QStringLiteral("Theme is not a JSON object."));
        return std::nullopt;
    }
    const QJsonObject root = document.object();
    StyleTheme theme;
    const QJsonObject meta = root.value(QLatin1String("meta")).toObject();
    theme.name = meta.value(QLatin1String("name")).toString(theme.name);
    theme.author = meta.value(QLatin1String("author")).toString();
    theme.version = meta.value(QLatin1String("version")).toString();
    if (!readColors(root, theme, error))
        return std::nullopt;
    return theme;
}

std::optional<StyleTheme> StyleTheme::fromFile(const QString& path, QString* error) {
    const auto cannotOpen = [&](const QString& reason) {
        fail(error, QStringLiteral("Cannot open theme \"%1\": %2.").arg(path, reason));
        return std::nullopt;
    };
    if (path.startsWith(QLatin1Char(':'))) {
        // A resource is ours and of known size.
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return cannotOpen(file.errorString());
        return fromJson(file.readAll(), error);
    }
    std::string reason;
    const platform::FileDescriptor fd =
        platform::openRegularFileForReading(QFile::encodeName(path).toStdString(), reason);
    std::string bytes;
    if (!fd || !platform::readAtMost(fd.get(), kMaxThemeBytes, bytes, reason))
        return cannotOpen(QString::fromLocal8Bit(reason));
    return fromJson(QByteArray::fromStdString(bytes), error);
}

QPalette StyleTheme::palette() const {
    QPalette p;
    setBoth(p, QPalette::Window, backgroundColorMain2);
    setBoth(p, QPalette::WindowText, secondaryColor);
    setBoth(p, QPalette::Base, backgroundColorMain1);
    setBoth(p, QPalette::AlternateBase, blendOver(backgroundColorMain1, semiTransparentColor1));
    setBoth(p, QPalette::ToolTipBase, backgroundColorMain3);
    setBoth(p, QPalette::ToolTipText, secondaryColor);
    setBoth(p, QPalette::PlaceholderText, secondaryAlternativeColor);
    setBoth(p, QPalette::Text, secondaryColor);
    setBoth(p, QPalette::Button, neutralColor);
    setBoth(p, QPalette::ButtonText, secondaryColor);
    setBoth(p, QPalette::BrightText, statusColorError);
    setBoth(p, QPalette::Light, neutralColorPressed);
    setBoth(p, QPalette::Midlight, neutralColorHovered);
    setBoth(p, QPalette::Mid, borderColor);
    setBoth(p, QPalette::Dark, backgroundColorWorkspace);
    setBoth(p, QPalette::Shadow, shadowColor3);
    setBoth(p, QPalette::Highlight, primaryColor);
    setBoth(p, QPalette::HighlightedText, primaryColorForeground);
    setBoth(p, QPalette::Link, statusColorInfo);
    setBoth(p, QPalette::LinkVisited, primaryColorHovered);

    const auto disabled = [&p](QPalette::ColorRole role, const QColor& color) {
        p.setColor(QPalette::Disabled, role, color);
    };
    for (int role = 0; role < QPalette::NColorRoles; ++role) {
        const auto r = static_cast<QPalette::ColorRole>(role);
        if (r != QPalette::NoRole)
            disabled(r, p.color(QPalette::Active, r));
    }
    // Disabled texts take the grey of the style sheets' disabled text, so that
    // widgets drawn by the style and by sheets fade alike.
    disabled(QPalette::WindowText, primaryColorForegroundDisabled);
    disabled(QPalette::Text, primaryColorForegroundDisabled);
    disabled(QPalette::ButtonText, primaryColorForegroundDisabled);
    disabled(QPalette::HighlightedText, primaryColorForegroundDisabled);
    disabled(QPalette::PlaceholderText,
             blendOver(backgroundColorMain2, secondaryAlternativeColorDisabled));
    disabled(QPalette::Base, backgroundColorMain2);
    disabled(QPalette::AlternateBase, backgroundColorMain2);
    disabled(QPalette::Button, neutralColorDisabled);
    disabled(QPalette::Highlight, primaryColorDisabled);
    disabled(QPalette::Mid, borderColorDisabled);
    return p;
}

}  // namespace tavro::gui
