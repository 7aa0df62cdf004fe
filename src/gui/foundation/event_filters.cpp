#include "gui/foundation/event_filters.h"

#include <QEvent>
#include <QWidget>

namespace tavro::gui {

VisibleWhenEnabledFilter::VisibleWhenEnabledFilter(QObject* parent) : QObject(parent) {}

VisibleWhenEnabledFilter::~VisibleWhenEnabledFilter() = default;

bool VisibleWhenEnabledFilter::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::EnabledChange && watched->isWidgetType()) {
        auto* widget = static_cast<QWidget*>(watched);
        widget->setVisible(widget->isEnabled());
    }
    return QObject::eventFilter(watched, event);
}

WheelEventFilter::WheelEventFilter(QObject* parent) : QObject(parent) {}

WheelEventFilter::~WheelEventFilter() = default;

bool WheelEventFilter::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Wheel) {
        event->ignore();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace tavro::gui
