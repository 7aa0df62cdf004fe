#include "gui/style/application_style.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPainter>
#include <QStyleFactory>
#include <QStyleOption>

#include <algorithm>
#include <cmath>

namespace tavro::gui {

namespace {

constexpr qreal kRadius = 4.0;
constexpr int kScrollBarExtent = 12;
constexpr int kScrollBarSliderMin = 24;
constexpr int kGroupBoxTopMargin = 3;

bool has(const QStyleOption* option, QStyle::StateFlag flag) {
    return option->state.testFlag(flag);
}

// Half-pixel inset so that a 1 px outline falls on whole pixels.
QRectF crisp(const QRect& rect) {
    return QRectF(rect).adjusted(0.5, 0.5, -0.5, -0.5);
}

void fillRounded(QPainter* painter, const QRectF& rect, const QColor& fill, qreal radius = kRadius) {
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(Qt::NoPen);
    painter->setBrush(fill);
    painter->drawRoundedRect(rect, radius, radius);
    painter->restore();
}

void outlineRounded(QPainter* painter, const QRectF& rect, const QColor& pen, qreal width = 1.0,
                    qreal radius = kRadius) {
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(QPen(pen, width));
    painter->setBrush(Qt::NoBrush);
    painter->drawRoundedRect(rect, radius, radius);
    painter->restore();
}

// A chevron fits the look better than Fusion's filled triangles.
void drawChevron(QPainter* painter, const QRect& rect, Qt::ArrowType direction, const QColor& color) {
    const qreal size = std::min(rect.width(), rect.height()) * 0.5;
    if (size < 2.0 || direction == Qt::NoArrow)
        return;
    qreal angle = 0.0;
    if (direction == Qt::UpArrow)
        angle = 180.0;
    else if (direction == Qt::LeftArrow)
        angle = 90.0;
    else if (direction == Qt::RightArrow)
        angle = -90.0;
    const qreal h = size / 2.0;
    const qreal q = size / 4.0;
    const QPointF pointingDown[] = {{-h, -q}, {0.0, q}, {h, -q}};
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->translate(QRectF(rect).center());
    painter->rotate(angle);
    painter->setPen(QPen(color, 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter->setBrush(Qt::NoBrush);
    painter->drawPolyline(pointingDown, 3);
    painter->restore();
}

Qt::ArrowType arrowOf(QStyle::PrimitiveElement element) {
    switch (element) {
    case QStyle::PE_IndicatorArrowUp: return Qt::UpArrow;
    case QStyle::PE_IndicatorArrowDown: return Qt::DownArrow;
    case QStyle::PE_IndicatorArrowLeft: return Qt::LeftArrow;
    case QStyle::PE_IndicatorArrowRight: return Qt::RightArrow;
    default: return Qt::NoArrow;
    }
}

}  // namespace

ApplicationStyle::ApplicationStyle(QObject* parent)
    : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))) {
    setParent(parent);
}

ApplicationStyle::~ApplicationStyle() = default;

bool ApplicationStyle::loadTheme(const QString& path, QString* error) {
    const std::optional<StyleTheme> loaded = StyleTheme::fromFile(path, error);
    if (!loaded)
        return false;
    setTheme(*loaded);
    return true;
}

void ApplicationStyle::setTheme(const StyleTheme& theme) {
    theme_ = theme;
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) && QApplication::style() == this)
        QApplication::setPalette(standardPalette());
}

const StyleTheme& ApplicationStyle::theme() const {
    return theme_;
}

QPalette ApplicationStyle::standardPalette() const {
    return theme_.palette();
}

void ApplicationStyle::polish(QPalette& palette) {
    palette = theme_.palette();
}

void ApplicationStyle::polish(QWidget* widget) {
    QProxyStyle::polish(widget);
    // Fields change their border under the pointer, which needs hover events.
    if (qobject_cast<QLineEdit*>(widget) || qobject_cast<QAbstractSpinBox*>(widget) ||
        qobject_cast<QComboBox*>(widget))
        widget->setAttribute(Qt::WA_Hover);
}

