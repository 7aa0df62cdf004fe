#include "gui/style/style_theme.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace tavro::gui {
namespace {

const QString kDarkTheme = QStringLiteral(":/themes/dark.json");

TEST(ParseThemeColor, ReadsAlphaFromTheLastTwoDigitsAndRefusesOtherForms) {
    EXPECT_EQ(parseThemeColor(QStringLiteral("#4778a96a")), QColor(0x47, 0x78, 0xa9, 0x6a));
    EXPECT_EQ(parseThemeColor(QStringLiteral("#1F2127")), QColor(0x1f, 0x21, 0x27));
    for (const char* text : {"", "#", "4778a9", "#4778a", "#4778a9f", "#4778a9zz", "#4778a96a00", "red", "#0x1234",
                             "#+12345", "# 12345", "#-12345", "#12345 ", "#0x12345678"})
        EXPECT_FALSE(parseThemeColor(QString::fromLatin1(text))) << text;
    EXPECT_FALSE(parseThemeColor(QStringLiteral("#12345") + QChar(0)));
}

TEST(StyleTheme, BuiltInColoursAreThoseOfTheDarkThemeFile) {
    QString error;
    std::optional<StyleTheme> loaded = StyleTheme::fromFile(kDarkTheme, &error);
    ASSERT_TRUE(loaded) << error.toStdString();
    EXPECT_EQ(loaded->name, QStringLiteral("Dark"));
    EXPECT_EQ(loaded->version, QStringLiteral("1.5.0"));
    EXPECT_FALSE(loaded->author.isEmpty());
    StyleTheme builtIn;
    builtIn.author = loaded->author;
    builtIn.version = loaded->version;
    EXPECT_EQ(*loaded, builtIn);
}

TEST(StyleTheme, KeysMissingFromAFileKeepTheDarkColours) {
    const std::optional<StyleTheme> theme =
        StyleTheme::fromJson(R"({"meta": {"name": "Red"}, "primaryColor": "#ff0000", "unknownKey": "#000000"})");
    ASSERT_TRUE(theme);
    EXPECT_EQ(theme->name, QStringLiteral("Red"));
    EXPECT_EQ(theme->primaryColor, QColor(255, 0, 0));
    EXPECT_EQ(theme->borderColor, StyleTheme().borderColor);
}

TEST(StyleTheme, RefusesMalformedInputNamingTheFault) {
    QString error;
    EXPECT_FALSE(StyleTheme::fromJson(R"({"borderColor": "#12"})", &error));
    EXPECT_TRUE(error.contains(QStringLiteral("borderColor"))) << error.toStdString();
    EXPECT_FALSE(StyleTheme::fromJson(R"({"focusColor": 12})", &error));
    EXPECT_TRUE(error.contains(QStringLiteral("focusColor"))) << error.toStdString();
    EXPECT_FALSE(StyleTheme::fromJson("[1, 2]", &error));
    EXPECT_FALSE(StyleTheme::fromJson("{ not json", &error));
    EXPECT_FALSE(StyleTheme::fromFile(QStringLiteral("/nonexistent/theme.json"), &error));
    EXPECT_TRUE(error.contains(QStringLiteral("/nonexistent/theme.json")));
}

TEST(StyleTheme, SpecialAndHugeFilesAreRefusedWithoutBlockingOrReadingOn) {
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("theme.fifo"));
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString huge = dir.filePath(QStringLiteral("huge.json"));
    QFile file(huge);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(8 << 20, ' ') + "{}");
    file.close();
    for (const QString& path : {fifo, QStringLiteral("/dev/zero"), dir.path(), huge}) {
        QString error;
        EXPECT_FALSE(StyleTheme::fromFile(path, &error)) << path.toStdString();
        EXPECT_TRUE(error.contains(path)) << error.toStdString();
    }
}

TEST(StyleThemePalette, EveryRoleIsOpaqueInactiveWindowsLookActiveAndAlternateRowsStandOut) {
    const QPalette p = StyleTheme().palette();
    for (int role = 0; role < QPalette::NColorRoles; ++role) {
        const auto r = static_cast<QPalette::ColorRole>(role);
        if (r == QPalette::NoRole)
            continue;
        for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
            EXPECT_EQ(p.color(group, r).alpha(), 255) << "role " << role << " group " << group;
        EXPECT_EQ(p.color(QPalette::Inactive, r), p.color(QPalette::Active, r)) << "role " << role;
    }
    // Alternate rows stand out from the base, slightly.
    const int lighter = p.color(QPalette::AlternateBase).lightness() - p.color(QPalette::Base).lightness();
    EXPECT_GT(lighter, 0);
    EXPECT_LT(lighter, 20);
}

}  // namespace
}  // namespace tavro::gui
