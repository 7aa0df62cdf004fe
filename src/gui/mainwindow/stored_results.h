#pragma once
// Which results of a state a project folder holds in a form that can be read
// back: judged from the headers of its float files, before any pixel is read.

#include "compute/computation_types.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <array>
#include <optional>

namespace tavro::gui {

struct StoredResultParts {
    bool displacements = false;
    bool strains = false;
    bool fracture = false;
    // The files of a group found without the rest of it, as a run stopped
    // between two of its files leaves them: file names, in writing order.
    QStringList incomplete;
};

// Ux and Uy of one size; the five strain fields of one size; the four crack
// maps of one size, in the crack folder or its older name. Strains and cracks
// count only beside displacements, as they are shown only with them.
StoredResultParts storedResultParts(const QString& projectFolder, const QString& baseName);

// A height map that would load: a float file with a header we accept.
bool readableHeightResult(const QString& projectFolder, const QString& baseName);

// The Ux (component 0) and Uy (1) files carry their component of the rigid
// shift the search measured after, so that the pair keeps it even when the
// project file never recorded it.
QByteArray rigidShiftDescription(int component, float shift);
std::optional<float> rigidShiftFromDescription(int component, const QByteArray& description);
// Both components, from the displacement files of `baseName`; none when
// either file lacks its own.
std::optional<std::array<float, 2>> storedRigidShift(const QString& projectFolder, const QString& baseName);
// A result that no entry of the project file describes, as when the program
// ended between its files and the file's next save, takes the shift its
// files carry; one the project file describes keeps the file's.
void adoptStoredRigidShift(const QString& projectFolder, const QString& baseName, ComputationResult& result);

}  // namespace tavro::gui
