#include "images/image_write.h"

#include "images/image_io.h"

#include "test_files.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "support/folder_swapper.h"

#include <gtest/gtest.h>

#include <tiffio.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>
#include <thread>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavro::gui {
namespace {

using namespace fixtures;

QStringList entriesOf(const QTemporaryDir& dir)
{
    return QDir(dir.path()).entryList(QDir::Files | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
}

struct WrittenTags {
    std::uint32_t rowsPerStrip = 0;
    std::uint16_t compression = 0, predictor = 0, sampleFormat = 0, bits = 0, photometric = 0, orientation = 0;
    std::string software;
    bool bigTiff = false;
};

WrittenTags tagsOf(const QString& path)
{
    WrittenTags tags;
    TIFF* tif = TIFFOpen(QFile::encodeName(path).constData(), "r");
    if (tif == nullptr)
        return tags;
    TIFFGetField(tif, TIFFTAG_ROWSPERSTRIP, &tags.rowsPerStrip);
    TIFFGetField(tif, TIFFTAG_COMPRESSION, &tags.compression);
    TIFFGetField(tif, TIFFTAG_PREDICTOR, &tags.predictor);
    TIFFGetField(tif, TIFFTAG_SAMPLEFORMAT, &tags.sampleFormat);
    TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &tags.bits);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &tags.photometric);
    TIFFGetField(tif, TIFFTAG_ORIENTATION, &tags.orientation);
    char* software = nullptr;
    if (TIFFGetField(tif, TIFFTAG_SOFTWARE, &software) == 1)
        tags.software = software;
    tags.bigTiff = TIFFIsBigTIFF(tif) != 0;
    TIFFClose(tif);
    return tags;
}

TEST(FloatTiffWriter, WritesOneDeflateStripOfRowLengthRows)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("one.tif"));
    QString error;
    ASSERT_TRUE(writeFloatTiff(path, 1, 1, {2.5f}, error, {}));
    WrittenTags tags = tagsOf(path);
    EXPECT_EQ(tags.rowsPerStrip, 4u);
    EXPECT_EQ(tags.compression, COMPRESSION_ADOBE_DEFLATE);
    EXPECT_EQ(tags.predictor, PREDICTOR_NONE);
    EXPECT_EQ(tags.sampleFormat, SAMPLEFORMAT_IEEEFP);
    EXPECT_EQ(tags.bits, 32);
    EXPECT_EQ(tags.photometric, PHOTOMETRIC_MINISBLACK);
    EXPECT_EQ(tags.orientation, ORIENTATION_TOPLEFT);
    EXPECT_EQ(tags.software, "Tavro2D");
    EXPECT_FALSE(tags.bigTiff);

    ASSERT_TRUE(writeFloatTiff(path, 30, 7, std::vector<float>(210, 1.0f), error, {}));
    EXPECT_EQ(tagsOf(path).rowsPerStrip, 120u);
}

TEST(FloatTiffWriter, ADescriptionIsReadBackFromTheHeaderAndOnlyWhereOneWasGiven)
{
    QTemporaryDir dir;
    const QString described = dir.filePath(QStringLiteral("described.tif"));
    const QString plain = dir.filePath(QStringLiteral("plain.tif"));
    QString error;
    ASSERT_TRUE(writeFloatTiff(described, 2, 1, {0.5f, 1.5f}, error, {}, {}, QByteArrayLiteral("{\"a\":1}")));
    ASSERT_TRUE(writeFloatTiff(plain, 2, 1, {0.5f, 1.5f}, error, {}));
    QByteArray description = "untouched";
    EXPECT_FALSE(readFloatTiffDescription(plain, description));
    EXPECT_EQ(description, QByteArray("untouched"));
    ASSERT_TRUE(readFloatTiffDescription(described, description));
    EXPECT_EQ(description, QByteArray("{\"a\":1}"));
    std::uint32_t width = 0, height = 0;
    std::vector<float> values;
    ASSERT_TRUE(readFloatTiff(described, width, height, values, error)) << error.toStdString();
    EXPECT_EQ(values, (std::vector<float>{0.5f, 1.5f}));

    // Another program's long text, or a file that is no float image, gives none.
    const QString longer = dir.filePath(QStringLiteral("longer.tif"));
    ASSERT_TRUE(writeFloatTiff(longer, 1, 1, {0.0f}, error, {}, {},
                               QByteArray(qsizetype(kMaxFloatTiffDescription + 1), 'x')));
    EXPECT_FALSE(readFloatTiffDescription(longer, description));
    const QString gray = dir.filePath(QStringLiteral("gray.tif"));
    QImage image(2, 2, QImage::Format_Grayscale8);
    image.fill(7);
    ASSERT_TRUE(writeGrayTiff(gray, image, error, {}));
    EXPECT_FALSE(readFloatTiffDescription(gray, description));
    EXPECT_FALSE(readFloatTiffDescription(dir.filePath(QStringLiteral("absent.tif")), description));
}

