#include "gui/mainwindow/main_widget.h"

#include "compute/compute_worker.h"
#include "gui/foundation/elided_label.h"
#include "gui/foundation/event_filters.h"
#include "gui/foundation/message_boxes.h"
#include "gui/mainwindow/input_rules.h"
#include "gui/foundation/theme.h"
#include "gui/style/switch_widget.h"

#include <QAbstractSpinBox>
#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTabBar>
#include <QTabWidget>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <QWindowStateChangeEvent>

namespace tavro::gui {

namespace {

constexpr Qt::WindowStates kEnlargedStates = Qt::WindowMaximized | Qt::WindowFullScreen;

QWidget* makeResultPage(QWidget* window) {
    auto* page = new QWidget(window);
    auto* layout = new QVBoxLayout(page);
    layout->setSpacing(8);
    // Side margins kept thin: at the smallest window two maps share the page.
    layout->setContentsMargins(2, 8, 2, 8);
    return page;
}

}  // namespace

void installWheelFilter(QWidget* root, QObject* filter) {
    if (!root || !filter)
        return;
    for (QAbstractSpinBox* box : root->findChildren<QAbstractSpinBox*>()) {
        box->installEventFilter(filter);
        box->setFocusPolicy(Qt::StrongFocus);
    }
    for (QComboBox* box : root->findChildren<QComboBox*>()) {
        box->installEventFilter(filter);
        box->setFocusPolicy(Qt::StrongFocus);
    }
}

MainWidget::MainWidget() : QWidget(nullptr) {
    qRegisterMetaType<PixelDisplacementResult>("tavro::PixelDisplacementResult");
    qRegisterMetaType<RigidRegistrationResult>("tavro::RigidRegistrationResult");
    qRegisterMetaType<ComputationResult>("ComputationResult");

    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    setAcceptDrops(true);
    auto* topLayout = new QHBoxLayout(this);
    // Thin window margins leave the smallest window's width to its maps.
    topLayout->setContentsMargins(4, 4, 4, 4);

    leftColumn = new QWidget(this);
    leftColumn->setMaximumWidth(700);
    leftColumn->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    auto* leftLayout = new QVBoxLayout(leftColumn);
    leftLayout->setContentsMargins(0, 0, 0, 0);
    leftLayout->setSpacing(0);
    auto* contentLayout = new QVBoxLayout;
    contentLayout->setSpacing(12);
    // Thin margins leave the smallest window's column its panels' width.
    contentLayout->setContentsMargins(4, 4, 4, 4);
    buildControlColumn(contentLayout);
    buildProjectAndInputPanel();
    buildParametersPanel();
    buildGpuPanel();
    buildStrainPanels();
    buildHeightMapPanel();

    auto* rightLayout = new QVBoxLayout;
    rightLayout->setSpacing(12);
    buildResultArea(rightLayout);
    buildInputImagesPage();
    buildDisplacementsPage();
    buildStrainPage();
    buildFracturePage();
    buildHeightPage();

    controlContent = new QWidget(this);
    controlContent->setLayout(contentLayout);
    controlScrollArea = new QScrollArea(this);
    controlScrollArea->setWidget(controlContent);
    controlScrollArea->setWidgetResizable(true);
    controlScrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    // Always there, so that the column's width counts it.
    controlScrollArea->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    controlScrollArea->setMinimumWidth(kNarrowestControlColumn);
    // Where there is room the column is as wide as its panels.
    controlScrollArea->setSizeAdjustPolicy(QAbstractScrollArea::AdjustToContents);
    controlScrollArea->setMaximumWidth(700);
    leftLayout->addWidget(controlScrollArea, 1);

    buildActionBar(leftLayout);
    wirePanelsToPages();
    topLayout->addWidget(leftColumn, 0);
    topLayout->addLayout(rightLayout, 1);
    connectResultViewTools();
    connectStrainPageControls();
    connectFracturePageControls();
    connectDisplacementViewControls();
    connectHeightMapControls();
    connectActionControls();
    connectAutosaveTriggers();

    connect(mainTabs, &QTabWidget::currentChanged, this, [this] { onMainTabChanged(); });
    startWorker();

    stitchWatcher = new QFutureWatcher<StitchingResult>(this);
    connect(stitchWatcher, &QFutureWatcherBase::finished, this, [this] { onStitchingFinished(); });
    computeTimer = new QTimer(this);
    computeTimer->setInterval(50);
    connect(computeTimer, &QTimer::timeout, this, [this] { pumpEventsWhileComputing(); });

    refreshInitialState();

    wheelFilter = new WheelEventFilter(this);
    installWheelFilter(this, wheelFilter);
    // Only the tab widget, its pages and the mosaic panel: a click inside a
    // dialog or another window leaves the tile selection alone.
    for (QWidget* root : {static_cast<QWidget*>(mainTabs), inputImagesPage, displacementsPage, strainResultPage,
                          fractureResultPage, heightResultPage, mosaicPage, alignMosaicBlock}) {
        if (!root)
            continue;
        root->installEventFilter(this);
        for (QWidget* child : root->findChildren<QWidget*>())
            child->installEventFilter(this);
    }
    // Panels that grow (mosaic mode, more states) widen the column where there is room.
    controlContent->installEventFilter(this);
    mosaicTabRow->installEventFilter(this);
    heightTabScroll->widget()->installEventFilter(this);
    heightTabScroll->installEventFilter(this);
    heightTabStrip->installEventFilter(this);
    setProjectControlsEnabled(false);
    letPanelRowsNarrow();
    fitColumnsToCurrentTab();
    setMinimumSize(minimumSizeHint());
}

MainWidget::~MainWidget() {
    // A result file cut off by the exit would be a corrupt result on disk.
    waitForResultWrites();
    // Pool tasks are not waited for: they see these flags, stop at the next
    // poll and deliver nothing, since their watchers and receivers go with the
    // window. The worker thread is a child of the window and must have
    // stopped before it is deleted.
    loadCancelFlag->store(true);
    stitchingCancelFlag->store(true);
    if (workerThread) {
        if (worker)
            worker->cancel();
        workerThread->quit();
        workerThread->wait(QDeadlineTimer(QDeadlineTimer::Forever));
    }
    // QWidget's destructor still hides the children, and a line edit losing
    // its focus then reports editingFinished: no reaction may reach this
    // window once its own members are gone.
    for (QObject* child : findChildren<QObject*>())
        QObject::disconnect(child, nullptr, this, nullptr);
}

void MainWidget::buildControlColumn(QVBoxLayout* contentLayout) {
    controlStack = new QStackedWidget(this);
    const auto makePage = [] {
        auto* page = new QWidget;
        auto* layout = new QVBoxLayout(page);
        layout->setSpacing(12);
        layout->setContentsMargins(0, 0, 0, 0);
        return page;
    };
    inputsPage = makePage();
    strainsPage = makePage();
    strainsPage->layout()->addItem(new QSpacerItem(0, 0, QSizePolicy::Minimum, QSizePolicy::Expanding));
    heightsPage = makePage();
    heightsPage->layout()->addItem(new QSpacerItem(0, 0, QSizePolicy::Minimum, QSizePolicy::Expanding));

    controlStack->addWidget(inputsPage);
    controlStack->addWidget(strainsPage);
    controlStack->addWidget(heightsPage);
    controlStack->setCurrentIndex(0);
    // An Ignored page does not make the stack as tall as itself.
    inputsPage->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    strainsPage->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    heightsPage->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    contentLayout->addWidget(controlStack, 0);
    contentLayout->addStretch(1);
}

void MainWidget::buildResultArea(QVBoxLayout* rightLayout) {
    mainTabs = new QTabWidget(this);
    mainTabs->setDocumentMode(true);
    mainTabs->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    mainTabs->setStyleSheet(tabWidgetStyle());
    mainTabs->tabBar()->setElideMode(Qt::ElideNone);

    helpMenu = new QMenu(this);
    QAction* documentation = helpMenu->addAction(QStringLiteral("Documentation"));
    helpMenu->addSeparator();
    QAction* about = helpMenu->addAction(QStringLiteral("About Tavro2D\u2026"));
    connect(documentation, &QAction::triggered, this, [this] { openDocumentation(); });
    connect(about, &QAction::triggered, this, [this] { showAboutDialog(); });
    helpButton = new QToolButton(mainTabs);
    helpButton->setText(QStringLiteral("Help \u25BE"));
    helpButton->setMenu(helpMenu);
    helpButton->setPopupMode(QToolButton::InstantPopup);
    helpButton->setStyleSheet(menuToolButtonStyle());
    helpButton->setCursor(Qt::PointingHandCursor);
    mainTabs->installEventFilter(this);
    QTimer::singleShot(0, this, [this] { positionHelpButton(); });

    inputImagesPage = makeResultPage(this);
    mainTabs->addTab(inputImagesPage, QStringLiteral("Input images"));
    for (QWidget** page : {&displacementsPage, &strainResultPage, &fractureResultPage, &heightResultPage}) {
        *page = makeResultPage(this);
        (*page)->hide();
    }
    rightLayout->addWidget(mainTabs, 1);
}

void MainWidget::buildActionBar(QVBoxLayout* leftLayout) {
    auto* bar = new QWidget(this);
    auto* barLayout = new QVBoxLayout(bar);
    barLayout->setContentsMargins(0, 8, 0, 6);
    barLayout->setSpacing(6);

    actionStack = new QStackedWidget(this);
    const auto addPage = [this] {
        auto* page = new QWidget;
        auto* layout = new QHBoxLayout(page);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(8);
        actionStack->addWidget(page);
        return layout;
    };
    const auto actionButton = [](const QString& text) {
        auto* button = new QPushButton(text);
        // Narrow side padding: the longest action must fit the smallest window's column.
        button->setStyleSheet(accentActionButtonStyle() + QStringLiteral("QPushButton { padding: 8px 6px; }"));
        return button;
    };

    QHBoxLayout* displacementActions = addPage();
    computeButton = actionButton(QStringLiteral("Compute displacements"));
    stopButton = new QPushButton(QStringLiteral("Stop"));
    stopButton->setStyleSheet(dangerButtonStyle());
    stopButton->setEnabled(false);
    stopVisibilityFilter = new VisibleWhenEnabledFilter(this);
    stopButton->installEventFilter(stopVisibilityFilter);
    stopButton->hide();
    displacementActions->addWidget(computeButton, 0);
    displacementActions->addWidget(stopButton, 0);

    computeStrainsButton = actionButton(QStringLiteral("Compute strains"));
    computeStrainsButton->setEnabled(false);
    addPage()->addWidget(computeStrainsButton, 0);

    computeOutOfPlaneButton = actionButton(QStringLiteral("Compute out-of-plane displacement"));
    computeOutOfPlaneButton->setEnabled(false);
    computeOutOfPlaneButton->setToolTip(QStringLiteral(
        "Computes out-of-plane displacement for all states:\n1. Height map assembly (mosaic mode)\n"
        "2. Out-of-plane field computation: w = h\u2081 - h\u2080(x - ux, y - uy)\n"
        "3. Automatic saving to project folder"));
    addPage()->addWidget(computeOutOfPlaneButton, 0);

    progressBar = new QProgressBar;
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    progressBar->setFormat(QStringLiteral("%p%"));
    progressBar->setTextVisible(true);
    statusLabel = new ElidedLabel(QStringLiteral("Ready."));
    timingLabel = new QLabel;
    rigidShiftLabel = new QLabel;
    rigidShiftLabel->setStyleSheet(QStringLiteral("color: %1;").arg(QStringLiteral("#8b93ab")));
    for (QWidget* widget : {static_cast<QWidget*>(actionStack), static_cast<QWidget*>(progressBar),
                            static_cast<QWidget*>(statusLabel), static_cast<QWidget*>(timingLabel),
                            static_cast<QWidget*>(rigidShiftLabel)})
        barLayout->addWidget(widget, 0);
    computeButton->setEnabled(false);
    progressBar->setEnabled(false);
    leftLayout->addWidget(bar, 0);
}

void MainWidget::startWorker() {
    workerThread = new QThread(this);
    worker = new ComputeWorker();
    worker->moveToThread(workerThread);
    connect(workerThread, &QThread::finished, worker, &QObject::deleteLater);
    connect(worker, &ComputeWorker::progress, this, &MainWidget::onComputationProgress);
    connect(worker, &ComputeWorker::succeeded, this, &MainWidget::onComputationFinished);
    connect(worker, &ComputeWorker::failed, this, &MainWidget::onComputationFailed);
    connect(worker, &ComputeWorker::cancelled, this, &MainWidget::onComputationCancelled);
    workerThread->start(QThread::InheritPriority);
}

void MainWidget::refreshInitialState() {
    if (computationModeCombo)
        onDegreeOfFreedomChanged(computationModeCombo->currentIndex());
    updateRoiControlsEnabled();
    updateDeformedList();
    const QRect shownRoi = referenceView ? referenceView->roi() : QRect();
    updateRoiLabel(scaleRect(shownRoi, referenceImage.displayScale()), referenceImage.originalSize);
    updateResultRangeControls();
    updateStrainRangeLabel();
    updateRigidShiftLabel(-1);
}

void MainWidget::onMainTabChanged() {
    fitCurrentTabViews();
    if (projectLoading || !mainTabs)
        return;
    QWidget* current = mainTabs->currentWidget();
    const int page = current && current == strainResultPage   ? 1
                     : current && current == heightResultPage ? 2
                                                              : 0;
    if (controlStack) {
        controlStack->setCurrentIndex(page);
        for (QWidget* each : {inputsPage, strainsPage, heightsPage})
            if (each)
                each->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
        if (QWidget* chosen = controlStack->widget(page))
            chosen->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
        controlStack->adjustSize();
        if (controlContent)
            controlContent->adjustSize();
    }
    if (actionStack)
        actionStack->setCurrentIndex(page);
    updateRigidShiftForShownPage();
    fitColumnsToCurrentTab();
    if (page == 1) {
        updateComputeStrainsButton();
        updateKernelListHeights();
    } else if (page == 2) {
        updateHeightTilesControls();
        refreshHeightPanelLayout();
    }
    fitControlContentHeight();
}

void MainWidget::fitCurrentTabViews() {
    QWidget* current = mainTabs ? mainTabs->currentWidget() : nullptr;
    if (!current)
        return;
    const auto fit = [](ImageViewWidget* view) {
        if (view && !view->image().isNull())
            view->fitToWindow();
    };
    if (current == inputImagesPage) {
        fit(referenceView);
        fit(deformedView);
    } else if (current == displacementsPage) {
        fit(uxView);
        fit(uyView);
    } else if (current == strainResultPage) {
        fit(strainView);
    } else if (current == fractureResultPage) {
        fit(fractureView);
    } else if (current == heightResultPage) {
        fit(heightView);
    }
}

void MainWidget::positionHelpButton() {
    if (!helpButton || !mainTabs || !mainTabs->tabBar())
        return;
    QTabBar* bar = mainTabs->tabBar();
    const int width = std::max(helpButton->sizeHint().width(), helpButton->minimumSizeHint().width());
    // Tabs that do not fit scroll left of Help, never under it.
    bar->setMaximumWidth(std::max(0, mainTabs->width() - helpButtonRoom()));
    QRect rect = bar->count() > 0 ? bar->tabRect(0) : QRect(QPoint(0, 0), bar->sizeHint());
    rect.translate(bar->pos());
    helpButton->setGeometry(std::max(mainTabs->width() - width - 6, 0), rect.top(), width, rect.height());
    helpButton->raise();
}

void MainWidget::pumpEventsWhileComputing() { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); }

