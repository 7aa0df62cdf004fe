// The "HEIGHT MAPS" panel of the control column and the wiring of the height
// inputs and of the "3D Maps" page.
#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/flow_layout.h"

#include "gui/foundation/contrast_histogram_widget.h"
#include "gui/foundation/theme.h"
#include "gui/mainwindow/result_page_parts.h"
#include "gui/mainwindow/tile_list_block.h"
#include "gui/style/switch_widget.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace tavro::gui {

namespace {

QVBoxLayout* zeroMarginColumn(QWidget* owner, int spacing) {
    auto* layout = new QVBoxLayout(owner);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    return layout;
}

QLabel* dropZoneLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setAlignment(Qt::AlignCenter);
    label->setStyleSheet(infoBoxLabelStyle());
    return label;
}

QToolButton* stateTabArrow(Qt::ArrowType arrow, const QString& toolTip, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setArrowType(arrow);
    button->setToolTip(toolTip);
    button->setAutoRaise(true);
    button->setFixedHeight(36);
    button->hide();
    return button;
}

}  // namespace

void MainWidget::buildHeightMapPanel() {
    auto* pageLayout = static_cast<QVBoxLayout*>(heightsPage->layout());
    pageLayout->setAlignment(Qt::AlignTop);
    heightMapsGroup = new QGroupBox(QStringLiteral("HEIGHT MAPS"), heightsPage);
    heightMapsGroup->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    auto* groupLayout = new QVBoxLayout(heightMapsGroup);
    groupLayout->setSpacing(8);

    heightModeHintLabel = new QLabel(heightMapsGroup);
    heightModeHintLabel->setWordWrap(true);
    heightModeHintLabel->setStyleSheet(QStringLiteral("font-size: 10px; color: #9ca3af;"));
    groupLayout->addWidget(heightModeHintLabel);

    // Single-image body: one reference file and the deformed files.
    heightSingleContainer = new QWidget(heightMapsGroup);
    QVBoxLayout* singleLayout = zeroMarginColumn(heightSingleContainer, 8);
    auto* segmented = new QWidget(heightSingleContainer);
    auto* segmentedRow = new QHBoxLayout(segmented);
    segmentedRow->setContentsMargins(0, 0, 0, 0);
    segmentedRow->setSpacing(0);
    segmented->setStyleSheet(segmentedControlStyle());
    heightSegmentGroup = new QButtonGroup(this);
    heightSegmentGroup->setExclusive(true);
    const QString segmentNames[2] = {QStringLiteral("Reference"), QStringLiteral("Deformed")};
    const QString segmentObjects[2] = {QStringLiteral("segmentedLeft"), QStringLiteral("segmentedRight")};
    for (int id = 0; id < 2; ++id) {
        auto* button = new QPushButton(segmentNames[id], segmented);
        button->setObjectName(segmentObjects[id]);
        button->setCheckable(true);
        button->setChecked(id == 0);
        heightSegmentGroup->addButton(button, id);
        segmentedRow->addWidget(button);
    }
    auto* centring = new QHBoxLayout;
    centring->addStretch();
    centring->addWidget(segmented);
    centring->addStretch();
    singleLayout->addLayout(centring);
    heightSingleStack = new QStackedWidget(heightSingleContainer);

    auto* referencePage = new QWidget(heightSingleStack);
    referencePage->setAcceptDrops(true);
    QVBoxLayout* referenceLayout = zeroMarginColumn(referencePage, 4);
    heightRefFileEdit = new QLineEdit(referencePage);
    heightRefFileEdit->setReadOnly(true);
    heightRefFileEdit->setPlaceholderText(QStringLiteral("Drag and drop or select a file..."));
    heightRefAddButton = listButton(QStringLiteral("+"), QStringLiteral("Choose the reference image"),
                                    accentSmallButtonStyle(), true, referencePage);
    heightRefRemoveButton = listButton(QStringLiteral("-"), QStringLiteral("Remove the reference image"),
                                       secondaryButtonStyle(), false, referencePage);
    auto* referenceButtons = new QHBoxLayout;
    referenceButtons->setSpacing(4);
    referenceButtons->addWidget(heightRefAddButton);
    referenceButtons->addWidget(heightRefRemoveButton);
    referenceButtons->addStretch();
    referenceLayout->addWidget(heightRefFileEdit);
    referenceLayout->addLayout(referenceButtons);
    referenceLayout->addStretch();

    auto* deformedPage = new QWidget(heightSingleStack);
    deformedPage->setAcceptDrops(true);
    QVBoxLayout* deformedLayout = zeroMarginColumn(deformedPage, 4);
    auto* listBox = new QWidget(deformedPage);
    listBox->setFixedHeight(80);
    QVBoxLayout* listBoxLayout = zeroMarginColumn(listBox, 0);
    heightDefEmptyLabel = dropZoneLabel(QStringLiteral("Drag and drop or add files..."), listBox);
    heightDefEmptyLabel->setFixedHeight(80);
    heightDefFileList = new QListWidget(listBox);
    heightDefFileList->setMinimumHeight(80);
    heightDefFileList->setMaximumHeight(120);
    heightDefFileList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    heightDefFileList->setAcceptDrops(true);
    heightDefFileList->setDragEnabled(true);
    heightDefFileList->setDragDropMode(QAbstractItemView::InternalMove);
    heightDefFileList->setDefaultDropAction(Qt::MoveAction);
    heightDefFileList->hide();
    listBoxLayout->addWidget(heightDefEmptyLabel);
    listBoxLayout->addWidget(heightDefFileList);
    heightDefAddButton = listButton(QStringLiteral("+"), QStringLiteral("Add files"), accentSmallButtonStyle(), true,
                                    deformedPage);
    heightDefRemoveButton = listButton(QStringLiteral("-"), QStringLiteral("Remove selected files"),
                                       secondaryButtonStyle(), false, deformedPage);
    heightDefUpButton = listButton(QStringLiteral("\u2191"), QStringLiteral("Move selected file up"),
                                   secondaryButtonStyle(), false, deformedPage);
    heightDefDownButton = listButton(QStringLiteral("\u2193"), QStringLiteral("Move selected file down"),
                                     secondaryButtonStyle(), false, deformedPage);
    heightDefClearButton = listButton(QStringLiteral("Clear all"), QStringLiteral("Remove all files"),
                                      dangerTextButtonStyle(), false, deformedPage);
    auto* deformedButtons = new FlowLayout(nullptr, FlowLayout::RowPlacement::Centre);
    for (QPushButton* button :
         {heightDefAddButton, heightDefRemoveButton, heightDefUpButton, heightDefDownButton, heightDefClearButton})
        deformedButtons->addWidget(button);
    heightFileCountLabel = new QLabel(QStringLiteral("No file"), deformedPage);
    deformedLayout->addWidget(listBox);
    deformedLayout->addLayout(deformedButtons);
    deformedLayout->addWidget(heightFileCountLabel);

    heightSingleStack->addWidget(referencePage);
    heightSingleStack->addWidget(deformedPage);
    heightSingleStack->setCurrentIndex(0);
    singleLayout->addWidget(heightSingleStack);
    groupLayout->addWidget(heightSingleContainer);

    // Mosaic body: a state tab bar over the tile list of the chosen state.
    heightMosaicContainer = new QWidget(heightMapsGroup);
    QVBoxLayout* mosaicLayout = zeroMarginColumn(heightMosaicContainer, 8);
    heightTabStrip = new QWidget(heightMosaicContainer);
    auto* stripRow = new QHBoxLayout(heightTabStrip);
    stripRow->setContentsMargins(0, 0, 0, 0);
    stripRow->setSpacing(2);
    heightTabScroll = new QScrollArea(heightTabStrip);
    heightTabScroll->setWidgetResizable(false);
    heightTabScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    heightTabScroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    heightTabScroll->setFixedHeight(46);
    heightTabScroll->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    heightTabScroll->setStyleSheet(scrollAreaStyle());
    auto* tabBar = new QWidget;
    auto* tabRow = new QHBoxLayout(tabBar);
    tabRow->setContentsMargins(0, 0, 0, 0);
    tabRow->setSpacing(4);
    tabRow->setSizeConstraint(QLayout::SetMinimumSize);
    tabBar->setStyleSheet(tabButtonBarStyle(QStringLiteral("heightAddTabButton")));
    heightTabGroup = new QButtonGroup(this);
    heightTabGroup->setExclusive(true);
    const QString tabNames[2] = {QStringLiteral("Reference"), QStringLiteral("Deformed 1")};
    for (int id = 0; id < 2; ++id) {
        auto* button = new QPushButton(tabNames[id], tabBar);
        button->setCheckable(true);
        button->setChecked(id == 0);
        button->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Fixed);
        heightTabGroup->addButton(button, id);
        tabRow->addWidget(button);
        if (id > 0)
            heightStateButtons.append(button);
    }
    heightAddStateButton = new QPushButton(QStringLiteral("+ Add state"), tabBar);
    heightAddStateButton->setObjectName(QStringLiteral("heightAddTabButton"));
    heightAddStateButton->setToolTip(QStringLiteral("Add a deformed state"));
    tabRow->addWidget(heightAddStateButton);
    heightTabRowLayout = tabRow;
    heightTabScroll->setWidget(tabBar);
    heightTabPrevButton = stateTabArrow(Qt::LeftArrow, QStringLiteral("Previous states"), heightTabStrip);
    heightTabNextButton = stateTabArrow(Qt::RightArrow, QStringLiteral("Next states"), heightTabStrip);
    stripRow->addWidget(heightTabScroll, 1);
    stripRow->addStretch(0);
    stripRow->addWidget(heightTabPrevButton);
    stripRow->addWidget(heightTabNextButton);
    mosaicLayout->addWidget(heightTabStrip);
    const TileListLook look{80, QStringLiteral("Delete all tiles"), true, QStringLiteral("No tiles")};
    heightRefTiles = makeTileListBlock(heightMosaicContainer, look);
    heightDefTiles = makeTileListBlock(heightMosaicContainer, look);
    heightDefTiles.page->hide();
    mosaicLayout->addWidget(heightRefTiles.page);
    mosaicLayout->addWidget(heightDefTiles.page);
    heightDeleteStateButton = new QPushButton(QStringLiteral("Delete state"), heightDefTiles.page);
    heightDeleteStateButton->setToolTip(QStringLiteral("Delete this deformed state"));
    heightDeleteStateButton->setStyleSheet(dangerTextButtonStyle());
    heightDefTiles.page->layout()->addWidget(heightDeleteStateButton);
    heightSummaryLabel = new QLabel(heightMosaicContainer);
    heightSummaryLabel->setAlignment(Qt::AlignCenter);
    heightSummaryLabel->setStyleSheet(hintLabelStyle());
    mosaicLayout->addWidget(heightSummaryLabel);
    heightAssembleButton = new QPushButton(QStringLiteral("Assemble height maps"), heightMosaicContainer);
    heightAssembleButton->setToolTip(
        QStringLiteral("Assemble the reference height tiles and those of the current deformed state at the "
                       "positions of the intensity mosaics"));
    heightAssembleButton->setEnabled(false);
    mosaicLayout->addWidget(heightAssembleButton);
    heightMosaicContainer->hide();
    groupLayout->addWidget(heightMosaicContainer);

    heightSaveFullImageCheck = new QCheckBox(QStringLiteral("Save full image (with NaN)"), heightsPage);
    heightSaveFullImageCheck->setToolTip(QStringLiteral(
        "If checked, saves the full image with computed zone at correct coordinates.\nNon-computed zones are filled "
        "with NaN.\nIf unchecked, saves only the computed zone (ROI)."));
    // The frame already put the page's closing stretch in.
    pageLayout->insertWidget(0, heightMapsGroup);
    pageLayout->insertWidget(1, heightSaveFullImageCheck);
}

