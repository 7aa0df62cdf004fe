// One libFuzzer target per image reader, chosen by TAVRO_FUZZ_TARGET. The
// readers take paths, so each input is written to a file first.
#include "images/image_io.h"
#include "images/loaded_image.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace {

enum Target { TiffGray, FloatTiff, Png, Bmp, GrayImage };

constexpr Target kTarget = Target(TAVRO_FUZZ_TARGET);

const char* suffix()
{
    switch (kTarget) {
    case TiffGray:
    case FloatTiff:
        return "tif";
    case Png:
        return "png";
    case Bmp:
        return "bmp";
    case GrayImage:
        return "img";
    }
    return "img";
}

// libtiff's explanations are logged; thousands of runs would flood the output.
void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

QString inputPath()
{
    static const auto dir = std::make_unique<QTemporaryDir>();
    return dir->filePath(QStringLiteral("input.") + QLatin1String(suffix()));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    qInstallMessageHandler(quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace tavro::gui;
    const QString path = inputPath();
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write(reinterpret_cast<const char*>(data), qint64(size));
    }
    QImage image;
    QString error;
    QSize size2;
    switch (kTarget) {
    case TiffGray:
        readTiffGray(path, QRect(), 1, image, error);
        readTiffGray(path, QRect(3, 5, 40, 30), 3, image, error);
        readDecimatedImage(path, image, error);
        probeImageSize(path, size2);
        break;
    case FloatTiff: {
        std::uint32_t width = 0, height = 0;
        std::vector<float> values;
        readFloatTiff(path, width, height, values, error);
        break;
    }
    case Png:
        readPng(path, image, error);
        break;
    case Bmp:
        readBmpGray(path, QRect(), 1, image, error);
        readBmpGray(path, QRect(2, 3, 50, 40), 2, image, error);
        probeImageSize(path, size2);
        break;
    case GrayImage: {
        LoadedImage loaded;
        loadImage(path, loaded, error);
        break;
    }
    }
    return 0;
}
