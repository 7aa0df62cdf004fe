#include "gui/mainwindow/tile_list_block.h"

#include "gui/foundation/flow_layout.h"
#include "gui/foundation/theme.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace tavro::gui {

QPushButton* listButton(const QString& text, const QString& toolTip, const QString& style, bool enabled,
                        QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setToolTip(toolTip);
    button->setStyleSheet(style);
    button->setEnabled(enabled);
    return button;
}

TileListBlock makeTileListBlock(QWidget* parent, const TileListLook& look) {
    TileListBlock block;
    block.page = new QWidget(parent);
    auto* layout = new QVBoxLayout(block.page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    block.emptyLabel = new QLabel(QStringLiteral("Drag and drop or add tiles..."), block.page);
    block.emptyLabel->setAlignment(Qt::AlignCenter);
    block.emptyLabel->setMinimumHeight(look.emptyLabelMinimumHeight);
    block.emptyLabel->setStyleSheet(infoBoxLabelStyle());
    block.list = new QListWidget(block.page);
    block.list->setMaximumHeight(120);
    block.list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    block.list->hide();
    block.addButton = listButton(QStringLiteral("+"), QStringLiteral("Add tiles"), accentSmallButtonStyle(), true,
                                 block.page);
    block.removeButton = listButton(QStringLiteral("-"), QStringLiteral("Remove selected tiles"),
                                    secondaryButtonStyle(), false, block.page);
    block.upButton = listButton(QStringLiteral("\u2191"), QStringLiteral("Move selected tile up"),
                                secondaryButtonStyle(), false, block.page);
    block.downButton = listButton(QStringLiteral("\u2193"), QStringLiteral("Move selected tile down"),
                                  secondaryButtonStyle(), false, block.page);
    block.clearButton = listButton(QStringLiteral("Clear all"), look.clearToolTip, dangerTextButtonStyle(), false,
                                   block.page);
    // In a narrow column "Clear all" goes under the arrows rather than past the column's edge.
    auto* buttons = new FlowLayout(nullptr, look.centredButtons ? FlowLayout::RowPlacement::Centre
                                                                : FlowLayout::RowPlacement::LastToRight);
    for (QPushButton* button :
         {block.addButton, block.removeButton, block.upButton, block.downButton, block.clearButton})
        buttons->addWidget(button);
    block.countLabel = new QLabel(look.initialCount, block.page);
    layout->addWidget(block.emptyLabel);
    layout->addWidget(block.list);
    layout->addLayout(buttons);
    layout->addWidget(block.countLabel);
    return block;
}

}  // namespace tavro::gui
