#include "gui/project/project_parameters.h"

#include "support/file_size_limit.h"
#include "support/temp_dir.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <limits>
#include <map>

namespace tavro::gui {

namespace {

QString qpath(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

void touch(const QString& path, const QByteArray& content = "x") {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content);
}

ProjectTilePosition tile(int col, float tx, QRect bounds) { return {0, col, col, true, tx, 3.0f, 0.0f, bounds}; }

// Every block and every optional key present, paths under `folder`.
ProjectParameters populated(const QString& folder) {
    ProjectParameters p;
    p.projectFolder = folder;
    p.referenceImage = folder + QStringLiteral("/images/ref.tif");
    p.deformedImages = {folder + QStringLiteral("/images/def 1.tif"), folder + QStringLiteral("/images/d\"e\\f.tif")};
    p.useMask = true;
    p.maskImage = folder + QStringLiteral("/mask.png");
    p.roi = QRect(120, 40, 800, 600);
    p.windowSizeX = 31;
    p.windowSizeY = 21;
    p.stepX = 8;
    p.stepY = 4;
    p.searchDown = 9;
    p.searchLeft = 2;
    p.dofIndex = 2;
    p.epsilon = 1e-5;
    p.fractureOpeningMin = 0.25;
    p.fractureRidgeThickness = 7;
    p.enableNLC = true;
    p.strain = StrainParameters{
        {{"Order 2", {-0.5f, 0.0f, 0.5f}}, {"Order 4", {1 / 12.0f, -2 / 3.0f, 0.0f, 2 / 3.0f, -1 / 12.0f}}},
        {{"None", {}}, {"Sobel", {1, 2, 1}}},
        1,
        1,
        {{"Von Mises", "sqrt(2/3 * (eI**2 + eII**2 - eI*eII))", true}, {"Tab\tname", "exx", false}}};
    MosaicParameters mosaic;
    mosaic.gridRows = mosaic.gridCols = 2;
    mosaic.overlapX = mosaic.overlapY = 10;
    mosaic.scanOrderIndex = 0;
    mosaic.missingTilePositions = QStringLiteral("2, 5");
    mosaic.tileCrop = QRect(4, 6, 100, 80);
    mosaic.finalSize = QSize(1926, 771);
    mosaic.referenceTiles = {folder + QStringLiteral("/tiles/r0.tif")};
    mosaic.deformedStates = {{folder + QStringLiteral("/tiles/d0.tif"), folder + QStringLiteral("/tiles/d1.tif")}, {}};
    mosaic.refTilePositions = {tile(0, 0.0f, QRect(0, 0, 1024, 768)), tile(1, 123456.789f, QRect(902, 3, 1024, 768))};
    mosaic.defTilePositionsStates = {{tile(0, 0.5f, QRect(0, 0, 8, 8))}, {}};
    p.mosaic = mosaic;
    HeightParameters heights;
    heights.referenceTiles = {folder + QStringLiteral("/h/h0.tif")};
    heights.deformedStates = {{}, {folder + QStringLiteral("/h/h1.tif")}};
    heights.currentStateIndex = 1;
    p.heightFields = heights;
    ResultRangeEntry first;
    first.minUx = -1.25f, first.maxUx = 3.5f, first.autoMinUx = -1.1f, first.autoMaxUx = 3.3f;
    first.rigidShift = std::array<float, 2>{0.5f, -2.0f};
    first.hasStrain = true;
    first.strainMin = {-0.01f, -0.02f, -0.005f, -0.01f, -0.03f, -0.002f};
    // A whole-pixel move: a field of zeros, all its motion in the rigid shift.
    ResultRangeEntry unranged;
    unranged.index = 1;
    unranged.rigidShift = std::array<float, 2>{-3.0f, 0.0f};
    ResultRangeEntry third;
    third.index = 2;
    third.autoMaxUy = 0.6f;
    third.hasFracture = true;
    third.fractureAutoMax = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    p.resultCache = {first, unranged, third};
    p.heightCache = {{0, -12.5f, 40.0f, -10.0f, 38.0f}};
    return p;
}

const char* const kGolden = R"j({
    "projectFolder": "/p",
    "referenceImage": "images/ref.tif",
    "deformedImages": [
        "images/def 1.tif",
        "images/d\"e\\f.tif"
    ],
    "useMask": true,
    "maskImage": "mask.png",
    "roi": {
        "x": 120,
        "y": 40,
        "width": 800,
        "height": 600
    },
    "windowSizeX": 31,
    "windowSizeY": 21,
    "stepX": 8,
    "stepY": 4,
    "maxU": 9,
    "maxV": 6,
    "searchUp": 6,
    "searchDown": 9,
    "searchLeft": 2,
    "searchRight": 6,
    "dofIndex": 2,
    "interpolationIndex": 0,
    "epsilon": 1e-05,
    "maxIterations": 30,
    "fractureOpeningMin": 0.25,
    "fractureRidgeThickness": 7,
    "enableTwinning": false,
    "maxJumpAmplitude": 0,
    "enableNLC": true,
    "saveFullImage": false,
    "strain": {
        "derivativeKernels": [
            {"name": "Order 2", "coefficients": [-0.5, 0, 0.5]},
            {"name": "Order 4", "coefficients": [0.0833333358, -0.666666687, 0, 0.666666687, -0.0833333358]}
        ],
        "smoothingKernels": [
            {"name": "None", "coefficients": []},
            {"name": "Sobel", "coefficients": [1, 2, 1]}
        ],
        "selectedDerivativeKernelIndex": 1,
        "selectedSmoothingKernelIndex": 1,
        "criteria": [
            {"name": "Von Mises", "expression": "sqrt(2/3 * (eI**2 + eII**2 - eI*eII))", "enabled": true},
            {"name": "Tab\tname", "expression": "exx", "enabled": false}
        ]
    },
    "mosaic": {
        "enabled": false,
        "batchTileMode": false,
        "gridRows": 2,
        "gridCols": 2,
        "overlapX": 10,
        "overlapY": 10,
        "scanOrderIndex": 0,
        "usePhaseCorrelation": true,
        "allowMissingTiles": false,
        "missingTilePositions": "2, 5",
        "refineNonRigid": false,
        "tileCropX": 4,
        "tileCropY": 6,
        "tileCropWidth": 100,
        "tileCropHeight": 80,
        "finalWidth": 1926,
        "finalHeight": 771,
        "referenceTiles": [
            "tiles/r0.tif"
        ],
        "deformedStates": [
            [
                "tiles/d0.tif",
                "tiles/d1.tif"
            ],
            []
        ],
        "numberOfStates": 2,
        "tilesPerState": 2,
        "refTilePositions": [
            {"row": 0, "col": 0, "tileIndex": 0, "isPresent": true, "tx": 0, "ty": 3, "rotation": 0, "bounds": {"x": 0, "y": 0, "w": 1024, "h": 768}},
            {"row": 0, "col": 1, "tileIndex": 1, "isPresent": true, "tx": 123456.789, "ty": 3, "rotation": 0, "bounds": {"x": 902, "y": 3, "w": 1024, "h": 768}}
        ],
        "defTilePositions": [],
        "defTilePositionsStates": [
            [
                {"row": 0, "col": 0, "tileIndex": 0, "isPresent": true, "tx": 0.5, "ty": 3, "rotation": 0, "bounds": {"x": 0, "y": 0, "w": 8, "h": 8}}
            ],
            []
        ]
    },
    "heightFields": {
        "referenceTiles": [
            "h/h0.tif"
        ],
        "deformedStates": [
            [],
            [
                "h/h1.tif"
            ]
        ],
        "currentStateIndex": 1,
        "numberOfStates": 2,
        "hasResult": false,
        "saveFullImage": false
    },
    "resultCache": {
        "0": {
            "minUx": -1.25, "maxUx": 3.5,
            "autoMinUx": -1.1, "autoMaxUx": 3.3,
            "minUy": 0, "maxUy": 0,
            "autoMinUy": 0, "autoMaxUy": 0,
            "rigidShiftX": 0.5, "rigidShiftY": -2,
            "hasStrain": true,
            "strainMin": [-0.01, -0.02, -0.005, -0.01, -0.03, -0.002],
            "strainMax": [0, 0, 0, 0, 0, 0],
            "strainAutoMin": [0, 0, 0, 0, 0, 0],
            "strainAutoMax": [0, 0, 0, 0, 0, 0]
        },
        "1": {
            "minUx": 0, "maxUx": 0,
            "autoMinUx": 0, "autoMaxUx": 0,
            "minUy": 0, "maxUy": 0,
            "autoMinUy": 0, "autoMaxUy": 0,
            "rigidShiftX": -3, "rigidShiftY": 0
        },
        "2": {
            "minUx": 0, "maxUx": 0,
            "autoMinUx": 0, "autoMaxUx": 0,
            "minUy": 0, "maxUy": 0,
            "autoMinUy": 0, "autoMaxUy": 0.6,
            "hasFracture": true,
            "fractureMin": [0, 0, 0, 0, 0, 0, 0, 0, 0],
            "fractureMax": [0, 0, 0, 0, 0, 0, 0, 0, 0],
            "fractureAutoMin": [0, 0, 0, 0, 0, 0, 0, 0, 0],
            "fractureAutoMax": [1, 2, 3, 4, 5, 6, 7, 8, 9]
        }
    },
    "heightCache": {
        "0": {
            "minUz": -12.5, "maxUz": 40,
            "autoMin": -10, "autoMax": 38
        }
    }
}
)j";

