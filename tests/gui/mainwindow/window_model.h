#pragma once
// The window driven by sequences of user actions and checked, after every
// action, against what each image, state and tile must hold.
//
// Every input is known by its file: deformed image, state or tile number k is
// the reference moved by shiftOf(id) and its height map is riseOf(id)
// everywhere, and the model keeps which file holds which id. Most names are
// tame ("i3v2.tif": image 3, id 2); others are drawn to look like the files
// results are written to ("state_001", "mosaic_state_2_t0", "load" beside
// "load_max" with a "Max Shear" criterion, names alike but for case), since no
// result file may be told by a name prefix. So any field, caption, file or u_z
// the window shows or writes can be traced back to the input it came from,
// whatever the window did to its lists in between.

#include "action_sequence.h"

#include <QPointF>
#include <QString>

#include <string>
#include <vector>

namespace tavro::gui::model {

inline constexpr int kTile = 96;
inline constexpr int kIds = 6;

// Id 1 is a whole-pixel move and id 6 none at all: their fields are zero once the rigid shift is taken out.
inline QPointF shiftOf(int id) {
    static const QPointF shifts[kIds + 1] = {{0.0, 0.0},  {1.0, 0.0},  {0.3, -0.2}, {1.3, -0.7},
                                             {2.3, -1.2}, {-0.6, 0.8}, {0.0, 0.0}};
    return id >= 0 && id <= kIds ? shifts[id] : QPointF();
}
inline float riseOf(int id) { return 0.5f + static_cast<float>(id); }

// The hostile base name an image added by "AddNamed(id,choice)" gets, and the stem of the tiles "TilesNamed(id,choice)"
// gives the state `state` (0-based): names the window writes results under for states, or that other names extend.
QString hostileImageName(int choice);
QString hostileTileStem(int choice, int state);

const std::vector<ActionKind>& singleImageActions();
const std::vector<ActionKind>& mosaicActions();

// Tags of the checks left out, comma-separated: TAVRO_MODEL_IGNORE's, unless a test sets them.
std::string& ignoredChecks();

// Plays the sequence in a fresh window; empty when every check held, else "[what] details" of the first that failed,
// followed by the actions played up to it.
std::string play(const Sequence& sequence);

}  // namespace tavro::gui::model