TEST(GrayTiffWriter, EightAndSixteenBitImagesRoundTripAndVerify)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("mosaic.tif"));
    for (QImage::Format format : {QImage::Format_Grayscale8, QImage::Format_Grayscale16}) {
        SCOPED_TRACE(int(format));
        const QImage image = grayImage(37, 21, format, 5);
        QString error;
        ASSERT_TRUE(writeGrayTiff(path, image, error, {})) << error.toStdString();
        const WrittenTags tags = tagsOf(path);
        EXPECT_EQ(tags.compression, COMPRESSION_NONE);
        EXPECT_EQ(tags.sampleFormat, SAMPLEFORMAT_UINT);
        EXPECT_EQ(tags.rowsPerStrip, format == QImage::Format_Grayscale16 ? 74u : 37u);
        QImage read;
        ASSERT_TRUE(readTiffGray(path, QRect(), 1, read, error)) << error.toStdString();
        EXPECT_EQ(read, image);
        EXPECT_TRUE(verifyWrittenTiff(path, image));
    }
    const QImage sixteen = grayImage(37, 21, QImage::Format_Grayscale16, 5);
    EXPECT_FALSE(verifyWrittenTiff(path, grayImage(37, 21, QImage::Format_Grayscale8, 5)));
    EXPECT_FALSE(verifyWrittenTiff(path, grayImage(36, 21, QImage::Format_Grayscale16, 5)));
    EXPECT_FALSE(verifyWrittenTiff(path, QImage()));
    EXPECT_FALSE(verifyWrittenTiff(dir.filePath(QStringLiteral("missing.tif")), sixteen));
}

TEST(TiffWriters, InvalidInputsAreRefusedWithoutCreatingAFile)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bad.tif"));
    QString error;
    EXPECT_FALSE(writeFloatTiff(path, 0, 5, {}, error, {}));
    EXPECT_EQ(error, QStringLiteral("Invalid dimensions for TIFF image."));
    EXPECT_FALSE(writeFloatTiff(path, 4, 5, std::vector<float>(19), error, {}));
    EXPECT_EQ(error, QStringLiteral("Data size inconsistent with dimensions."));
    EXPECT_FALSE(writeGrayTiff(path, QImage(), error, {}));
    EXPECT_EQ(error, QStringLiteral("Empty image."));
    QImage colour(4, 4, QImage::Format_RGB32);
    colour.fill(Qt::red);
    EXPECT_FALSE(writeGrayTiff(path, colour, error, {}));
    EXPECT_EQ(error, QStringLiteral("Only 8/16-bit grayscale images can be written."));
    EXPECT_TRUE(entriesOf(dir).isEmpty());
}