void MainWidget::showGpuUnavailableMessage(const QString& message) {
    showMessage(this, QStringLiteral("NVIDIA GPU unavailable"),
                message + QStringLiteral("\n\nYou can still open images and projects, but correlations need a "
                                         "working NVIDIA GPU."));
}

void MainWidget::keepWindowOnScreen() {
    const QScreen* shownOn = screen();
    if (!shownOn)
        return;
    const QRect available = shownOn->availableGeometry();
    QRect frame = geometry();
    frame.setWidth(std::min(frame.width(), available.width()));
    frame.setHeight(std::min(frame.height(), available.height()));
    if (frame.right() > available.right())
        frame.moveRight(available.right());
    if (frame.bottom() > available.bottom())
        frame.moveBottom(available.bottom());
    if (frame.left() < available.left())
        frame.moveLeft(available.left());
    if (frame.top() < available.top())
        frame.moveTop(available.top());
    if (frame != geometry())
        setGeometry(frame);
}

void MainWidget::finishKernelListRebuild() {
    updateKernelListHeights();
    if (!controlScrollArea)
        return;
    controlScrollArea->setUpdatesEnabled(true);
    controlScrollArea->update();
}

void MainWidget::openContactLink() {
    const QString address = QStringLiteral(TAVRO_CONTACT_ADDRESS);
    if (!openExternalUrl(contactMailUrl(address, QCoreApplication::applicationVersion())))
        showCopyableMessage(this, QStringLiteral("Contact us"),
                            QStringLiteral("No mail program could be started. Write to:\n") + address);
}

