// The mosaic page of INPUT IMAGES: state tabs, tile lists, crop, assembly mode
// and grid geometry, and the wiring of the mosaic controls.
#include "gui/mainwindow/main_widget.h"

#include "gui/mainwindow/tile_list_block.h"

#include "gui/foundation/flow_layout.h"
#include "gui/foundation/theme.h"
#include "gui/mainwindow/panel_wiring.h"
#include "gui/project/project_parameters.h"
#include "gui/style/switch_widget.h"

#include <QAbstractItemView>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QVBoxLayout>

namespace tavro::gui {

namespace {


QPushButton* makeStateTab(QWidget* window, const QString& text, bool checkable) {
    auto* button = new QPushButton(text, window);
    button->setCheckable(checkable);
    button->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Fixed);
    return button;
}

QLabel* makeSectionLabel(QWidget* window, const QString& text) {
    auto* label = new QLabel(text, window);
    label->setStyleSheet(sectionLabelStyle());
    return label;
}

QSpinBox* makeGridSpin(QWidget* window, ValueRange range, int value) {
    auto* spin = new QSpinBox(window);
    spin->setRange(static_cast<int>(range.minimum), static_cast<int>(range.maximum));
    spin->setValue(value);
    spin->setFixedWidth(60);
    return spin;
}

}  // namespace

