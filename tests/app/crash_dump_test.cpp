#include "app/crash_reporter.h"

#include "support/temp_dir.h"

#include <QFile>
#include <QFileInfo>
#include <QString>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The dump's name is predictable (application and second of the crash): a link
// planted there must not make the crashing program overwrite the link's target.
TEST(CrashDumpFile, ATakenNameIsNeverOpenedAndTheNextFreeOneIsCreated) {
    tavro::testing::TempDir dir("tavro_dump");
    const QString folder = QString::fromStdString(dir.path().string());
    const QString stem = folder + QStringLiteral("/Tavro2D_20260101_120000");
    const QString victim = folder + QStringLiteral("/victim.txt");
    QFile file(victim);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("precious");
    file.close();
    ASSERT_TRUE(QFile::link(victim, stem + QStringLiteral(".dmp")));
    ASSERT_TRUE(QFile::link(folder + QStringLiteral("/missing"), stem + QStringLiteral("_2.dmp")));

    char path[4096];
    const int fd = tavro::app::detail::createDumpFile(QFile::encodeName(stem).constData(), path, sizeof path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "dump", 4), 4);
    close(fd);
    EXPECT_EQ(QFile::decodeName(path), stem + QStringLiteral("_3.dmp"));
    EXPECT_EQ(readAll(stem + QStringLiteral("_3.dmp")), QByteArray("dump"));
    EXPECT_EQ(readAll(victim), QByteArray("precious"));
    EXPECT_FALSE(QFileInfo::exists(folder + QStringLiteral("/missing")));
    EXPECT_TRUE(QFileInfo(stem + QStringLiteral(".dmp")).isSymLink());
}

}  // namespace
