#pragma once
// The values a project folder's parameters.json holds, without widgets: the
// window fills this record from its controls and members before writing and
// sets them from it after reading.

#include "core/strain_settings.h"

#include <QByteArray>
#include <QDir>
#include <QList>
#include <QRect>

#include "compute/result_geometry.h"
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tavro::gui {

// A derivative or smoothing kernel of the strain computation, by name.
struct NamedKernel {
    std::string name;
    std::vector<float> coefficients;
};

// "Order 2", "Order 4", "Order 6": central differences of those orders.
std::vector<NamedKernel> builtinDerivativeKernels();
// "None" (no coefficients), "Sobel", "Prewitt"; not normalised.
std::vector<NamedKernel> builtinSmoothingKernels();
// "Von Mises" (enabled) and "Max Shear" (disabled).
std::vector<StrainCriterion> defaultStrainCriteria();

// Bounds of the stored values that the window's controls cannot hold
// otherwise; the reader clamps into them.
inline constexpr int kMaxRidgeThickness = 99;
inline constexpr double kMaxFractureOpening = 5.0;
// A parameters file is a few kilobytes; anything far larger is not one.
inline constexpr std::size_t kMaxParametersFileBytes = 8u << 20;

// What the window's controls accept; a value read outside is brought to the
// nearest bound (a choice off its list to the default) and named in
// ProjectParameters::outOfRangeKeys.
struct ValueRange {
    double minimum;
    double maximum;
};
inline constexpr ValueRange kWindowSizeRange{5, 256};
inline constexpr ValueRange kStepRange{1, 128};
inline constexpr ValueRange kSearchRange{0, 1024};
inline constexpr ValueRange kToleranceRange{1e-9, 0.1};
inline constexpr ValueRange kMaxIterationsRange{1, 200};
inline constexpr ValueRange kMaxJumpRange{0, 50};
inline constexpr ValueRange kModeIndexRange{0, 4};
inline constexpr ValueRange kInterpolationIndexRange{0, 2};
inline constexpr ValueRange kGridCountRange{1, 50};
inline constexpr ValueRange kOverlapRange{0, 50};
inline constexpr ValueRange kScanOrderRange{0, 2};

// A tile's saved placement in a mosaic; the stitching engine's own words are
// not stored.
struct ProjectTilePosition {
    int32_t row = 0;
    int32_t col = 0;
    int32_t tileIndex = -1;
    bool isPresent = true;
    float tx = 0.0f;
    float ty = 0.0f;
    float rotation = 0.0f;
    // Null when the file had none: the record then keeps its default bounds.
    std::optional<QRect> bounds;
};

struct StrainParameters {
    std::vector<NamedKernel> derivativeKernels;
    std::vector<NamedKernel> smoothingKernels;
    int selectedDerivativeKernelIndex = 0;
    int selectedSmoothingKernelIndex = 0;
    std::vector<StrainCriterion> criteria;
};

struct MosaicParameters {
    bool enabled = false;
    bool batchTileMode = false;
    int gridRows = 3;
    int gridCols = 3;
    int overlapX = 20;
    int overlapY = 20;
    // Row by row.
    int scanOrderIndex = 1;
    bool usePhaseCorrelation = true;
    bool allowMissingTiles = false;
    QString missingTilePositions;
    bool refineNonRigid = false;
    // Null means no crop.
    QRect tileCrop;
    // Size of the assembled mosaic; absent in the file when never assembled.
    std::optional<QSize> finalSize;
    QStringList referenceTiles;
    QList<QStringList> deformedStates;
    std::vector<ProjectTilePosition> refTilePositions;
    std::vector<ProjectTilePosition> defTilePositions;
    std::vector<std::vector<ProjectTilePosition>> defTilePositionsStates;
};

struct HeightParameters {
    QStringList referenceTiles;
    QList<QStringList> deformedStates{QStringList()};
    int currentStateIndex = 0;
    bool hasResult = false;
    bool saveFullImage = false;
};

// Display ranges of one correlation result, by its index in the result list.
struct ResultRangeEntry {
    int index = 0;
    float minUx = 0.0f, maxUx = 0.0f, autoMinUx = 0.0f, autoMaxUx = 0.0f;
    float minUy = 0.0f, maxUy = 0.0f, autoMinUy = 0.0f, autoMaxUy = 0.0f;
    std::optional<std::array<float, 2>> rigidShift;
    // A display range set by hand (low, high); absent while it is automatic.
    std::optional<std::array<float, 2>> manualUx, manualUy;
    bool hasStrain = false;
    // Elements read from the file (at most 6); the rest keep 0.
    int strainCount = 0;
    std::array<float, 6> strainMin{}, strainMax{}, strainAutoMin{}, strainAutoMax{};
    // Hand-set ranges of the six components and of the criteria, by name;
    // read only with hasStrain.
    std::array<std::optional<std::array<float, 2>>, 6> manualStrain{};
    std::map<std::string, std::array<float, 2>> manualCriteria;
    bool hasFracture = false;
    int fractureCount = 0;
    std::array<float, 9> fractureMin{}, fractureMax{}, fractureAutoMin{}, fractureAutoMax{};
    std::array<std::optional<std::array<float, 2>>, 9> manualFracture{};
    // Where the result's grid lies on the reference image, as computed.
    std::optional<ResultGeometry> geometry;
};

struct HeightRangeEntry {
    int index = 0;
    // The map's data range and automatic display range.
    float minUz = 0.0f, maxUz = 0.0f, autoMin = 0.0f, autoMax = 0.0f;
    // A display range set by hand (low, high); absent while it is automatic.
    std::optional<std::array<float, 2>> manualUz = std::nullopt;
};

// Image paths are absolute (or as the user gave them) in this record; the
// writer stores them relative to the file's folder and the reader resolves
// them again. The defaults are a new project's values: what the window starts
// with and what a key absent from a file reads as.
struct ProjectParameters {
    QString projectFolder;
    QString referenceImage;
    QStringList deformedImages;
    // Keys whose stored value lay outside what the controls accept, in the
    // order read; their values here are the nearest bounds.
    QStringList outOfRangeKeys;
    // Absent in the file: neither the flag nor the mask path is read.
    std::optional<bool> useMask;
    QString maskImage;
    QRect roi;
    int windowSizeX = 61;
    int windowSizeY = 61;
    int stepX = 4;
    int stepY = 4;
    int searchUp = 6;
    int searchDown = 6;
    int searchLeft = 6;
    int searchRight = 6;
    // First-order gradients, the second entry of the mode list.
    int dofIndex = 1;
    int interpolationIndex = 0;
    double epsilon = 0.0001;
    int maxIterations = 30;
    double fractureOpeningMin = 0.1;
    int fractureRidgeThickness = 5;
    bool enableTwinning = false;
    int maxJumpAmplitude = 0;
    bool enableNLC = false;
    bool saveFullImage = false;
    // An absent block leaves the window's matching state as it is.
    std::optional<StrainParameters> strain;
    std::optional<MosaicParameters> mosaic;
    std::optional<HeightParameters> heightFields;
    std::vector<ResultRangeEntry> resultCache;
    // Results of the mosaic assembly not chosen (state mosaics while tiles are
    // correlated one by one, or the reverse), numbered as that assembly numbers
    // them; choosing it again shows them with their rigid shifts.
    std::vector<ResultRangeEntry> otherAssemblyResultCache;
    std::vector<HeightRangeEntry> heightCache;
    // The height maps' ranges of that assembly, numbered as it numbers its maps.
    std::vector<HeightRangeEntry> otherAssemblyHeightCache;
};

// What a `strain` block without its lists (an older file) falls back to.
struct ProjectReadDefaults {
    std::vector<NamedKernel> builtInDerivativeKernels = builtinDerivativeKernels();
    std::vector<NamedKernel> builtInSmoothingKernels = builtinSmoothingKernels();
    std::vector<StrainCriterion> defaultCriteria = defaultStrainCriteria();
};

QString escapeJson(const QString& text);

// The whole text of parameters.json; paths relative to `baseDir`.
QByteArray formatProjectParameters(const ProjectParameters& parameters, const QDir& baseDir);

// Writes through a temporary file in the same folder that replaces `path`
// only once complete, so a failed write leaves the old file whole.
bool writeProjectParametersFile(const QString& path, const ProjectParameters& parameters, QString& error);

// A stored path made into one that exists when possible: as given, then
// inside the project folder, then with leading components dropped one by one.
QString resolveStoredPath(const QDir& projectDir, const QString& stored);

enum class ProjectReadFailure { None, Open, Parse };

// Parses a document. A text that is not a JSON object, or whose blocks have
// the wrong shape, is refused whole: `out` is then left as it was.
bool parseProjectParameters(const QByteArray& text, const QDir& projectDir, const ProjectReadDefaults& defaults,
                            ProjectParameters& out, QString& error);

// Reads at most kMaxParametersFileBytes from a regular file and parses it.
bool readProjectParametersFile(const QString& path, const ProjectReadDefaults& defaults, ProjectParameters& out,
                               QString& error, ProjectReadFailure& failure);

}  // namespace tavro::gui
