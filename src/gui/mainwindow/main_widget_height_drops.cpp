// Height files dropped onto the window while the "HEIGHT MAPS" panel is shown
// go where that panel's "+" button would put them.
#include "gui/mainwindow/main_widget.h"

#include <QStackedWidget>

namespace tavro::gui {

bool MainWidget::dropOnHeightPanel(const QStringList& files) {
    if (!controlStack || !heightsPage || controlStack->currentWidget() != heightsPage)
        return false;
    if (heightMosaicMode()) {
        if (heightRefTiles.page && heightRefTiles.page->isVisibleTo(heightsPage))
            addHeightReferenceFiles(files);
        else if (heightDefTiles.page && heightDefTiles.page->isVisibleTo(heightsPage))
            addHeightDeformedFiles(files);
    } else if (heightSingleStack) {
        if (heightSingleStack->currentIndex() == 0)
            addHeightReferenceFiles(files);
        else
            addHeightDeformedFiles(files);
    }
    return true;
}

}  // namespace tavro::gui
