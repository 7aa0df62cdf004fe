#include "gui/foundation/kernel_preview_widget.h"

#include <QPainter>

#include <algorithm>
#include <optional>

namespace tavro::gui {

namespace {

constexpr int kCellWidth = 32;
constexpr int kCellHeight = 16;
constexpr int kTop = 2;
constexpr std::size_t kShownMax = 7;
constexpr std::size_t kElideFrom = 8;

// The entries shown for one dimension; nullopt marks the ellipsis position.
std::vector<std::optional<std::size_t>> shownIndices(std::size_t count) {
    std::vector<std::optional<std::size_t>> shown;
    if (count < kElideFrom) {
        for (std::size_t i = 0; i < count; ++i)
            shown.emplace_back(i);
        return shown;
    }
    shown = {0, 1, 2, std::nullopt, count - 3, count - 2, count - 1};
    return shown;
}

}  // namespace

KernelPreviewWidget::KernelPreviewWidget(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

KernelPreviewWidget::~KernelPreviewWidget() = default;

void KernelPreviewWidget::setKernels(const std::vector<float>& first, const std::vector<float>& second) {
    first_ = first;
    second_ = second;
    updateGeometry();
    update();
}

QSize KernelPreviewWidget::sizeHint() const {
    if (first_.empty())
        return {100, 20};
    const std::size_t columns = std::min(first_.size(), kShownMax);
    const std::size_t rows = std::min(std::max<std::size_t>(second_.size(), 1), kShownMax);
    return {static_cast<int>(columns) * kCellWidth + 20, static_cast<int>(rows) * kCellHeight + 6};
}

QSize KernelPreviewWidget::minimumSizeHint() const {
    return sizeHint();
}

std::vector<std::vector<QString>> KernelPreviewWidget::cellTexts() const {
    std::vector<std::vector<QString>> texts;
    if (first_.empty())
        return texts;
    const auto columns = shownIndices(first_.size());
    const auto rows = second_.empty() ? std::vector<std::optional<std::size_t>>{std::nullopt}
                                      : shownIndices(second_.size());
    for (const auto& r : rows) {
        std::vector<QString>& line = texts.emplace_back();
        for (const auto& c : columns) {
            const bool ellipsis = !c || (!second_.empty() && !r);
            if (ellipsis) {
                line.push_back(QStringLiteral("..."));
                continue;
            }
            const float coefficient = second_.empty() ? first_[*c] : first_[*c] * second_[*r];
            line.push_back(QString::number(coefficient, 'g', 3));
        }
    }
    return texts;
}

void KernelPreviewWidget::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (first_.empty()) {
        painter.setPen(QColor(150, 158, 172));
        painter.drawText(rect(), Qt::AlignCenter, QStringLiteral("Select kernels"));
        return;
    }
    QFont font = painter.font();
    font.setPixelSize(10);
    font.setFamily(QStringLiteral("monospace"));
    font.setStyleHint(QFont::Monospace);
    painter.setFont(font);

    const auto texts = cellTexts();
    const int columns = static_cast<int>(texts.front().size());
    const int left = (width() - columns * kCellWidth) / 2;
    const QPen outline(QColor(60, 70, 60, 80), 1);
    const QColor textColor(122, 161, 199);
    for (std::size_t r = 0; r < texts.size(); ++r) {
        for (std::size_t c = 0; c < texts[r].size(); ++c) {
            const QRect cell(left + static_cast<int>(c) * kCellWidth, kTop + static_cast<int>(r) * kCellHeight,
                             kCellWidth, kCellHeight);
            painter.setPen(outline);
            painter.drawRect(cell);
            painter.setPen(textColor);
            painter.drawText(cell, Qt::AlignCenter, texts[r][c]);
        }
    }
}

}  // namespace tavro::gui