ProjectParameters parsed(const QByteArray& text, const QDir& dir = QDir(QStringLiteral("/nonexistent")),
                         const ProjectReadDefaults& defaults = {}) {
    ProjectParameters out;
    QString error;
    EXPECT_TRUE(parseProjectParameters(text, dir, defaults, out, error)) << error.toStdString();
    return out;
}

}  // namespace

TEST(ProjectParametersWriter, WritesTheFixedLayoutKeyByKey) {
    EXPECT_EQ(formatProjectParameters(populated(QStringLiteral("/p")), QDir(QStringLiteral("/p"))).toStdString(),
              std::string(kGolden));
}

TEST(ProjectParametersWriter, AnEmptyWindowWritesNoImageKeysAndBlankCaches) {
    const QString text = QString::fromUtf8(formatProjectParameters(ProjectParameters(), QDir(QStringLiteral("/p"))));
    EXPECT_FALSE(text.contains(QStringLiteral("referenceImage")));
    EXPECT_FALSE(text.contains(QStringLiteral("maskImage")));
    EXPECT_TRUE(text.contains(QStringLiteral("    \"deformedImages\": [],\n    \"useMask\": false,\n")));
    EXPECT_TRUE(text.contains(QStringLiteral("\"height\": 0\n    },")));
    EXPECT_TRUE(
        text.endsWith(QStringLiteral("    \"resultCache\": {\n\n    },\n    \"heightCache\": {\n\n    }\n}\n")));
}

