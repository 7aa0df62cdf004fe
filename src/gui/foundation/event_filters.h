#pragma once

#include <QObject>

namespace tavro::gui {

// Keeps each watched widget visible exactly while it is enabled (the main
// window's Stop button appears only while a computation can be stopped).
class VisibleWhenEnabledFilter : public QObject {
    Q_OBJECT

public:
    explicit VisibleWhenEnabledFilter(QObject* parent = nullptr);
    ~VisibleWhenEnabledFilter() override;

    bool eventFilter(QObject* watched, QEvent* event) override;
};

// Keeps the mouse wheel away from the watched spin and combo boxes, focused or
// not, so that scrolling a panel never changes a setting under the pointer; the
// unaccepted event goes on to the parents, which scroll instead.
class WheelEventFilter : public QObject {
    Q_OBJECT

public:
    explicit WheelEventFilter(QObject* parent = nullptr);
    ~WheelEventFilter() override;

    bool eventFilter(QObject* watched, QEvent* event) override;
};

}  // namespace tavro::gui
