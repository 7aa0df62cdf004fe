// Writes the seed inputs of the reader fuzz targets: small valid files of
// each layout the readers decode, made by the test fixtures.
#include "test_files.h"

#include <QDir>

#include <tiffio.h>

#include <cstdio>
#include <vector>

using namespace tavro::gui::fixtures;

namespace {

std::vector<std::uint16_t> ramp(int count, int modulo)
{
    std::vector<std::uint16_t> samples(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        samples[std::size_t(i)] = std::uint16_t((i * 37) % modulo);
    return samples;
}

bool writeSeeds(const QDir& out)
{
    const QString tiffs = out.filePath(QStringLiteral("tiff_gray"));
    const QString floats = out.filePath(QStringLiteral("float_tiff"));
    const QString pngs = out.filePath(QStringLiteral("png"));
    const QString bmps = out.filePath(QStringLiteral("bmp"));
    const QString any = out.filePath(QStringLiteral("gray_image"));
    for (const QString& dir : {tiffs, floats, pngs, bmps, any})
        if (!QDir().mkpath(dir))
            return false;

    bool ok = true;
    const TiffSpec greyTiffs[] = {
        {24, 20, 8, 1, 1, COMPRESSION_LZW, 8, 0, 0},         {24, 20, 16, 1, 1, COMPRESSION_ADOBE_DEFLATE, 0, 16, 16},
        {24, 20, 8, 1, 1, COMPRESSION_PACKBITS, 4, 0, 0},    {24, 20, 8, 1, 1, COMPRESSION_JPEG, 8, 0, 0},
        {24, 20, 16, 1, 0, COMPRESSION_NONE, 0, 0, 0},       {24, 20, 16, 2, 1, COMPRESSION_NONE, 5, 0, 0},
        {24, 20, 16, 1, 1, COMPRESSION_NONE, 0, 0, 0, 2},
    };
    int n = 0;
    for (const TiffSpec& spec : greyTiffs) {
        const auto samples = ramp(spec.width * spec.height * spec.samplesPerPixel, 1 << spec.bitsPerSample);
        const QString name = QStringLiteral("/seed%1.tif").arg(n++);
        ok = ok && writeTiff(tiffs + name, spec, samples) && writeTiff(any + name, spec, samples);
    }
    std::vector<float> values(24 * 20);
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = float(i) * 0.25f - 7.0f;
    const TiffSpec floatTiffs[] = {{24, 20, 32, 3, 1, COMPRESSION_ADOBE_DEFLATE, 8, 0, 0},
                                   {24, 20, 32, 3, 1, COMPRESSION_LZW, 0, 16, 16},
                                   {24, 20, 32, 3, 1, COMPRESSION_NONE, 0, 0, 0}};
    n = 0;
    for (const TiffSpec& spec : floatTiffs)
        ok = ok && writeFloatTiffFixture(floats + QStringLiteral("/seed%1.tif").arg(n++), spec, values);

    const PngSpec greyPngs[] = {{13, 7, 8, 0, false}, {13, 7, 16, 0, false}, {13, 7, 1, 0, false}, {13, 7, 8, 4, false},
                                {13, 7, 8, 0, true}};
    n = 0;
    for (const PngSpec& spec : greyPngs) {
        const auto samples = ramp(spec.width * spec.height * (spec.colourType == 4 ? 2 : 1), 1 << spec.bitDepth);
        const QString name = QStringLiteral("/seed%1.png").arg(n++);
        ok = ok && writePng(pngs + name, spec, samples) && writePng(any + name, spec, samples);
    }

    std::vector<std::uint32_t> pixels(13 * 7);
    for (std::size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = std::uint32_t(i * 0x030507u) & 0xFFFFFFu;
    std::vector<std::uint32_t> indices(13 * 7);
    for (std::size_t i = 0; i < indices.size(); ++i)
        indices[i] = std::uint32_t(i % 12);
    const std::pair<BmpSpec, const std::vector<std::uint32_t>*> greyBmps[] = {
        {{13, 7, 24, 0, 0, {}}, &pixels},
        {{13, -7, 32, 0, 0, {}}, &pixels},
        {{13, 7, 8, 0, 10, std::vector<std::uint32_t>(10, 0x405060u)}, &indices},
    };
    n = 0;
    for (const auto& [spec, content] : greyBmps) {
        const QByteArray bytes = bmpBytes(spec, *content);
        const QString name = QStringLiteral("/seed%1.bmp").arg(n++);
        ok = ok && writeBytes(bmps + name, bytes) && writeBytes(any + name, bytes);
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s output-folder\n", argv[0]);
        return 2;
    }
    if (!writeSeeds(QDir(QString::fromLocal8Bit(argv[1])))) {
        std::fprintf(stderr, "could not write the seeds\n");
        return 1;
    }
    return 0;
}
