#pragma once

#include <QDoubleSpinBox>

namespace tavro::gui {

// A double spin box that shows values as "2.5e-6", reads any C-locale number
// and steps by powers of ten. Out-of-range text is accepted while it is typed
// and clamped to the range when it is committed, so "0.001" can be typed key
// by key when the minimum is 1e-12.
class ScientificDoubleSpinBox : public QDoubleSpinBox {
    Q_OBJECT

public:
    explicit ScientificDoubleSpinBox(QWidget* parent = nullptr);
    ~ScientificDoubleSpinBox() override;

    QValidator::State validate(QString& input, int& pos) const override;
    void fixup(QString& input) const override;
    void stepBy(int steps) override;
    double valueFromText(const QString& text) const override;
    QString textFromValue(double value) const override;
};

}  // namespace tavro::gui
