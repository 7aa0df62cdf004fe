#pragma once

#include "gui/style/style_theme.h"

#include <QProxyStyle>
#include <QStyleOption>

namespace tavro::gui {

// The application's look: Fusion's geometry, flat rounded controls painted in
// the colours of a theme file, and a palette built from that theme. Qt 6.4 has
// no colour-scheme switch, so the palette is set explicitly: `polish(QPalette&)`
// replaces whatever the platform offers, and a theme loaded while the style is
// installed is pushed to the application at once.
class ApplicationStyle : public QProxyStyle {
    Q_OBJECT

public:
    explicit ApplicationStyle(QObject* parent = nullptr);
    ~ApplicationStyle() override;

    // Reads a theme file such as ":/themes/dark.json"; on failure the current
    // theme stays and `error` says why.
    bool loadTheme(const QString& path, QString* error = nullptr);
    void setTheme(const StyleTheme& theme);
    const StyleTheme& theme() const;

    QPalette standardPalette() const override;
    void polish(QPalette& palette) override;
    void polish(QWidget* widget) override;
    using QProxyStyle::polish;

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget = nullptr) const override;
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget = nullptr) const override;
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                            QPainter* painter, const QWidget* widget = nullptr) const override;
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option,
                         SubControl subControl, const QWidget* widget = nullptr) const override;
    int pixelMetric(PixelMetric metric, const QStyleOption* option = nullptr,
                    const QWidget* widget = nullptr) const override;
    int styleHint(StyleHint hint, const QStyleOption* option = nullptr,
                  const QWidget* widget = nullptr, QStyleHintReturn* returnData = nullptr) const override;

private:
    QColor buttonFill(const QStyleOption* option, bool primary) const;
    QColor fieldBorder(const QStyleOption* option) const;
    void drawField(const QStyleOption* option, QPainter* painter, const QRect& rect) const;
    void drawCheckIndicator(const QStyleOption* option, QPainter* painter, bool round) const;
    void drawScrollBar(const QStyleOptionSlider* bar, QPainter* painter) const;
    void drawSlider(const QStyleOptionSlider* slider, QPainter* painter, const QWidget* widget) const;
    void drawSpinBox(const QStyleOptionSpinBox* spin, QPainter* painter, const QWidget* widget) const;
    void drawComboBox(const QStyleOptionComboBox* combo, QPainter* painter, const QWidget* widget) const;
    void drawProgressContents(const QStyleOption* option, QPainter* painter) const;
    QRect scrollBarSubControlRect(const QStyleOptionSlider* bar, SubControl subControl) const;

    StyleTheme theme_;
};

}  // namespace tavro::gui