QColor ApplicationStyle::buttonFill(const QStyleOption* option, bool primary) const {
    if (!has(option, State_Enabled))
        return primary ? theme_.primaryColorDisabled : theme_.neutralColorDisabled;
    if (has(option, State_Sunken))
        return primary ? theme_.primaryColorPressed : theme_.neutralColorPressed;
    if (has(option, State_MouseOver))
        return primary ? theme_.primaryColorHovered : theme_.neutralColorHovered;
    return primary ? theme_.primaryColor : theme_.neutralColor;
}

QColor ApplicationStyle::fieldBorder(const QStyleOption* option) const {
    if (!has(option, State_Enabled))
        return theme_.borderColorDisabled;
    if (has(option, State_HasFocus))
        return theme_.primaryColor;
    if (has(option, State_MouseOver))
        return theme_.borderColorHovered;
    return theme_.borderColor;
}

void ApplicationStyle::drawField(const QStyleOption* option, QPainter* painter, const QRect& rect) const {
    fillRounded(painter, crisp(rect), option->palette.color(QPalette::Base));
    outlineRounded(painter, crisp(rect), fieldBorder(option));
}

void ApplicationStyle::drawCheckIndicator(const QStyleOption* option, QPainter* painter, bool round) const {
    const int side = std::min(option->rect.width(), option->rect.height());
    QRect box(0, 0, side, side);
    box.moveCenter(option->rect.center());
    const QRectF shape = crisp(box);
    const qreal radius = round ? side / 2.0 : 3.0;
    const bool on = has(option, State_On) || has(option, State_NoChange);

    if (has(option, State_HasFocus) && has(option, State_Enabled))
        outlineRounded(painter, shape.adjusted(-1, -1, 1, 1), theme_.focusColor, 2.0, radius + 1);
    if (on) {
        fillRounded(painter, shape, buttonFill(option, true), radius);
        if (!has(option, State_Enabled))
            outlineRounded(painter, shape, theme_.borderColor, 1.0, radius);
    } else {
        const QColor fill = has(option, State_Enabled) ? option->palette.color(QPalette::Base)
                                                       : theme_.neutralColorDisabled;
        fillRounded(painter, shape, fill, radius);
        QColor border = fieldBorder(option);
        if (has(option, State_Sunken) && has(option, State_Enabled))
            border = theme_.borderColorPressed;
        outlineRounded(painter, shape, border, 1.0, radius);
        return;
    }

    const QColor mark = has(option, State_Enabled) ? theme_.primaryColorForeground
                                                   : theme_.primaryColorForegroundDisabled;
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    const QPointF c = shape.center();
    const qreal s = shape.width();
    if (round) {
        painter->setPen(Qt::NoPen);
        painter->setBrush(mark);
        painter->drawEllipse(c, s * 0.2, s * 0.2);
    } else if (has(option, State_NoChange)) {
        painter->setPen(QPen(mark, 1.6, Qt::SolidLine, Qt::RoundCap));
        painter->drawLine(QPointF(c.x() - s * 0.25, c.y()), QPointF(c.x() + s * 0.25, c.y()));
    } else {
        painter->setPen(QPen(mark, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter->setBrush(Qt::NoBrush);
        const QPolygonF check{QPointF(c.x() - s * 0.26, c.y() + s * 0.02),
                              QPointF(c.x() - s * 0.08, c.y() + s * 0.2),
                              QPointF(c.x() + s * 0.26, c.y() - s * 0.18)};
        painter->drawPolyline(check);
    }
    painter->restore();
}

void ApplicationStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option,
                                     QPainter* painter, const QWidget* widget) const {
    switch (element) {
    case PE_PanelButtonCommand: {
        const auto* button = qstyleoption_cast<const QStyleOptionButton*>(option);
        const bool primary = has(option, State_On) ||
                             (button && button->features.testFlag(QStyleOptionButton::DefaultButton));
        // One pixel stays free around the face for the focus ring.
        const QRectF face = crisp(option->rect.adjusted(1, 1, -1, -1));
        fillRounded(painter, face, buttonFill(option, primary));
        if (has(option, State_HasFocus) && has(option, State_Enabled))
            outlineRounded(painter, face.adjusted(-0.5, -0.5, 0.5, 0.5), theme_.focusColor, 2.0);
        return;
    }
    case PE_PanelButtonBevel:
        drawPrimitive(PE_PanelButtonCommand, option, painter, widget);
        return;
    case PE_FrameDefaultButton:
        return;
    case PE_FrameFocusRect:
        // Buttons, check boxes and radio buttons show focus on their face or box.
        if (qobject_cast<const QAbstractButton*>(widget))
            return;
        break;
    case PE_PanelButtonTool: {
        const bool active = option->state & (State_Sunken | State_On | State_MouseOver);
        if (has(option, State_AutoRaise) && !active)
            return;
        if (has(option, State_AutoRaise) && !has(option, State_On) && !has(option, State_Sunken)) {
            fillRounded(painter, crisp(option->rect), theme_.semiTransparentColor2);
            return;
        }
        fillRounded(painter, crisp(option->rect), buttonFill(option, has(option, State_On)));
        return;
    }
    case PE_PanelLineEdit: {
        const auto* frame = qstyleoption_cast<const QStyleOptionFrame*>(option);
        if (frame && frame->lineWidth > 0)
            drawField(option, painter, option->rect);
        else
            painter->fillRect(option->rect, option->palette.brush(QPalette::Base));
        return;
    }
    case PE_FrameLineEdit:
        outlineRounded(painter, crisp(option->rect), fieldBorder(option));
        return;
    case PE_IndicatorCheckBox:
    case PE_IndicatorItemViewItemCheck:
        drawCheckIndicator(option, painter, false);
        return;
    case PE_IndicatorRadioButton:
        drawCheckIndicator(option, painter, true);
        return;
    case PE_FrameGroupBox: {
        // The frame starts below the title line, as Fusion's does, so the title
        // never sits on the border.
        const auto* box = qobject_cast<const QGroupBox*>(widget);
        int top = kGroupBoxTopMargin;
        if (!box || box->isCheckable() || !box->title().isEmpty())
            top += std::max(pixelMetric(PM_ExclusiveIndicatorHeight, option, widget), option->fontMetrics.height());
        outlineRounded(painter, crisp(option->rect.adjusted(0, top, 0, 0)), theme_.borderColor);
        return;
    }
    case PE_FrameTabWidget:
        painter->fillRect(option->rect, option->palette.brush(QPalette::Window));
        outlineRounded(painter, crisp(option->rect), theme_.borderColor, 1.0, 2.0);
        return;
    case PE_Frame:
        painter->save();
        painter->setPen(has(option, State_Enabled) ? theme_.borderColor : theme_.borderColorDisabled);
        painter->setBrush(Qt::NoBrush);
        painter->drawRect(option->rect.adjusted(0, 0, -1, -1));
        painter->restore();
        return;
    case PE_PanelTipLabel:
        painter->fillRect(option->rect, option->palette.brush(QPalette::ToolTipBase));
        painter->save();
        painter->setPen(theme_.borderColor);
        painter->drawRect(option->rect.adjusted(0, 0, -1, -1));
        painter->restore();
        return;
    case PE_IndicatorArrowUp:
    case PE_IndicatorArrowDown:
    case PE_IndicatorArrowLeft:
    case PE_IndicatorArrowRight:
        drawChevron(painter, option->rect, arrowOf(element), option->palette.color(QPalette::ButtonText));
        return;
    default:
        break;
    }
    QProxyStyle::drawPrimitive(element, option, painter, widget);
}

void ApplicationStyle::drawProgressContents(const QStyleOption* option, QPainter* painter) const {
    const auto* bar = qstyleoption_cast<const QStyleOptionProgressBar*>(option);
    if (!bar || bar->maximum <= bar->minimum)
        return;
    const qint64 span = qint64(bar->maximum) - bar->minimum;
    const qint64 done = std::clamp<qint64>(qint64(bar->progress) - bar->minimum, 0, span);
    const double fraction = double(done) / double(span);
    const QRect groove = option->rect.adjusted(1, 1, -1, -1);
    const bool horizontal = has(option, State_Horizontal);
    QRect chunk = groove;
    if (horizontal) {
        const int width = int(std::lround(groove.width() * fraction));
        const bool fromRight = bar->invertedAppearance != (bar->direction == Qt::RightToLeft);
        chunk.setWidth(width);
        if (fromRight)
            chunk.moveRight(groove.right());
    } else {
        const int height = int(std::lround(groove.height() * fraction));
        chunk.setHeight(height);
        if (!bar->invertedAppearance)
            chunk.moveBottom(groove.bottom());
    }
    if (chunk.isEmpty())
        return;
    const QColor fill = has(option, State_Enabled) ? theme_.primaryColor : theme_.primaryColorDisabled;
    fillRounded(painter, QRectF(chunk), fill, kRadius - 1);
}

void ApplicationStyle::drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                                   const QWidget* widget) const {
    switch (element) {
    case CE_ProgressBarGroove:
        fillRounded(painter, crisp(option->rect), theme_.backgroundColorMain1);
        outlineRounded(painter, crisp(option->rect), theme_.borderColor);
        return;
    case CE_ProgressBarContents:
        if (const auto* bar = qstyleoption_cast<const QStyleOptionProgressBar*>(option);
            bar && bar->maximum <= bar->minimum)
            break;  // the busy indicator keeps Fusion's animation
        drawProgressContents(option, painter);
        return;
    case CE_TabBarTabShape: {
        const auto* tab = qstyleoption_cast<const QStyleOptionTab*>(option);
        if (!tab || (tab->shape != QTabBar::RoundedNorth && tab->shape != QTabBar::TriangularNorth))
            break;
        const bool selected = has(option, State_Selected);
        QRect r = option->rect;
        if (!selected)
            r.adjust(0, 2, 0, 0);
        QColor fill = selected ? theme_.backgroundColorMain2 : theme_.backgroundColorMain3;
        if (!selected && has(option, State_MouseOver) && has(option, State_Enabled))
            fill = blendOver(fill, theme_.semiTransparentColor2);
        painter->save();
        painter->fillRect(r, fill);
        painter->setPen(theme_.borderColor);
        painter->drawLine(r.topLeft(), r.bottomLeft());
        painter->drawLine(r.topRight(), r.bottomRight());
        painter->drawLine(r.topLeft(), r.topRight());
        if (selected)
            painter->fillRect(QRect(r.left(), r.top(), r.width(), 2),
                              has(option, State_Enabled) ? theme_.primaryColor : theme_.borderColor);
        painter->restore();
        return;
    }
    case CE_HeaderSection: {
        painter->save();
        painter->fillRect(option->rect, theme_.backgroundColorMain3);
        painter->setPen(theme_.borderColor);
        painter->drawLine(option->rect.topRight(), option->rect.bottomRight());
        painter->drawLine(option->rect.bottomLeft(), option->rect.bottomRight());
        painter->restore();
        return;
    }
    default:
        break;
    }
    QProxyStyle::drawControl(element, option, painter, widget);
}

