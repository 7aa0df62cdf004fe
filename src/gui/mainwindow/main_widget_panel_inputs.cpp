// Project block, INPUT IMAGES group and the options at the end of the mosaic
// settings, with the slot bodies the constructor connects to them.
#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/flow_layout.h"
#include "gui/foundation/theme.h"
#include "gui/mainwindow/panel_rules.h"
#include "gui/mainwindow/panel_wiring.h"
#include "gui/style/switch_widget.h"

#include <QAbstractButton>
#include <QToolButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QVBoxLayout>

namespace tavro::gui {

namespace {

QPushButton* makeButton(QWidget* window, const QString& text, const QString& tooltip, const QString& style,
                        bool enabled) {
    auto* button = new QPushButton(text, window);
    button->setToolTip(tooltip);
    button->setStyleSheet(style);
    button->setEnabled(enabled);
    return button;
}

QWidget* makeBox(QWidget* window, QBoxLayout* layout, int spacing, const QMargins& margins = QMargins()) {
    auto* box = new QWidget(window);
    box->setLayout(layout);
    layout->setSpacing(spacing);
    layout->setContentsMargins(margins);
    return box;
}

}  // namespace

void MainWidget::buildProjectAndInputPanel() {
    auto* pageLayout = static_cast<QVBoxLayout*>(inputsPage->layout());

    projectGroup = new QGroupBox(this);
    auto* projectLayout = new QVBoxLayout(projectGroup);
    projectLayout->setSpacing(4);
    projectLayout->setContentsMargins(12, 12, 12, 8);
    auto* projectTitle = new QLabel(QStringLiteral("PROJECT"), this);
    projectTitle->setStyleSheet(QStringLiteral("font-weight: bold;"));
    projectLayout->addWidget(projectTitle);
    auto* pathRow = new QHBoxLayout;
    pathRow->setSpacing(4);
    projectPathEdit = new QLineEdit(this);
    projectPathEdit->setPlaceholderText(QStringLiteral("Project folder path..."));
    pathRow->addWidget(projectPathEdit, 1);
    projectLayout->addLayout(pathRow);
    auto* projectButtons = new FlowLayout(nullptr, FlowLayout::RowPlacement::Centre, 8);
    selectProjectFolderButton = new QPushButton(QStringLiteral("Select project folder"), this);
    loadProjectButton = new QPushButton(QStringLiteral("Load project"), this);
    projectButtons->addWidget(selectProjectFolderButton);
    projectButtons->addWidget(loadProjectButton);
    projectLayout->addLayout(projectButtons);
    connect(projectPathEdit, &QLineEdit::textChanged, this, [this](const QString& text) { projectFolderPath = text; });
    connect(projectPathEdit, &QLineEdit::textEdited, this, [this] { projectPathEdited = true; });
    connect(projectPathEdit, &QLineEdit::editingFinished, this, [this] { TAVRO_REACH(applyProjectFolder()); });
    pageLayout->addWidget(projectGroup, 0);

    inputImagesGroup = new QGroupBox(QStringLiteral("INPUT IMAGES"), this);
    auto* groupLayout = new QVBoxLayout(inputImagesGroup);
    groupLayout->setSpacing(4);
    auto* mosaicRowLayout = new QHBoxLayout;
    QWidget* mosaicRow = makeBox(this, mosaicRowLayout, 6);
    mosaicSwitch = new Switch(this);
    mosaicRowLayout->addStretch();
    mosaicRowLayout->addWidget(new QLabel(QStringLiteral("Mosaic"), this));
    mosaicRowLayout->addWidget(mosaicSwitch);
    groupLayout->addWidget(mosaicRow, 0, Qt::AlignRight);

    auto* singleLayout = new QVBoxLayout;
    singleImagePage = makeBox(this, singleLayout, 8);
    auto* segmentsLayout = new QHBoxLayout;
    QWidget* segments = makeBox(this, segmentsLayout, 0);
    segments->setStyleSheet(segmentedControlStyle());
    referenceSegmentButton = new QPushButton(QStringLiteral("Reference"), this);
    referenceSegmentButton->setCheckable(true);
    referenceSegmentButton->setChecked(true);
    referenceSegmentButton->setObjectName(QStringLiteral("segmentedLeft"));
    deformedSegmentButton = new QPushButton(QStringLiteral("Deformed"), this);
    deformedSegmentButton->setCheckable(true);
    deformedSegmentButton->setObjectName(QStringLiteral("segmentedRight"));
    segmentsLayout->addWidget(referenceSegmentButton);
    segmentsLayout->addWidget(deformedSegmentButton);
    inputSegmentGroup = new QButtonGroup(this);
    inputSegmentGroup->setExclusive(true);
    inputSegmentGroup->addButton(referenceSegmentButton, 0);
    inputSegmentGroup->addButton(deformedSegmentButton, 1);
    auto* segmentsRow = new QHBoxLayout;
    segmentsRow->addStretch();
    segmentsRow->addWidget(segments);
    segmentsRow->addStretch();
    singleLayout->addLayout(segmentsRow);

    auto* referenceLayout = new QVBoxLayout;
    referencePage = makeBox(this, referenceLayout, 4);
    referencePage->setAcceptDrops(true);
    referencePathEdit = new QLineEdit(this);
    referencePathEdit->setReadOnly(true);
    referencePathEdit->setPlaceholderText(QStringLiteral("Drag and drop or select an image..."));
    referenceLayout->addWidget(referencePathEdit);
    auto* referenceButtons = new QHBoxLayout;
    referenceButtons->setSpacing(4);
    selectReferenceButton = makeButton(this, QStringLiteral("+"), QStringLiteral("Choose the reference image"),
                                       accentSmallButtonStyle(), true);
    clearReferenceButton = makeButton(this, QStringLiteral("-"), QStringLiteral("Remove the reference image"),
                                      secondaryButtonStyle(), false);
    referenceButtons->addWidget(selectReferenceButton);
    referenceButtons->addWidget(clearReferenceButton);
    referenceButtons->addStretch();
    referenceLayout->addLayout(referenceButtons);
    referenceLayout->addStretch();
    singleLayout->addWidget(referencePage);

    auto* deformedLayout = new QVBoxLayout;
    deformedPage = makeBox(this, deformedLayout, 4);
    deformedPage->setAcceptDrops(true);
    auto* listBoxLayout = new QVBoxLayout;
    QWidget* listBox = makeBox(this, listBoxLayout, 0);
    deformedHintLabel = new QLabel(QStringLiteral("Drag and drop or add images..."), this);
    deformedHintLabel->setAlignment(Qt::AlignCenter);
    deformedHintLabel->setMinimumHeight(48);
    deformedHintLabel->setStyleSheet(infoBoxLabelStyle());
    deformedList = new QListWidget(this);
    deformedList->setMaximumHeight(120);
    deformedList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    deformedList->setAcceptDrops(true);
    deformedList->setDragEnabled(true);
    deformedList->setDragDropMode(QAbstractItemView::InternalMove);
    deformedList->setDefaultDropAction(Qt::MoveAction);
    deformedList->hide();
    listBoxLayout->addWidget(deformedHintLabel);
    listBoxLayout->addWidget(deformedList);
    deformedLayout->addWidget(listBox);
    // A narrow column takes the row on two lines rather than squeezing "Clear all".
    auto* deformedButtons = new FlowLayout(nullptr, FlowLayout::RowPlacement::Left);
    addDeformedButton = makeButton(this, QStringLiteral("+"), QStringLiteral("Add images"), accentSmallButtonStyle(),
                                   true);
    removeDeformedButton = makeButton(this, QStringLiteral("-"), QStringLiteral("Remove selected images"),
                                      secondaryButtonStyle(), false);
    moveUpDeformedButton = makeButton(this, QStringLiteral("\u2191"), QStringLiteral("Move selected image up"),
                                      secondaryButtonStyle(), false);
    moveDownDeformedButton = makeButton(this, QStringLiteral("\u2193"), QStringLiteral("Move selected image down"),
                                        secondaryButtonStyle(), false);
    clearDeformedButton = makeButton(this, QStringLiteral("Clear all"), QStringLiteral("Remove all images"),
                                     secondaryButtonStyle(), false);
    for (QPushButton* button :
         {addDeformedButton, removeDeformedButton, moveUpDeformedButton, moveDownDeformedButton, clearDeformedButton})
        deformedButtons->addWidget(button);
    deformedLayout->addLayout(deformedButtons);
    deformedCountLabel = new QLabel(this);
    updateImageCountLabel(0);
    deformedLayout->addWidget(deformedCountLabel);
    deformedPage->hide();
    singleLayout->addWidget(deformedPage);
    groupLayout->addWidget(singleImagePage);

    auto* mosaicLayout = new QVBoxLayout;
    mosaicPage = makeBox(this, mosaicLayout, 8);
    buildMosaicPanel(mosaicLayout);
    // The options close the grid geometry, so that per-tile mode hides them with it.
    auto* optionsTitle = new QLabel(QStringLiteral("OPTIONS"), this);
    optionsTitle->setStyleSheet(sectionLabelStyle());
    gridGeometryLayout->addWidget(optionsTitle);
    nonRigidRefinementCheck = new QCheckBox(QStringLiteral("Non-rigid refinement"), this);
    nonRigidRefinementCheck->setToolTip(QStringLiteral(
        "Adds, on top of the translations, one affine per tile and one distortion\nshared by the mosaic, measured "
        "inside the overlaps.\n\nCorrects what a translation cannot describe: stage rotation and shear,\nand optical "
        "distortion inside each tile. Both show up in DIC as seam\nlines in the displacement field."));
    gridGeometryLayout->addWidget(nonRigidRefinementCheck);

    auto* alignRowLayout = new QVBoxLayout;
    alignMosaicRow = makeBox(this, alignRowLayout, 4);
    auto* alignButtonRow = new QHBoxLayout;
    alignMosaicButton =
        makeButton(this, QStringLiteral("Align mosaic"),
                   QStringLiteral("Aligns and assembles tiles into mosaic without running full DIC computation"),
                   accentActionButtonStyle(), true);
    alignButtonRow->addStretch();
    alignButtonRow->addWidget(alignMosaicButton);
    alignButtonRow->addStretch();
    alignRowLayout->addLayout(alignButtonRow);
    connect(alignMosaicButton, &QPushButton::clicked, this, [this] { TAVRO_REACH(onAlignMosaic()); });
    groupLayout->addWidget(mosaicPage);
    mosaicPage->hide();

    auto* maskLayout = new QVBoxLayout;
    maskBlock = makeBox(this, maskLayout, 4, QMargins(0, 2, 0, 0));
    useMaskCheck = new QCheckBox(QStringLiteral("Use a mask"), this);
    useMaskCheck->setToolTip(QStringLiteral(
        "Load a binary image to exclude zones from computation.\n\nGrayscale only \u2014 colour images are rejected.\n"
        "Same dimensions as the reference image.\n0 = excluded zone, any non-zero value = computed zone\n(so 0/1 and "
        "0/255 both work)."));
    maskLayout->addWidget(useMaskCheck);
    auto* maskFieldLayout = new QVBoxLayout;
    maskFieldBlock = makeBox(this, maskFieldLayout, 4);
    maskPathEdit = new QLineEdit(this);
    maskPathEdit->setReadOnly(true);
    maskPathEdit->setPlaceholderText(QStringLiteral("Select a mask image..."));
    maskFieldLayout->addWidget(maskPathEdit);
    auto* maskButtons = new QHBoxLayout;
    maskButtons->setSpacing(4);
    selectMaskButton =
        makeButton(this, QStringLiteral("+"), QStringLiteral("Choose the mask image"), accentSmallButtonStyle(), true);
    clearMaskButton =
        makeButton(this, QStringLiteral("-"), QStringLiteral("Remove the mask image"), secondaryButtonStyle(), false);
    maskButtons->addWidget(selectMaskButton);
    maskButtons->addWidget(clearMaskButton);
    maskButtons->addStretch();
    maskFieldLayout->addLayout(maskButtons);
    auto* maskNote =
        new QLabel(QStringLiteral("Grayscale, same size as the reference.\n0 = excluded, any non-zero value = computed."),
                   this);
    maskNote->setWordWrap(true);
    maskNote->setStyleSheet(hintLabelStyle());
    maskFieldLayout->addWidget(maskNote);
    maskFieldBlock->hide();
    maskLayout->addWidget(maskFieldBlock);
    groupLayout->addWidget(maskBlock);

    auto* alignBlockLayout = new QVBoxLayout;
    alignMosaicBlock = makeBox(this, alignBlockLayout, 0, QMargins(0, 8, 0, 0));
    alignBlockLayout->addWidget(alignMosaicRow);
    alignMosaicBlock->hide();
    groupLayout->addWidget(alignMosaicBlock);
    pageLayout->addWidget(inputImagesGroup, 0);

    connect(missingTilesCheck, &QCheckBox::toggled, missingPositionsEdit, &QWidget::setEnabled);
    connect(nonRigidRefinementCheck, &QCheckBox::toggled, this, [this] { TAVRO_REACH(autosaveParameters()); });
    connect(perTileRadio, &QRadioButton::toggled, this, [this](bool checked) { onBatchTileModeToggled(checked); });
    connect(selectReferenceButton, &QPushButton::clicked, this, [this] { TAVRO_REACH(onSelectReference()); });
    connect(clearReferenceButton, &QPushButton::clicked, this, [this] { TAVRO_REACH(onClearReference()); });
    connect(addDeformedButton, &QPushButton::clicked, this, [this] { TAVRO_REACH(onAddDeformed()); });
    connect(removeDeformedButton, &QPushButton::clicked, this, [this] { TAVRO_REACH(onRemoveDeformed()); });
    connect(clearDeformedButton, &QPushButton::clicked, this, [this] { TAVRO_REACH(onClearAllDeformed()); });
    connect(moveUpDeformedButton, &QPushButton::clicked, this, [this] { TAVRO_REACH(onMoveUpDeformed()); });
    connect(moveDownDeformedButton, &QPushButton::clicked, this, [this] { TAVRO_REACH(onMoveDownDeformed()); });
    connect(deformedList, &QListWidget::currentRowChanged, this,
            [this](int row) { TAVRO_REACH(onDeformedSelectionChanged(row)); });
    connect(deformedList, &QListWidget::itemSelectionChanged, this, [this] { TAVRO_REACH(updateDeformedList()); });
    // A drag inside the list moves rows; the images behind them must follow.
    connect(deformedList->model(), &QAbstractItemModel::rowsMoved, this,
            [this](const QModelIndex&, int first, int last, const QModelIndex&, int destination) {
                onDeformedRowsMoved(first, last, destination);
            });
    connect(useMaskCheck, &QCheckBox::toggled, this, [this](bool checked) { onMaskUseToggled(checked); });
    connect(selectMaskButton, &QPushButton::clicked, this, [this] { TAVRO_REACH(onSelectMask()); });
    connect(clearMaskButton, &QPushButton::clicked, this, [this] { TAVRO_REACH(onClearMask()); });
}

void MainWidget::onSelectReference() {
    selectAndLoadImage(referencePathEdit, referenceImage, QStringLiteral("Select reference image"));
}

void MainWidget::onMaskUseToggled(bool checked) {
    maskFieldBlock->setVisible(checked);
    maskActive = checked && !maskImage.isNull();
    if (maskOverlayButton)
        maskOverlayButton->setVisible(checked && !maskImage.isNull());
    updateMaskOverlay();
    TAVRO_REACH(autosaveParameters());
}

void MainWidget::onDeformedRowsMoved(int first, int last, int destination) {
    const int count = static_cast<int>(deformedImages.size());
    if (first < 0 || last < first || last >= count || destination < 0 || destination > count ||
        (destination >= first && destination <= last + 1))
        return;
    // Height files stay in their rows: every moved image pairs with another file.
    if (!heightMosaicMode())
        forgetSingleImageHeightMaps(std::min(first, destination), std::max(last + 1, destination));
    if (!applyRowMove(deformedImages, first, last, destination))
        return;
    // Each result belongs to its image and moves with it, and the page shown follows it.
    if (results.size() < deformedImages.size())
        results.resize(deformedImages.size());
    applyRowMove(results, first, last, destination);
    shownDeformedIndex = rowAfterMove(shownDeformedIndex, first, last, destination);
    if (shownResultIndex >= 0) {
        shownResultIndex = rowAfterMove(shownResultIndex, first, last, destination);
        TAVRO_REACH(updateRigidShiftLabel(shownResultIndex));
    }
    TAVRO_REACH(updateDeformedList());
    TAVRO_REACH(autosaveParameters());
}

void MainWidget::wirePanelsToPages() {
    if (maskOverlayButton)
        connect(maskOverlayButton, &QAbstractButton::toggled, this, [this] { TAVRO_REACH(updateMaskOverlay()); });
    if (deformedPrevButton)
        connect(deformedPrevButton, &QPushButton::clicked, this, [this] { TAVRO_REACH(onPrevDeformed()); });
    if (deformedNextButton)
        connect(deformedNextButton, &QPushButton::clicked, this, [this] { TAVRO_REACH(onNextDeformed()); });
    if (deformedSlider)
        connect(deformedSlider, &QSlider::valueChanged, this,
                [this](int value) { TAVRO_REACH(onDeformedSliderChanged(value)); });
    if (referenceView)
        referenceView->setDetailTileProvider([this](const QRectF& sceneRect, double zoom) {
            return buildDetailTile(referenceViewSourcePath(), referenceView->image().size(), sceneRect, zoom);
        });
    if (deformedView)
        deformedView->setDetailTileProvider([this](const QRectF& sceneRect, double zoom) {
            return buildDetailTile(deformedViewSourcePath(), deformedView->image().size(), sceneRect, zoom);
        });
    if (inputTileNavigator.slider) {
        connect(inputTileNavigator.slider, &QSlider::valueChanged, this,
                [this](int value) { TAVRO_REACH(previewTileAt(value)); });
        connect(inputTileNavigator.prevButton, &QPushButton::clicked, this,
                [this] { TAVRO_REACH(previewTileAt(shownInputTile() - 1)); });
        connect(inputTileNavigator.nextButton, &QPushButton::clicked, this,
                [this] { TAVRO_REACH(previewTileAt(shownInputTile() + 1)); });
    }
    connect(computeStrainsButton, &QPushButton::clicked, this, [this] { TAVRO_REACH(onComputeStrainFields()); });
}

}  // namespace tavro::gui
