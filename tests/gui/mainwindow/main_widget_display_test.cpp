// What a first session with the window reaches and keeps: the "3D Maps" inputs
// after a correlation, display ranges across a reopening, the result pages'
// texts, the help links and the window at its smallest.
#include "gui/mainwindow/main_widget.h"

#include "compute/worker_conversions.h"
#include "core/strain.h"
#include "gui/foundation/contrast_histogram_widget.h"
#include "gui/foundation/kernel_preview_widget.h"
#include "gui/mainwindow/input_rules.h"
#include "gui/mainwindow/named_kernel_edit_dialog.h"
#include "gui/mainwindow/result_rendering.h"
#include "gui/style/switch_widget.h"
#include "images/field_rendering.h"
#include "images/image_io.h"
#include "support/synthetic_images.h"
#include "window_session.h"

#include <QButtonGroup>
#include <QLabel>
#include <QLayout>
#include <QScrollArea>
#include <QScrollBar>
#include <QSet>
#include <QTextDocument>
#include <QToolButton>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QStackedWidget>
#include <QStandardItemModel>
#include <QAbstractItemView>
#include <QFontMetrics>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

namespace tavro::gui {

struct MainWidgetDisplayTestAccess {
    // A session on images the test draws, and its run waited for.
    struct DrawnSession : WindowTestSession {
        QString save(const QString& name, const testing::Image& image) {
            const QString path = folder + QLatin1Char('/') + name;
            EXPECT_TRUE(session::writeImage(path, session::toImage(image)));
            return path;
        }

        void compute(int timeoutMs) {
            w().onCompute();
            EXPECT_TRUE(QTest::qWaitFor([this] { return !w().runInProgress && !w().computationRunning; }, timeoutMs));
            w().waitForResultWrites();
            QCoreApplication::processEvents();
        }
    };

    // A reference and translated images of it, correlated on a small grid.
    struct Correlated : DrawnSession {
        explicit Correlated(int states) {
            testing::SpeckleOptions options;
            options.width = options.height = 128;
            options.supersampling = 2;
            QStringList deformed;
            for (int i = 0; i < states; ++i) {
                const testing::ImagePair pair = testing::makeFourierShiftedPair(options, 1.0 + 0.5 * i, -0.5);
                if (i == 0)
                    save(QStringLiteral("reference.tif"), pair.reference);
                deformed << save(QStringLiteral("state_%1.tif").arg(i + 1), pair.deformed);
            }
            loadReference(folder + QStringLiteral("/reference.tif"));
            addDeformed(deformed);
            w().windowSizeXSpin->setValue(21);
            w().spacingXSpin->setValue(8);
            compute(60000);
        }
    };

    // A straight crack whose faces part by 1 px, correlated in crack mode.
    struct Cracked : DrawnSession {
        Cracked() {
            testing::SpeckleOptions options;
            options.width = options.height = 160;
            options.supersampling = 2;
            const testing::SpeckleModel model(options);
            testing::StraightCrack crack;
            crack.point = {80.3, 79.8};
            crack.angle = 30.0;
            const testing::Vec2 n = crack.normal();
            // Turned 40 degrees from the normal: opening with some sliding.
            const double c = std::cos(0.698), t = std::sin(0.698);
            const testing::Vec2 jump{n[0] * c - n[1] * t, n[0] * t + n[1] * c};
            crack.minus = testing::translationField(0.3 - 0.5 * jump[0], 0.2 - 0.5 * jump[1]);
            crack.plus = testing::translationField(0.3 + 0.5 * jump[0], 0.2 + 0.5 * jump[1]);
            loadReference(save(QStringLiteral("intact.tif"), model.render()));
            addDeformed({save(QStringLiteral("cracked.tif"), testing::renderCracked(model, crack))});
            w().windowSizeXSpin->setValue(21);
            w().spacingXSpin->setValue(4);
            w().interpolationCombo->setCurrentIndex(2);
            w().computationModeCombo->setCurrentIndex(w().computationModeCombo->findData(3));
            compute(120000);
        }
    };

    static QString heightFile(const QString& folder, const QString& name) {
        const QString path = folder + QLatin1Char('/') + name;
        QString error;
        EXPECT_TRUE(writeFloatTiff(path, 32, 32, std::vector<float>(32 * 32, 1.5f), error, {})) << error.toStdString();
        return path;
    }

    static void drop(MainWidget& w, const QStringList& files) {
        QMimeData mime;
        QList<QUrl> urls;
        for (const QString& file : files)
            urls << QUrl::fromLocalFile(file);
        mime.setUrls(urls);
        // A drop reaches the window only after the drag entered it.
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&w, &enter);
        QDropEvent event(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&w, &event);
    }

    static bool isTab(MainWidget& w, QWidget* page) { return w.mainTabs->indexOf(page) >= 0; }

    static void HeightInputsAreReachableOnceADisplacementExists();
    static void RangesSetByHandAreSavedAndComeBackOnReopening();
    static void StrainsKeepTheRangesOfAResultReleasedFromMemory();
    static void StrainAndFractureRangesSetByHandComeBackOnReopening();
    static void ThePreviewShowsTheSmoothingAsTheEngineAppliesIt();
    static void HeightsReadOutInTheirFilesUnitAndHolesAreDrawnAsElsewhere();
    static void AMapIsAlwaysChosenAndWithoutALineTheRawMapIsShown();
    static void ADerivedMapIsShownWithinTheRangeOfItsReadings();
    static void MapsWithoutAValueShowEmptyWithoutARange();
    static void WithoutABrowserOrMailProgramABoxSaysWhereToGo();
    static void EveryControlFitsAndEachMapKeeps250Pixels();
    static void EveryResultTabShowsItsWholeLabelBesideHelp();
    static void TheMosaicHeightPanelShowsWholeStateTabsAndKeepsItsRowsApart();
    static void AStateShownAgainIsNotDrawnAgainUnlessItsRangeChanged();
    static void TheControlColumnNeedsNoSidewaysScrollInEitherMode();
    static void TheHeightPanelAndTheImageListsFitTheSmallestColumn();
    static void expectColumnFitsItsView(MainWidget& w, const QList<const QWidget*>& named);
};

#define DISPLAY_TEST(Suite, Name)               \
    TEST(Suite, Name) {                         \
        MainWidgetDisplayTestAccess::Name();    \
    }                                           \
    void MainWidgetDisplayTestAccess::Name()

