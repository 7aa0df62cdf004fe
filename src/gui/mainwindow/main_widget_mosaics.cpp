// The per-tile switch of the assembly choice and the height page's read-out label.
#include "gui/mainwindow/main_widget.h"

#include "gui/mainwindow/panel_rules.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>

namespace tavro::gui {

void MainWidget::onBatchTileModeToggled(bool) {}

void MainWidget::updateHeightHoverText(const QString& value, bool hasValue) {
    if (heightValueLabel)
        heightValueLabel->setText(hasValue ? value : QStringLiteral("w : \u2014"));
}

}  // namespace tavro::gui
