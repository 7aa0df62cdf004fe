// The colour images of the shown result, kept with its entry: returning to a
// state or a component redraws nothing while the display range is the same.
#include "gui/mainwindow/main_widget.h"

#include "images/field_rendering.h"

namespace tavro::gui {

namespace {

QPoint canvasOffset(const std::optional<GridCanvas>& canvas, int width, int height) {
    if (!canvas || (canvas->width <= width && canvas->height <= height))
        return QPoint();
    return QPoint(canvas->offsetX, canvas->offsetY);
}

}  // namespace

ResultImage MainWidget::cachedResultImage(RenderSlot slot, const std::vector<float>& field, int width, int height,
                                          float low, float high, int component) {
    const std::optional<GridCanvas> canvas = resultCanvas(width, height);
    // Only the entry whose records are the ones shown may serve or keep an
    // image: while a state loads, the shown index still names the last one.
    ComputationResult* record = currentRecord();
    const bool owned = record && (slot == RenderSlot::Strain ? record->strains == current.strains
                                                             : record->displacements == shownDisplacements);
    // Criteria are looked up by name, which an edit of the list can move to
    // another index: only the six fixed components are kept.
    if (!owned || (slot == RenderSlot::Strain && (component < 0 || component >= kStrainRangeCount)))
        return renderResultField(field, width, height, low, high, kJetColorMap, canvas);
    ResultDisplayState& d = record->display;
    QImage& image = slot == RenderSlot::Ux ? d.uxImage : slot == RenderSlot::Uy ? d.uyImage : d.strainImage;
    float& drawnLow = slot == RenderSlot::Ux ? d.uxImageMin : slot == RenderSlot::Uy ? d.uyImageMin : d.strainImageMin;
    float& drawnHigh = slot == RenderSlot::Ux ? d.uxImageMax : slot == RenderSlot::Uy ? d.uyImageMax : d.strainImageMax;
    double& scale = slot == RenderSlot::Ux   ? d.uxImageScale
                    : slot == RenderSlot::Uy ? d.uyImageScale
                                             : d.strainImageScale;
    const bool sameComponent = slot != RenderSlot::Strain || d.strainImageComponent == component;
    if (!image.isNull() && sameComponent && drawnLow == low && drawnHigh == high)
        return ResultImage{image, scale, canvasOffset(canvas, width, height)};
    ResultImage drawn = renderResultField(field, width, height, low, high, kJetColorMap, canvas);
    image = drawn.image;
    drawnLow = low;
    drawnHigh = high;
    scale = drawn.scale;
    if (slot == RenderSlot::Strain)
        d.strainImageComponent = component;
    return drawn;
}

}  // namespace tavro::gui