DISPLAY_TEST(HeightTab, HeightInputsAreReachableOnceADisplacementExists) {
    WindowTestSession fresh;
    EXPECT_FALSE(isTab(fresh.w(), fresh.w().heightResultPage)) << "nothing to combine heights with yet";

    Correlated run(1);
    MainWidget& w = run.w();
    w.show();
    ASSERT_EQ(w.results.size(), 1u);
    ASSERT_TRUE(isTab(w, w.heightResultPage));
    w.mainTabs->setCurrentWidget(w.heightResultPage);
    EXPECT_EQ(w.controlStack->currentWidget(), w.heightsPage);
    EXPECT_EQ(w.computeOutOfPlaneButton->text(), QStringLiteral("Compute out-of-plane displacement"));

    // The reference by its "+" button, the deformed heights by a drop.
    const QString h0 = heightFile(run.folder, QStringLiteral("h0.tif"));
    run.chosen = {h0};
    w.heightRefAddButton->click();
    EXPECT_EQ(w.referenceHeightPaths, QStringList{h0});
    EXPECT_EQ(run.status(), QStringLiteral("Height file (reference) loaded: h0.tif"));
    w.heightSegmentGroup->button(1)->click();
    const QString h1 = heightFile(run.folder, QStringLiteral("h1.tif"));
    drop(w, {h1});
    ASSERT_EQ(w.deformedHeightStates.size(), 1);
    EXPECT_EQ(w.deformedHeightStates[0], QStringList{h1});
    EXPECT_EQ(w.referenceHeightPaths, QStringList{h0}) << "the deformed page took the drop";
    EXPECT_TRUE(w.computeOutOfPlaneButton->isEnabled());
    EXPECT_EQ(run.saved().heightFields->deformedStates, (QList<QStringList>{{h1}}));

    // Elsewhere a drop still goes to the input pages.
    w.mainTabs->setCurrentWidget(w.inputImagesPage);
    drop(w, {heightFile(run.folder, QStringLiteral("h2.tif"))});
    EXPECT_EQ(w.deformedHeightStates[0], QStringList{h1});
}

DISPLAY_TEST(DisplayRanges, RangesSetByHandAreSavedAndComeBackOnReopening) {
    Correlated run(2);
    MainWidget& w = run.w();
    ASSERT_EQ(w.results.size(), 2u);
    w.displacementSlider->setValue(0);
    ASSERT_EQ(w.shownResultIndex, 0);
    // Ranges inside the data, which the histograms keep their selection to.
    const auto inside = [](float low, float high, float at) { return low + at * (high - low); };
    const float uxLow = inside(w.current.autoMinUx, w.current.autoMaxUx, 0.2f);
    const float uxHigh = inside(w.current.autoMinUx, w.current.autoMaxUx, 0.9f);
    const float uyLow = inside(w.current.autoMinUy, w.current.autoMaxUy, 0.1f);
    const float uyHigh = inside(w.current.autoMinUy, w.current.autoMaxUy, 0.6f);

    // The file keeps six significant digits.
    const auto same = [](float a, float b) { return std::fabs(a - b) <= 1e-5f * std::fabs(b); };
    w.displacementHistograms[0]->setRange(uxLow, uxHigh);
    w.onDisplacementHistogramRangeEdited(0, uxLow, uxHigh);
    ASSERT_EQ(run.saved().resultCache.size(), 2u);
    ASSERT_TRUE(run.saved().resultCache[0].manualUx);
    EXPECT_TRUE(same((*run.saved().resultCache[0].manualUx)[0], uxLow));
    EXPECT_TRUE(same((*run.saved().resultCache[0].manualUx)[1], uxHigh));
    EXPECT_FALSE(run.saved().resultCache[1].manualUx) << "the other state's range is still automatic";

    w.displacementHistograms[1]->setRange(uyLow, uyHigh);
    w.applyDisplacementRangeToAll(1);
    for (const ResultRangeEntry& entry : run.saved().resultCache) {
        ASSERT_TRUE(entry.manualUy) << entry.index;
        EXPECT_TRUE(same((*entry.manualUy)[0], uyLow) && same((*entry.manualUy)[1], uyHigh)) << entry.index;
    }
    w.onDisplacementAutoScale(1);
    EXPECT_FALSE(run.saved().resultCache[0].manualUy) << "automatic again";
    w.displacementHistograms[1]->setRange(uyLow, uyHigh);
    w.applyDisplacementRangeToAll(1);

    // A drag saves once, when the handle is let go.
    w.resize(1400, 900);
    w.show();
    w.mainTabs->setCurrentWidget(w.displacementsPage);
    ContrastHistogramWidget* histogram = w.displacementHistograms[0];
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    const int y = histogram->plotRect().center().y();
    const int from = histogram->valueToPosition(histogram->selectionMax());
    ASSERT_GT(from - histogram->valueToPosition(histogram->selectionMin()), 40) << "handles apart";
    const int before = w.autosaveRequests;
    QTest::mousePress(histogram, Qt::LeftButton, {}, QPoint(from, y));
    for (int step = 1; step <= 5; ++step)
        QTest::mouseMove(histogram, QPoint(from - 4 * step, y));
    EXPECT_EQ(w.autosaveRequests, before) << "not while dragged";
    QTest::mouseRelease(histogram, Qt::LeftButton, {}, QPoint(from - 20, y));
    EXPECT_EQ(w.autosaveRequests, before + 1);
    const float dragged = histogram->selectionMax();
    EXPECT_LT(dragged, uxHigh);
    EXPECT_TRUE(same((*run.saved().resultCache[0].manualUx)[1], dragged));

    MainWidget again;
    again.loadParametersFromFile(run.folder + QStringLiteral("/parameters.json"));
    ASSERT_EQ(again.shownResultIndex, 0);
    EXPECT_TRUE(same(again.current.minUx, uxLow)) << again.current.minUx;
    EXPECT_TRUE(same(again.current.maxUx, dragged)) << again.current.maxUx;
    EXPECT_TRUE(again.current.display.manualUx);
    EXPECT_TRUE(same(again.displacementHistograms[0]->selectionMin(), uxLow));
    EXPECT_TRUE(same(again.current.minUy, uyLow)) << again.current.minUy;
    again.displacementSlider->setValue(1);
    EXPECT_TRUE(same(again.current.minUy, uyLow)) << "applied to every state";
    EXPECT_FALSE(same(again.current.minUx, uxLow)) << "the second state's Ux was never set by hand";
}

