// The parameters.json and user_defaults.json writers in folders that may come
// from anywhere. These tests run as root: every special file they point a
// writer at is one they made in their own temporary folder.
#include "gui/project/project_parameters.h"
#include "gui/project/user_defaults.h"
#include "platform/replaced_file.h"

#include "support/file_size_limit.h"
#include "support/folder_swapper.h"
#include "support/temp_dir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tavro::gui {

namespace {

QString qpath(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

QByteArray encoded(const QString& path) { return QFile::encodeName(path); }

void put(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QByteArray contentOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// `content` at `target` and a link at `link` whose text is `text`, both
// under `root`, their folders made first.
void linkedFile(const QDir& root, const QString& target, const QString& link, const QString& text,
                const QByteArray& content) {
    ASSERT_TRUE(root.mkpath(QFileInfo(root.filePath(target)).path()));
    ASSERT_TRUE(root.mkpath(QFileInfo(root.filePath(link)).path()));
    put(root.filePath(target), content);
    ASSERT_TRUE(QFile::link(text, root.filePath(link)));
}

struct stat lstatOf(const QString& path) {
    struct stat info {};
    ::lstat(encoded(path).constData(), &info);
    return info;
}

}  // namespace

TEST(ProjectFileWriters, NonRegularTargetsAreRefusedAndLeftAsTheyWere) {
    const testing::TempDir dir("tavro_writers");
    const QDir folder(qpath(dir.path()));
    const QString fifo = folder.filePath(QStringLiteral("fifo"));
    ASSERT_EQ(::mkfifo(encoded(fifo).constData(), 0600), 0);
    // The null device's numbers, on a node of our own: a faulty writer can
    // only ever replace this node, never the system's.
    const QString device = folder.filePath(QStringLiteral("null"));
    const bool haveDevice = ::mknod(encoded(device).constData(), S_IFCHR | 0666, makedev(1, 3)) == 0;
    ASSERT_TRUE(QFile::link(QStringLiteral("fifo"), folder.filePath(QStringLiteral("to_fifo.json"))));
    if (haveDevice) {
        ASSERT_TRUE(QFile::link(QStringLiteral("null"), folder.filePath(QStringLiteral("to_device.json"))));
    }
    ASSERT_TRUE(QFile::link(QStringLiteral("loop_b.json"), folder.filePath(QStringLiteral("loop_a.json"))));
    ASSERT_TRUE(QFile::link(QStringLiteral("loop_a.json"), folder.filePath(QStringLiteral("loop_b.json"))));

    QStringList targets{fifo, QStringLiteral("to_fifo.json"), QStringLiteral("loop_a.json")};
    if (haveDevice)
        targets << QStringLiteral("to_device.json");
    for (QString path : targets) {
        path = folder.filePath(path);
        SCOPED_TRACE(path.toStdString());
        QString error;
        EXPECT_FALSE(writeProjectParametersFile(path, ProjectParameters(), error));
        EXPECT_FALSE(error.isEmpty());
        error.clear();
        EXPECT_FALSE(writeUserDefaults(path, builtinDerivativeKernels(), {}, {}, error));
        EXPECT_FALSE(error.isEmpty());
    }
    QString error;
    writeProjectParametersFile(fifo, ProjectParameters(), error);
    EXPECT_EQ(error, QStringLiteral("not a regular file"));
    EXPECT_TRUE(S_ISFIFO(lstatOf(fifo).st_mode));
    for (const char* link : {"to_fifo.json", "loop_a.json", "loop_b.json"})
        EXPECT_TRUE(S_ISLNK(lstatOf(folder.filePath(QLatin1String(link))).st_mode)) << link;
    if (haveDevice) {
        const struct stat node = lstatOf(device);
        EXPECT_TRUE(S_ISCHR(node.st_mode));
        EXPECT_EQ(node.st_rdev, makedev(1, 3));
        EXPECT_TRUE(S_ISLNK(lstatOf(folder.filePath(QStringLiteral("to_device.json"))).st_mode));
    }
    EXPECT_EQ(folder.entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot).size(),
              haveDevice ? 6 : 4);
}

TEST(ProjectFileWriters, ALinkKeepsPointingAtTheFileItsTargetBecomes) {
    const testing::TempDir dir("tavro_writers");
    const QDir folder(qpath(dir.path()));
    ASSERT_TRUE(folder.mkdir(QStringLiteral("shared")));
    const QString stored = folder.filePath(QStringLiteral("shared/parameters.json"));
    put(stored, "{}");
    const QString link = folder.filePath(QStringLiteral("parameters.json"));
    ASSERT_TRUE(QFile::link(QStringLiteral("shared/parameters.json"), link));
    ProjectParameters p;
    p.windowSizeX = 33;
    QString error;
    ASSERT_TRUE(writeProjectParametersFile(link, p, error)) << error.toStdString();
    EXPECT_TRUE(S_ISLNK(lstatOf(link).st_mode));
    EXPECT_TRUE(contentOf(stored).contains("\"windowSizeX\": 33"));
}

TEST(ProjectFileWriters, AReplacedFileKeepsItsModeAndOwner) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "giving a file to another user needs root";
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const testing::TempDir dir("tavro_writers");
    const QDir folder(qpath(dir.path()));
    const QString parameters = folder.filePath(QStringLiteral("parameters.json"));
    const QString defaults = folder.filePath(QStringLiteral("user_defaults.json"));
    for (const QString& path : {parameters, defaults}) {
        put(path, "{}");
        ASSERT_EQ(::chown(encoded(path).constData(), nobody->pw_uid, nobody->pw_gid), 0);
        ASSERT_EQ(::chmod(encoded(path).constData(), 0640), 0);
    }
    QString error;
    ASSERT_TRUE(writeProjectParametersFile(parameters, ProjectParameters(), error)) << error.toStdString();
    ASSERT_TRUE(writeUserDefaults(defaults, builtinDerivativeKernels(), {}, {}, error)) << error.toStdString();
    for (const QString& path : {parameters, defaults}) {
        const struct stat after = lstatOf(path);
        EXPECT_EQ(after.st_mode & 07777, 0640u) << path.toStdString();
        EXPECT_EQ(after.st_uid, nobody->pw_uid) << path.toStdString();
        EXPECT_EQ(after.st_gid, nobody->pw_gid) << path.toStdString();
        EXPECT_GT(contentOf(path).size(), 2);
    }
}

