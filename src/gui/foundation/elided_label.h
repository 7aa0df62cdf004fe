#pragma once

#include <QLabel>

namespace tavro::gui {

// A label that wraps its text onto at most three lines, elides the rest of the
// third and keeps the whole text in its tooltip. Callers set the text through
// `setText` of this class, which hides QLabel's.
class ElidedLabel : public QLabel {
    Q_OBJECT

public:
    explicit ElidedLabel(const QString& text = QString(), QWidget* parent = nullptr);
    ~ElidedLabel() override;

    void setText(const QString& text);
    const QString& fullText() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void layoutText();

    QString fullText_;
};

}  // namespace tavro::gui
