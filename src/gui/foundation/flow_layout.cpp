#include "gui/foundation/flow_layout.h"

#include <QWidget>

#include <algorithm>

namespace tavro::gui {

FlowLayout::FlowLayout(QWidget* parent, RowPlacement placement, int spacing) : QLayout(parent), placement_(placement) {
    setContentsMargins(0, 0, 0, 0);
    setSpacing(spacing);
}

FlowLayout::~FlowLayout() {
    while (QLayoutItem* item = takeAt(0))
        delete item;
}

void FlowLayout::addItem(QLayoutItem* item) { items_.append(item); }

int FlowLayout::count() const { return static_cast<int>(items_.size()); }

QLayoutItem* FlowLayout::itemAt(int index) const { return index >= 0 && index < items_.size() ? items_[index] : nullptr; }

QLayoutItem* FlowLayout::takeAt(int index) {
    return index >= 0 && index < items_.size() ? items_.takeAt(index) : nullptr;
}

Qt::Orientations FlowLayout::expandingDirections() const { return {}; }

bool FlowLayout::hasHeightForWidth() const { return true; }

int FlowLayout::heightForWidth(int width) const { return arrange(QRect(0, 0, width, 0), false); }

QSize FlowLayout::minimumSize() const {
    // The widest item alone on its line; the height is heightForWidth's to tell.
    QSize size;
    for (const QLayoutItem* item : items_)
        if (!item->isEmpty())
            size = size.expandedTo(item->minimumSize());
    const QMargins margins = contentsMargins();
    return size + QSize(margins.left() + margins.right(), margins.top() + margins.bottom());
}

QSize FlowLayout::sizeHint() const {
    int width = 0;
    int height = 0;
    int shown = 0;
    for (const QLayoutItem* item : items_) {
        if (item->isEmpty())
            continue;
        const QSize hint = item->sizeHint();
        width += hint.width() + (shown++ > 0 ? spacing() : 0);
        height = std::max(height, hint.height());
    }
    const QMargins margins = contentsMargins();
    return {width + margins.left() + margins.right(), height + margins.top() + margins.bottom()};
}

void FlowLayout::setGeometry(const QRect& rect) {
    QLayout::setGeometry(rect);
    arrange(rect, true);
}

int FlowLayout::arrange(const QRect& rect, bool apply) const {
    const QRect area = rect.marginsRemoved(contentsMargins());
    const int gap = std::max(spacing(), 0);
    QList<QLayoutItem*> shown;
    for (QLayoutItem* item : items_)
        if (!item->isEmpty())
            shown.append(item);
    // An item wider than the line takes the line alone, at the line's width.
    const auto widthOf = [&area](const QLayoutItem* item) {
        return std::max(std::min(item->sizeHint().width(), area.width()), item->minimumSize().width());
    };
    int y = area.top();
    qsizetype first = 0;
    while (first < shown.size()) {
        qsizetype end = first;
        int used = 0;
        int lineHeight = 0;
        while (end < shown.size()) {
            const int next = used + (end > first ? gap : 0) + widthOf(shown[end]);
            if (end > first && next > area.width())
                break;
            used = next;
            lineHeight = std::max(lineHeight, shown[end]->sizeHint().height());
            ++end;
        }
        if (apply) {
            const int spare = std::max(area.width() - used, 0);
            int x = area.left() + (placement_ == RowPlacement::Centre ? spare / 2 : 0);
            for (qsizetype i = first; i < end; ++i) {
                if (placement_ == RowPlacement::LastToRight && i == shown.size() - 1 && i > first)
                    x += spare;
                const int width = std::min(widthOf(shown[i]), area.width());
                const int height = shown[i]->sizeHint().height();
                shown[i]->setGeometry(QRect(x, y + (lineHeight - height) / 2, width, height));
                x += width + gap;
            }
        }
        y += lineHeight + (end < shown.size() ? gap : 0);
        first = end;
    }
    return y - area.top() + contentsMargins().top() + contentsMargins().bottom();
}

}  // namespace tavro::gui
