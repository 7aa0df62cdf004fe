#pragma once
// The tile list with its "+ - ↑ ↓ Clear all" row, shared by the mosaic and the
// height-map panels; the two differ only in a few looks.

#include <QString>

class QLabel;
class QListWidget;
class QPushButton;
class QWidget;

namespace tavro::gui {

struct TileListBlock {
    QWidget* page = nullptr;
    QLabel* emptyLabel = nullptr;
    QListWidget* list = nullptr;
    QPushButton* addButton = nullptr;
    QPushButton* removeButton = nullptr;
    QPushButton* upButton = nullptr;
    QPushButton* downButton = nullptr;
    QPushButton* clearButton = nullptr;
    QLabel* countLabel = nullptr;
};

struct TileListLook {
    int emptyLabelMinimumHeight = 48;
    QString clearToolTip;
    // Centred between stretches, or "+" to "↓" at the left and "Clear all" at the right.
    bool centredButtons = false;
    QString initialCount;
};

TileListBlock makeTileListBlock(QWidget* parent, const TileListLook& look);

// A small button of such a row.
QPushButton* listButton(const QString& text, const QString& toolTip, const QString& style, bool enabled,
                        QWidget* parent);

}  // namespace tavro::gui