TEST(TiffWriters, ProgressIsReportedEvery64FloatRowsOr256GrayRows)
{
    QTemporaryDir dir;
    std::vector<std::pair<int, int>> calls;
    const WriteProgress record = [&calls](int done, int total) {
        calls.emplace_back(done, total);
        return true;
    };
    QString error;
    ASSERT_TRUE(writeFloatTiff(dir.filePath(QStringLiteral("f.tif")), 3, 200, std::vector<float>(600), error, record));
    EXPECT_EQ(calls, (std::vector<std::pair<int, int>>{{0, 200}, {64, 200}, {128, 200}, {192, 200}}));
    calls.clear();
    ASSERT_TRUE(writeGrayTiff(dir.filePath(QStringLiteral("g.tif")), grayImage(3, 200, QImage::Format_Grayscale8, 1),
                              error, record));
    EXPECT_EQ(calls, (std::vector<std::pair<int, int>>{{0, 200}}));
}

TEST(TiffWriters, ReplacingAFileLeavesOnlyTheNewContentAndCancellingKeepsTheOld)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("ux.tif"));
    ASSERT_TRUE(writeBytes(path, QByteArray(100000, 'x')));
    QString error;
    ASSERT_TRUE(writeFloatTiff(path, 2, 2, {1, 2, 3, 4}, error, {}));
    std::uint32_t width = 0, height = 0;
    std::vector<float> values;
    ASSERT_TRUE(readFloatTiff(path, width, height, values, error));
    EXPECT_EQ(values, (std::vector<float>{1, 2, 3, 4}));

    const WriteProgress cancel = [](int, int) { return false; };
    const QByteArray kept = readBytes(path);
    EXPECT_FALSE(writeGrayTiff(path, grayImage(5, 5, QImage::Format_Grayscale8, 1), error, cancel));
    EXPECT_EQ(error, QStringLiteral("Écriture annulée."));
    EXPECT_EQ(readBytes(path), kept);
    EXPECT_FALSE(writeFloatTiff(dir.filePath(QStringLiteral("fresh.tif")), 5, 5, std::vector<float>(25), error, cancel));
    EXPECT_EQ(entriesOf(dir), QStringList{QStringLiteral("ux.tif")});
}

// Root may write any file: the owner's write bit, not access(), says whether
// a file may be replaced.
TEST(TiffWriters, AReplacedFileKeepsItsModeBitsAndAReadOnlyOneIsNotReplacedWhoeverWrites)
{
    QTemporaryDir dir;
    for (const mode_t mode : {mode_t(0444), mode_t(0640), mode_t(0604), mode_t(0466)}) {
        SCOPED_TRACE(QString::number(mode, 8).toStdString());
        const QString path = dir.filePath(QStringLiteral("mode_%1.tif").arg(mode, 0, 8));
        ASSERT_TRUE(writeBytes(path, QByteArray(64, 'x')));
        ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), mode), 0);
        QString error;
        const bool readOnly = (mode & S_IWUSR) == 0;
        EXPECT_EQ(writeFloatTiff(path, 2, 2, {1, 2, 3, 4}, error, {}), !readOnly) << error.toStdString();
        if (readOnly) {
            EXPECT_EQ(error, QStringLiteral("Unable to create TIFF file. (%1: the file is read-only)").arg(path));
            EXPECT_EQ(readBytes(path), QByteArray(64, 'x'));
        }
        struct stat after {};
        ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &after), 0);
        EXPECT_EQ(after.st_mode & 07777, mode);
    }
}

