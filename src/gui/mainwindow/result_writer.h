#pragma once
// Writing the fields of one correlation into the project folder. A job holds
// its own copies of everything it writes, so the window may drop its results
// while the files are still being written.

#include <QString>
#include <QStringList>

#include <array>
#include <optional>
#include <vector>

#include "core/results.h"
#include "gui/project/result_files.h"

namespace tavro::gui {

struct ResultFilesJob {
    std::vector<float> dispX;
    std::vector<float> dispY;
    StrainResult strain;
    FractureResult fracture;
    QString projectFolder;
    bool saveFullImage = false;
    ResultGeometry geometry;
    int gridWidth = 0;
    int gridHeight = 0;
    QString baseName;
    bool hasStrains = false;
    bool hasFracture = false;
    // Written into the Ux and Uy files; none for a shift that is unknown.
    std::optional<std::array<float, 2>> rigidShift;
};

// Writes every file of the job, going on past a failed one; returns one
// "<path>: <reason>" line per file that could not be written.
QStringList saveCorrelationResultFiles(const ResultFilesJob& job);

}  // namespace tavro::gui