DISPLAY_TEST(DisplayRanges, StrainsKeepTheRangesOfAResultReleasedFromMemory) {
    Correlated run(2);
    MainWidget& w = run.w();
    w.displacementSlider->setValue(0);
    w.onDisplacementHistogramRangeEdited(1, -3.0f, 3.0f);
    w.displacementSlider->setValue(1);
    // What the memory limit does to an older result whose files are on disk.
    w.results[0].displacements = std::make_shared<PixelDisplacementResult>();
    const float percentileLow = w.results[0].display.percentileMinUx;

    w.onComputeStrainFields();
    ASSERT_TRUE(w.results[0].hasStrain);
    EXPECT_EQ(w.results[0].minUy, -3.0f);
    EXPECT_EQ(w.results[0].maxUy, 3.0f);
    EXPECT_TRUE(w.results[0].display.manualUy);
    EXPECT_EQ(w.results[0].display.percentileMinUx, percentileLow);
    const ProjectParameters saved = run.saved();
    ASSERT_TRUE(saved.resultCache[0].manualUy);
    EXPECT_EQ((*saved.resultCache[0].manualUy)[0], -3.0f);

    w.displacementSlider->setValue(0);
    EXPECT_EQ(w.current.minUy, -3.0f) << "shown again from its files with the range chosen for it";
    EXPECT_EQ(w.displacementMinMaxLabels[1]->text(), QStringLiteral("Min : -3    Max : 3"));
}

DISPLAY_TEST(DisplayRanges, StrainAndFractureRangesSetByHandComeBackOnReopening) {
    Cracked run;
    MainWidget& w = run.w();
    ASSERT_TRUE(w.current.hasFracture) << run.status().toStdString();
    w.onComputeStrainFields();
    ASSERT_TRUE(w.current.hasStrain);
    ASSERT_GT(w.strainComponentCombo->count(), 6) << "a criterion follows the six components";
    const auto inside = [](float low, float high, float at) { return low + at * (high - low); };
    // The file keeps six significant digits.
    const auto same = [](float a, float b) { return std::fabs(a - b) <= 1e-5f * std::fabs(b); };

    // εyy and the first criterion on the strain page, the opening intensity on the crack page.
    std::array<std::pair<float, float>, 2> strain;
    for (const int c : {1, 6}) {
        w.strainComponentCombo->setCurrentIndex(c);
        auto& [low, high] = strain[c == 1 ? 0 : 1];
        low = inside(w.strainDataMin(c), w.strainDataMax(c), 0.3f);
        high = inside(w.strainDataMin(c), w.strainDataMax(c), 0.7f);
        w.strainHistogram->setRange(low, high);
        w.onStrainHistogramRangeEdited(low, high);
    }
    const std::string criterion = w.strainComponentCombo->itemText(6).toStdString();
    const std::size_t map = 2;
    w.fractureParameterCombo->setCurrentIndex(w.fractureParameterCombo->findData(static_cast<int>(map)));
    const float openLow = inside(w.current.fractureAutoMin[map], w.current.fractureAutoMax[map], 0.1f);
    const float openHigh = inside(w.current.fractureAutoMin[map], w.current.fractureAutoMax[map], 0.5f);
    w.fractureHistogram->setRange(openLow, openHigh);
    w.onFractureHistogramRangeEdited(openLow, openHigh);
    ASSERT_EQ(run.saved().resultCache.size(), 1u);
    EXPECT_TRUE(run.saved().resultCache[0].manualFracture[map]);

    MainWidget again;
    again.loadParametersFromFile(run.folder + QStringLiteral("/parameters.json"));
    ASSERT_EQ(again.shownResultIndex, 0);
    const ComputationResult& shown = again.current;
    ASSERT_TRUE(shown.hasStrain && shown.hasFracture);
    EXPECT_TRUE(same(shown.strainMin[1], strain[0].first) && same(shown.strainMax[1], strain[0].second))
        << shown.strainMin[1] << " " << shown.strainMax[1];
    EXPECT_TRUE(shown.display.strainManual[1]);
    EXPECT_FALSE(shown.display.strainManual[0]) << "εxx was never set by hand";
    EXPECT_TRUE(shown.display.criterionManual.at(criterion));
    EXPECT_TRUE(same(shown.display.criterionDisplayMin.at(criterion), strain[1].first));
    EXPECT_TRUE(same(shown.display.criterionDisplayMax.at(criterion), strain[1].second));
    EXPECT_TRUE(same(shown.fractureMin[map], openLow) && same(shown.fractureMax[map], openHigh))
        << shown.fractureMin[map] << " " << shown.fractureMax[map];
    EXPECT_TRUE(shown.display.fractureManual[map]);
    EXPECT_FALSE(shown.display.fractureManual[0]);
    // And the pages show them.
    again.strainComponentCombo->setCurrentIndex(1);
    EXPECT_TRUE(same(again.strainHistogram->selectionMin(), strain[0].first));
    again.fractureParameterCombo->setCurrentIndex(again.fractureParameterCombo->findData(static_cast<int>(map)));
    EXPECT_TRUE(same(again.fractureHistogram->selectionMax(), openHigh));
}

namespace {

// The bracketed coefficient lists of a text, fractions taken as quotients.
std::vector<std::vector<float>> bracketedKernels(const QString& text) {
    std::vector<std::vector<float>> kernels;
    for (qsizetype open = text.indexOf(QLatin1Char('[')); open >= 0; open = text.indexOf(QLatin1Char('['), open + 1)) {
        const qsizetype close = text.indexOf(QLatin1Char(']'), open);
        std::vector<float>& kernel = kernels.emplace_back();
        for (const QString& token : text.mid(open + 1, close - open - 1).split(QLatin1Char(','))) {
            const QStringList parts = token.trimmed().split(QLatin1Char('/'));
            kernel.push_back(parts.size() == 2 ? parts[0].toFloat() / parts[1].toFloat() : parts[0].toFloat());
        }
    }
    return kernels;
}

}  // namespace

TEST(KernelDialogHint, EveryExampleDerivativeKernelGivesTheTrueStrain) {
    test::testApplication();
    NamedKernelEditDialog dialog(0, nullptr);
    QString hint;
    for (const QLabel* label : dialog.findChildren<QLabel*>())
        if (label->text().startsWith(QStringLiteral("Derivative kernel")))
            hint = label->text();
    const std::vector<std::vector<float>> examples = bracketedKernels(hint);
    ASSERT_GE(examples.size(), 2u) << hint.toStdString();
    // u = 0.01 x on a grid of step 4: every kernel must give exx = 0.01.
    PixelDisplacementResult field;
    field.gridWidth = field.gridHeight = 9;
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 9; ++x) {
            field.dispX.push_back(0.01f * 4.0f * x);
            field.dispY.push_back(0.0f);
        }
    for (const std::vector<float>& kernel : examples) {
        StrainSettings settings;
        settings.derivativeCoefficients = kernel;
        settings.smoothingCoefficients = {1.0f, 2.0f, 1.0f};
        StrainResult strains;
        std::string error;
        ASSERT_TRUE(computeStrainCustomKernelGpu(field, 4, settings, strains, error, {})) << error;
        EXPECT_NEAR(strains.epsXX[40], 0.01, 1e-6) << kernel.size() << "-point kernel of " << hint.toStdString();
    }
}

