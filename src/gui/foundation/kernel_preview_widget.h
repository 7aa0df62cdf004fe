#pragma once

#include <QString>
#include <QWidget>

#include <vector>

namespace tavro::gui {

// Shows the two-dimensional stencil that a derivative kernel (along x) and a
// smoothing kernel (along y) make together: cell (column c, row r) holds
// first[c] * second[r]. Dimensions of eight or more show their first three and
// last three entries around an ellipsis.
class KernelPreviewWidget : public QWidget {
    Q_OBJECT

public:
    explicit KernelPreviewWidget(QWidget* parent = nullptr);
    ~KernelPreviewWidget() override;

    // Either may be empty (no selection in that list).
    void setKernels(const std::vector<float>& first, const std::vector<float>& second);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // The texts of the shown cells, row by row; empty without first coefficients.
    std::vector<std::vector<QString>> cellTexts() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::vector<float> first_;
    std::vector<float> second_;
};

}  // namespace tavro::gui
