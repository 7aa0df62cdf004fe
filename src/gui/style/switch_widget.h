#pragma once

#include <QAbstractButton>

namespace tavro::gui {

// An on/off toggle drawn as a rounded track with a sliding knob. It is a
// checkable button, so `toggled(bool)`, Space, clicks and button groups behave
// as for a check box. Its colours come from the palette (Highlight for on,
// Button for off, the Disabled group when disabled), so any style that sets a
// palette colours it.
class Switch : public QAbstractButton {
    Q_OBJECT

public:
    explicit Switch(QWidget* parent = nullptr);
    explicit Switch(const QString& text, QWidget* parent = nullptr);
    ~Switch() override;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // The track's rectangle in widget coordinates.
    QRect trackRect() const;
    QRect knobRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& pos) const override;
};

}  // namespace tavro::gui