DISPLAY_TEST(KernelPreview, ThePreviewShowsTheSmoothingAsTheEngineAppliesIt) {
    WindowTestSession s;
    MainWidget& w = s.w();
    const auto at = [](const std::vector<NamedKernel>& list, const char* name) {
        for (std::size_t i = 0; i < list.size(); ++i)
            if (list[i].name == name)
                return static_cast<int>(i);
        return -1;
    };
    w.selectedDerivativeKernel = at(w.derivativeKernels, "Order 2");
    w.selectedSmoothingKernel = at(w.smoothingKernels, "Sobel");
    ASSERT_GE(w.selectedDerivativeKernel, 0);
    ASSERT_GE(w.selectedSmoothingKernel, 0);
    w.updateKernelPreview();
    using Texts = std::vector<std::vector<QString>>;
    EXPECT_EQ(w.kernelPreview->cellTexts(), (Texts{{"-0.125", "0", "0.125"}, {"-0.25", "0", "0.25"},
                                                   {"-0.125", "0", "0.125"}}));
}

DISPLAY_TEST(HeightPage, HeightsReadOutInTheirFilesUnitAndHolesAreDrawnAsElsewhere) {
    WindowTestSession s;
    MainWidget& w = s.w();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    w.shownHeightValues = {1.5f, nan, 2.5f, 3.0f};
    w.shownHeightWidth = w.shownHeightHeight = 2;
    w.heightResultShown = true;
    w.heightDisplayMin = 1.0f;
    w.heightDisplayMax = 3.0f;
    w.updateHeightPreview(true, true);
    const QImage shown = w.heightView->image();
    ASSERT_EQ(shown.size(), QSize(2, 2));
    const QImage elsewhere = renderResultField(w.shownHeightValues, 2, 2, 1.0f, 3.0f, 0, std::nullopt).image;
    EXPECT_EQ(shown.pixel(1, 0), elsewhere.pixel(1, 0)) << "a hole looks as on the other result pages";
    EXPECT_EQ(shown.pixel(0, 1), elsewhere.pixel(0, 1));

    const auto value = w.heightInspectValue(QPoint(0, 1));
    ASSERT_TRUE(value);
    EXPECT_EQ(value->label, QStringLiteral("w(0, 1) = 2.5"));
    EXPECT_EQ(value->status, QStringLiteral("w : 2.5  (x=0, y=1)"));
    w.updateHeightHoverText(value->status, true);
    EXPECT_EQ(w.heightValueLabel->text(), value->status) << "one label, no unit the file does not give";
    EXPECT_FALSE(w.heightInspectValue(QPoint(1, 0))) << "no value in a hole";
    w.updateHeightHoverText(QString(), false);
    EXPECT_EQ(w.heightValueLabel->text(), QStringLiteral("w : \u2014"));
    EXPECT_EQ(w.heightLineProfile(QPointF(0, 0), QPointF(1, 1)).label, QStringLiteral("w"));
}

// Read along the crack line, a map spans the readings on the line, not the
// whole raw field; a range set by hand is the result's, auto-scale gives the
// readings' range back.
DISPLAY_TEST(FracturePage, ADerivedMapIsShownWithinTheRangeOfItsReadings) {
    Cracked s;
    MainWidget& w = s.w();
    ASSERT_TRUE(w.current.hasFracture) << s.status().toStdString();
    const int map = 2;  // the opening intensity
    w.fractureParameterCombo->setCurrentIndex(w.fractureParameterCombo->findData(map));
    ASSERT_EQ(w.preparedFractureId, map) << "the crack is found";
    const auto& range = w.derivedRanges[static_cast<std::size_t>(map)];
    const auto [dataMin, dataMax] = finiteMinMax(w.preparedFractureField);
    EXPECT_EQ(range.dataMin, dataMin);
    EXPECT_EQ(range.dataMax, dataMax);
    const auto [autoLow, autoHigh] = percentileRange(w.preparedFractureField, dataMin, dataMax);
    ASSERT_LT(range.autoLow, range.autoHigh);
    EXPECT_NEAR(range.autoLow, autoLow, 1e-3f * (dataMax - dataMin));
    EXPECT_NEAR(range.autoHigh, autoHigh, 1e-3f * (dataMax - dataMin));
    EXPECT_FLOAT_EQ(w.fractureHistogram->selectionMin(), range.autoLow);
    EXPECT_FLOAT_EQ(w.fractureHistogram->selectionMax(), range.autoHigh);
    const FractureResult& f = *w.current.fracture;
    const QImage drawn = renderResultField(w.preparedFractureField, f.gridWidth, f.gridHeight, range.autoLow,
                                           range.autoHigh, kJetColorMap, w.resultCanvas(f.gridWidth, f.gridHeight))
                             .image;
    EXPECT_EQ(w.fractureView->image(), drawn);

    const float low = range.autoLow + 0.25f * (range.autoHigh - range.autoLow);
    w.fractureHistogram->setRange(low, range.autoHigh);
    w.onFractureHistogramRangeEdited(low, range.autoHigh);
    EXPECT_TRUE(w.current.display.fractureManual[static_cast<std::size_t>(map)]) << "kept with the result";
    EXPECT_EQ(w.shownFractureRange(map).first, low);
    w.onFractureAutoScale();
    EXPECT_FALSE(w.current.display.fractureManual[static_cast<std::size_t>(map)]);
    EXPECT_FLOAT_EQ(w.fractureHistogram->selectionMin(), range.autoLow);
    EXPECT_EQ(w.shownFractureRange(map), std::make_pair(range.autoLow, range.autoHigh));
}