TEST(ProjectParametersWriter, NonFiniteValuesBecomeNullAndReadBackAsDefaults) {
    ProjectParameters p;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    p.epsilon = nan;
    p.fractureOpeningMin = std::numeric_limits<double>::infinity();
    MosaicParameters mosaic;
    mosaic.refTilePositions = {tile(0, static_cast<float>(nan), QRect(0, 0, 1, 1))};
    p.mosaic = mosaic;
    const QByteArray text = formatProjectParameters(p, QDir(QStringLiteral("/p")));
    EXPECT_FALSE(text.contains("nan") || text.contains("inf"));
    const ProjectParameters back = parsed(text);
    EXPECT_EQ(back.epsilon, ProjectParameters().epsilon);
    EXPECT_EQ(back.fractureOpeningMin, ProjectParameters().fractureOpeningMin);
    EXPECT_EQ(back.mosaic->refTilePositions.at(0).tx, 0.0f);
}

TEST(ProjectParametersWriter, ControlCharactersAreEscapedAndEveryStringRoundTrips) {
    const QString name = QStringLiteral("a\"b\\c\nd\re\tf\x01g\x1fh é");
    EXPECT_EQ(escapeJson(QStringLiteral("\x01\x1f")), QStringLiteral("\\u0001\\u001f"));
    ProjectParameters p;
    p.strain = StrainParameters{{{name.toStdString(), {1.0f}}}, {}, 0, 0, {{"c", name.toStdString(), true}}};
    const ProjectParameters back = parsed(formatProjectParameters(p, QDir(QStringLiteral("/p"))));
    EXPECT_EQ(QString::fromStdString(back.strain->derivativeKernels.at(0).name), name);
    EXPECT_EQ(QString::fromStdString(back.strain->criteria.at(0).expression), name);
}

TEST(ProjectParametersReader, AFullyPopulatedModelRoundTrips) {
    const testing::TempDir dir("tavro_project");
    const QString folder = qpath(dir.path());
    const ProjectParameters original = populated(folder);
    for (const QString& path : original.mosaic->referenceTiles + original.mosaic->deformedStates.front())
        touch(path);
    const QByteArray text = formatProjectParameters(original, QDir(folder));
    const ProjectParameters back = parsed(text, QDir(folder));
    EXPECT_EQ(formatProjectParameters(back, QDir(folder)), text);
    EXPECT_EQ(back.mosaic->refTilePositions.at(1).tx, 123456.789f);
    EXPECT_EQ(back.strain->derivativeKernels.at(1).coefficients, original.strain->derivativeKernels.at(1).coefficients);
    ASSERT_EQ(back.resultCache.size(), 3u) << "an entry whose ranges are all zero keeps its rigid shift";
    EXPECT_EQ(back.resultCache[1].rigidShift, (std::array<float, 2>{-3.0f, 0.0f}));
}

// State mosaics and tile pairs each keep their results' rigid shifts, under their own numbers; a file with results
// of one assembly only is written as before.
TEST(ProjectParametersReader, TheAssemblyNotChosenKeepsItsOwnEntries) {
    const testing::TempDir dir("tavro_project");
    const QString folder = qpath(dir.path());
    ProjectParameters original = populated(folder);
    EXPECT_FALSE(formatProjectParameters(original, QDir(folder)).contains("otherAssemblyResultCache"));
    ResultRangeEntry tile;
    tile.index = 4;
    tile.rigidShift = std::array<float, 2>{2.0f, -1.0f};
    original.otherAssemblyResultCache = {tile};
    const ProjectParameters back = parsed(formatProjectParameters(original, QDir(folder)), QDir(folder));
    ASSERT_EQ(back.otherAssemblyResultCache.size(), 1u);
    EXPECT_EQ(back.otherAssemblyResultCache[0].index, 4);
    EXPECT_EQ(back.otherAssemblyResultCache[0].rigidShift, tile.rigidShift);
    EXPECT_EQ(back.resultCache.size(), 3u);
}

// The height maps' ranges of the assembly not chosen, a range set by hand among them, travel under a key of their
// own, which a file without them lacks.
TEST(ProjectParametersReader, TheAssemblyNotChosenKeepsItsOwnHeightRanges) {
    const testing::TempDir dir("tavro_project");
    const QString folder = qpath(dir.path());
    ProjectParameters original = populated(folder);
    EXPECT_FALSE(formatProjectParameters(original, QDir(folder)).contains("otherAssemblyHeightCache"));
    HeightRangeEntry aside{2, -1.0f, 3.0f, -0.5f, 2.5f};
    aside.manualUz = std::array<float, 2>{0.25f, 1.5f};
    original.otherAssemblyHeightCache = {aside};
    const ProjectParameters back = parsed(formatProjectParameters(original, QDir(folder)), QDir(folder));
    ASSERT_EQ(back.otherAssemblyHeightCache.size(), 1u);
    EXPECT_EQ(back.otherAssemblyHeightCache[0].index, 2);
    EXPECT_EQ(back.otherAssemblyHeightCache[0].minUz, -1.0f);
    EXPECT_EQ(back.otherAssemblyHeightCache[0].autoMax, 2.5f);
    EXPECT_EQ(back.otherAssemblyHeightCache[0].manualUz, aside.manualUz);
    ASSERT_EQ(back.heightCache.size(), original.heightCache.size());
    EXPECT_FALSE(back.heightCache[0].manualUz) << "the chosen assembly's entries are not mixed with them";
}

