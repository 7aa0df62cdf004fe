// The PARAMETERS group: region of interest, correlation window and grid,
// search area, kinematic model with its crack options, sub-pixel settings and
// the NLC filter, with the rules that keep them consistent while edited.
#include "gui/mainwindow/main_widget.h"

#include "compute/kinematic_models.h"
#include "gui/foundation/scientific_double_spin_box.h"
#include "gui/foundation/theme.h"
#include "gui/mainwindow/panel_rules.h"
#include "gui/mainwindow/panel_wiring.h"

#include <QCheckBox>
#include <QAbstractItemView>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPalette>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStyleOptionComboBox>
#include <QStylePainter>
#include <QVBoxLayout>

#include <algorithm>
#include <array>

namespace tavro::gui {

namespace {

QFormLayout* makeForm() {
    auto* form = new QFormLayout;
    form->setContentsMargins(0, 0, 0, 0);
    return form;
}

QSpinBox* makeSpin(QWidget* window, int minimum, int maximum, int value, int step = 1) {
    auto* spin = new QSpinBox(window);
    spin->setRange(minimum, maximum);
    spin->setSingleStep(step);
    spin->setValue(value);
    return spin;
}

QSpinBox* makeSpin(QWidget* window, ValueRange range, int value, int step = 1) {
    return makeSpin(window, static_cast<int>(range.minimum), static_cast<int>(range.maximum), value, step);
}

// Shows or hides a form field together with its (empty) label, so that a
// hidden option leaves no gap in the form.
void setFormRowVisible(QWidget* group, QWidget* field, bool shown) {
    field->setVisible(shown);
    for (QFormLayout* form : group->findChildren<QFormLayout*>())
        if (QWidget* label = form->labelForField(field))
            label->setVisible(shown);
}

QCheckBox* makeCheck(QWidget* window, const QString& text, const QString& tooltip) {
    auto* check = new QCheckBox(text, window);
    check->setToolTip(tooltip);
    return check;
}

// The model names share their start and differ at their end: eliding in the
// middle keeps the part that tells the chosen one apart readable.
class MiddleElidedComboBox : public QComboBox {
public:
    using QComboBox::QComboBox;

protected:
    void paintEvent(QPaintEvent*) override {
        QStylePainter painter(this);
        QStyleOptionComboBox option;
        initStyleOption(&option);
        painter.drawComplexControl(QStyle::CC_ComboBox, option);
        const QRect field = style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this);
        option.currentText = fontMetrics().elidedText(option.currentText, Qt::ElideMiddle, field.width());
        painter.drawControl(QStyle::CE_ComboBoxLabel, option);
    }
};

}  // namespace

QSpinBox* MainWidget::createSearchAreaSpinBox() {
    QSpinBox* spin = makeSpin(this, kSearchRange, 6);
    spin->setMaximumWidth(72);
    return spin;
}

QFrame* MainWidget::createSeparatorLine() {
    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    line->setStyleSheet(separatorStyle());
    // A plain line is drawn in the text colour; the separator colour keeps it quiet on the dark theme.
    QPalette palette = line->palette();
    palette.setColor(QPalette::WindowText, QColor(kSeparator));
    line->setPalette(palette);
    return line;
}