DISPLAY_TEST(FracturePage, AMapIsAlwaysChosenAndWithoutALineTheRawMapIsShown) {
    // A run without crack maps, then one with: the list never rests on a heading.
    Correlated plain(1);
    EXPECT_GE(plain.w().fractureParameterCombo->currentData().toInt(), 0);

    Cracked s;
    MainWidget& w = s.w();
    ASSERT_TRUE(w.current.hasFracture) << s.status().toStdString();
    ASSERT_GE(w.fractureParameterCombo->currentData().toInt(), 0) << "a map is chosen, not a group heading";
    const int map = 2;  // the opening intensity
    w.fractureParameterCombo->setCurrentIndex(w.fractureParameterCombo->findData(map));

    const auto drawn = [](const QImage& image) {
        int count = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                count += qAlpha(image.pixel(x, y)) > 0 ? 1 : 0;
        return count;
    };
    const std::vector<float>& raw = w.fractureField(map);
    const auto finite = [](const std::vector<float>& field) {
        return std::count_if(field.begin(), field.end(), [](float v) { return std::isfinite(v); });
    };
    ASSERT_GT(finite(w.derivedFractureMap(map)), 0) << "the crack is found";
    w.refreshFractureImage(false);
    EXPECT_NE(&w.shownFractureField(map), &raw) << "read along the line";
    w.fractureOpeningMin = 5.0;
    EXPECT_EQ(finite(w.derivedFractureMap(map)), 0) << "no jump reaches 5 px";
    w.refreshFractureImage(false);
    EXPECT_EQ(&w.shownFractureField(map), &raw) << "no line: the raw map, as the manual says";
    EXPECT_EQ(drawn(w.fractureView->image()), finite(raw));

    // The list is wide enough for its bold group headings.
    const auto* rows = qobject_cast<QStandardItemModel*>(w.fractureParameterCombo->model());
    ASSERT_TRUE(rows);
    for (int row = 0; row < rows->rowCount(); ++row) {
        const QStandardItem* item = rows->item(row);
        EXPECT_LT(QFontMetrics(item->font()).horizontalAdvance(item->text()),
                  w.fractureParameterCombo->view()->minimumWidth())
            << item->text().toStdString();
    }
}

// A map whose points all lack a value shows nothing rather than a field of the
// scale's first colour, and no range: the displacements of a pair whose two
// images share no speckle (whose rigid shift is unknown too), and the crack
// maps of a Heaviside run over a pair without a crack.
DISPLAY_TEST(ResultPages, MapsWithoutAValueShowEmptyWithoutARange) {
    const auto drawn = [](const QImage& image) {
        int count = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) // the canvas around the grid is grey
                count += qAlpha(image.pixel(x, y)) > 0 && image.pixel(x, y) != qRgb(128, 128, 128);
        return count;
    };
    const auto noValue = [](const std::vector<float>& field) {
        return !field.empty() && std::none_of(field.begin(), field.end(), [](float v) { return std::isfinite(v); });
    };
    struct Run : DrawnSession {
        Run(bool sameSpeckle, int mode) {
            testing::SpeckleOptions options;
            options.width = options.height = 160;
            const testing::SpeckleModel model(options);
            options.seed = 99;
            const testing::SpeckleModel other(options);
            loadReference(save(QStringLiteral("reference.tif"), model.render()));
            addDeformed({save(QStringLiteral("deformed.tif"),
                              (sameSpeckle ? model : other).render(testing::translationField(0.3, 0.2)))});
            w().windowSizeXSpin->setValue(21);
            w().computationModeCombo->setCurrentIndex(w().computationModeCombo->findData(mode));
            compute(120000);
        }
    };
    {
        SCOPED_TRACE("no speckle in common");
        Run s(false, 1);
        MainWidget& w = s.w();
        ASSERT_TRUE(w.shownDisplacements) << s.status().toStdString();
        for (int c = 0; c < 2; ++c) {
            ASSERT_TRUE(noValue(w.displacementField(c))) << "component " << c;
            EXPECT_EQ(drawn((c == 0 ? w.uxView : w.uyView)->image()), 0) << "component " << c;
            EXPECT_EQ(w.displacementMinMaxLabels[static_cast<std::size_t>(c)]->text(), minMaxText(false, 0.0f, 0.0f));
        }
        EXPECT_EQ(w.rigidShiftLabel->text(), QStringLiteral("Rigid body shift: unknown"))
            << "the registration's peak between two unrelated images";
    }
    {
        SCOPED_TRACE("no crack");
        Run s(true, 3);
        MainWidget& w = s.w();
        ASSERT_TRUE(w.current.hasFracture) << s.status().toStdString();
        const int map = 2; // the opening intensity
        w.fractureParameterCombo->setCurrentIndex(w.fractureParameterCombo->findData(map));
        ASSERT_TRUE(noValue(w.fractureField(map)));
        w.refreshFractureImage(false);
        ASSERT_FALSE(w.fractureView->image().isNull());
        EXPECT_EQ(drawn(w.fractureView->image()), 0);
        w.updateFractureRangeControls();
        EXPECT_EQ(w.fractureRangeLabel->text(), minMaxText(false, 0.0f, 0.0f));

        // "Save all" says why there is nothing to derive: the field is there and no crack crosses it.
        QStringList boxes;
        const ScopedDialogResponder responder(DialogResponder{[&](QDialog& dialog) {
                                                                  if (auto* box = qobject_cast<QMessageBox*>(&dialog))
                                                                      boxes << box->text();
                                                                  dialog.reject();
                                                              },
                                                              {}});
        w.onSaveAllDerivedFractureMaps();
        ASSERT_EQ(boxes.size(), 1);
        EXPECT_TRUE(boxes[0].contains(QStringLiteral("No crack crosses its field"))) << boxes[0].toStdString();
        EXPECT_FALSE(boxes[0].contains(QStringLiteral("reloaded from disk")));
        w.shownDisplacements.reset();
        w.onSaveAllDerivedFractureMaps();
        ASSERT_EQ(boxes.size(), 2);
        EXPECT_TRUE(boxes[1].contains(QStringLiteral("reloaded from disk"))) << "without the field, that is the reason";
    }
}