// A column too narrow for every state tab shows whole tabs only and pages
// through the others with the arrows: a cut label could be any state's.
void MainWidget::layoutHeightStateTabs() {
    if (!heightTabStrip || !heightTabScroll || !heightTabRowLayout || !heightTabPrevButton || !heightTabNextButton)
        return;
    QList<const QWidget*> tabs;
    for (int i = 0; i < heightTabRowLayout->count(); ++i)
        if (const QWidget* tab = heightTabRowLayout->itemAt(i)->widget(); tab && !tab->isHidden())
            tabs << tab;
    const int frame = 2 * heightTabScroll->frameWidth();
    QScrollBar* scroll = heightTabScroll->horizontalScrollBar();
    const bool paged = !tabs.isEmpty() && heightTabScroll->widget()->width() + frame > heightTabStrip->width();
    heightTabPrevButton->setVisible(paged);
    heightTabNextButton->setVisible(paged);
    if (!paged) {
        heightTabFirstShown = 0;
        heightTabScroll->setMaximumWidth(QWIDGETSIZE_MAX);
        scroll->setValue(0);
        return;
    }
    const int spacing = std::max(heightTabStrip->layout()->spacing(), 0);
    const int room = heightTabStrip->width() - frame - heightTabPrevButton->sizeHint().width() -
                     heightTabNextButton->sizeHint().width() - 2 * spacing;
    const auto lastWhole = [&](int first) {
        int last = first;
        while (last + 1 < tabs.size() && tabs[last + 1]->geometry().right() - tabs[first]->x() < room)
            ++last;
        return last;
    };
    int first = std::clamp(heightTabFirstShown, 0, static_cast<int>(tabs.size()) - 1);
    const int checked = heightTabGroup ? static_cast<int>(tabs.indexOf(heightTabGroup->checkedButton())) : -1;
    if (heightTabsFollowChecked && checked >= 0) {
        first = std::min(first, checked);
        while (first < checked && lastWhole(first) < checked)
            ++first;
    }
    // No blank room after the last tab while earlier ones are hidden.
    while (first > 0 && lastWhole(first - 1) == tabs.size() - 1)
        --first;
    const int last = lastWhole(first);
    heightTabFirstShown = first;
    heightTabScroll->setMaximumWidth(tabs[last]->geometry().right() + 1 - tabs[first]->x() + frame);
    scroll->setValue(tabs[first]->x());
    heightTabPrevButton->setEnabled(first > 0);
    heightTabNextButton->setEnabled(last + 1 < tabs.size());
}

