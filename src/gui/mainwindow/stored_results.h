#pragma once
// Which results of a state a project folder holds in a form that can be read
// back: judged from the headers of its float files, before any pixel is read.

#include <QString>

namespace tavro::gui {

struct StoredResultParts {
    bool displacements = false;
    bool strains = false;
    bool fracture = false;
};

// Ux and Uy of one size; the five strain fields of one size; the four crack
// maps of one size, in the crack folder or its older name. Strains and cracks
// count only beside displacements, as they are shown only with them.
StoredResultParts storedResultParts(const QString& projectFolder, const QString& baseName);

// A height map that would load: a float file with a header we accept.
bool readableHeightResult(const QString& projectFolder, const QString& baseName);

}  // namespace tavro::gui
