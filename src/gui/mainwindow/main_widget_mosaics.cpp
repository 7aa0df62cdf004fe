// The per-tile switch of the assembly choice and the height page's read-out label.
#include "gui/mainwindow/main_widget.h"

#include "gui/mainwindow/panel_rules.h"
#include "gui/mainwindow/panel_wiring.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>

namespace tavro::gui {

void MainWidget::onBatchTileModeToggled(bool checked) {
    const bool switched = checked != perTileMode;
    if (switched) {
        // Tile results read through state names (or the reverse) would pass for another input's.
        std::swap(results, otherAssemblyResults);
        resultMemoryUse.clear();
        emptyResultPages();
        // Out-of-plane maps are numbered the same way: the other assembly's are read from their files again.
        std::swap(heightResultRanges, otherAssemblyHeightRanges);
        heightResultCache.clear();
        forgetShownHeightMap();
    }
    perTileMode = checked;
    for (QWidget* block : {gridGeometryBlock, alignMosaicRow, maskBlock, roiBlock})
        if (block)
            block->setVisible(!checked);
    if (referenceView)
        referenceView->setRoiSelectionEnabled(!checked);
    // The views are drawn anew for the assembly chosen: no tile stays enlarged for the read-outs to read.
    if (switched)
        enlargedTileIndex = -1;
    if (checked) {
        previewTileIndex = -1;
        TAVRO_REACH(displayCurrentTilesInViews());
    } else if (!referenceImage.full.isNull()) {
        previewTileIndex = -1;
        TAVRO_REACH(displayAssembledMosaicsInViews());
    }
    TAVRO_REACH(updateDeformedList());
    TAVRO_REACH(updateResultSlider());
    if (batchGridActive())
        TAVRO_REACH(applyBatchResultSelection(true));
    else if (!checked && !results.empty() && resultCount() > 0)
        TAVRO_REACH(loadAndDisplayResult(0, true));
    if (switched) {
        // The chosen assembly's maps, as a reopened project shows them; whether they are stale is not for them to say.
        const bool stale = outOfPlaneStale;
        ProjectLoadReport shown;
        TAVRO_REACH(restoreHeightResults(shown));
        outOfPlaneStale = stale;
    }
    TAVRO_REACH(updateHeightNavBars());
    TAVRO_REACH(autosaveParameters());
}

void MainWidget::updateHeightHoverText(const QString& value, bool hasValue) {
    if (heightValueLabel)
        heightValueLabel->setText(hasValue ? value : QStringLiteral("w : \u2014"));
}

}  // namespace tavro::gui