void MainWidget::buildParametersPanel() {
    parametersGroup = new QGroupBox(QStringLiteral("PARAMETERS"), this);
    parametersGroup->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    auto* groupLayout = new QVBoxLayout(parametersGroup);
    const auto label = [this](const char* text, Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignVCenter) {
        auto* made = new QLabel(QString::fromUtf8(text), this);
        made->setAlignment(alignment);
        return made;
    };
    constexpr Qt::Alignment kRight = Qt::AlignRight | Qt::AlignVCenter;

    roiBlock = new QWidget(this);
    auto* roiLayout = new QVBoxLayout(roiBlock);
    roiLayout->setContentsMargins(0, 0, 0, 0);
    roiLayout->setSpacing(0);
    auto* roiFields = new QWidget(this);
    auto* roiGrid = new QGridLayout(roiFields);
    roiGrid->setContentsMargins(6, 0, 0, 0);
    roiGrid->setHorizontalSpacing(6);
    roiGrid->setVerticalSpacing(4);
    roiXSpin = makeSpin(this, 0, 0, 0);
    roiYSpin = makeSpin(this, 0, 0, 0);
    roiWidthSpin = makeSpin(this, 0, 0, 0);
    roiHeightSpin = makeSpin(this, 0, 0, 0);
    roiGrid->addWidget(label("X", kRight), 0, 0);
    roiGrid->addWidget(roiXSpin, 0, 1);
    roiGrid->addWidget(label("Y", kRight), 0, 2);
    roiGrid->addWidget(roiYSpin, 0, 3);
    roiGrid->addWidget(label("Width", kRight), 1, 0);
    roiGrid->addWidget(roiWidthSpin, 1, 1);
    roiGrid->addWidget(label("Height", kRight), 1, 2);
    roiGrid->addWidget(roiHeightSpin, 1, 3);
    roiGrid->setColumnStretch(1, 1);
    roiGrid->setColumnStretch(3, 1);
    for (QSpinBox* spin : {roiXSpin, roiYSpin, roiWidthSpin, roiHeightSpin})
        spin->setEnabled(false);
    QFormLayout* roiForm = makeForm();
    roiForm->addRow(QStringLiteral("ROI (px)"), roiFields);
    roiLayout->addLayout(roiForm);
    saveFullImageCheck = makeCheck(
        this, QStringLiteral("Save full image (with NaN)"),
        QStringLiteral("If checked, saves the full image with the computed ROI at correct coordinates.\nNon-computed "
                       "zones are filled with NaN.\nIf unchecked, saves only the computed zone (default behavior)."));
    roiLayout->addWidget(saveFullImageCheck);
    roiLayout->addWidget(createSeparatorLine());
    groupLayout->addWidget(roiBlock);

    auto* windowFields = new QWidget(this);
    auto* windowGrid = new QGridLayout(windowFields);
    windowGrid->setContentsMargins(0, 0, 0, 0);
    windowGrid->setHorizontalSpacing(6);
    windowGrid->setVerticalSpacing(4);
    const ProjectParameters fresh;
    windowSizeXSpin = makeSpin(this, kWindowSizeRange, fresh.windowSizeX, 2);
    windowSizeYSpin = makeSpin(this, kWindowSizeRange, fresh.windowSizeY, 2);
    spacingXSpin = makeSpin(this, kStepRange, fresh.stepX);
    spacingYSpin = makeSpin(this, kStepRange, fresh.stepY);
    windowGrid->addWidget(label("X", Qt::AlignCenter), 0, 1);
    windowGrid->addWidget(label("Y", Qt::AlignCenter), 0, 2);
    // The names may take two lines in a narrow column; the fields keep their width.
    QLabel* windowName = label("Window size (px)");
    QLabel* spacingName = label("Spacing (px)");
    for (QLabel* name : {windowName, spacingName})
        name->setWordWrap(true);
    windowGrid->addWidget(windowName, 1, 0);
    windowGrid->addWidget(windowSizeXSpin, 1, 1);
    windowGrid->addWidget(windowSizeYSpin, 1, 2);
    windowGrid->addWidget(spacingName, 2, 0);
    windowGrid->addWidget(spacingXSpin, 2, 1);
    windowGrid->addWidget(spacingYSpin, 2, 2);
    QFormLayout* windowForm = makeForm();
    windowForm->addRow(windowFields);
    groupLayout->addLayout(windowForm);

    groupLayout->addWidget(label("Search area (px)"));
    auto* crossRow = new QHBoxLayout;
    auto* cross = new QWidget(this);
    auto* crossGrid = new QGridLayout(cross);
    crossGrid->setContentsMargins(0, 2, 0, 2);
    crossGrid->setHorizontalSpacing(4);
    crossGrid->setVerticalSpacing(4);
    searchLeftSpin = createSearchAreaSpinBox();
    searchRightSpin = createSearchAreaSpinBox();
    searchUpSpin = createSearchAreaSpinBox();
    searchDownSpin = createSearchAreaSpinBox();
    crossGrid->addWidget(label("Up", kRight), 0, 1);
    crossGrid->addWidget(searchUpSpin, 0, 2);
    crossGrid->addWidget(label("Left", kRight), 1, 0);
    crossGrid->addWidget(searchLeftSpin, 1, 1);
    crossGrid->addWidget(label("Right", kRight), 1, 2);
    crossGrid->addWidget(searchRightSpin, 1, 3);
    crossGrid->addWidget(label("Down", kRight), 2, 1);
    crossGrid->addWidget(searchDownSpin, 2, 2);
    crossRow->addStretch();
    crossRow->addWidget(cross);
    crossRow->addStretch();
    groupLayout->addLayout(crossRow);
    groupLayout->addWidget(createSeparatorLine());

    QFormLayout* modeForm = makeForm();
    static_assert(kComputationModeOrder.size() == static_cast<std::size_t>(kModeIndexRange.maximum) + 1,
                  "a stored mode index must name a listed mode");
    computationModeCombo = new MiddleElidedComboBox(this);
    for (int id : kComputationModeOrder)
        computationModeCombo->addItem(shapeFunctionName(id), id);
    if (const int current = computationModeCombo->findData(defaultComputationModeId(), Qt::UserRole, Qt::MatchExactly);
        current >= 0)
        computationModeCombo->setCurrentIndex(current);
    // The longest model name would set the column's minimum width: the box
    // shows both ends of the name and its list opens wide enough for every name.
    computationModeCombo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    computationModeCombo->setMinimumContentsLength(16);
    computationModeCombo->view()->setMinimumWidth(computationModeCombo->view()->sizeHintForColumn(0) + 24);
    // Beside its label the box is too narrow for the names: it takes a row of its own.
    modeForm->addRow(new QLabel(QStringLiteral("Computation mode"), this));
    modeForm->addRow(computationModeCombo);
    interpolationCombo = new QComboBox(this);
    interpolationCombo->addItem(QStringLiteral("Bilinear"), 0);
    interpolationCombo->addItem(QStringLiteral("Bicubic"), 1);
    interpolationCombo->addItem(QStringLiteral("Cubic B-Spline"), 2);
    toleranceSpin = new ScientificDoubleSpinBox(this);
    toleranceSpin->setRange(kToleranceRange.minimum, kToleranceRange.maximum);
    toleranceSpin->setValue(1e-4);
    maxIterationsSpin = makeSpin(this, kMaxIterationsRange, 30);
    maxJumpInitLabel = label("Max jump init");
    maxJumpInitSpin = makeSpin(this, kMaxJumpRange, 0);
    maxJumpInitSpin->setSuffix(QStringLiteral(" px"));
    maxJumpInitSpin->setToolTip(QStringLiteral(
        "Maximum crack opening/sliding amplitude for cold start initialization (pixels).\nThis is the TOTAL physical "
        "opening/sliding across the crack (= 2 x jumpU), in image pixels.\n0 = automatic (single zero seed). Set it "
        "close to the expected opening to seed convergence\nfor large cracks; too small misses large openings, too "
        "large slows the cold start.\nExample: a 4 px sliding -> set ~4-5 px."));
    twinningCheck = makeCheck(this, QStringLiteral("Enable twinning mode"),
                              QStringLiteral("Enables transition thickness (t) optimization for twinning and close "
                                             "slip bands"));
    q4ProjectionCheck = makeCheck(
        this, QStringLiteral("Enable Q4 projection"),
        QStringLiteral("Iterative Q4-element projection for continuous DDLs (u, v, gradients). Projects local results "
                       "onto a FE mesh between passes for better spatial consistency."));
    q4PassesSpin = makeSpin(this, 1, 50, 5);
    q4PassesSpin->setToolTip(QStringLiteral("Number of Q4 projection passes (typically 5-10)"));
    q4ThresholdSpin = new QDoubleSpinBox(this);
    q4ThresholdSpin->setRange(0.01, 10.0);
    q4ThresholdSpin->setDecimals(2);
    q4ThresholdSpin->setSingleStep(0.1);
    q4ThresholdSpin->setValue(0.5);
    q4ThresholdSpin->setToolTip(
        QStringLiteral("Elements with |jumpU|+|jumpV| > threshold are excluded from projection (px)"));
    nlcFilterCheck = makeCheck(this, QStringLiteral("NLC filter"),
                               QStringLiteral("Normalized Local Contrast preprocessing.\nNormalizes local intensity: "
                                              "NLC = (I - mean) / stddev.\nImproves robustness against lighting "
                                              "gradients."));
    modeForm->addRow(maxJumpInitLabel, maxJumpInitSpin);
    modeForm->addRow(new QLabel(this), twinningCheck);
    modeForm->addRow(new QLabel(this), q4ProjectionCheck);
    modeForm->addRow(new QLabel(this), q4PassesSpin);
    modeForm->addRow(new QLabel(this), q4ThresholdSpin);
    modeForm->addRow(QStringLiteral("Sub-pixel interpolation"), interpolationCombo);
    modeForm->addRow(QStringLiteral("Sub-pixel tolerance (\u03b5)"), toleranceSpin);
    modeForm->addRow(QStringLiteral("Max sub-pixel iterations"), maxIterationsSpin);
    modeForm->addRow(nlcFilterCheck);
    groupLayout->addLayout(modeForm);
    // The default model has no discontinuity: its options start hidden.
    for (QWidget* hidden : {static_cast<QWidget*>(maxJumpInitSpin), static_cast<QWidget*>(twinningCheck),
                            static_cast<QWidget*>(q4ProjectionCheck), static_cast<QWidget*>(q4PassesSpin),
                            static_cast<QWidget*>(q4ThresholdSpin)})
        setFormRowVisible(parametersGroup, hidden, false);
    groupLayout->addStretch(1);
    // Focus follows the panel from top to bottom, not the form's row order.
    QWidget* previous = nullptr;
    for (QWidget* each : std::initializer_list<QWidget*>{
             roiXSpin, roiYSpin, roiWidthSpin, roiHeightSpin, saveFullImageCheck, windowSizeXSpin, windowSizeYSpin,
             spacingXSpin, spacingYSpin, searchLeftSpin, searchRightSpin, searchUpSpin, searchDownSpin,
             computationModeCombo, interpolationCombo, toleranceSpin, maxIterationsSpin, maxJumpInitSpin,
             twinningCheck, q4ProjectionCheck, q4PassesSpin, q4ThresholdSpin, nlcFilterCheck}) {
        if (previous)
            setTabOrder(previous, each);
        previous = each;
    }
    static_cast<QVBoxLayout*>(inputsPage->layout())->addWidget(parametersGroup, 1);

    connect(windowSizeXSpin, &QSpinBox::editingFinished, this, [this] { makeWindowSizeOdd(windowSizeXSpin); });
    connect(windowSizeXSpin, &QSpinBox::valueChanged, this, [this](int value) {
        const QSignalBlocker blocker(windowSizeYSpin);
        windowSizeYSpin->setValue(value);
    });
    connect(windowSizeYSpin, &QSpinBox::editingFinished, this, [this] { makeWindowSizeOdd(windowSizeYSpin); });
    connect(spacingXSpin, &QSpinBox::valueChanged, this, [this](int value) {
        const QSignalBlocker blocker(spacingYSpin);
        spacingYSpin->setValue(value);
    });
    connect(twinningCheck, &QCheckBox::toggled, this, [this] { TAVRO_REACH(autosaveParameters()); });
    connect(q4ProjectionCheck, &QCheckBox::toggled, this, [this](bool checked) {
        const bool shown = checked && q4ProjectionCheck->isVisibleTo(parametersGroup);
        setFormRowVisible(parametersGroup, q4PassesSpin, shown);
        setFormRowVisible(parametersGroup, q4ThresholdSpin, shown);
        TAVRO_REACH(autosaveParameters());
    });
    connect(q4PassesSpin, &QSpinBox::valueChanged, this, [this] { TAVRO_REACH(autosaveParameters()); });
    connect(q4ThresholdSpin, &QDoubleSpinBox::valueChanged, this, [this] { TAVRO_REACH(autosaveParameters()); });
    connect(maxJumpInitSpin, &QSpinBox::valueChanged, this, [this] { TAVRO_REACH(autosaveParameters()); });
    connect(nlcFilterCheck, &QCheckBox::toggled, this, [this] { TAVRO_REACH(autosaveParameters()); });
}

