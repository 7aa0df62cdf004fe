// Mosaic input segments and clicks: they follow the mosaic inputs.
#include "gui/mainwindow/main_widget.h"

#include "gui/mainwindow/panel_rules.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>

namespace tavro::gui {

void MainWidget::onViewClicked() {}
void MainWidget::onInputSegmentChanged(int) {}

}  // namespace tavro::gui