// Results are written only where the real location of the file lies in the
// project folder's: a link planted in a folder received from elsewhere must
// not lead a save to any file of the system. Links inside it still work, and
// so does a project folder reached through a link.
TEST(TiffWriters, AProjectFileIsWrittenOnlyInsideTheProjectFolder)
{
    QTemporaryDir dir;
    const QDir root(dir.path());
    ASSERT_TRUE(root.mkpath(QStringLiteral("project/Displacements")));
    ASSERT_TRUE(root.mkpath(QStringLiteral("outside")));
    const QString project = root.filePath(QStringLiteral("project"));
    const QString victim = root.filePath(QStringLiteral("outside/victim.tif"));
    ASSERT_TRUE(writeBytes(victim, "system file"));
    ASSERT_TRUE(QFile::link(QStringLiteral("../../outside/victim.tif"),
                            root.filePath(QStringLiteral("project/Displacements/a_ux.tif"))));
    ASSERT_TRUE(QFile::link(QStringLiteral("Displacements/a_ux.tif"), root.filePath(QStringLiteral("project/chain.tif"))));
    ASSERT_TRUE(QFile::link(QStringLiteral("../outside/new.tif"), root.filePath(QStringLiteral("project/dangling.tif"))));
    ASSERT_TRUE(QFile::link(QStringLiteral("../outside"), root.filePath(QStringLiteral("project/Strains"))));
    const std::vector<float> values = {1, 2, 3, 4};
    for (const char* name : {"Displacements/a_ux.tif", "chain.tif", "dangling.tif", "Strains/a_exx.tif"}) {
        SCOPED_TRACE(name);
        const QString path = project + QLatin1Char('/') + QLatin1String(name);
        QString error;
        EXPECT_FALSE(writeFloatTiff(path, 2, 2, values, error, {}, project));
        EXPECT_TRUE(error.contains(QStringLiteral(", outside the folder %1").arg(QFileInfo(project).canonicalFilePath())))
            << error.toStdString();
    }
    EXPECT_EQ(readBytes(victim), QByteArray("system file"));
    EXPECT_EQ(QDir(root.filePath(QStringLiteral("outside"))).entryList(QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral("victim.tif")});
    EXPECT_TRUE(QFileInfo(root.filePath(QStringLiteral("project/Displacements/a_ux.tif"))).isSymLink());

    // Inside, through a project folder that is itself a link.
    ASSERT_TRUE(QFile::link(QStringLiteral("project"), root.filePath(QStringLiteral("alias"))));
    const QString alias = root.filePath(QStringLiteral("alias"));
    ASSERT_TRUE(QFile::link(QStringLiteral("../kept.tif"), root.filePath(QStringLiteral("project/Displacements/b_ux.tif"))));
    QString error;
    EXPECT_TRUE(writeFloatTiff(alias + QStringLiteral("/Displacements/b_ux.tif"), 2, 2, values, error, {}, alias))
        << error.toStdString();
    EXPECT_TRUE(QFileInfo(root.filePath(QStringLiteral("project/kept.tif"))).isFile());
    EXPECT_TRUE(writeGrayTiff(alias + QStringLiteral("/mosaic.tif"), grayImage(3, 3, QImage::Format_Grayscale8, 1),
                              error, {}, alias))
        << error.toStdString();
}

// The temporary file a save fills is an implementation detail: every failure
// names the file being saved.
TEST(TiffWriters, FailuresNameTheFileBeingSavedNotItsTemporaryFile)
{
    QTemporaryDir dir;
    const QString missingFolder = dir.filePath(QStringLiteral("gone/r.tif"));
    QString error;
    EXPECT_FALSE(writeGrayTiff(missingFolder, grayImage(3, 3, QImage::Format_Grayscale8, 1), error, {}));
    EXPECT_EQ(error, QStringLiteral("Unable to create TIFF file. (%1: %2)")
                         .arg(missingFolder, QString::fromLocal8Bit(std::strerror(ENOENT))));
    EXPECT_FALSE(error.contains(QStringLiteral(".tmp")));
}

TEST(TiffWriters, AChainOfLinksIsWrittenThroughToItsEndAndKeptAsLinks)
{
    QTemporaryDir dir;
    const QString stored = dir.filePath(QStringLiteral("stored.tif"));
    const QString middle = dir.filePath(QStringLiteral("middle.tif"));
    const QString link = dir.filePath(QStringLiteral("link.tif"));
    const QString dangling = dir.filePath(QStringLiteral("dangling.tif"));
    ASSERT_TRUE(writeBytes(stored, "old"));
    ASSERT_TRUE(QFile::link(stored, middle));
    ASSERT_TRUE(QFile::link(QStringLiteral("middle.tif"), link));
    ASSERT_TRUE(QFile::link(QStringLiteral("created.tif"), dangling));
    const QImage image = grayImage(4, 3, QImage::Format_Grayscale8, 8);
    QString error;
    ASSERT_TRUE(writeGrayTiff(link, image, error, {})) << error.toStdString();
    ASSERT_TRUE(writeGrayTiff(dangling, image, error, {})) << error.toStdString();
    for (const QString& path : {middle, link, dangling})
        EXPECT_TRUE(QFileInfo(path).isSymLink()) << path.toStdString();
    EXPECT_TRUE(verifyWrittenTiff(stored, image));
    EXPECT_TRUE(verifyWrittenTiff(dir.filePath(QStringLiteral("created.tif")), image));
    EXPECT_EQ(entriesOf(dir).size(), 5);
}