void ApplicationStyle::drawScrollBar(const QStyleOptionSlider* bar, QPainter* painter) const {
    painter->fillRect(bar->rect, theme_.backgroundColorMain1);
    const QRect slider = scrollBarSubControlRect(bar, SC_ScrollBarSlider);
    if (!slider.isValid() || bar->maximum <= bar->minimum)
        return;
    QColor fill = theme_.neutralColor;
    if (!has(bar, State_Enabled))
        fill = theme_.neutralColorDisabled;
    else if (has(bar, State_Sunken) && bar->activeSubControls.testFlag(SC_ScrollBarSlider))
        fill = theme_.neutralColorPressed;
    else if (has(bar, State_MouseOver) && bar->activeSubControls.testFlag(SC_ScrollBarSlider))
        fill = theme_.neutralColorHovered;
    const QRectF handle = QRectF(slider).adjusted(2, 2, -2, -2);
    fillRounded(painter, handle, fill, std::min(handle.width(), handle.height()) / 2.0);
}

void ApplicationStyle::drawSlider(const QStyleOptionSlider* slider, QPainter* painter, const QWidget* widget) const {
    const QRect groove = subControlRect(CC_Slider, slider, SC_SliderGroove, widget);
    const QRect handle = subControlRect(CC_Slider, slider, SC_SliderHandle, widget);
    const bool horizontal = slider->orientation == Qt::Horizontal;
    const bool enabled = has(slider, State_Enabled);

    if (slider->subControls.testFlag(SC_SliderGroove) && groove.isValid()) {
        constexpr int kTrack = 4;
        const QPointF middle = QRectF(groove).center();
        const QRectF track = horizontal
                                 ? QRectF(groove.left(), middle.y() - kTrack / 2.0, groove.width(), kTrack)
                                 : QRectF(middle.x() - kTrack / 2.0, groove.top(), kTrack, groove.height());
        fillRounded(painter, track, enabled ? theme_.borderColor : theme_.borderColorDisabled, kTrack / 2.0);
        const QPointF c = QRectF(handle).center();
        QRectF filled = track;
        if (horizontal) {
            if (slider->upsideDown)
                filled.setLeft(c.x());
            else
                filled.setRight(c.x());
        } else {
            if (slider->upsideDown)
                filled.setTop(c.y());
            else
                filled.setBottom(c.y());
        }
        fillRounded(painter, filled, enabled ? theme_.primaryColor : theme_.primaryColorDisabled, kTrack / 2.0);
    }
    if (slider->subControls.testFlag(SC_SliderTickmarks)) {
        QStyleOptionSlider ticks(*slider);
        ticks.subControls = SC_SliderTickmarks;
        QProxyStyle::drawComplexControl(CC_Slider, &ticks, painter, widget);
    }
    if (slider->subControls.testFlag(SC_SliderHandle) && handle.isValid()) {
        const qreal diameter = std::min(handle.width(), handle.height()) - 2.0;
        QRectF knob(0, 0, diameter, diameter);
        knob.moveCenter(QRectF(handle).center());
        QColor fill = theme_.secondaryColor;
        if (!enabled)
            fill = theme_.primaryColorForegroundDisabled;
        else if (has(slider, State_Sunken) && slider->activeSubControls.testFlag(SC_SliderHandle))
            fill = theme_.secondaryColor.darker(115);
        fillRounded(painter, knob, fill, diameter / 2.0);
        if (has(slider, State_HasFocus) && enabled)
            outlineRounded(painter, knob.adjusted(-1, -1, 1, 1), theme_.focusColor, 2.0, diameter / 2.0 + 1);
    }
}

