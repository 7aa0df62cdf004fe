// How the window shares its width between the control column and the result
// tabs, so that at its smallest size every map is still readable.
#include "gui/mainwindow/main_widget.h"

#include <QStackedWidget>
#include <QTabWidget>

namespace tavro::gui {

void MainWidget::fitColumnsToCurrentTab() {
    // Only the action shown counts toward the column's width: the longest
    // button must not widen the column under every tab.
    if (actionStack)
        for (int i = 0; i < actionStack->count(); ++i) {
            const bool shown = i == actionStack->currentIndex();
            actionStack->widget(i)->setSizePolicy(shown ? QSizePolicy::Preferred : QSizePolicy::Ignored,
                                                  shown ? QSizePolicy::Preferred : QSizePolicy::Ignored);
        }
    if (mainTabs && mainTabs->currentWidget())
        mainTabs->setMinimumWidth(mainTabs->currentWidget()->minimumSizeHint().width());
}

}  // namespace tavro::gui