void MainWidget::buildMosaicPanel(QVBoxLayout* pageLayout) {
    mosaicTabScrollArea = new QScrollArea(this);
    mosaicTabScrollArea->setWidgetResizable(false);
    mosaicTabScrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    mosaicTabScrollArea->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    mosaicTabScrollArea->setFixedHeight(46);
    // The row grows with every state: its width must not become the column's.
    mosaicTabScrollArea->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    mosaicTabScrollArea->setStyleSheet(horizontalScrollAreaStyle());
    mosaicTabRow = new QWidget(this);
    mosaicTabRow->setStyleSheet(tabButtonBarStyle(QStringLiteral("mosaicAddTabButton")));
    mosaicTabRowLayout = new QHBoxLayout(mosaicTabRow);
    mosaicTabRowLayout->setContentsMargins(0, 0, 0, 0);
    mosaicTabRowLayout->setSpacing(4);
    mosaicTabRowLayout->setSizeConstraint(QLayout::SetMinimumSize);
    mosaicStateGroup = new QButtonGroup(this);
    mosaicStateGroup->setExclusive(true);
    mosaicReferenceTabButton = makeStateTab(this, QStringLiteral("Reference"), true);
    mosaicReferenceTabButton->setChecked(true);
    mosaicStateGroup->addButton(mosaicReferenceTabButton, 0);
    QPushButton* firstState = makeStateTab(this, QStringLiteral("Deformed 1"), true);
    mosaicStateGroup->addButton(firstState, 1);
    mosaicDefStateButtons.append(firstState);
    mosaicDefTilePaths.append(QStringList());
    mosaicAddStateButton = makeStateTab(this, QStringLiteral("+ Add state"), false);
    mosaicAddStateButton->setObjectName(QStringLiteral("mosaicAddTabButton"));
    for (QPushButton* tab : {mosaicReferenceTabButton, firstState})
        mosaicTabRowLayout->addWidget(tab);
    mosaicTabScrollArea->setWidget(mosaicTabRow);
    pageLayout->addWidget(makeSectionLabel(this, QStringLiteral("TILES")));
    // "+ Add state" stays beside the strip, not at the end of what it scrolls.
    auto* tabStrip = new QWidget(this);
    tabStrip->setStyleSheet(tabButtonBarStyle(QStringLiteral("mosaicAddTabButton")));
    auto* tabStripLayout = new QHBoxLayout(tabStrip);
    tabStripLayout->setContentsMargins(0, 0, 0, 0);
    tabStripLayout->setSpacing(4);
    tabStripLayout->addWidget(mosaicTabScrollArea, 1);
    tabStripLayout->addWidget(mosaicAddStateButton, 0, Qt::AlignTop);
    pageLayout->addWidget(tabStrip);

    const TileListBlock reference = makeTileListBlock(this, {48, QStringLiteral("Remove all tiles"), false, QString()});
    mosaicRefTilesBlock = reference.page;
    mosaicRefPlaceholder = reference.emptyLabel;
    mosaicRefTileList = reference.list;
    mosaicRefAddButton = reference.addButton;
    mosaicRefRemoveButton = reference.removeButton;
    mosaicRefMoveUpButton = reference.upButton;
    mosaicRefMoveDownButton = reference.downButton;
    mosaicRefClearButton = reference.clearButton;
    mosaicRefCountLabel = reference.countLabel;
    updateTileCountLabel(mosaicRefCountLabel, 0);
    const TileListBlock deformed = makeTileListBlock(this, {48, QStringLiteral("Remove all tiles"), false, QString()});
    mosaicDefTilesBlock = deformed.page;
    mosaicDefPlaceholder = deformed.emptyLabel;
    mosaicDefTileList = deformed.list;
    mosaicDefAddButton = deformed.addButton;
    mosaicDefRemoveButton = deformed.removeButton;
    mosaicDefMoveUpButton = deformed.upButton;
    mosaicDefMoveDownButton = deformed.downButton;
    mosaicDefClearButton = deformed.clearButton;
    mosaicDefCountLabel = deformed.countLabel;
    updateTileCountLabel(mosaicDefCountLabel, 0);
    auto* deleteRow = new QHBoxLayout;
    mosaicDeleteStateButton = new QPushButton(QStringLiteral("Delete state"), this);
    mosaicDeleteStateButton->setToolTip(QStringLiteral("Delete this deformed state"));
    mosaicDeleteStateButton->setStyleSheet(dangerTextButtonStyle());
    deleteRow->addStretch();
    deleteRow->addWidget(mosaicDeleteStateButton);
    deleteRow->addStretch();
    static_cast<QVBoxLayout*>(mosaicDefTilesBlock->layout())->addLayout(deleteRow);
    pageLayout->addWidget(mosaicRefTilesBlock);
    mosaicDefTilesBlock->hide();
    pageLayout->addWidget(mosaicDefTilesBlock);

    auto* cropRow = new QWidget(this);
    auto* cropLayout = new QVBoxLayout(cropRow);
    cropLayout->setContentsMargins(0, 0, 0, 4);
    cropLayout->setSpacing(4);
    auto* cropButtons = new QHBoxLayout;
    cropButtons->setSpacing(6);
    cropTilesButton = new QPushButton(QStringLiteral("Crop tiles..."), this);
    cropTilesButton->setToolTip(QStringLiteral("Define a region to keep on all mosaic tiles"));
    cropTilesButton->setEnabled(false);
    cropTilesLabel = new QLabel(QStringLiteral("Load tiles first"), this);
    cropTilesLabel->setStyleSheet(QStringLiteral("color: %1; font-size: 11px;").arg(QStringLiteral("#8b93ab")));
    cropButtons->addWidget(cropTilesButton);
    cropButtons->addWidget(cropTilesLabel);
    cropButtons->addStretch();
    cropLayout->addLayout(cropButtons);
    pageLayout->addWidget(cropRow);

    auto* assembly = new QWidget(this);
    auto* assemblyLayout = new QVBoxLayout(assembly);
    assemblyLayout->setContentsMargins(0, 4, 0, 0);
    assemblyLayout->setSpacing(6);
    assemblyLayout->addWidget(makeSectionLabel(this, QStringLiteral("ASSEMBLY")));
    auto* radios = new QVBoxLayout;
    radios->setContentsMargins(0, 0, 0, 0);
    radios->setSpacing(2);
    auto* assemblyGroup = new QButtonGroup(this);
    assemblyGroup->setExclusive(true);
    stitchAndCorrelateRadio = new QRadioButton(QStringLiteral("Stitch && Correlate"), this);
    stitchAndCorrelateRadio->setChecked(true);
    stitchAndCorrelateRadio->setToolTip(
        QStringLiteral("Assemble tiles into a mosaic, then run DIC on the stitched image"));
    perTileRadio = new QRadioButton(QStringLiteral("Per-Tile DIC"), this);
    perTileRadio->setToolTip(QStringLiteral("Run DIC on each tile pair independently (no stitching).\nResults are "
                                            "saved per tile. Ideal for very large mosaics."));
    for (QRadioButton* radio : {stitchAndCorrelateRadio, perTileRadio}) {
        assemblyGroup->addButton(radio);
        radios->addWidget(radio);
    }
    assemblyLayout->addLayout(radios);

    gridGeometryBlock = new QWidget(this);
    gridGeometryLayout = new QVBoxLayout(gridGeometryBlock);
    gridGeometryLayout->setContentsMargins(0, 0, 0, 0);
    gridGeometryLayout->setSpacing(6);
    gridGeometryLayout->addWidget(makeSectionLabel(this, QStringLiteral("GRID GEOMETRY")));
    auto* grid = new QGridLayout;
    grid->setSpacing(6);
    grid->setColumnMinimumWidth(0, 72);
    grid->setColumnStretch(5, 1);
    scanOrderCombo = new QComboBox(this);
    scanOrderCombo->addItem(QStringLiteral("Snake"), 0);
    scanOrderCombo->addItem(QStringLiteral("Row by row"), 1);
    scanOrderCombo->addItem(QStringLiteral("Column by column"), 2);
    const MosaicParameters fresh;
    scanOrderCombo->setCurrentIndex(fresh.scanOrderIndex);
    scanOrderCombo->setMaxVisibleItems(10);
    scanOrderCombo->view()->setMinimumHeight(75);
    gridRowsSpin = makeGridSpin(this, kGridCountRange, fresh.gridRows);
    gridColsSpin = makeGridSpin(this, kGridCountRange, fresh.gridCols);
    overlapXSpin = makeGridSpin(this, kOverlapRange, fresh.overlapX);
    overlapYSpin = makeGridSpin(this, kOverlapRange, fresh.overlapY);
    const auto label = [this](const char* text) { return new QLabel(QString::fromUtf8(text), this); };
    grid->addWidget(label("Scan order:"), 0, 0, Qt::AlignLeft);
    grid->addWidget(scanOrderCombo, 0, 1, 1, 2);
    gridGeometryLayout->addLayout(grid);
    // A field and its unit stay together; a narrow column puts the second pair on a line of its own.
    const auto fieldRow = [this, &label](const char* name, QSpinBox* first, const char* firstUnit, QSpinBox* second,
                                         const char* secondUnit) {
        auto* row = new FlowLayout(nullptr, FlowLayout::RowPlacement::Left, 6);
        QLabel* heading = label(name);
        heading->setMinimumWidth(72);
        row->addWidget(heading);
        for (const auto& [spin, unit] : {std::pair{first, firstUnit}, std::pair{second, secondUnit}}) {
            auto* pair = new QWidget(this);
            auto* pairLayout = new QHBoxLayout(pair);
            pairLayout->setContentsMargins(0, 0, 0, 0);
            pairLayout->setSpacing(6);
            pairLayout->addWidget(spin);
            pairLayout->addWidget(label(unit));
            row->addWidget(pair);
        }
        gridGeometryLayout->addLayout(row);
    };
    fieldRow("Grid:", gridRowsSpin, "rows  \u00d7", gridColsSpin, "columns");
    fieldRow("Overlap:", overlapXSpin, "% horiz.", overlapYSpin, "% vert.");
    // Never shown, yet read by a computation and kept in the project file.
    phaseCorrelationCheck = new QCheckBox(QStringLiteral("Phase correlation FFT"), this);
    phaseCorrelationCheck->setChecked(true);
    phaseCorrelationCheck->hide();
    missingTilesCheck = new QCheckBox(QStringLiteral("Missing tile(s)"), this);
    missingTilesCheck->setToolTip(
        QStringLiteral("Allow fewer tiles than the grid (automatic detection of missing position)"));
    gridGeometryLayout->addWidget(missingTilesCheck);
    auto* positionsRow = new QHBoxLayout;
    positionsRow->setContentsMargins(16, 0, 0, 0);
    missingPositionsEdit = new QLineEdit(this);
    missingPositionsEdit->setPlaceholderText(QStringLiteral("Auto"));
    missingPositionsEdit->setEnabled(false);
    missingPositionsEdit->setToolTip(QStringLiteral(
        "Missing tile positions in scan order (0 to N\u00d7M-1).\nImageJ-style syntax:\n  \u2022 1         \u2192 tile "
        "1\n  \u2022 1; 3; 5   \u2192 tiles 1, 3 and 5\n  \u2022 1-5       \u2192 tiles 1 to 5\n  \u2022 1-3; 7    "
        "\u2192 tiles 1, 2, 3 and 7\nLeave empty for auto-detection (may fail for first tiles)."));
    positionsRow->addWidget(label("Positions:"));
    positionsRow->addWidget(missingPositionsEdit);
    gridGeometryLayout->addLayout(positionsRow);
    assemblyLayout->addWidget(gridGeometryBlock);
    pageLayout->addWidget(assembly);

    connect(selectProjectFolderButton, &QPushButton::clicked, this, [this] { TAVRO_REACH(onSelectProjectFolder()); });
    connect(mosaicSwitch, &Switch::toggled, this, [this](bool checked) { TAVRO_REACH(onMosaicModeToggled(checked)); });
    connect(inputSegmentGroup, &QButtonGroup::idClicked, this, [this](int id) {
        referencePage->setVisible(id == 0);
        deformedPage->setVisible(id == 1);
    });
    connect(mosaicStateGroup, &QButtonGroup::idClicked, this, [this](int id) { TAVRO_REACH(onInputSegmentChanged(id)); });
    struct Click {
        QPushButton* button;
        const char* slot;
        void (MainWidget::*member)();
    };
    const Click clicks[] = {
        {mosaicRefAddButton, "onAddMosaicRefTiles()", &MainWidget::onAddMosaicRefTiles},
        {mosaicRefRemoveButton, "onRemoveMosaicRefTiles()", &MainWidget::onRemoveMosaicRefTiles},
        {mosaicRefMoveUpButton, "onMoveUpMosaicRefTile()", &MainWidget::onMoveUpMosaicRefTile},
        {mosaicRefMoveDownButton, "onMoveDownMosaicRefTile()", &MainWidget::onMoveDownMosaicRefTile},
        {mosaicRefClearButton, "onClearMosaicRefTiles()", &MainWidget::onClearMosaicRefTiles},
        {mosaicDefAddButton, "onAddMosaicDefTiles()", &MainWidget::onAddMosaicDefTiles},
        {mosaicDefRemoveButton, "onRemoveMosaicDefTiles()", &MainWidget::onRemoveMosaicDefTiles},
        {mosaicDefMoveUpButton, "onMoveUpMosaicDefTile()", &MainWidget::onMoveUpMosaicDefTile},
        {mosaicDefMoveDownButton, "onMoveDownMosaicDefTile()", &MainWidget::onMoveDownMosaicDefTile},
        {mosaicDefClearButton, "onClearMosaicDefTiles()", &MainWidget::onClearMosaicDefTiles},
        {mosaicAddStateButton, "onAddMosaicDefState()", &MainWidget::onAddMosaicDefState},
        {mosaicDeleteStateButton, "onDeleteMosaicDefState()", &MainWidget::onDeleteMosaicDefState},
        {cropTilesButton, "onCropTiles()", &MainWidget::onCropTiles},
    };
    for (const Click& click : clicks)
        connect(click.button, &QPushButton::clicked, this,
                [this, click] { reach(click.slot, [this, &click] { (this->*click.member)(); }); });
    connect(mosaicRefTileList, &QListWidget::itemSelectionChanged, this,
            [this] { TAVRO_REACH(updateMosaicRefTilesControls()); });
    connect(mosaicDefTileList, &QListWidget::itemSelectionChanged, this,
            [this] { TAVRO_REACH(updateMosaicDefTilesControls()); });
    connect(mosaicRefTileList, &QListWidget::itemClicked, this,
            [this](QListWidgetItem* item) { TAVRO_REACH(onMosaicRefTileClicked(item, false)); });
    connect(mosaicDefTileList, &QListWidget::itemClicked, this,
            [this](QListWidgetItem* item) { TAVRO_REACH(onMosaicDefTileClicked(item)); });
    connect(mosaicRefTileList, &QListWidget::itemDoubleClicked, this,
            [this](QListWidgetItem* item) { TAVRO_REACH(onMosaicRefTileDoubleClicked(item)); });
    connect(mosaicDefTileList, &QListWidget::itemDoubleClicked, this,
            [this](QListWidgetItem* item) { TAVRO_REACH(onMosaicDefTileDoubleClicked(item)); });
    connect(mosaicRefTileList, &QListWidget::currentRowChanged, this,
            [this](int row) { TAVRO_REACH(onMosaicRefTileRowChanged(row)); });
    connect(mosaicDefTileList, &QListWidget::currentRowChanged, this,
            [this](int row) { TAVRO_REACH(onMosaicDefTileRowChanged(row)); });
}

}  // namespace tavro::gui