TEST(TiffWriters, UncreatableOrNonRegularTargetsAreRefusedAndKept)
{
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("fifo.tif"));
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString loop = dir.filePath(QStringLiteral("loop.tif"));
    ASSERT_TRUE(QFile::link(QStringLiteral("loop2.tif"), loop));
    ASSERT_TRUE(QFile::link(QStringLiteral("loop.tif"), dir.filePath(QStringLiteral("loop2.tif"))));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("folder.tif")));
    const QString plain = dir.filePath(QStringLiteral("plain"));
    ASSERT_TRUE(writeBytes(plain, "file"));
    for (const QString& path : {fifo, loop, dir.filePath(QStringLiteral("folder.tif")), plain + QStringLiteral("/x.tif"),
                                dir.filePath(QStringLiteral("missing/x.tif"))}) {
        SCOPED_TRACE(path.toStdString());
        QString error;
        EXPECT_FALSE(writeFloatTiff(path, 2, 2, {1, 2, 3, 4}, error, {}));
        EXPECT_TRUE(error.startsWith(QStringLiteral("Unable to create TIFF file. ("))) << "and why: " << error.toStdString();
    }
    struct stat info {};
    ASSERT_EQ(lstat(QFile::encodeName(fifo).constData(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    EXPECT_EQ(entriesOf(dir).size(), 4);  // fifo, loop, loop2, plain
}

// NAME_MAX counts bytes: 80 CJK characters are a legal name of 244 bytes.
TEST(TiffWriters, LongNonAsciiNamesAreWrittenAndOverlongOnesReportedAsNotCreated)
{
    QTemporaryDir dir;
    const QString legal = dir.filePath(QString(80, QChar(0x6570)) + QStringLiteral(".tif"));
    QString error;
    EXPECT_TRUE(writeFloatTiff(legal, 2, 2, {1, 2, 3, 4}, error, {})) << error.toStdString();
    EXPECT_TRUE(QFileInfo::exists(legal));
    const QString overlong = dir.filePath(QString(90, QChar(0x6570)) + QStringLiteral(".tif"));
    EXPECT_FALSE(writeFloatTiff(overlong, 2, 2, {1, 2, 3, 4}, error, {}));
    EXPECT_TRUE(error.startsWith(QStringLiteral("Unable to create "))) << error.toStdString();
    EXPECT_EQ(entriesOf(dir).size(), 1);
}

// A file-size limit makes writes fail the way a full disk does, even for root.
// SIGXFSZ keeps its default action, which ends the process unless the writer
// sees to it.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit limited = saved_;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_); }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved_{};
};

TEST(TiffWriters, FullDiskIsAFailureThatKeepsTheFileBeingReplaced)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("mosaic.tif"));
    ASSERT_TRUE(writeBytes(path, "previous mosaic"));
    const QImage image = grayImage(300, 300, QImage::Format_Grayscale8, 2);
    // Noise, so that deflate cannot squeeze the raster under the limit.
    std::vector<float> noise(90000);
    std::mt19937 random(3);
    for (float& v : noise)
        v = float(random()) * 1e-3f;
    QString grayError, floatError;
    bool grayWritten = true, floatWritten = true;
    {
        // Uncompressed rows sit in libtiff's strip buffer until the final flush.
        FileSizeLimit limit(20000);
        grayWritten = writeGrayTiff(path, image, grayError, {});
        floatWritten = writeFloatTiff(path, 300, 300, noise, floatError, {});
    }
    EXPECT_FALSE(grayWritten);
    EXPECT_TRUE(grayError.startsWith(QStringLiteral("Failed to finish writing the TIFF file. ("))) << grayError.toStdString();
    // The system's own reason, not only libtiff's "Write error".
    const QString tooLarge = QString::fromLocal8Bit(std::strerror(EFBIG));
    EXPECT_TRUE(grayError.endsWith(tooLarge + QLatin1Char(')'))) << grayError.toStdString();
    EXPECT_FALSE(floatWritten);
    EXPECT_TRUE(floatError.endsWith(tooLarge + QLatin1Char(')'))) << "with the reason: " << floatError.toStdString();
    EXPECT_EQ(readBytes(path), QByteArray("previous mosaic"));
    EXPECT_EQ(entriesOf(dir), QStringList{QStringLiteral("mosaic.tif")});
}