// Root may write any file; one its owner made read-only is still not
// replaced, and the save says so.
TEST(ProjectFileWriters, AReadOnlyFileIsNotReplacedWhoeverWrites) {
    const testing::TempDir dir("tavro_writers");
    const QDir folder(qpath(dir.path()));
    const QString parameters = folder.filePath(QStringLiteral("parameters.json"));
    const QString defaults = folder.filePath(QStringLiteral("user_defaults.json"));
    for (const QString& path : {parameters, defaults}) {
        put(path, "{\"kept\": 1}");
        ASSERT_EQ(::chmod(encoded(path).constData(), 0444), 0);
    }
    QString error;
    EXPECT_FALSE(writeProjectParametersFile(parameters, ProjectParameters(), error));
    EXPECT_EQ(error, QStringLiteral("the file is read-only"));
    EXPECT_FALSE(writeUserDefaults(defaults, builtinDerivativeKernels(), {}, {}, error));
    EXPECT_EQ(error, QStringLiteral("cannot write %1: the file is read-only").arg(defaults));
    for (const QString& path : {parameters, defaults}) {
        EXPECT_EQ(contentOf(path), QByteArray("{\"kept\": 1}")) << path.toStdString();
        EXPECT_EQ(lstatOf(path).st_mode & 07777, 0444u) << path.toStdString();
    }
    EXPECT_EQ(folder.entryList(QDir::Files | QDir::Hidden).size(), 2);
}

// Replacing a file gives it to the writer: anyone but root needs to be able
// to write the file itself, whatever the folder allows. Root keeps the rule
// of the owner's write bit.
TEST(ReplaceableFile, OnlyAWriterWhoMayWriteTheFileItselfReplacesIt) {
    constexpr uid_t root = 0, user = 1000, other = 2000;
    EXPECT_TRUE(platform::mayReplaceFile(root, other, 0644, true));
    EXPECT_TRUE(platform::mayReplaceFile(root, other, 0604, true));
    EXPECT_FALSE(platform::mayReplaceFile(root, other, 0444, true));
    EXPECT_FALSE(platform::mayReplaceFile(root, root, 0466, true));
    EXPECT_TRUE(platform::mayReplaceFile(user, user, 0644, true));
    EXPECT_FALSE(platform::mayReplaceFile(user, user, 0444, false));
    EXPECT_FALSE(platform::mayReplaceFile(user, other, 0644, false));
    EXPECT_TRUE(platform::mayReplaceFile(user, other, 0666, true));
    EXPECT_FALSE(platform::mayReplaceFile(user, other, 0466, true));
}

