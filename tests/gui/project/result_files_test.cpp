#include "gui/project/result_files.h"
#include "support/temp_dir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

namespace tavro::gui {

TEST(ResultFiles, CriterionNamesBecomeFileNameSlugs) {
    EXPECT_EQ(criterionSlug(QStringLiteral("Max Shear")), QStringLiteral("max_shear"));
    EXPECT_EQ(criterionSlug(QStringLiteral("Crit #1 (x)")), QStringLiteral("crit_1_x"));
    EXPECT_EQ(criterionSlug(QStringLiteral("\u00c9quivalent")), QStringLiteral("quivalent"));
    EXPECT_EQ(resultFilePath(QStringLiteral("/p"), kDisplacementsFolder, QStringLiteral("specimen.run2"),
                             QStringLiteral("_ux")),
              QStringLiteral("/p/Displacements/specimen.run2_ux.tif"));
}

TEST(ResultFiles, NamesThatWouldShareFilesAreListedOnce) {
    EXPECT_TRUE(clashingResultNames({QStringLiteral("a"), QStringLiteral("b")}).isEmpty());
    EXPECT_EQ(clashingResultNames({QStringLiteral("x"), QStringLiteral("y"), QStringLiteral("X"), QStringLiteral("x")}),
              (QStringList{QStringLiteral("x"), QStringLiteral("X")}));
}

TEST(ResultFiles, OnlyFilesDirectlyInsideTheResultFoldersCount) {
    const testing::TempDir dir("tavro_results");
    const QString folder = QString::fromStdString(dir.path().string());
    EXPECT_TRUE(existingResultFiles(folder).isEmpty());
    QDir root(folder);
    ASSERT_TRUE(root.mkpath(QStringLiteral("Rupture/inner")));
    ASSERT_TRUE(root.mkpath(QStringLiteral("Other")));
    ASSERT_TRUE(root.mkpath(QStringLiteral("Strains")));
    for (const char* name : {"Rupture/inner/deep.tif", "Other/x.tif", "parameters.json"}) {
        QFile file(root.filePath(QString::fromLatin1(name)));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    EXPECT_TRUE(existingResultFiles(folder).isEmpty()) << "sub-folders and other folders are not results";
    QFile legacy(root.filePath(QStringLiteral("Rupture/old_cox.tif")));
    ASSERT_TRUE(legacy.open(QIODevice::WriteOnly));
    EXPECT_EQ(existingResultFiles(folder), QStringList{root.filePath(QStringLiteral("Rupture/old_cox.tif"))});
}

// A kill during a write leaves its temporary file: it is no result, and the
// next opening or run removes it, and nothing else.
TEST(ResultFiles, TemporaryFilesOfInterruptedWritesAreNoResultsAndAreRemoved) {
    const testing::TempDir dir("tavro_results");
    const QString folder = QString::fromStdString(dir.path().string());
    QDir root(folder);
    ASSERT_TRUE(root.mkpath(QStringLiteral("Displacements")));
    const QStringList leftovers{QStringLiteral("Displacements/.def_1_ux.tif.0123456789abcdef.tmp"),
                                QStringLiteral(".parameters.json.fedcba9876543210.tmp")};
    const QStringList kept{QStringLiteral("Displacements/def_1_ux.tif"), QStringLiteral("Displacements/.notes.tmp"),
                           QStringLiteral("other.0123456789abcdef.tmp")};
    for (const QString& name : leftovers + kept) {
        QFile file(root.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    // A link under such a name is not ours to remove, nor what it names.
    const QString linked = root.filePath(QStringLiteral("Displacements/.x.tif.00000000000000aa.tmp"));
    ASSERT_TRUE(QFile::link(root.filePath(QStringLiteral("other.0123456789abcdef.tmp")), linked));
    EXPECT_EQ(existingResultFiles(folder).size(), 2) << "the real result and the notes";
    EXPECT_EQ(removeLeftoverTemporaryFiles(folder), 2);
    for (const QString& name : leftovers)
        EXPECT_FALSE(QFile::exists(root.filePath(name))) << name.toStdString();
    for (const QString& name : kept)
        EXPECT_TRUE(QFile::exists(root.filePath(name))) << name.toStdString();
    EXPECT_TRUE(QFileInfo(linked).isSymLink());
    EXPECT_EQ(removeLeftoverTemporaryFiles(QString()), 0);
}

TEST(ResultFiles, AGridIsPlacedInTheGridThatCoversTheWholeImage) {
    ResultGeometry g;
    g.roi = QRect(100, 60, 800, 600);
    g.stepX = g.stepY = 8;
    g.windowSizeX = g.windowSizeY = 21;
    g.marginX = 6;
    g.marginY = 4;
    g.imageWidth = 2000;
    g.imageHeight = 1500;
    GridCanvas canvas;
    ASSERT_TRUE(fullImageGridLayout(97, 71, g, canvas));
    EXPECT_EQ(canvas.offsetX, (100 + 10 + 6) / 8);
    EXPECT_EQ(canvas.offsetY, (60 + 10 + 4) / 8);
    EXPECT_EQ(canvas.width, (2000 - 1 + 8) / 8);
    EXPECT_EQ(canvas.height, (1500 - 1 + 8) / 8);
    // A grid that already spans the image needs no canvas.
    g.roi = QRect(0, 0, 32, 32);
    g.windowSizeX = g.windowSizeY = 5;
    g.marginX = g.marginY = 1;
    g.imageWidth = g.imageHeight = 32;
    EXPECT_FALSE(fullImageGridLayout(4, 4, g, canvas));
    g.stepX = 0;
    EXPECT_FALSE(fullImageGridLayout(97, 71, g, canvas));
}

}  // namespace tavro::gui
