#pragma once
// Answers context menus in widget tests, which open them modally.

#include <QApplication>
#include <QMenu>
#include <QObject>
#include <QStringList>
#include <QTest>
#include <QTimer>

namespace tavro::gui::widget_test {

// Picks `choice` in the next popup menu (or closes it when `choice` is empty)
// and records what it offered; being the timer's context, it cancels the
// answer when the test ends without a menu.
class MenuResponder : public QObject {
public:
    explicit MenuResponder(QString choice) : choice_(std::move(choice)) {
        QTimer::singleShot(0, this, [this] { answer(); });
    }
    bool shown = false;
    QStringList offered;

private:
    void answer() {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu)
            return;
        shown = true;
        QAction* pick = nullptr;
        for (QAction* action : menu->actions()) {
            offered << action->text();
            if (action->text() == choice_)
                pick = action;
        }
        if (!pick) {
            menu->close();
            return;
        }
        menu->setActiveAction(pick);
        QTest::keyClick(menu, Qt::Key_Return);
    }
    QString choice_;
};

} // namespace tavro::gui::widget_test
