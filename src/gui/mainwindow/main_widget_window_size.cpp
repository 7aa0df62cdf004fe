// How the window shares its width between the control column and the result
// tabs, so that at its smallest size every map is still readable.
#include "gui/mainwindow/main_widget.h"

#include <QComboBox>
#include <QFormLayout>
#include <QLayout>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>
#include <QToolButton>

#include <algorithm>

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
    if (!mainTabs || !leftColumn || !controlScrollArea || !controlStack)
        return;
    // Every tab reserves the room of the most demanding one, so that switching
    // tabs never moves the border between the columns.
    int pagesNeed = 0;
    for (int i = 0; i < mainTabs->count(); ++i)
        pagesNeed = std::max(pagesNeed, mainTabs->widget(i)->minimumSizeHint().width());
    mainTabs->setMinimumWidth(pagesNeed);

    int panelsWant = 0;
    for (int i = 0; i < controlStack->count(); ++i)
        panelsWant = std::max(panelsWant, controlStack->widget(i)->sizeHint().width());
    const int scrollBar = controlScrollArea->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, controlScrollArea);
    const QMargins contentMargins = controlContent && controlContent->layout()
                                        ? controlContent->layout()->contentsMargins()
                                        : QMargins();
    const int chrome = scrollBar + 2 * controlScrollArea->frameWidth();
    // The rows of state tabs scroll or page in their own strips: a state
    // added never moves the border between the columns.
    const int wanted = panelsWant + contentMargins.left() + contentMargins.right() + chrome;
    const QMargins margins = layout() ? layout()->contentsMargins() : QMargins();
    const int spacing = layout() ? std::max(layout()->spacing(), 0) : 0;
    // The tab widget's own frame and tab bar come on top of its pages. Every
    // result tab is given its whole label beside Help: scroll arrows would
    // hide the tab cut under them.
    const int tabsNeed = mainTabs->tabBar()->sizeHint().width() + helpButtonRoom();
    const int resultsNeed = std::max({pagesNeed, mainTabs->minimumSizeHint().width(), tabsNeed});
    const int room = width() - margins.left() - margins.right() - spacing - resultsNeed;
    leftColumn->setFixedWidth(std::clamp(std::min(wanted, room), kNarrowestControlColumn, 700));
}

void MainWidget::fitControlContentHeight() {
    if (!controlScrollArea || !controlContent || !controlStack)
        return;
    const bool heights = heightsPage && controlStack->currentWidget() == heightsPage;
    // Called at every resize of the column: a policy set again would lay the
    // scroll area out again.
    const Qt::ScrollBarPolicy policy = heights ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAlwaysOn;
    if (controlScrollArea->verticalScrollBarPolicy() != policy)
        controlScrollArea->setVerticalScrollBarPolicy(policy);
    if (!heights) {
        controlContent->setMaximumHeight(QWIDGETSIZE_MAX);
        return;
    }
    // The height panel lays itself out to the window; a scroll bar would fight
    // it. Its wrapped hint takes more lines in a narrower column, so the page
    // is measured at the width the column gives it now, not at its preferred one:
    // a page held below that would draw its rows over one another.
    const QMargins margins = controlContent->layout() ? controlContent->layout()->contentsMargins() : QMargins();
    const int pageWidth = controlContent->width() - margins.left() - margins.right();
    const int needed = std::max(heightsPage->sizeHint().height(), heightsPage->heightForWidth(pageWidth));
    controlContent->setMaximumHeight(needed + 24);
}

int MainWidget::helpButtonRoom() const {
    if (!helpButton)
        return 0;
    return std::max(helpButton->sizeHint().width(), helpButton->minimumSizeHint().width()) + 12;
}

void MainWidget::letPanelRowsNarrow() {
    if (!controlContent)
        return;
    for (QFormLayout* form : controlContent->findChildren<QFormLayout*>())
        form->setRowWrapPolicy(QFormLayout::WrapLongRows);
    // A closed list shows the start of its choice; its popup shows every choice whole.
    for (QComboBox* combo : controlContent->findChildren<QComboBox*>()) {
        combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        combo->setMinimumContentsLength(8);
    }
}

}  // namespace tavro::gui
