// Busy state of the window while background tasks or a correlation run.
#include "gui/mainwindow/main_widget.h"

#include "gui/mainwindow/run_async.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QPushButton>
#include <QScrollArea>

#include "gui/style/switch_widget.h"

namespace tavro::gui {

BusyScope::BusyScope(MainWidget* window, bool allowStop) : window_(window) {
    if (window_)
        window_->pushBusy(allowStop);
}

BusyScope::~BusyScope() {
    if (window_)
        window_->popBusy();
}

void MainWidget::pushBusy(bool allowStop) {
    if (++busyCounter != 1)
        return;
    setUiBusy(true);
    if (stopButton)
        stopButton->setEnabled(allowStop);
}

void MainWidget::popBusy() {
    if (busyCounter <= 0)
        return;
    if (--busyCounter != 0)
        return;
    const bool running = computationRunning || runInProgress;
    setUiBusy(running);
    if (stopButton)
        stopButton->setEnabled(running);
}

void MainWidget::setUiBusy(bool busy) {
    const auto enable = [busy](QWidget* widget) {
        if (widget)
            widget->setEnabled(!busy);
    };
    enable(controlScrollArea ? controlScrollArea->widget() : nullptr);
    enable(selectProjectFolderButton);
    enable(mosaicSwitch);
    for (QPushButton* button : mosaicDefStateButtons)
        enable(button);
    enable(mosaicReferenceTabButton);
    enable(mosaicAddStateButton);
    enable(mosaicDeleteStateButton);
    enable(alignMosaicButton);
    enable(referenceSegmentButton);
    enable(deformedSegmentButton);
    enable(computeButton);
    if (!busy && perTileMode)
        for (QWidget* block : {gridGeometryBlock, alignMosaicRow, maskBlock, roiBlock})
            if (block)
                block->hide();
}

}  // namespace tavro::gui