// A hand-made or older file says only what it changes: the rest is what a
// new project starts with, and is written back so.
TEST(ProjectParametersReader, AbsentKeysReadAsANewProjectsValues) {
    const ProjectParameters p = parsed(R"j({"mosaic": {"enabled": false}, "heightFields": {}})j");
    // 61 px windows every 4 px, first-order gradients: what the panel shows.
    EXPECT_EQ(p.windowSizeX, 61);
    EXPECT_EQ(p.stepY, 4);
    EXPECT_EQ(p.dofIndex, 1);
    const QDir base(QStringLiteral("/p"));
    ProjectParameters expected;
    expected.roi = QRect(0, 0, 0, 0);
    expected.mosaic = MosaicParameters();
    expected.heightFields = HeightParameters();
    EXPECT_EQ(formatProjectParameters(p, base), formatProjectParameters(expected, base));
    EXPECT_EQ(p.mosaic->gridRows, 3);
    EXPECT_EQ(p.mosaic->overlapX, 20);
    EXPECT_EQ(p.mosaic->scanOrderIndex, 1);
    EXPECT_TRUE(p.outOfRangeKeys.isEmpty());
}

// An older `strain` block holds indices only: the lists are the built-in
// kernels and default criteria, never empty ones.
TEST(ProjectParametersReader, AnOlderStrainBlockTakesTheBuiltInKernelsAndDefaultCriteria) {
    const ProjectParameters p = parsed(R"j({"strain": {"derivKernelIndex": 1, "smoothKernelIndex": 1}})j");
    ASSERT_TRUE(p.strain);
    EXPECT_EQ(p.strain->derivativeKernels.size(), builtinDerivativeKernels().size());
    EXPECT_EQ(p.strain->smoothingKernels.size(), builtinSmoothingKernels().size());
    EXPECT_EQ(p.strain->criteria.size(), defaultStrainCriteria().size());
    EXPECT_EQ(p.strain->selectedDerivativeKernelIndex, 1);
    EXPECT_EQ(p.strain->selectedSmoothingKernelIndex, 2);
    EXPECT_EQ(p.strain->smoothingKernels.at(2).name, "Prewitt");
    EXPECT_EQ(p.strain->criteria.at(0).name, "Von Mises");
    // Saved so: the lists are in the file the next time it opens.
    const ProjectParameters back =
        parsed(formatProjectParameters(p, QDir(QStringLiteral("/p"))), QDir(QStringLiteral("/p")), {{}, {}, {}});
    EXPECT_EQ(back.strain->derivativeKernels.size(), builtinDerivativeKernels().size());
    EXPECT_EQ(back.strain->criteria.size(), defaultStrainCriteria().size());
}

TEST(ProjectParametersReader, LegacyKeysOfOlderFilesAreUnderstood) {
    ProjectReadDefaults defaults;
    defaults.builtInDerivativeKernels = {{"A", {1}}, {"B", {2}}, {"C", {3}}};
    defaults.builtInSmoothingKernels = {{"N", {}}, {"S1", {1}}, {"S2", {2}}};
    defaults.defaultCriteria = {{"Default", "exx", true}};
    const ProjectParameters p = parsed(R"j({"windowSize": 33, "step": 5, "maxU": 7, "maxV": 3,
        "strain": {"customDerivKernel": [1, -1], "derivKernelIndex": 3, "smoothKernelIndex": 1,
                   "criteria": [{"name": "a", "expression": "eI - eII"},
                                {"name": "b", "expression": "sqrt(2.0/3.0 * ((eI - eII)**2 + eII**2 + eI**2))"},
                                {"name": "c", "expression": "eI  - eII", "enabled": false}]},
        "mosaic": {"missingTilePosition": 4}})j",
                                       QDir(QStringLiteral("/nonexistent")), defaults);
    EXPECT_EQ(p.windowSizeX, 33);
    EXPECT_EQ(p.windowSizeY, 33);
    EXPECT_EQ(p.stepX, 5);
    EXPECT_EQ(p.stepY, 5);
    EXPECT_EQ(p.searchUp, 7);
    EXPECT_EQ(p.searchDown, 7);
    EXPECT_EQ(p.searchLeft, 3);
    EXPECT_EQ(p.searchRight, 3);
    ASSERT_EQ(p.strain->derivativeKernels.size(), 4u);
    EXPECT_EQ(p.strain->derivativeKernels.back().name, "Custom");
    EXPECT_EQ(p.strain->selectedDerivativeKernelIndex, 3);
    EXPECT_EQ(p.strain->smoothingKernels.size(), 3u);
    EXPECT_EQ(p.strain->selectedSmoothingKernelIndex, 2);
    EXPECT_EQ(p.strain->criteria.at(0).expression, "(eI - eII)/2");
    EXPECT_EQ(p.strain->criteria.at(1).expression, "sqrt(2/3 * (eI**2 + eII**2 - eI*eII))");
    EXPECT_EQ(p.strain->criteria.at(2).expression, "eI  - eII");
    EXPECT_TRUE(p.strain->criteria.at(0).enabled);
    EXPECT_FALSE(p.strain->criteria.at(2).enabled);
    EXPECT_EQ(p.mosaic->missingTilePositions, QStringLiteral("4"));
    EXPECT_EQ(parsed(R"j({"mosaic": {"missingTilePosition": -1}})j").mosaic->missingTilePositions, QString());
    EXPECT_EQ(parsed(R"j({"strain": {}})j", QDir(QStringLiteral("/nonexistent")), defaults).strain->criteria.at(0).name,
              "Default");
}

