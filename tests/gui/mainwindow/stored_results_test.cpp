#include "gui/mainwindow/stored_results.h"

#include "gui/mainwindow/result_writer.h"
#include "gui/project/result_files.h"
#include "images/image_write.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace tavro::gui {

namespace {

// A 3 x 2 result of `base` written as a run writes it.
ResultFilesJob job(const QString& folder, const QString& base) {
    ResultFilesJob out;
    out.projectFolder = folder;
    out.baseName = base;
    out.gridWidth = 3;
    out.gridHeight = 2;
    out.dispX = std::vector<float>(6, 0.3f);
    out.dispY = std::vector<float>(6, 0.4f);
    return out;
}

}  // namespace

TEST(StoredRigidShift, TheShiftOfARunComesBackExactlyFromItsDisplacementFiles) {
    QTemporaryDir dir;
    ResultFilesJob written = job(dir.path(), QStringLiteral("state_1"));
    // Values that a decimal text of fewer digits would not give back exactly.
    written.rigidShift = std::array<float, 2>{-12.0f, 0.1f + 1e-7f};
    ASSERT_TRUE(saveCorrelationResultFiles(written).isEmpty());
    const auto shift = storedRigidShift(dir.path(), QStringLiteral("state_1"));
    ASSERT_TRUE(shift);
    EXPECT_EQ((*shift)[0], -12.0f);
    EXPECT_EQ((*shift)[1], 0.1f + 1e-7f);

    ComputationResult unknown;
    unknown.display.rigidShiftUnknown = true;
    adoptStoredRigidShift(dir.path(), QStringLiteral("state_1"), unknown);
    EXPECT_FALSE(unknown.display.rigidShiftUnknown);
    EXPECT_EQ(unknown.rigid.shiftX, -12.0f);
    // A result the project file described keeps the file's shift.
    ComputationResult described;
    described.rigid.shiftX = 4.0f;
    adoptStoredRigidShift(dir.path(), QStringLiteral("state_1"), described);
    EXPECT_EQ(described.rigid.shiftX, 4.0f);
}

TEST(StoredRigidShift, FilesWithoutBothComponentsGiveNoShift) {
    QTemporaryDir dir;
    // An unknown shift, as for a pair whose every point failed, and files of older projects: no text.
    ASSERT_TRUE(saveCorrelationResultFiles(job(dir.path(), QStringLiteral("older"))).isEmpty());
    EXPECT_FALSE(storedRigidShift(dir.path(), QStringLiteral("older")));
    ComputationResult unknown;
    unknown.display.rigidShiftUnknown = true;
    adoptStoredRigidShift(dir.path(), QStringLiteral("older"), unknown);
    EXPECT_TRUE(unknown.display.rigidShiftUnknown);

    // Uy carrying Ux's component, or a text of another program.
    QString error;
    const std::vector<float> field(6, 0.0f);
    const auto write = [&](const char* suffix, const QByteArray& description) {
        ASSERT_TRUE(writeFloatTiff(resultFilePath(dir.path(), kDisplacementsFolder, QStringLiteral("odd"),
                                                  QString::fromLatin1(suffix)),
                                   3, 2, field, error, {}, {}, description))
            << error.toStdString();
    };
    write("_ux", rigidShiftDescription(0, 1.0f));
    write("_uy", rigidShiftDescription(0, 2.0f));
    EXPECT_FALSE(storedRigidShift(dir.path(), QStringLiteral("odd")));
    write("_uy", QByteArrayLiteral("ImageJ=1.54f"));
    EXPECT_FALSE(storedRigidShift(dir.path(), QStringLiteral("odd")));
    write("_uy", rigidShiftDescription(1, 2.0f));
    EXPECT_TRUE(storedRigidShift(dir.path(), QStringLiteral("odd")));
    QFile::remove(resultFilePath(dir.path(), kDisplacementsFolder, QStringLiteral("odd"), QStringLiteral("_uy")));
    EXPECT_FALSE(storedRigidShift(dir.path(), QStringLiteral("odd")));

    EXPECT_FALSE(rigidShiftFromDescription(0, QByteArrayLiteral("{\"rigidShiftX\":\"12\"}")));
    EXPECT_FALSE(rigidShiftFromDescription(0, QByteArrayLiteral("{\"rigidShiftX\":1e300}")));
    EXPECT_EQ(rigidShiftFromDescription(1, rigidShiftDescription(1, -7.0f)), -7.0f);
}

TEST(StoredResultParts, FilesOfAGroupWithoutTheRestAreNamedInWritingOrder) {
    QTemporaryDir dir;
    ASSERT_TRUE(saveCorrelationResultFiles(job(dir.path(), QStringLiteral("whole"))).isEmpty());
    EXPECT_TRUE(storedResultParts(dir.path(), QStringLiteral("whole")).incomplete.isEmpty());
    EXPECT_TRUE(storedResultParts(dir.path(), QStringLiteral("absent")).incomplete.isEmpty());

    ASSERT_TRUE(QFile::remove(resultFilePath(dir.path(), kDisplacementsFolder, QStringLiteral("whole"),
                                             QStringLiteral("_ux"))));
    const StoredResultParts half = storedResultParts(dir.path(), QStringLiteral("whole"));
    EXPECT_FALSE(half.displacements);
    EXPECT_EQ(half.incomplete, QStringList{QStringLiteral("whole_uy.tif")});
}

}  // namespace tavro::gui
