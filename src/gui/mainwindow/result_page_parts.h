#pragma once
// Widgets that every result page builds alike: view toolbars, step rows and the
// histogram panel under a view, plus the widget-free rules those pages follow.

#include <QString>

#include <optional>
#include <vector>

class QBoxLayout;
class QLabel;
class QPushButton;
class QSlider;
class QToolButton;
class QWidget;

namespace tavro::gui {

class ContrastHistogramWidget;
class ImageViewWidget;
class Switch;

// A checkable tool button of a view toolbar; an empty icon path leaves the text alone.
QToolButton* makeViewToolButton(const QString& text, const QString& iconPath, const QString& toolTip,
                                QWidget* parent);
QToolButton* makeFitButton(QWidget* parent);
QToolButton* makeOneToOneButton(QWidget* parent);
QToolButton* makeSyncButton(const QString& toolTip, QWidget* parent);
QToolButton* makeMarkersButton(const QString& toolTip, QWidget* parent);
// Centred label with the page title size.
QLabel* makeViewTitle(const QString& text, QWidget* parent);
// The "<" or ">" of a step row, disabled until results exist.
QPushButton* makeStepButton(const QString& text, int width, const QString& styleSheet, QWidget* parent);
QSlider* makeStepSlider(QWidget* parent);
// Minimum size, no ROI, no markers, Control-drag panning: the common view set-up.
void configureResultView(ImageViewWidget* view);

struct StepRow {
    QLabel* label = nullptr;
    QPushButton* prevButton = nullptr;
    QSlider* slider = nullptr;
    QPushButton* nextButton = nullptr;
};
// "<", slider, ">" under a centred title, added to `layout`.
StepRow addStepRow(QBoxLayout* layout, const QString& title, const QString& buttonStyle, QWidget* parent);

struct HistogramPanelSetup {
    QString minMaxText = QStringLiteral("Min : -    Max : -");
    QString readout;
    bool enabled = false;         // the input histograms take edits before any result
    bool hasAuto = true;
    bool hasApplyAll = true;
    int buttonSpacing = 6;        // negative: the layout's default
};
struct HistogramPanel {
    QWidget* panel = nullptr;
    QLabel* minMaxLabel = nullptr;
    Switch* logSwitch = nullptr;
    ContrastHistogramWidget* histogram = nullptr;
    QToolButton* autoButton = nullptr;
    QToolButton* cropButton = nullptr;
    QToolButton* resetButton = nullptr;
    QToolButton* applyAllButton = nullptr;
    QLabel* readout = nullptr;
};
HistogramPanel makeHistogramPanel(const HistogramPanelSetup& setup, QWidget* parent);

// The "Min jump:" slider counts hundredths of a pixel.
int minJumpSliderPosition(double pixels);
QString minJumpText(double pixels);
// The value a step button moves a slider to, or nothing at the slider's ends.
std::optional<int> steppedSliderValue(int value, int minimum, int maximum, int step);
// The read-out of an input view: the hovered value, else the empty form.
QString inputReadoutText(const QString& value, bool hasValue);

// One row of the fracture "Parameter:" combo: a group header (field -1) or a map.
struct FractureParameterRow {
    QString text;
    int field = -1;
    QString toolTip;
};
std::vector<FractureParameterRow> fractureParameterRows();

}  // namespace tavro::gui
