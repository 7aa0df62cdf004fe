#pragma once

#include <QLayout>
#include <QList>

namespace tavro::gui {

// A row of widgets that continues on the next line where the width runs out,
// so that a narrow column needs no sideways scroll. Lines start at the left or
// are centred; LastToRight starts them at the left and puts the row's last item
// at the right end of its line, as a stretch before it would in a box row.
class FlowLayout : public QLayout {
public:
    enum class RowPlacement { Left, Centre, LastToRight };

    explicit FlowLayout(QWidget* parent = nullptr, RowPlacement placement = RowPlacement::Left, int spacing = 4);
    ~FlowLayout() override;

    void addItem(QLayoutItem* item) override;
    int count() const override;
    QLayoutItem* itemAt(int index) const override;
    QLayoutItem* takeAt(int index) override;
    Qt::Orientations expandingDirections() const override;
    bool hasHeightForWidth() const override;
    int heightForWidth(int width) const override;
    QSize minimumSize() const override;
    QSize sizeHint() const override;
    void setGeometry(const QRect& rect) override;

private:
    // Lays the items out in `rect` (or only measures, when `apply` is false); returns the height used.
    int arrange(const QRect& rect, bool apply) const;

    QList<QLayoutItem*> items_;
    RowPlacement placement_;
};

}  // namespace tavro::gui