void ApplicationStyle::drawSpinBox(const QStyleOptionSpinBox* spin, QPainter* painter, const QWidget* widget) const {
    if (spin->frame)
        drawField(spin, painter, spin->rect);
    else
        painter->fillRect(spin->rect, spin->palette.brush(QPalette::Base));
    if (spin->buttonSymbols == QAbstractSpinBox::NoButtons)
        return;

    const QRect up = subControlRect(CC_SpinBox, spin, SC_SpinBoxUp, widget);
    const QRect down = subControlRect(CC_SpinBox, spin, SC_SpinBoxDown, widget);
    const auto drawButton = [&](const QRect& rect, SubControl control, bool stepEnabled, Qt::ArrowType arrow) {
        const bool enabled = has(spin, State_Enabled) && stepEnabled;
        if (enabled && spin->activeSubControls.testFlag(control)) {
            if (has(spin, State_Sunken))
                painter->fillRect(rect, theme_.semiTransparentColor2);
            else if (has(spin, State_MouseOver))
                painter->fillRect(rect, theme_.semiTransparentColor1);
        }
        drawChevron(painter, rect, arrow,
                    enabled ? theme_.secondaryColor : theme_.primaryColorForegroundDisabled);
    };
    drawButton(up, SC_SpinBoxUp, spin->stepEnabled.testFlag(QAbstractSpinBox::StepUpEnabled), Qt::UpArrow);
    drawButton(down, SC_SpinBoxDown, spin->stepEnabled.testFlag(QAbstractSpinBox::StepDownEnabled), Qt::DownArrow);
    painter->save();
    painter->setPen(has(spin, State_Enabled) ? theme_.borderColor : theme_.borderColorDisabled);
    const int x = std::min(up.left(), down.left()) - 1;
    painter->drawLine(x, up.top(), x, down.bottom());
    painter->restore();
}

