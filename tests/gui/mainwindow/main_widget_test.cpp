#include "gui/mainwindow/main_widget.h"

#include "compute/compute_worker.h"
#include "gui/foundation/contrast_histogram_widget.h"
#include "gui/foundation/elided_label.h"
#include "gui/foundation/event_filters.h"
#include "support/test_application.h"

#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSlider>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTabBar>
#include <QTabWidget>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <QtConcurrent>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <random>

namespace tavro::gui {

namespace {

QImage speckle(int size, int shift) {
    std::mt19937 random(5);
    QImage image(size, size, QImage::Format_Grayscale8);
    std::vector<int> values(static_cast<std::size_t>(size + shift) * size);
    for (int& v : values)
        v = static_cast<int>(random() % 256);
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x)
            image.scanLine(y)[x] = static_cast<uchar>(values[static_cast<std::size_t>(y) * (size + shift) + x + shift]);
    return image;
}

// A neural session that works until its progress callback asks it to stop.
class EndlessSession : public NeuralSession {
public:
    explicit EndlessSession(std::atomic<int>& state) : state_(state) {}
    const std::vector<int>& devices() const override { return devices_; }
    bool run(const ImageSource&, const ImageSource&, int32_t, int32_t, const std::array<int32_t, 4>&,
             const PixelDisplacementResult&, const GridDescriptor&, int32_t, int32_t, PixelDisplacementResult&,
             const TileProgress& progress, std::string& error) override {
        state_.store(1);
        while (progress(0, 1))
            QThread::msleep(2);
        state_.store(2);
        error = "stopped";
        return false;
    }

private:
    std::atomic<int>& state_;
    std::vector<int> devices_{0};
};

}  // namespace

// The window's subsystems are its member functions; the checks below read its
// members in the same way.
struct MainWidgetTestAccess {
    static void opensWithOneTabTheFirstPagesAndEverythingIdle();
    static void helpButtonStaysSixPixelsFromTheTabWidgetsRightEdge();
    static void resultTabsKeepTheirOrderAndChooseTheColumnAndActionPages();
    static void closingDuringAComputationAndALongPoolTaskReturnsWithinASecond();
    static void theWheelReachesOnlyFocusedSpinAndComboBoxes();
    static void tileNavigatorStartsHiddenAndInertAndFieldsAreEmptyWithoutAResult();

    static QStringList tabTitles(const MainWidget& window) {
        QStringList titles;
        for (int i = 0; i < window.mainTabs->count(); ++i)
            titles << window.mainTabs->tabText(i);
        return titles;
    }
};

void MainWidgetTestAccess::opensWithOneTabTheFirstPagesAndEverythingIdle() {
    MainWidget window;
    window.show();
    QApplication::processEvents();
    EXPECT_EQ(tabTitles(window), QStringList{QStringLiteral("Input images")});
    EXPECT_EQ(window.controlStack->currentIndex(), 0);
    EXPECT_EQ(window.actionStack->currentIndex(), 0);
    for (QWidget* idle : {static_cast<QWidget*>(window.computeButton), static_cast<QWidget*>(window.stopButton),
                          static_cast<QWidget*>(window.computeStrainsButton),
                          static_cast<QWidget*>(window.computeOutOfPlaneButton),
                          static_cast<QWidget*>(window.progressBar)})
        EXPECT_FALSE(idle->isEnabled());
    EXPECT_FALSE(window.stopButton->isVisible());
    EXPECT_TRUE(window.computeButton->isVisible());
    EXPECT_EQ(window.statusLabel->fullText(), QStringLiteral("Ready."));
    EXPECT_TRUE(window.workerThread->isRunning());
    EXPECT_FALSE(window.computeTimer->isActive());
}

void MainWidgetTestAccess::helpButtonStaysSixPixelsFromTheTabWidgetsRightEdge() {
    MainWidget window;
    window.resize(1320, 700);
    window.show();
    QApplication::processEvents();
    for (const QSize& size : {QSize(1320, 700), QSize(1000, 640), QSize(1600, 900)}) {
        window.resize(size);
        QApplication::processEvents();
        const QToolButton* help = window.helpButton;
        const QRect firstTab = window.mainTabs->tabBar()->tabRect(0).translated(window.mainTabs->tabBar()->pos());
        EXPECT_EQ(help->geometry().right() + 1, window.mainTabs->width() - 6) << size.width();
        EXPECT_EQ(help->y(), firstTab.top());
        EXPECT_EQ(help->height(), firstTab.height());
    }
}