// Whoever may write the project folder may swap one of its folders for a
// link to a folder outside while results are saved. A save may then fail,
// but none may report success, or leave a file or a temporary file, outside.
TEST(TiffWriters, AFolderSwappedForALinkWhileSavingNeverLeadsASaveOutside)
{
    QTemporaryDir dir;
    const QDir root(dir.path());
    ASSERT_TRUE(root.mkpath(QStringLiteral("project/Displacements")));
    ASSERT_TRUE(root.mkpath(QStringLiteral("outside")));
    const QString project = root.filePath(QStringLiteral("project"));
    const QByteArray outside = QFile::encodeName(root.filePath(QStringLiteral("outside")));
    const QDir outsideFolder(QString::fromLocal8Bit(outside));
    const auto everything = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
    testing::FolderSwapper swapper(QFile::encodeName(root.filePath(QStringLiteral("project/Displacements"))).toStdString(),
                                   outside.toStdString(), "../outside");
    const std::vector<float> values = {1, 2, 3, 4};
    const QString path = project + QStringLiteral("/Displacements/a_ux.tif");
    int saves = 0;
    for (; saves < 1500; ++saves) {
        QString error;
        writeFloatTiff(path, 2, 2, values, error, {}, project);
        if (!outsideFolder.isEmpty(everything))
            break;
    }
    swapper.stop();
    EXPECT_EQ(saves, 1500) << "a save reached the outside folder";
    EXPECT_GT(swapper.swaps(), 0);
    EXPECT_EQ(outsideFolder.entryList(everything), QStringList());
    QString error;
    EXPECT_TRUE(writeFloatTiff(path, 2, 2, values, error, {}, project)) << error.toStdString();
}

TEST(EnsureFolder, CreatesMissingParentsAndLeavesExistingFoldersAlone)
{
    QTemporaryDir dir;
    QString error;
    EXPECT_TRUE(ensureFolder(dir.path(), QStringLiteral("Fracture/maps"), error));
    ASSERT_TRUE(writeBytes(dir.filePath(QStringLiteral("Fracture/maps/keep.txt")), "keep"));
    EXPECT_TRUE(ensureFolder(dir.path(), QStringLiteral("Fracture/maps"), error));
    EXPECT_EQ(readBytes(dir.filePath(QStringLiteral("Fracture/maps/keep.txt"))), QByteArray("keep"));

    const QString file = dir.filePath(QStringLiteral("plain"));
    ASSERT_TRUE(writeBytes(file, "file"));
    EXPECT_FALSE(ensureFolder(file, QStringLiteral("sub"), error));
    EXPECT_EQ(error, QStringLiteral("Unable to create folder %1/sub").arg(file));
}

TEST(FirstExistingFolder, ReturnsTheFolderOfTheFirstEntryThatExists)
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("tile.tif"));
    ASSERT_TRUE(writeBytes(file, "t"));
    EXPECT_EQ(firstExistingFolder({dir.filePath(QStringLiteral("gone.tif")), file, QStringLiteral("/")}),
              QFileInfo(file).absolutePath());
    EXPECT_EQ(firstExistingFolder({QStringLiteral("/nonexistent/a.tif")}), QString());
    EXPECT_EQ(firstExistingFolder({}), QString());
}

}  // namespace
}  // namespace tavro::gui
