#pragma once
// Where a result's grid lies on the reference image: what strains, heights and
// full-image files need of the computation that made it, kept with the result
// since the controls may have changed since.

#include <QRect>

namespace tavro::gui {

struct ResultGeometry {
    QRect roi;
    int stepX = 0;
    int stepY = 0;
    int windowSizeX = 0;
    int windowSizeY = 0;
    int marginX = 0;  // larger of the left and right search ranges
    int marginY = 0;  // larger of the up and down search ranges
    int imageWidth = 0;
    int imageHeight = 0;
    // The grid the computation produced; a file of the image's size holds it
    // spread over the whole image.
    int gridWidth = 0;
    int gridHeight = 0;

    bool isSet() const { return stepX > 0 && stepY > 0; }
    bool operator==(const ResultGeometry&) const = default;
};

}  // namespace tavro::gui