bool MainWidget::eventFilter(QObject* watched, QEvent* event) {
    if (watched == mainTabs && event->type() == QEvent::Resize)
        positionHelpButton();
    const bool stateStrip = watched == mosaicTabRow || (heightTabScroll && watched == heightTabScroll->widget());
    if ((watched == controlContent && event->type() == QEvent::LayoutRequest) ||
        (stateStrip && event->type() == QEvent::Resize))
        fitColumnsToCurrentTab();
    if (watched == controlContent && (event->type() == QEvent::LayoutRequest || event->type() == QEvent::Resize))
        fitControlContentHeight();
    const bool heightTabs = heightTabScroll && (watched == heightTabStrip || watched == heightTabScroll ||
                                                watched == heightTabScroll->widget());
    if (heightTabs && event->type() == QEvent::Resize)
        layoutHeightStateTabs();
    const bool mosaicMode = mosaicSwitch && mosaicSwitch->isChecked();
    if (mosaicMode && event->type() == QEvent::MouseButtonPress &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton && watched->isWidgetType()) {
        const QList<QWidget*> keepers{mosaicRefTileList, mosaicDefTileList,     mosaicReferenceTabButton,
                                      mosaicDefStateButtons.value(0), mosaicRefTilesBlock, mosaicDefTilesBlock,
                                      referenceView,                  deformedView};
        bool inside = false;
        for (QWidget* widget = static_cast<QWidget*>(watched); widget && !inside; widget = widget->parentWidget())
            inside = keepers.contains(widget);
        const bool selected = (mosaicRefTileList && !mosaicRefTileList->selectedItems().isEmpty()) ||
                              (mosaicDefTileList && !mosaicDefTileList->selectedItems().isEmpty());
        if (!inside && (selected || enlargedTileIndex >= 0)) {
            clearTileSelections();
            endTileEnlargement();
        }
    }
    return QWidget::eventFilter(watched, event);
}

QSize MainWidget::sizeHint() const { return size(); }

QSize MainWidget::minimumSizeHint() const { return QSize(800, 600); }

void MainWidget::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    fitColumnsToCurrentTab();
    fitCurrentTabViews();
}

void MainWidget::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange)
        return;
    const auto* change = static_cast<QWindowStateChangeEvent*>(event);
    if ((change->oldState() & kEnlargedStates) && !(windowState() & kEnlargedStates))
        QTimer::singleShot(0, this, [this] { keepWindowOnScreen(); });
}

}  // namespace tavro::gui