TEST(ProjectParametersReader, MosaicModeIgnoresSingleImagesAndOutOfRangeValuesAreBounded) {
    const ProjectParameters p = parsed(R"j({"referenceImage": "r.tif", "deformedImages": ["d.tif"],
        "mosaic": {"enabled": true, "tileCropX": -5, "tileCropY": -1, "tileCropWidth": 10, "tileCropHeight": -3},
        "roi": {"x": -4, "y": 2, "width": 1e300, "height": 5},
        "fractureRidgeThickness": 1e12, "fractureOpeningMin": -1e300,
        "strain": {"derivativeKernels": [{"name": "k", "coefficients": [1e300]}], "selectedDerivativeKernelIndex": 9},
        "heightFields": {"currentStateIndex": 4}})j");
    EXPECT_TRUE(p.referenceImage.isEmpty());
    EXPECT_TRUE(p.deformedImages.isEmpty());
    EXPECT_EQ(p.mosaic->tileCrop, QRect(0, 0, 10, 0));
    EXPECT_EQ(p.roi, QRect(0, 2, 1 << 29, 5));
    EXPECT_EQ(p.fractureRidgeThickness, ProjectParameters().fractureRidgeThickness) << "not an integer: the default";
    EXPECT_EQ(p.fractureOpeningMin, 0.0);
    EXPECT_EQ(p.strain->derivativeKernels.at(0).coefficients, std::vector<float>{0.0f});
    EXPECT_EQ(p.strain->selectedDerivativeKernelIndex, 0);
    EXPECT_EQ(p.heightFields->deformedStates.size(), 1);
    EXPECT_EQ(p.heightFields->currentStateIndex, 0);
    EXPECT_EQ(parsed(R"j({"fractureRidgeThickness": 500})j").fractureRidgeThickness, kMaxRidgeThickness);
}

TEST(ProjectParametersReader, CacheKeysMustBeDecimalIndicesAndAllocateNothingByValue) {
    const ProjectParameters p = parsed(R"j({
        "resultCache": {"-1": {}, "1a": {}, "01x": {}, "3": {"autoMaxUx": 2, "hasStrain": true,
                        "strainMin": [1, 2], "strainMax": [5], "strainAutoMin": [1, 2, 3, 4, 5, 6, 7, 8]}},
        "heightCache": {"2000000000": {"minUz": 1}, "99999999999": {}, "0": {"autoMax": 4}}})j");
    ASSERT_EQ(p.resultCache.size(), 1u);
    EXPECT_EQ(p.resultCache[0].index, 3);
    EXPECT_EQ(p.resultCache[0].strainCount, 2);
    EXPECT_EQ(p.resultCache[0].strainMax[1], 0.0f);
    EXPECT_EQ(p.resultCache[0].strainAutoMin[2], 0.0f);
    ASSERT_EQ(p.heightCache.size(), 2u);
    EXPECT_EQ(p.heightCache[0].index, 0);
    EXPECT_EQ(p.heightCache[1].index, 2000000000);
}

// Ranges set by hand on the strain and fracture maps travel with their
// component or criterion, in the block of the maps they belong to.
TEST(ProjectParametersFile, StrainAndFractureRangesSetByHandRoundTrip) {
    using Range = std::array<float, 2>;
    ProjectParameters p;
    ResultRangeEntry entry;
    entry.autoMaxUx = 1.0f;
    entry.hasStrain = true;
    entry.manualStrain[1] = Range{-0.02f, 0.01f};
    entry.manualStrain[5] = Range{-1e-5f, 2e-5f};
    entry.manualCriteria["Von \"Mises\""] = Range{0.0f, 0.05f};
    entry.hasFracture = true;
    entry.manualFracture[8] = Range{-30.0f, 45.5f};
    p.resultCache = {entry};
    const QByteArray text = formatProjectParameters(p, QDir(QStringLiteral("/p")));
    EXPECT_TRUE(text.contains("            \"strainAutoMax\": [0, 0, 0, 0, 0, 0],\n"
                              "            \"manualStrain\": {\"1\": [-0.02, 0.01], \"5\": [-1e-05, 2e-05]},\n"
                              "            \"manualCriteria\": {\"Von \\\"Mises\\\"\": [0, 0.05]},\n"
                              "            \"hasFracture\": true,\n"))
        << text.toStdString();
    EXPECT_TRUE(text.contains("            \"manualFracture\": {\"8\": [-30, 45.5]}\n        }\n"));

    const ProjectParameters back = parsed(text);
    ASSERT_EQ(back.resultCache.size(), 1u);
    const ResultRangeEntry& read = back.resultCache[0];
    EXPECT_EQ(read.manualStrain, entry.manualStrain);
    EXPECT_EQ(read.manualCriteria, entry.manualCriteria);
    EXPECT_EQ(read.manualFracture, entry.manualFracture);
    EXPECT_EQ(formatProjectParameters(back, QDir(QStringLiteral("/p"))), text);
}

// A height map's four numbers stay its data and automatic ranges; a range set
// by hand travels beside them, and files written before it read as automatic.
TEST(ProjectParametersFile, AHeightRangeSetByHandTravelsApartFromTheDataAndAutomaticRanges) {
    ProjectParameters p;
    HeightRangeEntry entry{3, -12.5f, 40.0f, -10.0f, 38.0f};
    entry.manualUz = std::array<float, 2>{-2.0f, 6.5f};
    p.heightCache = {{0, -1.0f, 1.0f, -0.5f, 0.5f}, entry};
    const QByteArray text = formatProjectParameters(p, QDir(QStringLiteral("/p")));
    EXPECT_TRUE(text.contains("        \"0\": {\n            \"minUz\": -1, \"maxUz\": 1,\n"
                              "            \"autoMin\": -0.5, \"autoMax\": 0.5\n        },\n"))
        << text.toStdString();
    EXPECT_TRUE(text.contains("            \"autoMin\": -10, \"autoMax\": 38,\n"
                              "            \"manualUz\": [-2, 6.5]\n        }\n"))
        << text.toStdString();

    const ProjectParameters back = parsed(text);
    ASSERT_EQ(back.heightCache.size(), 2u);
    EXPECT_FALSE(back.heightCache[0].manualUz);
    EXPECT_EQ(back.heightCache[1].minUz, -12.5f);
    EXPECT_EQ(back.heightCache[1].autoMax, 38.0f);
    EXPECT_EQ(back.heightCache[1].manualUz, entry.manualUz);
    EXPECT_EQ(formatProjectParameters(back, QDir(QStringLiteral("/p"))), text);
}

