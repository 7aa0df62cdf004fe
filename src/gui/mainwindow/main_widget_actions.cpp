// Wiring of the controls that start the window's main actions: loading a
// project, starting and stopping a computation, the region of interest in both
// directions between the reference view and its boxes, clicks in the input
// views and the computation mode.
#include "gui/mainwindow/main_widget.h"

#include "gui/mainwindow/panel_wiring.h"

#include <QComboBox>
#include <QEvent>
#include <QMouseEvent>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QSpinBox>

#include <functional>
#include <utility>

namespace tavro::gui {

namespace {

// Reports the left button going down and up in a view's viewport. It sees
// the event before the view does, so the ROI the view reports on release
// already finds the button up.
class LeftButtonWatcher : public QObject {
public:
    LeftButtonWatcher(QObject* parent, std::function<void(bool held)> onChange)
        : QObject(parent), onChange_(std::move(onChange)) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        const QEvent::Type type = event->type();
        if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick ||
            type == QEvent::MouseButtonRelease) {
            if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
                onChange_(type != QEvent::MouseButtonRelease);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void(bool)> onChange_;
};

}  // namespace

void MainWidget::onReferenceRoiChanged(const QRect& roi) {
    TAVRO_REACH(onRoiChangedInView(roi));
    // The ROI reaches the boxes with their signals blocked, so their own
    // autosave does not run for a drawn ROI: it is saved here, once per drag.
    if (!roiFromSpinBoxes && !roiDragInProgress)
        TAVRO_REACH(autosaveParameters());
}

void MainWidget::connectActionControls() {
    connect(loadProjectButton, &QPushButton::clicked, this, [this] { TAVRO_REACH(onLoadParameters()); });
    connect(computeButton, &QPushButton::clicked, this, [this] { TAVRO_REACH(onCompute()); });
    connect(stopButton, &QPushButton::clicked, this, [this] { TAVRO_REACH(onStopComputation()); });
    connect(referenceView, &ImageViewWidget::roiChanged, this, [this](const QRect& roi) { onReferenceRoiChanged(roi); });
    referenceView->viewport()->installEventFilter(
        new LeftButtonWatcher(this, [this](bool held) { roiDragInProgress = held; }));
    for (ImageViewWidget* view : {referenceView, deformedView})
        connect(view, &ImageViewWidget::viewClicked, this, [this] { TAVRO_REACH(onViewClicked()); });
    // Connected before the boxes' autosave: the ROI is applied, then saved.
    for (QSpinBox* box : {roiXSpin, roiYSpin, roiWidthSpin, roiHeightSpin})
        connect(box, &QSpinBox::valueChanged, this, [this] {
            const QScopedValueRollback applying(roiFromSpinBoxes, true);
            TAVRO_REACH(onRoiSpinBoxChanged());
        });
    connect(computationModeCombo, &QComboBox::currentIndexChanged, this,
            [this](int index) { TAVRO_REACH(onDegreeOfFreedomChanged(index)); });
}

}  // namespace tavro::gui
