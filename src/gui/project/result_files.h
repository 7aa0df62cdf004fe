#pragma once
// Where a project keeps its results: one folder per kind of field, one float
// TIFF per field, named by the deformed state's base name and the field's
// suffix. Readers, writers and the deletion before a new run share these rules.

#include <QRect>
#include <QString>
#include <QStringList>

#include <array>

#include "compute/result_geometry.h"

namespace tavro::gui {

inline const QString kDisplacementsFolder = QStringLiteral("Displacements");
inline const QString kStrainsFolder = QStringLiteral("Strains");
inline const QString kFractureFolder = QStringLiteral("Fracture");
// Older projects named the crack folder so: read, never written.
inline const QString kLegacyFractureFolder = QStringLiteral("Rupture");
inline const QString kHeightFolder = QStringLiteral("Height");

// The folders a new run clears and an overwritten project loses.
const QStringList& resultFolderNames();

inline constexpr std::array<const char*, 2> kDisplacementSuffixes{"_ux", "_uy"};
// epsXX, epsYY, epsXY, principal I and II, rotation.
inline constexpr std::array<const char*, 6> kStrainSuffixes{"_exx", "_eyy", "_exy", "_e1", "_e2", "_rotation"};
// The nine crack maps in their display order.
inline constexpr std::array<const char*, 9> kFractureSuffixes{"_cox",    "_coy",       "_intensity",
                                                              "_alpha",  "_beta",      "_crackpos",
                                                              "_cristlong", "_cristtrans", "_cristangle"};

// Appended to a crack map's suffix by the maps derived along the crack lines.
inline const QString kDerivedSuffix = QStringLiteral("_derived");

// Lower case, blanks to "_", then only a-z, 0-9 and "_" kept: "Max Shear" -> "max_shear".
QString criterionSlug(const QString& name);

// Which folders a base name's results reach: a state's mosaic writes the
// correlation maps, a state's height base only its u_z map, an image or tile both.
enum class ResultKinds { Correlation = 1, Height = 2, All = 3 };

// The exact files, relative to the project folder ("Strains/load_exx.tif"),
// that results written under `baseName` occupy, given the criteria's slugs.
// A file is attributed to an input only by being in this list: a name cannot
// be read back into its owner ("load_max_shear" is load's or load_max's).
QStringList resultFilesOf(const QString& baseName, const QStringList& criterionSlugs,
                          ResultKinds kinds = ResultKinds::All);

// Removes each of `gone` (relative to the project folder) that is not also in
// `kept` and is a file, not a link; false when one could not be removed.
bool removeProjectFiles(const QString& projectFolder, const QStringList& gone, const QStringList& kept);

// folder/sub/base + suffix + ".tif"
QString resultFilePath(const QString& projectFolder, const QString& sub, const QString& baseName,
                       const QString& suffix);

// The files directly inside the result folders of `projectFolder`, without
// the temporary files of writes that never finished.
QStringList existingResultFiles(const QString& projectFolder);

// Removes the temporary files that our writers left in the project folder and
// its result folders when they were killed; returns how many. Call it only
// while none of ours is writing there.
int removeLeftoverTemporaryFiles(const QString& projectFolder);

// Every base name that more than one state would write its results under,
// compared as the result folder of a case-blind file system would.
QStringList clashingResultNames(const QStringList& baseNames);

struct GridCanvas {
    int width = 0;
    int height = 0;
    int offsetX = 0;
    int offsetY = 0;
};

// False when the geometry cannot place the grid, or the canvas is the grid itself.
bool fullImageGridLayout(int gridWidth, int gridHeight, const ResultGeometry& geometry, GridCanvas& canvas);

}  // namespace tavro::gui
