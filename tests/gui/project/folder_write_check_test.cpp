#include "gui/project/folder_write_check.h"
#include "support/file_size_limit.h"
#include "support/temp_dir.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

namespace tavro::gui {

TEST(FolderWriteCheck, AWritableFolderPassesAndKeepsNothing) {
    const testing::TempDir dir("tavro_probe");
    const QString folder = QString::fromStdString(dir.path().string());
    QString error;
    EXPECT_TRUE(probeFolderWritable(folder, error)) << error.toStdString();
    EXPECT_TRUE(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
    // Result folders that are not there yet are made by the run itself.
    EXPECT_TRUE(probeProjectWritable(folder, {QStringLiteral("Displacements")}, error));
    EXPECT_FALSE(probeFolderWritable(folder + QStringLiteral("/missing"), error));
}

TEST(FolderWriteCheck, AFailedWriteIsRefusedWithTheFolderAndTheReason) {
    const testing::TempDir dir("tavro_probe");
    const QString folder = QString::fromStdString(dir.path().string());
    QString error;
    {
        // The one way to fail a write as root, who ignores read-only folders.
        const testing::ScopedFileSizeLimit limit(0);
        EXPECT_FALSE(probeFolderWritable(folder, error));
    }
    EXPECT_TRUE(error.startsWith(QDir::toNativeSeparators(folder) + QStringLiteral(": "))) << error.toStdString();
    EXPECT_GT(error.size(), folder.size() + 2);

    // A result folder is tested when it exists, and a file in its place fails.
    QFile blocker(folder + QStringLiteral("/Displacements"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    EXPECT_FALSE(probeProjectWritable(folder, {QStringLiteral("Strains"), QStringLiteral("Displacements")}, error));
    EXPECT_TRUE(error.contains(QStringLiteral("Displacements"))) << error.toStdString();
}

}  // namespace tavro::gui
