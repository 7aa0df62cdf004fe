// Writes the seed inputs of the reader fuzz targets: small valid files of
// each layout the readers decode, made by the test fixtures.
#include "test_files.h"

#include "gui/project/project_parameters.h"

#include <QDir>
#include <QFile>

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

bool writeText(const QString& path, const QByteArray& text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

// A document of every block as the writer lays it out, an empty window's
// and an old file's keys.
bool writeProjectSeeds(const QString& folder)
{
    using namespace tavro::gui;
    if (!QDir().mkpath(folder))
        return false;
    const QDir base(QStringLiteral("/p"));
    ProjectParameters full;
    full.referenceImage = QStringLiteral("/p/images/ref.tif");
    full.deformedImages = {QStringLiteral("/p/images/d1.tif"), QStringLiteral("D:\\old\\d2.tif")};
    full.useMask = true;
    full.maskImage = QStringLiteral("/p/mask.png");
    full.roi = QRect(10, 20, 300, 200);
    full.strain =
        StrainParameters{{{"Order 2", {-0.5f, 0.0f, 0.5f}}}, {{"None", {}}}, 0, 0, {{"Von Mises", "eI - eII", true}}};
    MosaicParameters mosaic;
    mosaic.referenceTiles = {QStringLiteral("/p/t0.tif")};
    mosaic.deformedStates = {{QStringLiteral("/p/t1.tif")}};
    mosaic.refTilePositions = {{0, 1, 1, true, 902.5f, 3.0f, 0.0f, QRect(902, 3, 1024, 768)}};
    mosaic.defTilePositionsStates = {{{0, 0, 0, true, 0.0f, 0.0f, 0.0f, std::nullopt}}};
    full.mosaic = mosaic;
    full.heightFields = HeightParameters{};
    ResultRangeEntry entry;
    entry.autoMaxUx = 2.0f;
    entry.hasStrain = true;
    entry.hasFracture = true;
    entry.rigidShift = std::array<float, 2>{1.0f, -2.0f};
    full.resultCache = {entry};
    full.heightCache = {{0, -1.0f, 1.0f, -0.5f, 0.5f}};
    return writeText(folder + QStringLiteral("/full.json"), formatProjectParameters(full, base)) &&
           writeText(folder + QStringLiteral("/empty.json"), formatProjectParameters(ProjectParameters(), base)) &&
           writeText(folder + QStringLiteral("/legacy.json"),
                     "{\"windowSize\": 33, \"step\": 5, \"maxU\": 7, \"maxV\": 3, \"strain\": {\"customDerivKernel\": "
                     "[1, -1], \"derivKernelIndex\": 3, \"smoothKernelIndex\": 1}, \"mosaic\": "
                     "{\"missingTilePosition\": 4, \"tileCropWidth\": 5}}");
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
    const TiffLayout greyTiffs[] = {
        {24, 20, 8, 1, 1, COMPRESSION_LZW, 8, 0, 0},         {24, 20, 16, 1, 1, COMPRESSION_ADOBE_DEFLATE, 0, 16, 16},
        {24, 20, 8, 1, 1, COMPRESSION_PACKBITS, 4, 0, 0},    {24, 20, 8, 1, 1, COMPRESSION_JPEG, 8, 0, 0},
        {24, 20, 16, 1, 0, COMPRESSION_NONE, 0, 0, 0},       {24, 20, 16, 2, 1, COMPRESSION_NONE, 5, 0, 0},
        {24, 20, 16, 1, 1, COMPRESSION_NONE, 0, 0, 0, 2},
    };
    int n = 0;
    for (const TiffLayout& setup : greyTiffs) {
        const auto samples = ramp(setup.width * setup.height * setup.samplesPerPixel, 1 << setup.bitsPerSample);
        const QString name = QStringLiteral("/seed%1.tif").arg(n++);
        ok = ok && writeTiff(tiffs + name, setup, samples) && writeTiff(any + name, setup, samples);
    }
    std::vector<float> values(24 * 20);
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = float(i) * 0.25f - 7.0f;
    const TiffLayout floatTiffs[] = {{24, 20, 32, 3, 1, COMPRESSION_ADOBE_DEFLATE, 8, 0, 0},
                                   {24, 20, 32, 3, 1, COMPRESSION_LZW, 0, 16, 16},
                                   {24, 20, 32, 3, 1, COMPRESSION_NONE, 0, 0, 0}};
    n = 0;
    for (const TiffLayout& setup : floatTiffs)
        ok = ok && writeFloatTiffFixture(floats + QStringLiteral("/seed%1.tif").arg(n++), setup, values);

    const std::vector<std::uint32_t> palette = {0x000000u, 0x404040u, 0x808080u, 0xFFFFFFu};
    const PngLayout greyPngs[] = {{13, 7, 8, 0, false},  {13, 7, 16, 0, false}, {13, 7, 1, 0, false},
                                  {13, 7, 8, 4, false},  {13, 7, 8, 0, true},   {13, 7, 16, 2, true},
                                  {13, 7, 8, 6, false},  {13, 7, 2, 3, true, palette}};
    n = 0;
    for (const PngLayout& setup : greyPngs) {
        const int channels = setup.colourType == 2 ? 3 : setup.colourType == 4 ? 2 : setup.colourType == 6 ? 4 : 1;
        const auto samples = ramp(setup.width * setup.height * channels, 1 << setup.bitDepth);
        const QString name = QStringLiteral("/seed%1.png").arg(n++);
        ok = ok && writePng(pngs + name, setup, samples) && writePng(any + name, setup, samples);
    }

    std::vector<std::uint32_t> pixels(13 * 7);
    for (std::size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = std::uint32_t(i * 0x030507u) & 0xFFFFFFu;
    std::vector<std::uint32_t> indices(13 * 7);
    for (std::size_t i = 0; i < indices.size(); ++i)
        indices[i] = std::uint32_t(i % 12);
    const std::pair<BmpLayout, const std::vector<std::uint32_t>*> greyBmps[] = {
        {{13, 7, 24, 0, 0, {}}, &pixels},
        {{13, -7, 32, 0, 0, {}}, &pixels},
        {{13, 7, 8, 0, 10, std::vector<std::uint32_t>(10, 0x405060u)}, &indices},
    };
    n = 0;
    for (const auto& [setup, content] : greyBmps) {
        const QByteArray bytes = bmpBytes(setup, *content);
        const QString name = QStringLiteral("/seed%1.bmp").arg(n++);
        ok = ok && writeBytes(bmps + name, bytes) && writeBytes(any + name, bytes);
    }
    return ok && writeProjectSeeds(out.filePath(QStringLiteral("project_parameters")));
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