void MainWidgetTestAccess::resultTabsKeepTheirOrderAndChooseTheColumnAndActionPages() {
    MainWidget window;
    window.show();
    window.setResultTabVisible(window.heightResultPage, QStringLiteral("3D Maps"), true);
    window.setStrainsTabVisible(true);
    window.setDisplacementsTabVisible(true);
    window.setStrainsTabVisible(true);
    EXPECT_EQ(tabTitles(window), (QStringList{QStringLiteral("Input images"), QStringLiteral("Displacements"),
                                               QStringLiteral("Strains"), QStringLiteral("3D Maps")}));

    window.mainTabs->setCurrentWidget(window.strainResultPage);
    EXPECT_EQ(window.controlStack->currentIndex(), 1);
    EXPECT_EQ(window.actionStack->currentIndex(), 1);
    window.mainTabs->setCurrentWidget(window.heightResultPage);
    EXPECT_EQ(window.controlStack->currentIndex(), 2);
    EXPECT_EQ(window.actionStack->currentIndex(), 2);
    EXPECT_EQ(window.controlScrollArea->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    window.mainTabs->setCurrentWidget(window.displacementsPage);
    EXPECT_EQ(window.controlStack->currentIndex(), 0);
    EXPECT_EQ(window.actionStack->currentIndex(), 0);
    EXPECT_EQ(window.controlScrollArea->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);

    // While a project loads, a tab change leaves the pages alone.
    window.projectLoading = true;
    window.mainTabs->setCurrentWidget(window.strainResultPage);
    EXPECT_EQ(window.controlStack->currentIndex(), 0);
    window.projectLoading = false;

    // Hiding the current tab moves to the first remaining result page.
    window.setStrainsTabVisible(false);
    EXPECT_EQ(window.mainTabs->currentWidget(), window.displacementsPage);
    EXPECT_FALSE(window.strainResultPage->isVisible());
    window.setDisplacementsTabVisible(false);
    EXPECT_EQ(window.mainTabs->currentWidget(), window.heightResultPage);
    EXPECT_EQ(tabTitles(window), (QStringList{QStringLiteral("Input images"), QStringLiteral("3D Maps")}));
}

void MainWidgetTestAccess::closingDuringAComputationAndALongPoolTaskReturnsWithinASecond() {
    auto window = std::make_unique<MainWidget>();
    std::atomic<int> session{0};
    window->worker->setNeuralSessionFactory(
        [&session](const std::vector<int>&, int32_t, std::string&, std::string&) -> std::unique_ptr<NeuralSession> {
            return std::make_unique<EndlessSession>(session);
        });
    ComputationRequest request;
    request.reference = speckle(128, 0);
    request.deformed = speckle(128, 2);
    request.roi = QRect(0, 0, 128, 128);
    request.pixelSearch.windowSizeX = request.pixelSearch.windowSizeY = 21;
    request.pixelSearch.stepX = request.pixelSearch.stepY = 16;
    request.pixelSearch.maxU = request.pixelSearch.maxV = 4;
    request.pixelSearch.searchUp = request.pixelSearch.searchDown = 4;
    request.pixelSearch.searchLeft = request.pixelSearch.searchRight = 4;
    request.neuralCorrelation = true;
    request.userStepX = request.userStepY = 16;
    QMetaObject::invokeMethod(window->worker.data(), "startComputation", Qt::QueuedConnection,
                              Q_ARG(tavro::gui::ComputationRequest, request));

    // A task of the window polls the flag it shares; the other task is not the
    // window's and would keep a waiting window open for three seconds.
    const std::shared_ptr<std::atomic<bool>> loadCancel = window->loadCancelFlag;
    QFuture<void> windowTask = QtConcurrent::run([loadCancel] {
        while (!loadCancel->load())
            QThread::msleep(2);
    });
    auto release = std::make_shared<std::atomic<bool>>(false);
    QFuture<void> otherTask = QtConcurrent::run([release] {
        QElapsedTimer running;
        running.start();
        while (!release->load() && running.elapsed() < 3000)
            QThread::msleep(2);
    });

    QElapsedTimer waited;
    waited.start();
    while (session.load() == 0 && waited.elapsed() < 10000)
        QThread::msleep(5);
    ASSERT_EQ(session.load(), 1) << "the worker never reached its busy stage";
    QElapsedTimer closing;
    closing.start();
    window.reset();
    EXPECT_LT(closing.elapsed(), 1000) << "closing waited for the pool";
    EXPECT_EQ(session.load(), 2) << "the worker returned from its stage before the window went";
    EXPECT_TRUE(loadCancel->load());
    release->store(true);
    windowTask.waitForFinished();
    otherTask.waitForFinished();
}

void MainWidgetTestAccess::theWheelReachesOnlyFocusedSpinAndComboBoxes() {
    QWidget root;
    auto* layout = new QVBoxLayout(&root);
    auto* nested = new QWidget;
    auto* nestedLayout = new QVBoxLayout(nested);
    auto* spin = new QSpinBox;
    auto* doubleSpin = new QDoubleSpinBox;
    auto* combo = new QComboBox;
    combo->addItems({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")});
    nestedLayout->addWidget(spin);
    nestedLayout->addWidget(doubleSpin);
    layout->addWidget(nested);
    layout->addWidget(combo);
    QObject filter;
    auto* wheelFilter = new WheelEventFilter(&filter);
    installWheelFilter(&root, wheelFilter);
    root.show();

    for (QWidget* box : {static_cast<QWidget*>(spin), static_cast<QWidget*>(doubleSpin), static_cast<QWidget*>(combo)}) {
        EXPECT_EQ(box->focusPolicy(), Qt::StrongFocus);
        const QPointF centre = QRectF(box->rect()).center();
        QWheelEvent wheel(centre, box->mapToGlobal(centre), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(box, &wheel);
    }
    EXPECT_EQ(spin->value(), 0);
    EXPECT_EQ(doubleSpin->value(), 0.0);
    EXPECT_EQ(combo->currentIndex(), 0);
}

void MainWidgetTestAccess::tileNavigatorStartsHiddenAndInertAndFieldsAreEmptyWithoutAResult() {
    MainWidget window;
    QWidget parent;
    const MainWidget::TileNavigator navigator = window.createTileNavigator(&parent);
    EXPECT_EQ(navigator.container->parentWidget(), &parent);
    EXPECT_TRUE(navigator.container->isHidden());
    EXPECT_EQ(navigator.label->text(), QStringLiteral("Tile \u2014 / \u2014"));
    for (QWidget* inert : {static_cast<QWidget*>(navigator.prevButton), static_cast<QWidget*>(navigator.slider),
                           static_cast<QWidget*>(navigator.nextButton)})
        EXPECT_FALSE(inert->isEnabled());
    EXPECT_EQ(navigator.slider->maximum(), 0);

    // A Ux or Uy histogram zoomed before any result must find no values, not a null record.
    EXPECT_TRUE(window.displacementField(0).empty());
    ContrastHistogramWidget histogram;
    window.zoomFieldHistogram(&histogram, window.displacementField(1), -1.0f, 1.0f);
    auto shown = std::make_shared<PixelDisplacementResult>();
    shown->dispX = {0.5f, NAN, 3.0f, -0.25f};
    window.shownDisplacements = shown;
    EXPECT_EQ(window.displacementField(0).size(), 4u);
    window.zoomFieldHistogram(&histogram, window.displacementField(0), -1.0f, 1.0f);
    float counted = 0.0f;
    for (float bin : histogram.bins())
        counted += bin;
    EXPECT_EQ(counted, 2.0f);
}

namespace {

TEST(MainWidget, OpensWithOneTabTheFirstPagesAndEverythingIdle) {
    test::testApplication();
    MainWidgetTestAccess::opensWithOneTabTheFirstPagesAndEverythingIdle();
}

TEST(MainWidget, HelpButtonStaysSixPixelsFromTheTabWidgetsRightEdge) {
    test::testApplication();
    MainWidgetTestAccess::helpButtonStaysSixPixelsFromTheTabWidgetsRightEdge();
}

TEST(MainWidget, ResultTabsKeepTheirOrderAndChooseTheColumnAndActionPages) {
    test::testApplication();
    MainWidgetTestAccess::resultTabsKeepTheirOrderAndChooseTheColumnAndActionPages();
}

TEST(MainWidget, ClosingDuringAComputationAndALongPoolTaskReturnsWithinASecond) {
    test::testApplication();
    MainWidgetTestAccess::closingDuringAComputationAndALongPoolTaskReturnsWithinASecond();
}

TEST(MainWidget, TheWheelReachesOnlyFocusedSpinAndComboBoxes) {
    test::testApplication();
    MainWidgetTestAccess::theWheelReachesOnlyFocusedSpinAndComboBoxes();
}

TEST(MainWidget, TileNavigatorStartsHiddenAndInertAndFieldsAreEmptyWithoutAResult) {
    test::testApplication();
    MainWidgetTestAccess::tileNavigatorStartsHiddenAndInertAndFieldsAreEmptyWithoutAResult();
}

}  // namespace
}  // namespace tavro::gui