void ApplicationStyle::drawComboBox(const QStyleOptionComboBox* combo, QPainter* painter, const QWidget* widget) const {
    if (combo->editable) {
        drawField(combo, painter, combo->rect);
    } else {
        const QRectF face = crisp(combo->rect);
        fillRounded(painter, face, buttonFill(combo, false));
        if (has(combo, State_HasFocus) && has(combo, State_Enabled))
            outlineRounded(painter, face, theme_.primaryColor);
    }
    if (combo->subControls.testFlag(SC_ComboBoxArrow)) {
        const QRect arrow = subControlRect(CC_ComboBox, combo, SC_ComboBoxArrow, widget);
        drawChevron(painter, arrow, Qt::DownArrow, combo->palette.color(QPalette::ButtonText));
    }
}

void ApplicationStyle::drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                                          QPainter* painter, const QWidget* widget) const {
    switch (control) {
    case CC_ScrollBar:
        if (const auto* bar = qstyleoption_cast<const QStyleOptionSlider*>(option)) {
            drawScrollBar(bar, painter);
            return;
        }
        break;
    case CC_Slider:
        if (const auto* slider = qstyleoption_cast<const QStyleOptionSlider*>(option)) {
            drawSlider(slider, painter, widget);
            return;
        }
        break;
    case CC_SpinBox:
        if (const auto* spin = qstyleoption_cast<const QStyleOptionSpinBox*>(option)) {
            drawSpinBox(spin, painter, widget);
            return;
        }
        break;
    case CC_ComboBox:
        if (const auto* combo = qstyleoption_cast<const QStyleOptionComboBox*>(option)) {
            drawComboBox(combo, painter, widget);
            return;
        }
        break;
    default:
        break;
    }
    QProxyStyle::drawComplexControl(control, option, painter, widget);
}