TEST(ProjectParametersReader, AFileWithoutHandSetStrainOrFractureRangesReadsThemAllAutomatic) {
    const ProjectParameters p = parsed(kGolden);
    ASSERT_EQ(p.resultCache.size(), 3u);
    for (const ResultRangeEntry& entry : p.resultCache) {
        EXPECT_FALSE(entry.manualUx || entry.manualUy);
        EXPECT_EQ(entry.manualStrain, ResultRangeEntry().manualStrain);
        EXPECT_TRUE(entry.manualCriteria.empty());
        EXPECT_EQ(entry.manualFracture, ResultRangeEntry().manualFracture);
    }
}

// What a hand-edited file may say: only ranges that can be drawn, of maps the
// entry holds, at components that exist.
TEST(ProjectParametersReader, HandSetRangesThatCannotBeShownAreDropped) {
    const ProjectParameters p = parsed(R"j({"resultCache": {
        "0": {"autoMaxUx": 1, "hasStrain": true, "strainMin": [0],
              "manualStrain": {"0": [2, 1], "1": [1, 1], "2": [1, 2, 3], "3": "x", "6": [0, 1], "x": [0, 1],
                               "4": [3e38, 4e38], "5": [-1, 1]},
              "manualCriteria": {"": [0, 1], "Max Shear": [0, 0.5], "Bad": [1]},
              "manualFracture": {"0": [0, 1]}},
        "1": {"autoMaxUx": 1, "manualStrain": {"0": [0, 1]}, "manualCriteria": {"A": [0, 1]},
              "hasFracture": true, "manualFracture": {"9": [0, 1], "8": [-1, 1]}}}})j");
    ASSERT_EQ(p.resultCache.size(), 2u);
    const ResultRangeEntry& strains = p.resultCache[0];
    const ResultRangeEntry& fracture = p.resultCache[1];
    for (std::size_t c = 0; c < 5; ++c)
        EXPECT_FALSE(strains.manualStrain[c]) << c;
    EXPECT_EQ(strains.manualStrain[5], (std::array<float, 2>{-1.0f, 1.0f}));
    EXPECT_EQ(strains.manualCriteria, (std::map<std::string, std::array<float, 2>>{{"Max Shear", {0.0f, 0.5f}}}));
    EXPECT_EQ(strains.manualFracture, ResultRangeEntry().manualFracture) << "the entry holds no fracture maps";
    EXPECT_EQ(fracture.manualStrain, ResultRangeEntry().manualStrain) << "the entry holds no strains";
    EXPECT_TRUE(fracture.manualCriteria.empty());
    for (std::size_t m = 0; m < 8; ++m)
        EXPECT_FALSE(fracture.manualFracture[m]) << m;
    EXPECT_EQ(fracture.manualFracture[8], (std::array<float, 2>{-1.0f, 1.0f}));
}

class MalformedProjectDocument : public ::testing::TestWithParam<const char*> {};

