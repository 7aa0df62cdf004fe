// The autosave triggers: every correlation parameter, the ROI and the mosaic
// grid geometry save the project's parameters when they change. Made after
// every other connection of the same controls, so the control's own slots
// have run when the parameters are written.
#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/scientific_double_spin_box.h"
#include "gui/mainwindow/panel_wiring.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QSpinBox>

namespace tavro::gui {

void MainWidget::connectAutosaveTriggers() {
    const auto save = [this] { TAVRO_REACH(autosaveParameters()); };
    // The X window size and X spacing copy into Y with Y's signals blocked,
    // so a change of X saves once, from X.
    for (QSpinBox* box : {windowSizeXSpin, windowSizeYSpin, spacingXSpin, spacingYSpin, searchUpSpin, searchDownSpin,
                          searchLeftSpin, searchRightSpin})
        connect(box, &QSpinBox::valueChanged, this, save);
    connect(computationModeCombo, &QComboBox::currentIndexChanged, this, save);
    connect(interpolationCombo, &QComboBox::currentIndexChanged, this, save);
    connect(toleranceSpin, &QDoubleSpinBox::valueChanged, this, save);
    connect(maxIterationsSpin, &QSpinBox::valueChanged, this, save);
    for (QSpinBox* box : {roiXSpin, roiYSpin, roiWidthSpin, roiHeightSpin, gridRowsSpin, gridColsSpin, overlapXSpin,
                          overlapYSpin})
        connect(box, &QSpinBox::valueChanged, this, save);
    connect(scanOrderCombo, &QComboBox::currentIndexChanged, this, save);
    connect(missingTilesCheck, &QCheckBox::toggled, this, save);
    // Once per edit rather than per keystroke; leaving the field unchanged
    // saves nothing, and a text set by the program is not an edit.
    connect(missingPositionsEdit, &QLineEdit::editingFinished, this, [this, save] {
        if (!missingPositionsEdit->isModified())
            return;
        missingPositionsEdit->setModified(false);
        save();
    });
}

}  // namespace tavro::gui