QRect ApplicationStyle::scrollBarSubControlRect(const QStyleOptionSlider* bar, SubControl subControl) const {
    // No arrow buttons: the groove is the whole bar and the handle slides along all of it.
    const QRect r = bar->rect;
    const bool horizontal = bar->orientation == Qt::Horizontal;
    const int length = horizontal ? r.width() : r.height();
    const qint64 range = qint64(bar->maximum) - bar->minimum;
    int sliderLength = length;
    if (range > 0) {
        const qint64 page = std::max(bar->pageStep, 0);
        sliderLength = int(page * length / (range + page));
        sliderLength = std::clamp(sliderLength, std::min(kScrollBarSliderMin, length), length);
    }
    const int start = sliderPositionFromValue(bar->minimum, bar->maximum, bar->sliderPosition,
                                              length - sliderLength, bar->upsideDown);
    const auto along = [&](int from, int size) {
        return horizontal ? QRect(r.left() + from, r.top(), size, r.height())
                          : QRect(r.left(), r.top() + from, r.width(), size);
    };
    QRect result;
    switch (subControl) {
    case SC_ScrollBarGroove: result = r; break;
    case SC_ScrollBarSlider: result = along(start, sliderLength); break;
    case SC_ScrollBarSubPage: result = along(0, start); break;
    case SC_ScrollBarAddPage: result = along(start + sliderLength, length - start - sliderLength); break;
    default: return {};
    }
    return visualRect(bar->direction, r, result);
}

QRect ApplicationStyle::subControlRect(ComplexControl control, const QStyleOptionComplex* option,
                                       SubControl subControl, const QWidget* widget) const {
    if (control == CC_ScrollBar) {
        if (const auto* bar = qstyleoption_cast<const QStyleOptionSlider*>(option))
            return scrollBarSubControlRect(bar, subControl);
    }
    return QProxyStyle::subControlRect(control, option, subControl, widget);
}

int ApplicationStyle::pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const {
    switch (metric) {
    case PM_ScrollBarExtent: return kScrollBarExtent;
    case PM_ScrollBarSliderMin: return kScrollBarSliderMin;
    case PM_ButtonShiftHorizontal:
    case PM_ButtonShiftVertical:
    case PM_TabBarTabShiftHorizontal:
    case PM_TabBarTabShiftVertical:
    case PM_ButtonDefaultIndicator:
        return 0;
    default:
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
}

int ApplicationStyle::styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                                QStyleHintReturn* returnData) const {
    switch (hint) {
    case SH_DialogButtonBox_ButtonsHaveIcons:
    case SH_EtchDisabledText:
    case SH_DitherDisabledText:
        return 0;
    default:
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
}

}  // namespace tavro::gui