TEST_P(MalformedProjectDocument, IsRefusedWithAMessageAndLeavesTheModelAlone) {
    ProjectParameters out;
    out.windowSizeX = 77;
    QString error;
    EXPECT_FALSE(parseProjectParameters(GetParam(), QDir(QStringLiteral("/nonexistent")), {}, out, error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(out.windowSizeX, 77);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, MalformedProjectDocument,
    ::testing::Values("", "[]", "[{\"windowSizeX\": 3}]", "3", "\"text\"", "null",
                      "{\"windowSizeX\": 3, \"epsilon\": NaN}", "{\"epsilon\": 1e999}",
                      "{\"windowSizeX\": 3, \"strain\": {\"derivativeKernels\": [", "{\"strain\": 4}",
                      "{\"mosaic\": []}", "{\"deformedImages\": {\"a\": 1}}", "{\"roi\": [1, 2]}",
                      "{\"resultCache\": {\"0\": {\"hasStrain\": true, \"strainMin\": 3}}}",
                      "{\"resultCache\": {\"0\": {\"hasStrain\": true, \"manualStrain\": [[0, 1]]}}}",
                      "{\"resultCache\": {\"0\": {\"hasFracture\": true, \"manualFracture\": 2}}}",
                      "{\"mosaic\": {\"refTilePositions\": [{\"bounds\": 5}]}}"));

TEST(ProjectParametersReader, FilesAreBoundedAndMustBeRegular) {
    const testing::TempDir dir("tavro_project");
    ProjectParameters out;
    QString error;
    ProjectReadFailure failure = ProjectReadFailure::None;
    EXPECT_FALSE(readProjectParametersFile(qpath(dir.file("missing.json")), {}, out, error, failure));
    EXPECT_EQ(failure, ProjectReadFailure::Open);
    EXPECT_FALSE(readProjectParametersFile(qpath(dir.path()), {}, out, error, failure));
    EXPECT_EQ(failure, ProjectReadFailure::Open);
    const QString huge = qpath(dir.file("huge.json"));
    touch(huge, "{\"a\": \"" + QByteArray(static_cast<int>(kMaxParametersFileBytes), 'x') + "\"}");
    EXPECT_FALSE(readProjectParametersFile(huge, {}, out, error, failure));
    EXPECT_EQ(failure, ProjectReadFailure::Parse);
}

TEST(ProjectParametersFile, AFailedWriteLeavesTheOldFileByteForByte) {
    const testing::TempDir dir("tavro_project");
    const QString path = qpath(dir.file("parameters.json"));
    ProjectParameters p;
    QString error;
    ASSERT_TRUE(writeProjectParametersFile(path, p, error));
    QFile before(path);
    ASSERT_TRUE(before.open(QIODevice::ReadOnly));
    const QByteArray old = before.readAll();
    before.close();
    p.windowSizeX = 99;
    bool written = true;
    {
        const testing::ScopedFileSizeLimit limit(64);
        written = writeProjectParametersFile(path, p, error);
    }
    EXPECT_FALSE(written);
    EXPECT_EQ(error, qt_error_string(EFBIG)) << "the system's reason, not Qt's unknown error";
    QFile after(path);
    ASSERT_TRUE(after.open(QIODevice::ReadOnly));
    EXPECT_EQ(after.readAll(), old);
    EXPECT_EQ(QDir(qpath(dir.path())).entryList(QDir::Files), QStringList{QStringLiteral("parameters.json")});
}

TEST(ResolveStoredPath, TheProjectFolderComesFirstThenTrailingSubpathsOfForeignPaths) {
    const testing::TempDir dir("tavro_project");
    const QDir project(qpath(dir.path()));
    touch(project.filePath(QStringLiteral("images/ref.tif")));
    const QString expected = project.filePath(QStringLiteral("images/ref.tif"));
    EXPECT_EQ(resolveStoredPath(project, QString()), QString());
    EXPECT_EQ(resolveStoredPath(project, QStringLiteral("images/ref.tif")), expected);
    EXPECT_EQ(resolveStoredPath(project, QStringLiteral("D:/old/study/images/ref.tif")), expected);
    EXPECT_EQ(resolveStoredPath(project, QStringLiteral("D:\\old\\study\\images\\ref.tif")), expected);
    EXPECT_EQ(resolveStoredPath(project, QStringLiteral("/elsewhere/gone.tif")), QStringLiteral("/elsewhere/gone.tif"));
    // A file of the same relative name in the working directory loses.
    const QString saved = QDir::currentPath();
    const testing::TempDir other("tavro_cwd");
    QDir::setCurrent(qpath(other.path()));
    touch(QStringLiteral("images/ref.tif"));
    EXPECT_EQ(resolveStoredPath(project, QStringLiteral("images/ref.tif")), expected);
    QDir::setCurrent(saved);
}

TEST(ProjectParametersReader, HandEditedRectanglesAbsentKeysAndMissingTilesAreReadSafely) {
    // Rectangles at the edge of int would overflow x + width in QRect.
    const ProjectParameters p = parsed(R"j({"roi": {"x": 2147483647, "y": 0, "width": 2147483647, "height": 1},
        "mosaic": {"tileCropX": 2147483647, "tileCropY": 5, "tileCropWidth": 2147483647, "tileCropHeight": 9,
                   "refTilePositions": [{"bounds": {"x": -2147483648, "y": 0, "w": 2147483647, "h": 3}}]}})j");
    ASSERT_TRUE(p.mosaic->refTilePositions.at(0).bounds);
    const QRect rects[] = {p.roi, p.mosaic->tileCrop, *p.mosaic->refTilePositions.at(0).bounds};
    for (const QRect& rect : rects) {
        EXPECT_GE(qint64(rect.x()) + rect.width(), qint64(rect.x())) << "no wrapped rectangle";
        EXPECT_LE(qint64(rect.x()) + rect.width(), qint64(std::numeric_limits<int>::max()) + 1);
        EXPECT_GE(rect.width(), 0);
    }
    EXPECT_EQ(p.roi.width(), 1 << 29);

    // Absent keys take a new project's values; present ones keep theirs.
    const ProjectParameters fresh;
    const ProjectParameters empty = parsed("{}");
    EXPECT_EQ(empty.epsilon, fresh.epsilon);
    EXPECT_EQ(empty.maxIterations, fresh.maxIterations);
    EXPECT_EQ(empty.fractureOpeningMin, fresh.fractureOpeningMin);
    EXPECT_EQ(empty.fractureRidgeThickness, fresh.fractureRidgeThickness);
    const ProjectParameters given = parsed(R"j({"epsilon": 0.01, "maxIterations": 7, "fractureOpeningMin": 0,
                                                "fractureRidgeThickness": 2})j");
    EXPECT_EQ(given.epsilon, 0.01);
    EXPECT_EQ(given.maxIterations, 7);
    EXPECT_EQ(given.fractureOpeningMin, 0.0);
    EXPECT_EQ(given.fractureRidgeThickness, 2);

    // A missing tile keeps its slot; later tiles do not move into it.
    const testing::TempDir dir("tavro_project");
    const QDir project(qpath(dir.path()));
    touch(project.filePath(QStringLiteral("t1.tif")));
    touch(project.filePath(QStringLiteral("t3.tif")));
    const ProjectParameters tiles = parsed(R"j({"mosaic": {"referenceTiles": ["t1.tif", "t2.tif", "t3.tif"],
                                                "deformedStates": [["t3.tif", "gone.tif"]]}})j", project);
    ASSERT_EQ(tiles.mosaic->referenceTiles.size(), 3);
    EXPECT_EQ(tiles.mosaic->referenceTiles[2], project.filePath(QStringLiteral("t3.tif")));
    EXPECT_EQ(tiles.mosaic->deformedStates.at(0).size(), 2);
}