TEST(ProjectFileWriters, AnotherUsersFileInAWritableFolderIsNotReplaced) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "acting as two other users needs root";
    constexpr uid_t owner = 23456, writer = 12345;
    const testing::TempDir dir("tavro_writers");
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    const QString parameters = qpath(dir.file("parameters.json"));
    put(parameters, "{\"kept\": 1}");
    ASSERT_EQ(::chown(encoded(parameters).constData(), owner, owner), 0);
    ASSERT_EQ(::chmod(encoded(parameters).constData(), 0644), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setresgid(writer, writer, writer) != 0 || ::setresuid(writer, writer, writer) != 0)
            ::_exit(3);
        QString error;
        if (writeProjectParametersFile(parameters, ProjectParameters(), error))
            ::_exit(1);
        ::_exit(error == QStringLiteral("the file is read-only") ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: replaced, 2: refused for another reason, 3: could not change user";
    EXPECT_EQ(contentOf(parameters), QByteArray("{\"kept\": 1}"));
    EXPECT_EQ(lstatOf(parameters).st_uid, owner);
    EXPECT_EQ(QDir(qpath(dir.path())).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

// A project folder received from elsewhere may hold links: a save follows
// one only while its end stays inside the project folder, and otherwise
// leaves the link and the file it leads to as they were.
TEST(ProjectFileWriters, ALinkLeadingOutOfTheProjectFolderIsRefusedAndBothAreKept) {
    const testing::TempDir dir("tavro_writers");
    const QDir root(qpath(dir.path()));
    linkedFile(root, QStringLiteral("system/passwd"), QStringLiteral("project/parameters.json"),
               QStringLiteral("../system/passwd"), "root:x:0:0");
    const QString victim = root.filePath(QStringLiteral("system/passwd"));
    const QString link = root.filePath(QStringLiteral("project/parameters.json"));
    QString error;
    EXPECT_FALSE(writeProjectParametersFile(link, ProjectParameters(), error));
    EXPECT_EQ(error, QStringLiteral("it leads to %1, outside the folder %2; it was left as it was")
                         .arg(QFileInfo(victim).canonicalFilePath(),
                              QFileInfo(root.filePath(QStringLiteral("project"))).canonicalFilePath()));
    EXPECT_EQ(contentOf(victim), QByteArray("root:x:0:0"));
    EXPECT_TRUE(S_ISLNK(lstatOf(link).st_mode));

    // A dangling link out of the folder creates nothing there either.
    ASSERT_TRUE(QFile::remove(link));
    ASSERT_TRUE(QFile::link(QStringLiteral("../system/created"), link));
    EXPECT_FALSE(writeProjectParametersFile(link, ProjectParameters(), error));
    EXPECT_FALSE(QFileInfo::exists(root.filePath(QStringLiteral("system/created"))));

    // Reached through a link, the project folder is still itself.
    ASSERT_TRUE(QFile::remove(link));
    ASSERT_TRUE(QFile::link(QStringLiteral("project"), root.filePath(QStringLiteral("alias"))));
    EXPECT_TRUE(writeProjectParametersFile(root.filePath(QStringLiteral("alias/parameters.json")), ProjectParameters(),
                                           error))
        << error.toStdString();
    EXPECT_TRUE(QFileInfo(link).isFile());
}

// Deleting and renumbering results reach only the project's own files: a
// result folder that is a link out of the project, or a link under a result's
// name, is left as it is with its target.
TEST(ProjectFileWriters, RemovalsAndRenamesNeverActThroughALink) {
    const testing::TempDir dir("tavro_writers");
    const QDir root(qpath(dir.path()));
    linkedFile(root, QStringLiteral("outside/mosaic_state_2_ux.tif"), QStringLiteral("project/Displacements"),
               QStringLiteral("../outside"), "theirs");
    put(root.filePath(QStringLiteral("outside/mosaic_state_3_ux.tif")), "theirs too");
    linkedFile(root, QStringLiteral("outside/kept.tif"), QStringLiteral("project/Strains/load_exx.tif"),
               QStringLiteral("../../outside/kept.tif"), "kept");
    const std::string project = encoded(root.filePath(QStringLiteral("project"))).toStdString();
    std::string error;

    EXPECT_FALSE(platform::removeFileBeneath(project, "Displacements/mosaic_state_2_ux.tif", error));
    EXPECT_FALSE(platform::renameFileBeneath(project, "Displacements/mosaic_state_3_ux.tif",
                                             "Displacements/mosaic_state_2_ux.tif", error));
    EXPECT_FALSE(platform::removeFileBeneath(project, "Strains/load_exx.tif", error));
    EXPECT_FALSE(platform::removeFileBeneath(project, "../outside/kept.tif", error));
    EXPECT_EQ(contentOf(root.filePath(QStringLiteral("outside/mosaic_state_2_ux.tif"))), QByteArray("theirs"));
    EXPECT_EQ(contentOf(root.filePath(QStringLiteral("outside/mosaic_state_3_ux.tif"))), QByteArray("theirs too"));
    EXPECT_EQ(contentOf(root.filePath(QStringLiteral("outside/kept.tif"))), QByteArray("kept"));
    EXPECT_TRUE(S_ISLNK(lstatOf(root.filePath(QStringLiteral("project/Strains/load_exx.tif"))).st_mode));

    // The project's own files go and move; a missing one is no failure.
    ASSERT_TRUE(root.mkpath(QStringLiteral("project/Height")));
    put(root.filePath(QStringLiteral("project/Height/state_003_uz.tif")), "three");
    EXPECT_TRUE(platform::renameFileBeneath(project, "Height/state_003_uz.tif", "Height/state_002_uz.tif", error))
        << error;
    EXPECT_EQ(contentOf(root.filePath(QStringLiteral("project/Height/state_002_uz.tif"))), QByteArray("three"));
    EXPECT_TRUE(platform::removeFileBeneath(project, "Height/state_002_uz.tif", error)) << error;
    EXPECT_FALSE(QFileInfo::exists(root.filePath(QStringLiteral("project/Height/state_002_uz.tif"))));
    EXPECT_TRUE(platform::removeFileBeneath(project, "Fracture/none_cox.tif", error)) << error;
}

// The per-user file may be a link inside the configuration folder, never out
// of it; a malformed one is moved aside at the end of the link, which stays.
TEST(UserDefaultsWriter, ALinkInsideTheConfigurationFolderIsKeptAndOneOutOfItRefused) {
    const testing::TempDir dir("tavro_writers");
    const QDir root(qpath(dir.path()));
    ASSERT_TRUE(root.mkpath(QStringLiteral("elsewhere")));
    linkedFile(root, QStringLiteral("config/kept/defaults.json"), QStringLiteral("config/user_defaults.json"),
               QStringLiteral("kept/defaults.json"), "{ not json");
    const QString stored = root.filePath(QStringLiteral("config/kept/defaults.json"));
    const QString link = root.filePath(QStringLiteral("config/user_defaults.json"));
    QString error;
    ASSERT_TRUE(writeUserDefaults(link, builtinDerivativeKernels(), {}, {}, error)) << error.toStdString();
    EXPECT_TRUE(S_ISLNK(lstatOf(link).st_mode));
    EXPECT_EQ(contentOf(stored + QStringLiteral(".bak")), QByteArray("{ not json"));
    EXPECT_TRUE(contentOf(stored).contains("derivativeKernels"));
    EXPECT_FALSE(QFileInfo::exists(link + QStringLiteral(".bak")));

    const QString outside = root.filePath(QStringLiteral("elsewhere/file"));
    put(outside, "{ not json");
    ASSERT_TRUE(QFile::remove(link));
    ASSERT_TRUE(QFile::link(QStringLiteral("../elsewhere/file"), link));
    EXPECT_FALSE(writeUserDefaults(link, builtinDerivativeKernels(), {}, {}, error));
    EXPECT_TRUE(error.contains(QStringLiteral(", outside the folder "))) << error.toStdString();
    EXPECT_EQ(contentOf(outside), QByteArray("{ not json"));
    EXPECT_EQ(QDir(root.filePath(QStringLiteral("elsewhere"))).entryList(QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral("file")});
    EXPECT_TRUE(S_ISLNK(lstatOf(link).st_mode));
}

TEST(ProjectFileWriters, AFileSizeLimitFailsTheWriteInsteadOfEndingTheProcess) {
    const testing::TempDir dir("tavro_writers");
    const QDir folder(qpath(dir.path()));
    const QString path = folder.filePath(QStringLiteral("parameters.json"));
    put(path, "{\"windowSizeX\": 41}");
    ProjectParameters p;
    for (int i = 0; i < 100; ++i)
        p.deformedImages << folder.filePath(QStringLiteral("images/deformed_%1.tif").arg(i));
    QString error;
    bool written = true;
    {
        const testing::ScopedFileSizeLimit limit(512, SIG_DFL);
        written = writeProjectParametersFile(path, p, error);
    }
    EXPECT_FALSE(written);
    EXPECT_EQ(error, QString::fromLocal8Bit(std::strerror(EFBIG)));
    EXPECT_EQ(contentOf(path), QByteArray("{\"windowSizeX\": 41}"));
    EXPECT_EQ(folder.entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("parameters.json")});
}

// The reader refuses a parameters file over its limit: the writer must not
// leave one in place of a project that could still be opened.
TEST(ProjectFileWriters, AProjectTooLargeToReopenIsNotWritten) {
    const testing::TempDir dir("tavro_writers");
    const QDir folder(qpath(dir.path()));
    const QString path = folder.filePath(QStringLiteral("parameters.json"));
    ProjectParameters p;
    p.deformedImages << folder.filePath(QStringLiteral("d.tif"));
    QString error;
    ASSERT_TRUE(writeProjectParametersFile(path, p, error));
    const QByteArray small = contentOf(path);

    // Each entry adds the same number of bytes: the count that just passes
    // the limit follows from two sizes.
    const QString name = folder.filePath(QString(200, QLatin1Char('x')) + QStringLiteral(".tif"));
    const qsizetype base = formatProjectParameters(p, folder).size();
    p.deformedImages << name;
    const qsizetype entry = formatProjectParameters(p, folder).size() - base;
    const qsizetype count = (static_cast<qsizetype>(kMaxParametersFileBytes) - base) / entry + 1;
    for (qsizetype i = 1; i < count; ++i)
        p.deformedImages << name;
    ASSERT_GT(formatProjectParameters(p, folder).size(), static_cast<qsizetype>(kMaxParametersFileBytes));
    EXPECT_FALSE(writeProjectParametersFile(path, p, error));
    EXPECT_TRUE(error.contains(QString::number(kMaxParametersFileBytes))) << error.toStdString();
    EXPECT_EQ(contentOf(path), small);

    // One entry fewer fits, and reads back.
    p.deformedImages.removeLast();
    ASSERT_TRUE(writeProjectParametersFile(path, p, error)) << error.toStdString();
    ProjectParameters read;
    ProjectReadFailure failure = ProjectReadFailure::None;
    EXPECT_TRUE(readProjectParametersFile(path, ProjectReadDefaults(), read, error, failure)) << error.toStdString();
    EXPECT_EQ(read.deformedImages.size(), p.deformedImages.size());
}

// The JSON writers share the TIFF writers' guard: a folder of the path
// swapped for a link to one outside, back and forth while the same file is
// saved again and again, never lets a save write outside.
TEST(ProjectFileWriters, AFolderSwappedForALinkWhileSavingNeverLeadsASaveOutside) {
    const testing::TempDir dir("tavro_writers");
    const QDir root(qpath(dir.path()));
    ASSERT_TRUE(root.mkpath(QStringLiteral("project/Mosaic")));
    ASSERT_TRUE(root.mkpath(QStringLiteral("outside")));
    const std::string project = encoded(root.filePath(QStringLiteral("project"))).toStdString();
    const std::string folder = project + "/Mosaic";
    const std::string outside = encoded(root.filePath(QStringLiteral("outside"))).toStdString();
    testing::FolderSwapper swapper(folder, outside, "../outside");
    const QDir outsideFolder(qpath(outside));
    const auto everything = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
    int saves = 0;
    for (; saves < 1500 && outsideFolder.isEmpty(everything); ++saves) {
        std::string error;
        platform::replaceFileContents(folder + "/parameters.json", "{}", error, project);
    }
    swapper.stop();
    EXPECT_EQ(saves, 1500) << "a save reached the outside folder";
    EXPECT_GT(swapper.swaps(), 0);
    EXPECT_EQ(outsideFolder.entryList(everything), QStringList());
    std::string error;
    EXPECT_TRUE(platform::replaceFileContents(folder + "/parameters.json", "{}", error, project)) << error;
}

TEST(LeftoverTemporaryName, MatchesOnlyWhatOurWritersName) {
    const testing::TempDir dir("tavro_writers");
    const std::string target = (dir.path() / "parameters.json").string();
    const platform::ReplacementFile temporary(target);
    const std::string name = temporary.path().substr(temporary.path().rfind('/') + 1);
    EXPECT_TRUE(platform::isLeftoverTemporaryName(name)) << name;
    EXPECT_TRUE(platform::isLeftoverTemporaryName(".ref_ux.tif.0123456789abcdef.tmp"));
    for (const char* other : {"parameters.json", ".hidden.tmp", ".x.0123456789abcde.tmp", ".x.0123456789ABCDEF.tmp",
                              "x.0123456789abcdef.tmp", "..0123456789abcdef.tmp", ".x.0123456789abcdef.tif"})
        EXPECT_FALSE(platform::isLeftoverTemporaryName(other)) << other;
}

}  // namespace tavro::gui