DISPLAY_TEST(HelpMenu, WithoutABrowserOrMailProgramABoxSaysWhereToGo) {
    WindowTestSession s;
    MainWidget& w = s.w();
    const QString manual = QCoreApplication::applicationDirPath() + QStringLiteral("/doc/Tavro2D_Documentation.html");
    const bool placed = !QFile::exists(manual);
    if (placed) {
        QDir().mkpath(QFileInfo(manual).path());
        QFile file(manual);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    bool desktopWorks = false;
    QList<QUrl> asked;
    QStringList boxes;
    bool selectable = true;
    ScopedDialogResponder responder(DialogResponder{
        [&](QDialog& dialog) {
            if (auto* box = qobject_cast<QMessageBox*>(&dialog)) {
                boxes << box->windowTitle() + QStringLiteral(": ") + box->text();
                selectable = selectable && (box->textInteractionFlags() & Qt::TextSelectableByMouse);
                box->accept();
                return;
            }
            for (QPushButton* button : dialog.findChildren<QPushButton*>())
                if (button->text() == QStringLiteral("Contact us"))
                    button->click();
            dialog.reject();
        },
        {}});
    ScopedUrlOpener opener([&](const QUrl& url) {
        asked << url;
        return desktopWorks;
    });

    w.openDocumentation();
    w.showAboutDialog();
    ASSERT_EQ(asked.size(), 2);
    EXPECT_EQ(asked[0], QUrl::fromLocalFile(manual));
    EXPECT_EQ(asked[1].scheme(), QStringLiteral("mailto"));
    EXPECT_EQ(asked[1].path(), QStringLiteral(TAVRO_CONTACT_ADDRESS));
    EXPECT_EQ(boxes, (QStringList{QStringLiteral("Documentation: No browser could be started. Open this file in a "
                                                 "browser:\n") + manual,
                                  QStringLiteral("Contact us: No mail program could be started. Write to:\n"
                                                 TAVRO_CONTACT_ADDRESS)}));
    EXPECT_TRUE(selectable) << "the path and the address can be copied";

    desktopWorks = true;
    boxes.clear();
    w.openDocumentation();
    w.showAboutDialog();
    EXPECT_EQ(asked.size(), 4);
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join(QLatin1Char('\n')).toStdString();
    if (placed)
        QFile::remove(manual);
}

DISPLAY_TEST(SmallestWindow, EveryControlFitsAndEachMapKeeps250Pixels) {
    Correlated run(1);
    MainWidget& w = run.w();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    w.resize(500, 400);
    QCoreApplication::processEvents();
    EXPECT_GE(w.width(), 800) << "the window cannot be made smaller";
    EXPECT_GE(w.height(), 600);
    EXPECT_EQ(w.minimumSize(), QSize(800, 600));
    w.resize(800, 600);
    for (QWidget* page : {w.inputImagesPage, w.displacementsPage, w.strainResultPage, w.heightResultPage}) {
        w.mainTabs->setCurrentWidget(page);
        QCoreApplication::processEvents();
        SCOPED_TRACE(w.mainTabs->tabText(w.mainTabs->currentIndex()).toStdString());
        EXPECT_LE(w.layout()->minimumSize().width(), 800) << "nothing squeezed below what it needs";
        EXPECT_LE(w.mainTabs->tabBar()->geometry().right(), w.helpButton->geometry().left())
            << "the tabs and their scroll arrows leave Help uncovered";
        const QPushButton* compute = w.actionStack->currentWidget()->findChild<QPushButton*>();
        ASSERT_TRUE(compute);
        EXPECT_GE(compute->width(), compute->sizeHint().width()) << compute->text().toStdString();
    }
    w.mainTabs->setCurrentWidget(w.inputImagesPage);
    QCoreApplication::processEvents();
    EXPECT_GE(w.referenceView->width(), 250);
    EXPECT_GE(w.deformedView->width(), 250);
    w.mainTabs->setCurrentWidget(w.displacementsPage);
    QCoreApplication::processEvents();
    for (int c = 0; c < 2; ++c) {
        EXPECT_GE((c == 0 ? w.uxView : w.uyView)->width(), 250) << c;
        const QLabel* range = w.displacementMinMaxLabels[c];
        EXPECT_GE(range->height(), range->heightForWidth(range->width())) << "Min and Max both shown";
        for (const QToolButton* button : range->parentWidget()->parentWidget()->findChildren<QToolButton*>())
            if (button->isVisible() && button->toolButtonStyle() != Qt::ToolButtonIconOnly) {
                EXPECT_GE(button->width(), button->sizeHint().width()) << button->text().toStdString();
            }
    }
    EXPECT_GE(w.exportDisplacementsButton->width(), w.exportDisplacementsButton->sizeHint().width());

    // Every tab keeps the same column, and every text in it shows whole.
    w.resize(800, 600);
    QCoreApplication::processEvents();
    const QList<QWidget*> pages{w.inputImagesPage, w.displacementsPage, w.strainResultPage, w.fractureResultPage,
                                w.heightResultPage};
    int columnWidth = -1;
    for (QWidget* page : pages) {
        w.mainTabs->setCurrentWidget(page);
        QCoreApplication::processEvents();
        SCOPED_TRACE(w.mainTabs->tabText(w.mainTabs->currentIndex()).toStdString());
        if (columnWidth < 0)
            columnWidth = w.leftColumn->width();
        EXPECT_EQ(w.leftColumn->width(), columnWidth) << "the border between the columns stays put";
        for (const QWidget* each : w.leftColumn->findChildren<QWidget*>()) {
            if (!each->isVisible())
                continue;
            QString text;
            if (const auto* button = qobject_cast<const QAbstractButton*>(each)) {
                const auto* tool = qobject_cast<const QToolButton*>(each);
                if (tool && tool->toolButtonStyle() == Qt::ToolButtonIconOnly)
                    continue;
                text = button->text().remove(QLatin1Char('&'));
            } else if (const auto* label = qobject_cast<const QLabel*>(each)) {
                if (label->wordWrap() || Qt::mightBeRichText(label->text()))
                    continue;
                text = label->text();
            }
            int advance = 0;
            for (const QString& line : text.split(QLatin1Char('\n')))
                advance = std::max(advance, each->fontMetrics().horizontalAdvance(line));
            if (advance == 0)
                continue;
            SCOPED_TRACE(text.toStdString());
            EXPECT_GE(each->width(), advance) << "the control shows its whole text";
            // A control in the scroll area may lie beyond its view, but never
            // beyond what scrolling reaches; one below it must lie inside.
            const QWidget* reach = w.controlContent->isAncestorOf(each) ? w.controlContent : w.leftColumn;
            EXPECT_LE(each->mapTo(reach, QPoint(each->width(), 0)).x(), reach->width());
        }
    }
    w.resize(1320, 700);
    for (QWidget* page : pages) {
        w.mainTabs->setCurrentWidget(page);
        QCoreApplication::processEvents();
        SCOPED_TRACE(w.mainTabs->tabText(w.mainTabs->currentIndex()).toStdString());
        EXPECT_FALSE(w.controlScrollArea->horizontalScrollBar()->isVisible()) << "the default window needs no side scroll";
    }
    w.mainTabs->setCurrentWidget(w.inputImagesPage);
    w.mosaicSwitch->setChecked(true);
    QCoreApplication::processEvents();
    ASSERT_TRUE(w.mosaicPage->isVisible());
    EXPECT_FALSE(w.controlScrollArea->horizontalScrollBar()->isVisible()) << "the wider mosaic panel widens the column";
    const int mosaicColumn = w.leftColumn->width();
    for (int added = 1; added <= 3; ++added) {
        w.onAddMosaicDefState();
        QCoreApplication::processEvents();
        EXPECT_EQ(w.leftColumn->width(), mosaicColumn) << added << " states added: the column never widens";
        const QScrollBar* along = w.mosaicTabScrollArea->horizontalScrollBar();
        EXPECT_GE(w.mosaicTabScrollArea->viewport()->width() + along->maximum(), w.mosaicTabRow->width())
            << "every state tab can be scrolled into view";
    }
    w.mainTabs->setCurrentWidget(w.heightResultPage);
    QCoreApplication::processEvents();
    EXPECT_EQ(w.leftColumn->width(), mosaicColumn) << "nor do the height panel's state tabs";

    // With room to spare the control column shows its panels whole again.
    w.resize(1366, 768);
    QCoreApplication::processEvents();
    EXPECT_GE(w.controlScrollArea->viewport()->width(), w.controlContent->minimumSizeHint().width());
    w.grab().save(QStringLiteral("/tmp/shots-g5/offscreen_800x600_displacements.png"));
}

// A tab is readable when the bar shows it whole: inside the bar, left of Help
// and under neither scroll arrow.
static void expectEveryTabWhole(const QTabBar* bar, const QWidget* help) {
    for (int i = 0; i < bar->count(); ++i) {
        SCOPED_TRACE(bar->tabText(i).toStdString());
        const QRect tab = bar->tabRect(i);
        EXPECT_TRUE(bar->rect().contains(tab)) << "cut by the bar's end";
        EXPECT_LE(bar->mapTo(help->parentWidget(), tab.topRight()).x(), help->geometry().left()) << "under Help";
        for (const QToolButton* arrow : bar->findChildren<QToolButton*>())
            EXPECT_FALSE(arrow->isVisible() && arrow->geometry().intersects(tab)) << "under a scroll arrow";
    }
}

DISPLAY_TEST(SmallestWindow, EveryResultTabShowsItsWholeLabelBesideHelp) {
    Correlated run(1);
    MainWidget& w = run.w();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    w.resize(800, 600);
    QCoreApplication::processEvents();
    expectEveryTabWhole(w.mainTabs->tabBar(), w.helpButton);

    // The widest set of tabs, the last one arriving in the smallest window.
    w.setFractureTabVisible(true);
    QCoreApplication::processEvents();
    ASSERT_EQ(w.mainTabs->count(), 5);
    EXPECT_EQ(w.size(), QSize(800, 600));
    for (QWidget* page : {w.inputImagesPage, w.fractureResultPage, w.heightResultPage}) {
        w.mainTabs->setCurrentWidget(page);
        QCoreApplication::processEvents();
        SCOPED_TRACE(w.mainTabs->tabText(w.mainTabs->currentIndex()).toStdString());
        expectEveryTabWhole(w.mainTabs->tabBar(), w.helpButton);
    }
}

DISPLAY_TEST(SmallestWindow, TheMosaicHeightPanelShowsWholeStateTabsAndKeepsItsRowsApart) {
    DrawnSession run;
    MainWidget& w = run.w();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    w.mosaicSwitch->setChecked(true);
    run.chosen = {heightFile(run.folder, QStringLiteral("h0.tif")), heightFile(run.folder, QStringLiteral("h1.tif"))};
    w.onAddHeightRefTiles();
    for (int i = 0; i < 4; ++i)
        w.onAddHeightDefState();
    ASSERT_EQ(w.heightStateButtons.size(), 5);
    w.mainTabs->setCurrentWidget(w.heightResultPage);
    w.resize(800, 600);
    QCoreApplication::processEvents();

    // The drop box or the list, the "+ - ↑ ↓ Clear all" row and the count, each below the other.
    const auto rowsApart = [](const TileListBlock& block) {
        QRect row;
        for (const QWidget* button :
             {block.addButton, block.removeButton, block.upButton, block.downButton, block.clearButton})
            row |= button->geometry();
        for (const QWidget* box : {static_cast<QWidget*>(block.emptyLabel), static_cast<QWidget*>(block.list)})
            if (box->isVisibleTo(block.page)) {
                EXPECT_LT(box->geometry().bottom(), row.top()) << box->metaObject()->className();
            }
        EXPECT_GT(block.countLabel->geometry().top(), row.bottom());
    };
    {
        SCOPED_TRACE("an empty deformed state");
        rowsApart(w.heightDefTiles);
    }
    w.heightTabGroup->button(0)->click();
    QCoreApplication::processEvents();
    {
        SCOPED_TRACE("the listed reference tiles");
        rowsApart(w.heightRefTiles);
    }

    // Six tabs and "+ Add state" cannot all show in the column: those shown
    // are whole, and the arrows bring each one into view.
    const QWidget* view = w.heightTabScroll->viewport();
    QList<QAbstractButton*> tabs = w.heightTabGroup->buttons();
    tabs << w.heightAddStateButton;
    QSet<const QAbstractButton*> seen;
    const auto noTabCut = [&] {
        for (const QAbstractButton* tab : tabs) {
            const QRect shown(tab->mapTo(view, QPoint(0, 0)), tab->size());
            EXPECT_TRUE(view->rect().contains(shown) || !view->rect().intersects(shown)) << tab->text().toStdString();
            if (view->rect().contains(shown))
                seen << tab;
        }
    };
    noTabCut();
    EXPECT_TRUE(seen.contains(w.heightTabGroup->button(0))) << "the chosen tab is in view";
    ASSERT_TRUE(w.heightTabNextButton->isVisible());
    EXPECT_FALSE(w.heightTabPrevButton->isEnabled());
    for (int clicks = 0; clicks < tabs.size() && w.heightTabNextButton->isEnabled(); ++clicks) {
        w.heightTabNextButton->click();
        QCoreApplication::processEvents();
        noTabCut();
    }
    EXPECT_EQ(seen.size(), tabs.size()) << "every tab can be brought into view";
    EXPECT_TRUE(w.heightTabPrevButton->isEnabled());
}

DISPLAY_TEST(RenderCache, AStateShownAgainIsNotDrawnAgainUnlessItsRangeChanged) {
    Correlated run(2);
    MainWidget& w = run.w();
    w.onComputeStrainFields();
    w.displacementSlider->setValue(0);
    const ResultDisplayState& first = w.results[0].display;
    ASSERT_FALSE(first.uxImage.isNull()) << "kept with its entry";
    ASSERT_FALSE(first.strainImage.isNull());
    const qint64 ux = first.uxImage.cacheKey(), uy = first.uyImage.cacheKey(), strain = first.strainImage.cacheKey();
    EXPECT_EQ(first.strainImageComponent, 0);

    w.displacementSlider->setValue(1);
    EXPECT_NE(w.results[1].display.uxImage.cacheKey(), ux) << "each state has its own drawing";
    w.displacementSlider->setValue(0);
    EXPECT_EQ(first.uxImage.cacheKey(), ux) << "drawn once";
    EXPECT_EQ(first.uyImage.cacheKey(), uy);
    EXPECT_EQ(first.strainImage.cacheKey(), strain);
    EXPECT_EQ(w.uxView->image().size(), first.uxImage.size());

    const float wider = first.uxImageMax + 0.5f * (first.uxImageMax - first.uxImageMin);
    w.onDisplacementHistogramRangeEdited(0, first.uxImageMin, wider);
    EXPECT_NE(first.uxImage.cacheKey(), ux) << "a new range is drawn";
    EXPECT_EQ(first.uyImage.cacheKey(), uy);
    EXPECT_EQ(first.uxImageMax, w.current.maxUx);

    w.strainComponentCombo->setCurrentIndex(1);
    EXPECT_EQ(first.strainImageComponent, 1);
    w.onComputeStrainFields();
    w.displacementSlider->setValue(1);
    w.displacementSlider->setValue(0);
    EXPECT_NE(w.results[0].display.strainImage.cacheKey(), strain) << "new strains are drawn anew";
}

// Every visible control of the column, by its right edge within the column's view.
void MainWidgetDisplayTestAccess::expectColumnFitsItsView(MainWidget& w, const QList<const QWidget*>& named) {
    const QWidget* viewport = w.controlScrollArea->viewport();
    EXPECT_EQ(w.controlScrollArea->horizontalScrollBar()->maximum(), 0) << "nothing to scroll sideways";
    EXPECT_LE(w.controlContent->width(), viewport->width());
    for (const QWidget* each : named) {
        ASSERT_TRUE(each);
        SCOPED_TRACE(each->metaObject()->className());
        ASSERT_TRUE(w.controlContent->isAncestorOf(each)) << "not in the column";
        EXPECT_TRUE(each->isVisible());
        EXPECT_LE(each->mapTo(w.controlContent, QPoint(each->width(), 0)).x(), viewport->width());
    }
    for (const QWidget* each : w.controlContent->findChildren<QWidget*>()) {
        // What scrolls within a strip of its own is reached by that strip.
        const QWidget* strip = each->parentWidget();
        while (strip && strip != w.controlContent && !qobject_cast<const QAbstractScrollArea*>(strip))
            strip = strip->parentWidget();
        if (!each->isVisible() || strip != w.controlContent)
            continue;
        const QString text = qobject_cast<const QAbstractButton*>(each)
                                 ? qobject_cast<const QAbstractButton*>(each)->text()
                                 : QString::fromLatin1(each->metaObject()->className());
        EXPECT_LE(each->mapTo(w.controlContent, QPoint(each->width(), 0)).x(), viewport->width())
            << text.toStdString();
    }
}

DISPLAY_TEST(SmallestWindow, TheControlColumnNeedsNoSidewaysScrollInEitherMode) {
    WindowTestSession run;
    MainWidget& w = run.w();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    for (const QSize size : {QSize(800, 600), QSize(1380, 860)}) {
        SCOPED_TRACE(size.width());
        w.resize(size);
        w.mosaicSwitch->setChecked(false);
        QCoreApplication::processEvents();
        {
            SCOPED_TRACE("single images");
            expectColumnFitsItsView(w, {w.mosaicSwitch, w.loadProjectButton, w.deformedSegmentButton});
        }
        w.mosaicSwitch->setChecked(true);
        run.boxes.clear();
        for (int added = 0; added < 3; ++added)
            w.onAddMosaicDefState();
        QCoreApplication::processEvents();
        {
            SCOPED_TRACE("mosaic");
            ASSERT_TRUE(w.mosaicPage->isVisible());
            expectColumnFitsItsView(w, {w.mosaicSwitch, w.loadProjectButton, w.mosaicAddStateButton});
        }
        w.perTileRadio->setChecked(true);
        QCoreApplication::processEvents();
        {
            SCOPED_TRACE("per-tile mosaic");
            expectColumnFitsItsView(w, {w.mosaicSwitch, w.loadProjectButton, w.mosaicAddStateButton});
        }
        w.stitchAndCorrelateRadio->setChecked(true);
    }
}

// With images and results the column holds more: the height panel of the 3D
// Maps page and the image lists' buttons keep to it, each wide enough for its text.
DISPLAY_TEST(SmallestWindow, TheHeightPanelAndTheImageListsFitTheSmallestColumn) {
    Correlated run(2);
    MainWidget& w = run.w();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    w.resize(800, 600);
    QCoreApplication::processEvents();
    const auto expectWhole = [](const QAbstractButton* button) {
        SCOPED_TRACE(button->text().toStdString());
        EXPECT_TRUE(button->isVisible());
        EXPECT_GE(button->width(), button->minimumSizeHint().width()) << "its text is cut";
    };
    {
        SCOPED_TRACE("input images");
        w.mainTabs->setCurrentWidget(w.inputImagesPage);
        w.deformedSegmentButton->click();
        QCoreApplication::processEvents();
        expectColumnFitsItsView(w, {w.clearDeformedButton, w.removeDeformedButton});
        expectWhole(w.clearDeformedButton);
    }
    {
        SCOPED_TRACE("3D maps");
        w.mainTabs->setCurrentWidget(w.heightResultPage);
        QCoreApplication::processEvents();
        ASSERT_EQ(w.controlStack->currentWidget(), w.heightsPage);
        expectColumnFitsItsView(w, {w.heightRefAddButton});
        w.heightSegmentGroup->button(1)->click();
        run.chosen = {heightFile(run.folder, QStringLiteral("h1.tif")), heightFile(run.folder, QStringLiteral("h2.tif"))};
        w.heightDefAddButton->click();
        w.heightDefFileList->setCurrentRow(1);
        QCoreApplication::processEvents();
        expectColumnFitsItsView(w, {w.heightDefAddButton, w.heightDefUpButton, w.heightDefClearButton});
        expectWhole(w.heightDefClearButton);
    }
}

}  // namespace tavro::gui