void MainWidget::makeWindowSizeOdd(QSpinBox* box) {
    const int value = box->value();
    const int odd = oddWindowSize(value, box->maximum());
    if (odd == value)
        return;
    {
        // Neither copied into y nor saved through the box's own autosave...
        const QSignalBlocker blocker(box);
        box->setValue(odd);
    }
    // ...so the corrected value is saved here, or the file would keep the even one.
    TAVRO_REACH(autosaveParameters());
}

int MainWidget::currentComputationModeId() const {
    if (!computationModeCombo || computationModeCombo->currentIndex() < 0)
        return 1;
    const QVariant id = computationModeCombo->currentData(Qt::UserRole);
    return id.isValid() ? id.toInt() : 1;
}

void MainWidget::onDegreeOfFreedomChanged(int index) {
    const bool neural = isNeuralModel(currentComputationModeId());
    // The neural model works on fixed windows and has no sub-pixel stage.
    for (QWidget* subpixel : {static_cast<QWidget*>(interpolationCombo), static_cast<QWidget*>(toleranceSpin),
                              static_cast<QWidget*>(maxIterationsSpin)})
        if (subpixel)
            setFormRowVisible(parametersGroup, subpixel, !neural);
    const std::array<QSpinBox*, 4> window{windowSizeXSpin, windowSizeYSpin, spacingXSpin, spacingYSpin};
    const bool haveWindow = std::all_of(window.begin(), window.end(), [](QSpinBox* spin) { return spin; });
    // Presets and restores are part of the one model change, which saves once
    // after this; the project file keeps the user's values meanwhile.
    if (neural && haveWindow) {
        if (!windowSettingsSaved) {
            for (std::size_t i = 0; i < window.size(); ++i)
                savedWindowSettings[i] = window[i]->value();
            windowSettingsSaved = true;
        }
        const std::array<int, 4> presets{65, 65, 1, 1};
        for (std::size_t i = 0; i < window.size(); ++i) {
            const QSignalBlocker blocker(window[i]);
            window[i]->setValue(presets[i]);
        }
    } else if (!neural && windowSettingsSaved) {
        if (haveWindow)
            for (std::size_t i = 0; i < window.size(); ++i) {
                const QSignalBlocker blocker(window[i]);
                window[i]->setValue(savedWindowSettings[i]);
            }
        windowSettingsSaved = false;
    }
    if (nlcFilterCheck) {
        nlcFilterCheck->setVisible(!neural);
        if (neural) {
            const QSignalBlocker blocker(nlcFilterCheck);
            nlcFilterCheck->setChecked(false);
        }
    }
    updateCrackOptionsForMode(index);
}

void MainWidget::updateCrackOptionsForMode(int index) {
    if (!computationModeCombo || !twinningCheck)
        return;
    const bool heaviside = hasHeavisideTerm(computationModeCombo->itemData(index, Qt::UserRole).toInt());
    setFormRowVisible(parametersGroup, twinningCheck, heaviside);
    {
        // Part of the mode change, which saves once after this; the Q4 rows
        // that the check's own body would hide are hidden below.
        const QSignalBlocker twinning(twinningCheck);
        const QSignalBlocker q4(q4ProjectionCheck);
        if (!heaviside)
            twinningCheck->setChecked(false);
        q4ProjectionCheck->setChecked(false);
    }
    setFormRowVisible(parametersGroup, q4ProjectionCheck, false);
    setFormRowVisible(parametersGroup, q4PassesSpin, false);
    setFormRowVisible(parametersGroup, q4ThresholdSpin, false);
    setFormRowVisible(parametersGroup, maxJumpInitSpin, heaviside);
}

}  // namespace tavro::gui