TEST(ProjectParametersReader, HandEditedValuesOutOfRangeAreBroughtInAndNamed) {
    const ProjectParameters p = parsed(R"j({"windowSizeX": -7, "windowSizeY": 31, "stepX": 100000,
        "maxIterations": 0, "interpolationIndex": 9, "dofIndex": -1, "epsilon": 5,
        "mosaic": {"gridRows": -2, "gridCols": 4}})j");
    EXPECT_EQ(p.windowSizeX, int(kWindowSizeRange.minimum));
    EXPECT_EQ(p.windowSizeY, 31);
    EXPECT_EQ(p.stepX, int(kStepRange.maximum));
    EXPECT_EQ(p.maxIterations, 1);
    EXPECT_EQ(p.interpolationIndex, ProjectParameters().interpolationIndex) << "a choice off the list: the default";
    EXPECT_EQ(p.dofIndex, ProjectParameters().dofIndex);
    EXPECT_EQ(p.epsilon, kToleranceRange.maximum);
    EXPECT_EQ(p.mosaic->gridRows, 1);
    EXPECT_EQ(p.mosaic->gridCols, 4);
    EXPECT_EQ(p.outOfRangeKeys, (QStringList{QStringLiteral("gridRows"), QStringLiteral("windowSizeX"),
                                             QStringLiteral("stepX"), QStringLiteral("dofIndex"),
                                             QStringLiteral("interpolationIndex"), QStringLiteral("epsilon"),
                                             QStringLiteral("maxIterations")}));
    EXPECT_TRUE(parsed("{}").outOfRangeKeys.isEmpty()) << "a new project's values are all in range";
}

TEST(ProjectParametersReader, AnEmptyFileAndAnOversizedOneSayWhatIsWrong) {
    const testing::TempDir dir("tavro_project");
    ProjectParameters out;
    QString error;
    ProjectReadFailure failure = ProjectReadFailure::None;
    const QString empty = qpath(dir.file("parameters.json"));
    touch(empty, "  \n");
    EXPECT_FALSE(readProjectParametersFile(empty, {}, out, error, failure));
    EXPECT_EQ(error, QStringLiteral("the file is empty"));
    const QString huge = qpath(dir.file("big.json"));
    touch(huge, QByteArray(static_cast<int>(kMaxParametersFileBytes) + 10, ' '));
    EXPECT_FALSE(readProjectParametersFile(huge, {}, out, error, failure));
    EXPECT_TRUE(error.startsWith(QStringLiteral("big.json is larger than"))) << error.toStdString();
}

TEST(ResolveStoredPath, RelativePathsAreCleanedAndAFolderIsNeverAnImage) {
    const testing::TempDir dir("tavro_project");
    const QDir project(qpath(dir.path()) + QStringLiteral("/study/run"));
    touch(qpath(dir.path()) + QStringLiteral("/study/shared/ref.tif"));
    EXPECT_EQ(resolveStoredPath(project, QStringLiteral("../shared/ref.tif")),
              qpath(dir.path()) + QStringLiteral("/study/shared/ref.tif"));
    // Missing relative paths are named in the project folder, cleaned; a
    // folder is not taken for the image.
    EXPECT_EQ(resolveStoredPath(project, QStringLiteral("../../x.tif")), qpath(dir.path()) + QStringLiteral("/x.tif"));
    EXPECT_FALSE(QFileInfo(resolveStoredPath(project, QStringLiteral("."))).isFile());
    EXPECT_NE(resolveStoredPath(project, QStringLiteral("..")), qpath(dir.path()) + QStringLiteral("/study"));
    EXPECT_EQ(resolveStoredPath(project, QStringLiteral("D:\\old\\gone.tif")), QStringLiteral("D:\\old\\gone.tif"));
}

TEST(ResolveStoredPath, NoStoredTextNamesAFolderAPrefixOrAPlaceAboveTheRoot) {
    const testing::TempDir dir("tavro_project");
    const QDir project(qpath(dir.path()));
    touch(project.filePath(QStringLiteral("ref.tif")));
    // Climbing past the root stays at the root, cleaned.
    const QString climbed = resolveStoredPath(project, QStringLiteral("../../../../../../../../../../x.tif"));
    EXPECT_EQ(climbed, QStringLiteral("/x.tif"));
    // A relative name of a folder is not made into the folder's path: it
    // stays as stored, to be reported as no image.
    for (const QString& folder : {QStringLiteral("."), QStringLiteral(".."), QStringLiteral("./")})
        EXPECT_EQ(resolveStoredPath(project, folder), folder);
    // A NUL would cut the name to a file that exists: nothing is opened by it.
    const QString cut = QStringLiteral("ref.tif") + QChar(0) + QStringLiteral("x");
    const QString resolved = resolveStoredPath(project, cut);
    EXPECT_NE(resolved, project.filePath(QStringLiteral("ref.tif")));
    EXPECT_FALSE(QFileInfo::exists(project.filePath(resolved)));
    ProjectParameters read;
    QString error;
    ProjectReadFailure failure = ProjectReadFailure::None;
    EXPECT_FALSE(readProjectParametersFile(project.filePath(cut), ProjectReadDefaults(), read, error, failure));
    EXPECT_EQ(failure, ProjectReadFailure::Open);
}

}  // namespace tavro::gui
