#pragma once

#include <QRectF>
#include <QString>
#include <QWidget>

#include <utility>
#include <vector>

namespace tavro::gui {

// The superscript form of an integer ("⁻⁴" for -4), for exponents in headers.
QString toSuperscript(int value);

// The translucent panel that the image view floats over a field to plot the
// samples taken along a line, from end A to end B. It paints everything itself
// and has no size hints: the view sizes and places it.
class LineProfileWidget : public QWidget {
    Q_OBJECT

public:
    // The value-range labels of the plot; `exponent` ("×10⁻⁴") is empty unless
    // the labels were too wide and a power of ten was taken out of them.
    struct AxisLabels {
        QString high;
        QString low;
        QString exponent;
    };

    explicit LineProfileWidget(QWidget* parent = nullptr);
    ~LineProfileWidget() override;

    // NaN and infinite samples are gaps in the curve.
    void setProfile(std::vector<float> values, const QString& label, double length);
    void clearProfile();

    const std::vector<float>& values() const { return values_; }
    const QString& label() const { return label_; }
    double length() const { return length_; }
    bool hasFiniteRange() const { return hasRange_; }

    // What the panel shows; the tests and the view read these rather than pixels.
    QRectF plotRect() const;
    // The message shown instead of a plot, empty when a plot is drawn.
    QString message() const;
    // The value range of the plot, widened when all samples are equal.
    std::pair<double, double> displayedRange() const;
    AxisLabels axisLabels() const;
    int hoverIndex() const { return hoverIndex_; }
    // The read-out of the hovered sample, empty when none is hovered.
    QString hoverReadout() const;

signals:
    void removeRequested();

protected:
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    QFont textFont() const;
    bool plotTooSmall() const;
    void setHoverIndex(int index);

    std::vector<float> values_;
    QString label_;
    double length_ = 0.0;
    float minValue_ = 0.0f;
    float maxValue_ = 0.0f;
    bool hasRange_ = false;
    int hoverIndex_ = -1;
};

}  // namespace tavro::gui