void MainWidget::onHeightSaveFullImageToggled() {
    outOfPlaneStale = true;
    autosaveParameters();
    updateHeightPreview(true, true);
    updateHeightTilesControls();
}

void MainWidget::connectHeightMapControls() {
    connect(heightTabGroup, &QButtonGroup::idClicked, this, [this](int id) { onHeightTabChanged(id); });
    connect(heightTabGroup, &QButtonGroup::buttonToggled, this, [this](QAbstractButton*, bool on) {
        if (!on)
            return;
        heightTabsFollowChecked = true;
        layoutHeightStateTabs();
    });
    const auto page = [this](int step) {
        heightTabFirstShown += step;
        heightTabsFollowChecked = false;
        layoutHeightStateTabs();
    };
    connect(heightTabPrevButton, &QToolButton::clicked, this, [page] { page(-1); });
    connect(heightTabNextButton, &QToolButton::clicked, this, [page] { page(1); });
    connect(heightAssembleButton, &QPushButton::clicked, this, [this] { onAssembleHeights(); });
    connect(heightAddStateButton, &QPushButton::clicked, this, [this] { onAddHeightDefState(); });
    connect(heightDeleteStateButton, &QPushButton::clicked, this, [this] { onDeleteHeightDefState(); });
    connect(heightRefTiles.addButton, &QPushButton::clicked, this, [this] { onAddHeightRefTiles(); });
    connect(heightRefTiles.removeButton, &QPushButton::clicked, this, [this] { onRemoveHeightRefTiles(); });
    connect(heightRefTiles.upButton, &QPushButton::clicked, this, [this] { onMoveUpHeightRefTile(); });
    connect(heightRefTiles.downButton, &QPushButton::clicked, this, [this] { onMoveDownHeightRefTile(); });
    connect(heightRefTiles.clearButton, &QPushButton::clicked, this, [this] { onClearHeightRefTiles(); });
    connect(heightRefTiles.list, &QListWidget::itemSelectionChanged, this, [this] {
        updateHeightTilesControls();
        const QList<QListWidgetItem*> selected = heightRefTiles.list->selectedItems();
        const int row = selected.size() == 1 ? heightRefTiles.list->row(selected.front()) : -1;
        if (row >= 0 && row < referenceHeightPaths.size())
            showReferenceHeightPreview(referenceHeightPaths[row]);
    });
    connect(heightDefTiles.addButton, &QPushButton::clicked, this, [this] { onAddHeightDefTiles(); });
    connect(heightDefTiles.removeButton, &QPushButton::clicked, this, [this] { onRemoveHeightDefTiles(); });
    connect(heightDefTiles.upButton, &QPushButton::clicked, this, [this] { onMoveUpHeightDefTile(); });
    connect(heightDefTiles.downButton, &QPushButton::clicked, this, [this] { onMoveDownHeightDefTile(); });
    connect(heightDefTiles.clearButton, &QPushButton::clicked, this, [this] { onClearHeightDefTiles(); });
    connect(heightDefTiles.list, &QListWidget::itemSelectionChanged, this, [this] { updateHeightTilesControls(); });
    connect(heightSegmentGroup, &QButtonGroup::idClicked, this, [this](int id) {
        heightSingleStack->setCurrentIndex(id);
        if (id == 1)
            updateHeightFileCountLabel();
    });
    connect(heightRefAddButton, &QPushButton::clicked, this, [this] { onAddHeightRefTiles(); });
    connect(heightRefRemoveButton, &QPushButton::clicked, this, [this] { onClearHeightRefTiles(); });
    connect(heightDefAddButton, &QPushButton::clicked, this, [this] { onAddHeightDefTiles(); });
    connect(heightDefRemoveButton, &QPushButton::clicked, this, [this] { onRemoveHeightClassicDefTiles(); });
    connect(heightDefUpButton, &QPushButton::clicked, this, [this] { moveHeightClassicRow(-1); });
    connect(heightDefDownButton, &QPushButton::clicked, this, [this] { moveHeightClassicRow(1); });
    connect(heightDefClearButton, &QPushButton::clicked, this, [this] { onClearHeightClassicDefTiles(); });
    connect(heightDefFileList, &QListWidget::itemSelectionChanged, this, [this] { onHeightListSelectionChanged(); });
    connect(heightDefFileList, &QListWidget::currentRowChanged, this, [this] { onHeightListSelectionChanged(); });
    // A drag inside the list moves rows; the files behind them must follow, or "-" removes another file.
    connect(heightDefFileList->model(), &QAbstractItemModel::rowsMoved, this,
            [this](const QModelIndex&, int first, int last, const QModelIndex&, int destination) {
                onHeightClassicRowsMoved(first, last, destination);
                labelHeightPairings();
                onHeightListSelectionChanged();
            });
    connect(computeOutOfPlaneButton, &QPushButton::clicked, this, [this] { onComputeOutOfPlane(); });
    connect(heightSaveFullImageCheck, &QCheckBox::toggled, this, [this] { onHeightSaveFullImageToggled(); });

    // The one connection of the height state slider; the result-page block leaves it alone.
    connect(heightSlider, &QSlider::valueChanged, this, [this](int value) { onHeightSliderChanged(value); });
    connect(heightTileNavigator.slider, &QSlider::valueChanged, this,
            [this](int value) { onHeightTileSliderChanged(value); });
    connect(heightTileNavigator.prevButton, &QPushButton::clicked, this,
            [this] { onHeightTileSliderChanged(currentHeightTileIndex - 1); });
    connect(heightTileNavigator.nextButton, &QPushButton::clicked, this,
            [this] { onHeightTileSliderChanged(currentHeightTileIndex + 1); });
    connect(heightPrevButton, &QPushButton::clicked, this, [this] {
        if (const auto next = steppedSliderValue(heightSlider->value(), 0, heightSlider->maximum(), -1))
            heightSlider->setValue(*next);
    });
    connect(heightNextButton, &QPushButton::clicked, this, [this] {
        if (const auto next = steppedSliderValue(heightSlider->value(), 0, heightSlider->maximum(), 1))
            heightSlider->setValue(*next);
    });
    connect(heightView, &ImageViewWidget::hoverValueChanged, this,
            [this](const QString& value, bool hasValue) { updateHeightHoverText(value, hasValue); });
    connect(heightMarkersButton, &QToolButton::toggled, this, [this](bool on) {
        if (!heightView)
            return;
        heightView->setMarkersEnabled(on);
        heightView->setProfileMode(on);
    });
    connect(heightFitButton, &QToolButton::clicked, this, [this] {
        if (heightView)
            heightView->fitToWindow();
    });
    connect(heightOneToOneButton, &QToolButton::clicked, this, [this] {
        if (heightView)
            heightView->resetToOneToOne();
    });
    connect(heightView, &ImageViewWidget::viewModeChanged, this, [this](bool isFitted, bool isOneToOne) {
        heightFitButton->setChecked(isFitted);
        heightOneToOneButton->setChecked(isOneToOne);
    });
    if (heightHistogram) {
        connect(heightHistogram, &ContrastHistogramWidget::rangeChanged, this,
                [this](float minValue, float maxValue) { onHeightHistogramRangeEdited(minValue, maxValue); });
        connect(heightHistogram, &ContrastHistogramWidget::rangeChangeFinished, this,
                [this](float minValue, float maxValue) { onHeightHistogramRangeEdited(minValue, maxValue); });
    }
    connect(heightAutoButton, &QToolButton::clicked, this, [this] { onHeightAutoScale(); });
    if (heightLogSwitch)
        connect(heightLogSwitch, &Switch::toggled, this, [this](bool on) {
            if (heightHistogram)
                heightHistogram->setShowLogHistogram(on);
        });
    if (heightCropButton)
        connect(heightCropButton, &QToolButton::clicked, this, [this] {
            if (heightHistogram)
                heightHistogram->zoomToSelection();
        });
    if (heightResetButton)
        connect(heightResetButton, &QToolButton::clicked, this, [this] {
            if (heightHistogram)
                heightHistogram->resetZoom();
        });

    updateHeightHoverText(QString(), false);
    updateHeightModeHint();
}

}  // namespace tavro::gui
