#pragma once

#include <QRect>
#include <QWidget>

#include <functional>
#include <vector>

namespace tavro::gui {

// The histogram strip under an image or result view: 256 bins of the shown
// values drawn as a filled curve, and a display window set by dragging its two
// handles or the window as a whole. It can zoom onto the window (recounting
// through the owner's handler) and go back.
class ContrastHistogramWidget : public QWidget {
    Q_OBJECT

public:
    explicit ContrastHistogramWidget(QWidget* parent = nullptr);
    ~ContrastHistogramWidget() override;

    // Counts `values` over [min, max], which becomes the data, bin and view range.
    void setData(const std::vector<float>& values, float min, float max);
    // Counts over [min, max] as the bin and view range; the data range stays.
    void setDataZoomed(const std::vector<float>& values, float min, float max);
    void setRange(float min, float max);
    void saveUnzoomedState();
    void resetZoom();
    void zoomToSelection();
    // Called with the selection by `zoomToSelection`; it is expected to recount
    // the values over that range and call `setDataZoomed`.
    void setZoomHandler(std::function<void(float, float)> handler);
    void setShowLogHistogram(bool show);
    void clear();

    const std::vector<float>& bins() const { return bins_; }
    bool hasData() const { return hasData_; }
    bool isZoomed() const { return zoomed_; }
    bool isDragging() const { return dragging_; }
    bool showsLogHistogram() const { return showLogHistogram_; }
    float dataMin() const { return dataMin_; }
    float dataMax() const { return dataMax_; }
    float selectionMin() const { return selMin_; }
    float selectionMax() const { return selMax_; }
    float viewMin() const { return viewMin_; }
    float viewMax() const { return viewMax_; }

    QRect plotRect() const;
    int valueToPosition(float value) const;
    float positionToValue(int x) const;

signals:
    void rangeChanged(float minValue, float maxValue);
    void rangeChangeFinished(float minValue, float maxValue);
    void zoomChanged(bool isZoomed);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    enum DragMode { NoDrag = 0, LowerHandle = 1, UpperHandle = 2, WholeWindow = 3 };

    void countBins(const std::vector<float>& values, float min, float max);
    void clampSelection();
    float gap() const;
    bool canInteract() const;
    void updateHoverCursor(const QPoint& position);
    void updateCursorAtPointer();
    void paintCurve(QPainter& painter, const QRect& plot, bool logarithmic, double peak) const;

    std::vector<float> bins_;
    std::vector<float> savedBins_;
    float savedBinMin_ = 0.0f;
    float savedBinMax_ = 0.0f;
    float savedSelMin_ = 0.0f;
    float savedSelMax_ = 0.0f;
    float dataMin_ = 0.0f;
    float dataMax_ = 1.0f;
    float binMin_ = 0.0f;
    float binMax_ = 1.0f;
    float selMin_ = 0.0f;
    float selMax_ = 1.0f;
    float viewMin_ = 0.0f;
    float viewMax_ = 1.0f;
    bool hasData_ = false;
    bool dragging_ = false;
    bool showLogHistogram_ = false;
    bool zoomed_ = false;
    int dragMode_ = NoDrag;
    int pressX_ = 0;
    float pressSelMin_ = 0.0f;
    float pressSelMax_ = 0.0f;
    std::function<void(float, float)> zoomHandler_;
};

}  // namespace tavro::gui
