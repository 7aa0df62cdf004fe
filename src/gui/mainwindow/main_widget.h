#pragma once
// The application's one window, its members split over one source per concern:
//   frame and lifecycle ........ main_widget.cpp, main_widget_busy.cpp, main_widget_reset.cpp
//   control column panels ...... main_widget_panel_{inputs,parameters,gpu_strain,mosaic}.cpp,
//                                main_widget_height_panel.cpp
//   result pages ............... main_widget_page_{inputs,displacements,strains,fracture,heights}.cpp
//   inputs ..................... main_widget_inputs.cpp, _images, _deformed_list, _mask_roi,
//                                _input_views, _drops
//   project file and defaults .. main_widget_project.cpp, _open_project, _autosave, _kernels, _actions
//   computation ................ main_widget_run.cpp (compute command, requests), _worker_slots,
//                                _computation (on-request maps), _batch_tiles (per-tile runs)
//   results .................... main_widget_results.cpp, _ranges, _view_tools, _strains,
//                                _criteria, _fracture
//   mosaics and heights ........ main_widget_mosaics.cpp, _mosaic_tiles, _mosaic_views, _mosaic_files
// Work that needs no widget lives in small units beside it (result_cache, result_writer,
// result_rendering, mosaic_assembly, input_rules, panel_rules) and in src/gui/project.

#include <QElapsedTimer>
#include <QFutureWatcher>
#include <QImage>
#include <QList>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "compute/computation_types.h"
#include "compute/crack_lines.h"
#include "core/results.h"
#include "core/strain_settings.h"
#include "gui/foundation/image_view_widget.h"
#include "images/loaded_image.h"
#include "gui/mainwindow/result_rendering.h"
#include "gui/mainwindow/result_writer.h"
#include "gui/mainwindow/height_maps.h"
#include "gui/mainwindow/mosaic_assembly.h"
#include "gui/mainwindow/out_of_plane_task.h"
#include "gui/mainwindow/stitching_result.h"
#include "gui/mainwindow/tile_list_block.h"
#include "gui/project/deformed_states.h"
#include "gui/project/project_parameters.h"

class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QFrame;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QMenu;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QScrollArea;
class QSlider;
class QSpinBox;
class QStackedWidget;
class QTabWidget;
class QThread;
class QThreadPool;
class QTimer;
class QToolButton;
class QVBoxLayout;

namespace tavro::gui {

class ComputeWorker;
class ContrastHistogramWidget;
class ElidedLabel;
class KernelPreviewWidget;
class ScientificDoubleSpinBox;
class Switch;
class VisibleWhenEnabledFilter;
class WheelEventFilter;

// The application shell moves its log into each project folder applied; the
// window reaches it through this hook, since it cannot depend on the shell.
void setProjectLogMover(std::function<void(const QString& folder)> mover);

// "[ -1/2, 0, 1/2 ]": a kernel's coefficients, common fractions as fractions.
QString formatKernelCoefficients(const std::vector<float>& coefficients);

// Installs `filter` on every spin box and combo box below `root` and gives them
// strong focus, so that only a clicked or tabbed-to box takes the wheel.
void installWheelFilter(QWidget* root, QObject* filter);

class MainWidget : public QWidget {
    Q_OBJECT

public:
    // The tile navigator of a result page; the widgets belong to their Qt parent.
    struct TileNavigator {
        QWidget* container = nullptr;
        QSlider* slider = nullptr;
        QPushButton* prevButton = nullptr;
        QPushButton* nextButton = nullptr;
        QLabel* label = nullptr;
    };

    // One entry of the fracture "Parameter:" combo.
    struct FractureFieldGroup {
        const char* title;
        const char* tooltip;
        std::vector<int> fields;
    };
    static const std::array<const char*, kFractureRangeCount> fractureFieldLabels;
    static const std::array<FractureFieldGroup, 3> fractureFieldGroups;

    MainWidget();
    ~MainWidget() override;

    // Height maps as row-major floats, sample values as they stand in the file.
    // They touch no member, so the pool's tasks call them from any thread.
    static bool loadSingleHeightTiff(const QString& path, std::vector<float>& outData, int& outWidth,
                                     int& outHeight, QString& error);
    static bool loadHeightImage(const QString& path, std::vector<float>& outData, int& outWidth, int& outHeight,
                                QString& error);
    // Whether loadHeightImage would refuse the file, from its header where
    // that tells; empty when it would be read.
    static QString heightFileRefusal(const QString& path);

    bool eventFilter(QObject* watched, QEvent* event) override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    friend struct MainWidgetTestAccess;
    friend struct MainWidgetPagesTestAccess;
    friend struct MainWidgetProjectTestAccess;
    friend struct MainWidgetInputsTestAccess;
    friend struct MainWidgetInputViewsTestAccess;
    friend struct MainWidgetMosaicTilesTestAccess;
    friend struct MainWidgetMosaicViewsTestAccess;
    friend struct MainWidgetRunTestAccess;
    friend struct MainWidgetRunInputsTestAccess;
    friend struct WindowTestSession;
    friend struct MainWidgetHeightsTestAccess;
    friend struct MainWidgetReopenTestAccess;
    friend struct MainWidgetStatesTestAccess;
    friend struct WindowModelAccess;
    friend struct MainWidgetProjectStepsTestAccess;

    // Frame and lifecycle ----------------------------------------------------
    void buildControlColumn(QVBoxLayout* contentLayout);
    void buildResultArea(QVBoxLayout* rightLayout);
    void buildActionBar(QVBoxLayout* leftLayout);
    void startWorker();
    void refreshInitialState();
    void onMainTabChanged();
    void fitCurrentTabViews();
    void positionHelpButton();
    void showGpuUnavailableMessage(const QString& message);
    void keepWindowOnScreen();
    void finishKernelListRebuild();
    void pumpEventsWhileComputing();
    void openContactLink();

    // Inputs and project -----------------------------------------------------
    void saveParametersToProject();
    bool saveParametersToFile(const QString& path);
    // Without the box of a first failure: the status line still says it.
    bool saveParametersQuietly(const QString& path, QString& error);
    // The first save of a project just opened: empty, or what its failure
    // means for the user, for the load's summary to tell.
    QString saveOpenedProject();
    ProjectParameters collectProjectParameters() const;
    void collectDeformedEntries(ProjectParameters& parameters) const;
    void collectMosaicResultEntries(ProjectParameters& parameters) const;
    std::vector<ResultRangeEntry> mosaicResultEntries(bool perTile, const std::vector<ComputationResult>& held) const;
    // What opening a project found, for its summary.
    struct ProjectLoadReport {
        QStringList missing;
        int listedDeformed = 0;
        int loadedDeformed = 0;
        bool referenceLoaded = false;
        int displacementResults = 0;
        int strainResults = 0;
        int fractureResults = 0;
        int heightResults = 0;
        int missingTiles = 0;
        // Result files found without the rest of their group.
        QStringList incompleteResults;
        bool cancelled = false;
        // Stored index of each loaded deformed image.
        std::vector<int> storedIndex;
    };
    void restoreProjectSettings(const ProjectParameters& parameters);
    void restoreProjectInputs(const ProjectParameters& parameters, ProjectLoadReport& report);
    void restoreProjectMask(const ProjectParameters& parameters, ProjectLoadReport& report);
    bool readImageForProject(const QString& path, LoadedImage& image, ProjectLoadReport& report);
    void restoreProjectResults(const ProjectParameters& parameters, ProjectLoadReport& report);
    void restoreMosaicResults(const ProjectParameters& parameters);
    // The height maps of the Height folder: counted, the last one shown.
    void restoreHeightResults(ProjectLoadReport& report);
    // A box's title and text, shown once whatever produced it is over.
    struct ProjectMessage {
        QString title;
        QString text;
    };
    // Sets the status line and returns the summary box.
    ProjectMessage projectLoadSummary(const ProjectLoadReport& report, bool mosaicMode);
    QString defaultProjectDialogDir() const;
    void persistLastProjectFolder(const QString& folder);
    void refreshProjectControls();
    void adoptProjectFolder(const QString& folder);
    bool overwriteProject(const QString& folder);
    // False, with the reason said, when parameters.json cannot be written there.
    bool folderTakesProjectFile(const QString& folder);
    bool folderTakesOverwrite(const QString& folder);
    void refuseProjectFolder(const QString& folder, const QString& error);
    // Before a run: true, with the reason said, when the project or one of its
    // result folders takes no new file.
    bool refuseUnwritableProject();
    void resetAllData();
    void clearCurrentModeData();
    bool hasAnyData() const;
    bool hasImagesInCurrentMode() const;
    void clearAllResults();
    // The height maps held and the 3D Maps page back to their empty state.
    void clearHeldHeightResults();
    // Busy state: the controls stay disabled while any background task runs.
    friend class BusyScope;
    void pushBusy(bool allowStop);
    void popBusy();
    void setUiBusy(bool busy);
    void loadParametersFromFile(const QString& path);
    // The load itself, inside the busy scope; returns the box to show after it.
    std::optional<ProjectMessage> openProjectFile(const QString& path);
    void onLoadParameters();
    void onSelectProjectFolder();
    void applyProjectFolder();
    // Background reads hand their results back in these records.
    struct ImageLoadOutcome {
        bool ok = false;
        LoadedImage image;
        QString error;
    };
    struct PixelLoad {
        bool ok = false;
        QImage image;
        QString error;
    };
    void selectAndLoadImage(QLineEdit* field, LoadedImage& image, const QString& title);
    void loadImageFromPath(QLineEdit* field, LoadedImage& target, const QString& path);
    // Clears the load cancel flag, then decodes on the pool while events run.
    std::optional<ImageLoadOutcome> loadImageInBackground(const QString& path, const QString& message);
    int rejectLossyImages(QStringList& paths);
    // Height files JPEG or in a layout the computation refuses leave `paths`, with their reasons.
    void rejectUnreadableHeightFiles(QStringList& paths);
    bool ensureDeformedGrayLoaded(int index, QString& error);
    // The entry's pixels read again when released, refused when its size changed since it was added.
    bool ensureGrayLoaded(std::vector<LoadedImage>& images, int index, QString& error);
    bool ensureRunImageLoaded(int index, QString& error);
    // A run or any background task holds the inputs: nothing may change them until it ends.
    bool inputsLocked() const;
    void releaseRunInputs();
    void clearTiming();
    // A refusal or failure: said in the status line as well as in its box.
    void sayRefusal(const QString& title, const QString& text);
    bool refuseDeformedSize(const LoadedImage& image);
    bool refuseReferenceSize(const LoadedImage& image, const QString& path);
    bool backgroundTaskRunning() const;
    void closeWhenIdle();
    bool checkInputImagesLoaded();
    QString imageDialogFolder() const;
    // The folder of the first listed file that exists, else imageDialogFolder().
    QString dialogFolderFor(const QStringList& paths) const;
    void rememberImageFolder(const QString& path);
    QSize referenceSize() const;
    void showCurrentDeformedImage();
    void updateReferenceHistogram(const QImage& image);
    void updateDeformedHistogram(const QImage& image);
    void resetResultViews();
    bool acceptDeformedName(const QString& path);
    void appendDeformedImage(LoadedImage image);
    void removeResultFilesOfRemovedImages(const QStringList& removedNames);
    // The slugs of every criterion, enabled or not: each may have written its file.
    QStringList criterionSlugs() const;
    // The base names of the images (single-image mode) or tiles (mosaic mode) held now, whose results are theirs
    // alone.
    QStringList heldInputNames() const;
    QStringList heldInputNames(bool mosaic) const;
    // The exact result files of every held image or tile, relative to the project folder.
    QStringList heldInputResultFiles() const;
    QStringList heldInputResultFiles(bool mosaic) const;
    void removeCriterionFiles(const std::string& name);
    void finishAddingDeformed(bool listWasEmpty, const QString& status);
    void addDeformedImageFromPath(const QString& path);
    void showDeformedForCurrentState();
    void showStateTile(int state);
    void setCountLabel(QLabel* label, int count, const QString& one, const QString& many);
    bool validateMaskSize(const QImage& mask);
    QSize expectedProjectMaskSize() const;
    bool dropMismatchedMask();
    void updateMaskOverlay();
    void onRoiChangedInView(const QRect& roi);
    void onRoiSpinBoxChanged();
    void updateRoiSpinRanges(const QSize& imageSize);
    void updateRoiControlsEnabled();
    void updateRoiLabel(const QRect& roi, const QSize& imageSize);
    void syncRoiSpinBoxes(const QRect& roi, const QSize& imageSize);
    void onViewClicked();
    int currentComputationModeId() const;
    void onDegreeOfFreedomChanged(int index);
    void setProjectControlsEnabled(bool enabled);
    void onInputSegmentChanged(int id);
    void updateTileCountLabel(QLabel* label, int count);
    QString referenceViewSourcePath() const;
    QString deformedViewSourcePath() const;
    std::optional<ImageViewWidget::InspectValue> inspectInputPixel(ImageViewWidget* view, const LoadedImage& image,
                                                                  const QString& sourcePath,
                                                                  const QPoint& displayPoint) const;
    bool readFullResolutionPixel(const QString& path, QSize fullSize, QPoint point, int& value) const;
    void setDropHighlight(bool on);
    void onSaveDisplacements();
    void onReferenceHistogramRangeEdited(float minValue, float maxValue);
    void onDeformedHistogramRangeEdited(float minValue, float maxValue);
    void applyDeformedContrastToAll();
    void updateReferenceContrastButtons();
    void updateDeformedContrastButtons();
    void loadUserDefaults();
    void saveUserDefaults();
    void initKernels();
    void resetKernelSelection();
    void rebuildKernelList(bool derivative);
    QWidget* createKernelRow(bool derivative, int index);
    void editKernel(bool derivative, int index);
    void deleteKernel(bool derivative, int index);
    void markStrainSettingsChanged();
    void applySelectedKernels();
    void onAddDerivativeKernel();
    void onAddSmoothingKernel();
    void onEditDerivativeKernel(int index);
    void onEditSmoothingKernel(int index);
    void onDeleteDerivativeKernel(int index);
    void onDeleteSmoothingKernel(int index);
    QWidget* createDerivativeKernelRow(int index);
    QWidget* createSmoothingKernelRow(int index);
    void updateKernelListHeights();
    void openDocumentation();
    void showAboutDialog();

    // Computation and results ------------------------------------------------
    using ResultFilesJob = tavro::gui::ResultFilesJob;
    void onCompute();
    bool confirmResultDeletion(bool& deleteOld);
    bool refuseClashingResultNames(const QStringList& names);
    // Refuses names whose result files coincide, then asks about old results.
    bool namesFreeAndDeletionConfirmed(const QStringList& names, bool& deleteOld);
    void showPreparingComputation();
    // False, with the message and the run ended, when there is no worker.
    bool workerAvailable();
    void postComputationRequest(ComputationRequest request, const QString& status);
    void deleteOldResults();
    void startClassicRun();
    void correlateLoadedImages(const QStringList& names, bool deleteOld);
    void startMosaicCorrelation();
    void computeNextImage();
    ComputationRequest buildComputationRequest(int index) const;
    ResultGeometry currentResultGeometry() const;
    void endRun(const QString& status);
    void releaseWorkerResources();
    void startResultFilesJob(ResultFilesJob job);
    void onResultFilesWritten(const QStringList& failures);
    void reportResultWriteFailures();
    void waitForResultWrites();
    bool fullImageGridLayout(int gridWidth, int gridHeight, int& canvasWidth, int& canvasHeight, int& offsetX,
                             int& offsetY) const;
    void onStopComputation();
    void onComputationProgress(int value, QString message);
    void onComputationFinished(tavro::gui::ComputationResult result);
    void onComputationFailed(QString status, QString details);
    void onComputationCancelled();
    void setComputationRunning(bool running);
    void updateComputeStrainsButton();
    void onComputeStrainFields();
    void finishStrainComputation(int done, int count, bool cancelled);
    void exportStrainFiles();
    void onComputeOutOfPlane();
    void initCriteria();
    void rebuildCriteriaList();
    void onNewCriterion();
    void onEditCriterion(int index);
    void onDeleteCriterion(int index);
    void editCriterion(int index);
    QWidget* createCriterionRow(int index);
    void updateKernelPreview();
    void updateResultSlider();
    void onResultSliderChanged(int value);
    void updateResultRangeControls();
    void updateStrainRangeLabel();
    void updateFractureRangeControls();
    void updateRigidShiftLabel(int index);
    // The shift line alone, the captions of the result pages left as they are.
    // `stored`: a result not in memory still tells the shift the project kept for it.
    void updateRigidShiftLine(int index, bool stored = false);
    // Results shown, loaded and cached ------------------------------------------
    int resultCount() const;
    QString resultBaseName(int index) const;
    QString resultStateText(int index) const;
    void loadAndDisplayResult(int index, bool quiet);
    void loadAndDisplayResultImpl(int index, bool quiet);
    void loadStrainsInto(ComputationResult& loaded, const ComputationResult& entry, const QString& base, bool quiet,
                         bool storedRanges);
    void loadFractureInto(ComputationResult& loaded, const ComputationResult& entry, const QString& base, bool quiet,
                          bool storedRanges);
    void showStoredResult(const ComputationResult& entry);
    void showStepWithoutMaps(int index);
    void touchResultCache(int index);
    bool loadDisplacementFromFiles(int index, PixelDisplacementResult& out) const;
    static void computeDisplacementRanges(ComputationResult& entry);
    std::optional<GridCanvas> resultCanvas(int gridWidth, int gridHeight) const;
    void showResultImage(ImageViewWidget* view, const ResultImage& shown, double& scale, bool fit);
    void refreshResultViews(bool fit);
    void scheduleDeferredFit(bool displacements, bool strain);
    void rebuildStrainComponentCombo();
    int currentComboData() const;
    void clearDisplacementHoverTexts();
    void resetStrainHoverText();
    void resetFractureHoverText();
    void setStatus(const QString& text);
    static void setFirstComboEntry(QComboBox* combo);
    // Display ranges of the shown result.
    static void setMinMaxLabel(QLabel* label, bool valid, float minValue, float maxValue);
    float strainDataMin(int component) const;
    float strainDataMax(int component) const;
    float strainAutoMin(int component) const;
    float strainAutoMax(int component) const;
    float strainDisplayMin(int component) const;
    float strainDisplayMax(int component) const;
    void setStrainDisplayRange(int component, float minValue, float maxValue);
    void setStrainRangeManual(int component, bool manual);
    QString strainCriterionName(int component) const;
    QString strainComponentLabel(int component) const;
    ComputationResult* currentRecord();
    TileNavigator createTileNavigator(QWidget* parent);
    void setResultTabVisible(QWidget* page, const QString& title, bool show);
    void setDisplacementsTabVisible(bool show);
    void setStrainsTabVisible(bool show);
    void setFractureTabVisible(bool show);
    void hideResultTabs();
    const std::vector<float>& displacementField(int component) const;
    const std::vector<float>& strainField(int component) const;
    const std::vector<float>& fractureField(int id) const;
    const std::vector<float>& shownFractureField(int id) const;
    int currentStrainComponentIndex() const;
    void zoomImageHistogram(ContrastHistogramWidget* histogram, const QImage& image, float minValue, float maxValue);
    void zoomFieldHistogram(ContrastHistogramWidget* histogram, const std::vector<float>& values, float minValue,
                            float maxValue);
    std::optional<ImageViewWidget::InspectValue> displacementInspectValue(int component, const QPoint& pixel) const;
    ImageViewWidget::LineProfile displacementLineProfile(int component, const QPointF& start, const QPointF& end) const;
    std::optional<ImageViewWidget::InspectValue> strainInspectValue(const QPoint& pixel) const;
    ImageViewWidget::LineProfile strainLineProfile(const QPointF& start, const QPointF& end) const;
    std::optional<ImageViewWidget::InspectValue> fractureInspectValue(const QPoint& pixel) const;
    ImageViewWidget::LineProfile fractureLineProfile(const QPointF& start, const QPointF& end) const;
    void updateDisplacementHoverText(int component, const QString& value, bool hasValue);
    void updateStrainHoverText(const QString& value, bool hasValue);
    void updateFractureHoverText(const QString& value, bool hasValue);
    void refreshDisplacementImages(bool fitInView);
    void refreshStrainImage(bool fitInView);
    void refreshFractureImage(bool fitInView);
    void onDisplacementHistogramRangeEdited(int component, float minValue, float maxValue);
    void onDisplacementAutoScale(int component);
    void applyDisplacementRangeToAll(int component);
    void onStrainHistogramRangeEdited(float minValue, float maxValue);
    void onStrainAutoScale();
    void applyStrainRangeToAll();
    void onStrainComponentChanged();
    void onFractureHistogramRangeEdited(float minValue, float maxValue);
    void onFractureAutoScale();
    void applyFractureRangeToAll();
    void onFractureParameterChanged(int index);
    void onSaveAllDerivedFractureMaps();
    CrackLineParameters crackLineParameters() const;
    // The shown crack result's displacement field is in memory, so its crack lines can be traced.
    bool holdsCrackField() const;
    const CrackLineSet* crackLineCache();
    void clearCrackLineCache();
    std::vector<float> derivedFractureMap(int id);
    void refreshDerivedFractureRanges();
    void updateFractureViewVisibility();

    // Mosaics and height maps ------------------------------------------------
    void onMosaicModeToggled(bool checked);
    void onBatchTileModeToggled(bool checked);
    void onAlignMosaic();
    void applyInputModeLayout();
    void onStitchingFinished();
    void beginMosaicAssembly();
    bool refuseMismatchedTileCounts();
    int mosaicStatesWithTiles() const;
    MosaicConfiguration currentMosaicConfig() const;
    void adoptAssembledMosaics(StitchingResult& result);
    void showReferenceMosaicAlone(QImage mosaic);
    void saveMosaicsToProject(bool rewriteExisting);
    bool loadSavedMosaicsFromProject();
    void recordMosaicFiles();
    void finalizeMosaicSetup(const QString& statusVerb);
    // `text`, the refinement summary when there is one, then `tail`.
    void setMosaicStatusText(const QString& text, const QString& tail = QString());
    void updateTilePositionBoundsFromFirstTile();
    void reconstructMosaicsFromPositions();
    void endMosaicReconstruction(const QString& status);
    void setMosaicRoiBoxes(const QSize& size);
    bool showTilePreview(int row);
    void clearMosaicViews();
    void updateTileNavigator(TileNavigator& navigator, int index, int count, const QString& name);
    void clearTileSelections();
    void returnViewsToMosaics();
    void endTileEnlargement();
    void showFirstTileOrMosaic(bool reference);
    void displayCurrentTilesInViews();
    void displayAssembledMosaicsInViews();
    void previewTileAt(int row);
    ImageViewWidget::DetailTile buildDetailTile(const QString& path, const QSize& displayedSize,
                                                const QRectF& sceneRect, double zoom) const;
    ImageViewWidget::DetailTile buildGridDetailTile(const std::vector<float>& values, int gridWidth, int gridHeight,
                                                    double displayScale, const QPoint& paddingOffset, float minValue,
                                                    float maxValue, const QRectF& sceneRect, double zoom) const;
    void onAddMosaicRefTiles();
    void onRemoveMosaicRefTiles();
    void onMoveUpMosaicRefTile();
    void onMoveDownMosaicRefTile();
    void onClearMosaicRefTiles();
    void onAddMosaicDefTiles();
    void onRemoveMosaicDefTiles();
    void onMoveUpMosaicDefTile();
    void onMoveDownMosaicDefTile();
    void onClearMosaicDefTiles();
    void onAddMosaicDefState();
    void onDeleteMosaicDefState();
    void updateMosaicRefTilesControls();
    static void fillTileNames(QListWidget* list, const QStringList& tiles);
    QPushButton* addMosaicStateButton(int number);
    // The tile lists and one button per state of a project just read.
    void showRestoredMosaicLists();
    void updateMosaicDefTilesControls();
    void onMosaicRefTileClicked(QListWidgetItem* item, bool quiet = false);
    void onMosaicDefTileClicked(QListWidgetItem* item);
    void onMosaicRefTileDoubleClicked(QListWidgetItem* item);
    void onMosaicDefTileDoubleClicked(QListWidgetItem* item);
    void onMosaicRefTileRowChanged(int row);
    void onMosaicDefTileRowChanged(int row);
    void onCropTiles();
    void updateMosaicCropButton();
    void addMosaicTiles(bool reference);
    void removeMosaicTiles(bool reference);
    void moveMosaicTile(bool reference, int step);
    bool confirmAssemblyReset(bool reference, const QString& action);
    void refreshMosaicDefTilesList();
    void clearAssembledRefMosaicState();
    void clearAssembledDefMosaicState();
    void clearAssembledMosaicState();
    bool hasAssembledRefMosaic() const;
    bool hasAssembledDefMosaic() const;
    QStringList& currentMosaicDefTiles();
    QList<stitching::TilePosition> defTilePositionsForState(int stateIndex) const;
    // States that have saved tile positions of their own.
    int placedStateCount() const;
    std::optional<stitching::TilePosition> findRefPositionByTileIndex(int tileIndex) const;
    std::optional<stitching::TilePosition> findDefPositionByTileIndex(int tileIndex) const;
    int findMatchingDefTileIndex(int refTileIndex) const;
    int findMatchingRefTileIndex(int defTileIndex) const;
    bool showsIndividualTiles() const;
    static int tilePositionCount(const QList<stitching::TilePosition>& list);
    void updateCurrentTileName();
    // Per-tile inputs: the tile pair the Input images tab shows, its index in the reference tiles; -1 without tiles.
    int shownInputTile() const;
    // The result of that pair; -1 when it has none.
    int shownInputPairResult() const;
    // The Input images tab's navigator, deformed caption and shift line follow the pair shown.
    void refreshInputTilePair();
    // Deformed states as one unit across tiles, heights and results.
    void syncStateBars();
    int appendDeformedState();
    void removeDeformedState(int state);
    // Asks before a state goes, saying so when result files go with it.
    bool confirmDeformedStateDeletion(int state);
    bool stateHasResultFiles(int state) const;
    // After results were erased, the ones left on show: a per-tile grid's selection, or the
    // state result nearest the shown one (`erased` is the index taken out).
    void showBatchResultsLeft();
    void showResultsLeft(int erased);
    void forgetResultsOfEmptiedState(int state, const QStringList& tiles);
    // The mosaics just mapped to their states become the keys of the results.
    void adoptMosaicResults();
    void forgetShownHeightMap();
    void reshowHeightMapByItsNumber();
    void forgetHeightResults();
    void forgetHeightResultOfState(int state);
    // The unwindowed tile a mosaic-mode view shows in place of its mosaic; null when it shows the mosaic.
    QImage tileShownIn(bool reference) const;
    // The maps of single images in rows [first, end) no longer pair with the
    // height files they were computed from: gone from memory and disk.
    void forgetSingleImageHeightMaps(int first, int end);
    // The result pages show nothing and say so; the results stay.
    void emptyResultPages();
    // The result page follows the shown result's image through a removal. Returns the place the shown result
    // held once the rows are gone, when the rows took it; -1 otherwise.
    int followShownResultThroughRemoval(const std::vector<int>& removedDescending);
    // A deleted state's per-tile results, in memory and on disk, by its tiles' names.
    void forgetBatchResultsOfTiles(const QStringList& deletedTiles, std::vector<ComputationResult>& tileResults);
    void forgetHeightBatchResultsOfTiles(const QStringList& deletedTiles);
    void forgetHeightResultsIn(int first, int end);
    void onHeightClassicRowsMoved(int first, int last, int destination);
    // Per-tile batch: every reference tile against the tile of the same index
    // in every state, one pair at a time.
    struct BatchTileJob {
        int32_t tileIndex = 0;
        int32_t stateIndex = 0;
        QString referencePath;
        QString deformedPath;
        QString baseName;
    };
    struct BatchResultIndex {
        int32_t stateCount = 0;
        int32_t tilesPerState = 0;
        QList<int32_t> table;
    };
    // The part of a tile the crop keeps: the whole tile when the crop is null,
    // empty or misses it.
    static QRect croppedTileRect(const QRect& crop, const QSize& tileSize);
    bool batchRunActive() const;
    bool validateMosaicTileCounts(QString& error);
    void startBatchFromCompute();
    void startBatchRun();
    void startNextBatchTileComputation();
    void stopBatch(const QString& message);
    void tileNameIndex(BatchResultIndex& out, const QStringList& names) const;
    // Results of a per-tile batch are browsed by state and tile.
    bool batchGridActive() const;
    int selectedBatchEntry() const;
    void applyBatchResultSelection(bool quiet);
    QStringList batchQueueNames() const;
    std::vector<ComputationResult> restoreTileResults(const std::vector<ResultRangeEntry>& cache);
    void showRestoredBatchResults();
    void forgetBatchNames();
    QList<BatchTileJob> batchQueue;
    QStringList batchNames;
    BatchResultIndex batchResultIndex;
    QRect batchRoi;
    // The crop the running batch cuts its tiles with, taken when it starts.
    QRect batchCrop;
    int32_t selectedBatchState = 0;
    int32_t selectedBatchTile = 0;
    void onResultTileSliderChanged(int value);
    void onHeightTabChanged(int id);
    void onAddHeightRefTiles();
    void onRemoveHeightRefTiles();
    void onMoveUpHeightRefTile();
    void onMoveDownHeightRefTile();
    void onClearHeightRefTiles();
    void onAddHeightDefTiles();
    void onRemoveHeightDefTiles();
    void onMoveUpHeightDefTile();
    void onMoveDownHeightDefTile();
    void onClearHeightDefTiles();
    void onRemoveHeightClassicDefTiles();
    void onClearHeightClassicDefTiles();
    // Moves the current height file by one row through the list's own move, as a drag does.
    void moveHeightClassicRow(int step);
    void onHeightListSelectionChanged();
    // "h1.tif → load_03": each height file row names the image it pairs with.
    QString heightPairingText(int row) const;
    void labelHeightPairings();
    // The single-mode caption's name of state `index`: its height file's and its image's.
    QString singleHeightStateName(int index, const QString& heightName) const;
    void updateHeightTilesControls();
    void refreshHeightPanelLayout();
    void layoutHeightStateTabs();
    void fitControlContentHeight();
    void updateHeightFileCountLabel();
    void updateHeightModeHint();
    void updateHeightNavBars();
    void onHeightSliderChanged(int value);
    void onHeightTileSliderChanged(int value);
    void updateHeightHoverText(const QString& value, bool hasValue);
    void updateHeightPreview(bool fitInView, bool updateHistogram);
    void showReferenceHeightPreview(const QString& path);
    void dropReferenceHeightPreview();
    // A height map drawn outside the result cache, at its own resolution.
    void showHeightMapValues(std::vector<float> values, int width, int height);
    // h0 or h1, as the height panel's tab chooses; the view keeps following the tabs until another map is shown.
    void showAssembledHeightMap();
    void onHeightHistogramRangeEdited(float minValue, float maxValue);
    void onHeightAutoScale();
    // The shown height map's display range, kept with its cache entry.
    void setHeightDisplayRange(float minValue, float maxValue, bool userRange);
    // The state slider and its buttons at `shown` of `count`, without signals.
    void setHeightSliderPosition(int shown, int count);
    std::optional<ImageViewWidget::InspectValue> heightInspectValue(const QPoint& pixel) const;
    ImageViewWidget::LineProfile heightLineProfile(const QPointF& start, const QPointF& end) const;
    void update3DMapsTabEnabled();
    void update3DMapsTabEnabled(bool show);
    // Height inputs: lists, states and the completeness summary.
    bool heightMosaicMode() const;
    QStringList& currentHeightDefTiles();
    bool hasAnyHeightDefTiles() const;
    QStringList filterDuplicateHeightTiles(const QStringList& candidates, const std::vector<QString>& existing);
    void heightInputsEdited(bool pending);
    void moveHeightTile(bool reference, int step);
    QPushButton* addHeightStateButton(int number);
    void onAddHeightDefState();
    void onDeleteHeightDefState();
    void refreshHeightRefTilesList();
    void refreshHeightDefTilesList();
    // The state buttons and lists of height inputs just read from a project.
    void showRestoredHeightLists();
    bool hasDisplacementForHeights() const;
    bool batchDisplacementFilesExist() const;
    bool updateMosaicHeightSummary();
    bool updateSingleHeightSummary();
    // Height maps h0 and h1: assembled from tiles or read from files.
    HeightMosaicFrame heightMosaicFrame() const;
    bool assembleHeightMosaic(std::vector<QString> tilePaths, std::vector<stitching::TilePosition> positions,
                              std::vector<float>& outHeight, int& outWidth, int& outHeightSize, QString& error,
                              HeightMosaicCanvas* canvas = nullptr);
    std::optional<HeightAssemblyResult> runHeightAssembly(const QStringList& paths,
                                                          const QList<stitching::TilePosition>& positions,
                                                          const HeightMosaicCanvas* canvas, const QString& message);
    std::optional<HeightLoadResult> runHeightLoad(const QString& path, const QString& message);
    void commitHeightMaps(std::vector<float> h0, std::vector<float> h1, int width, int height);
    void onAssembleHeights();
    void assembleMosaicHeights();
    void loadSingleHeights();
    void finishHeightAssembly(bool success);
    void reportHeightFailure(const std::optional<QString>& error, const QString& prefix, const QString& action);
    void saveHeightMosaicsToProject();
    bool assembledHeightShown = false;
    std::vector<float> heightH0;
    std::vector<float> heightH1;
    int heightMapWidth = 0;
    int heightMapHeight = 0;
    // Out-of-plane results shown on the "3D Maps" page.
    QString heightStateBaseName(int index) const;
    bool heightBatchActive() const;
    bool heightBatchNavigation() const;
    int heightResultCount() const;
    bool displacementGridIs(int width, int height) const;
    void clearHeightResults();
    void storeHeightRange(int index, const HeightCacheEntry& entry);
    void showHeightEntry(int index, const HeightCacheEntry& entry);
    int heightStateResultIndex(int state) const;
    void updateRigidShiftForShownPage();
    HeightCacheEntry* shownHeightEntry();
    void loadHeightResult(int value, bool quiet);
    void loadHeightResultAt(int value, bool quiet);
    void applyBatchHeightSelection(bool quiet);
    std::vector<HeightCacheEntry> heightResultCache;
    int shownHeightWidth = 0;
    int shownHeightHeight = 0;
    // The map itself, or its sample at the correlation grid (shownHeightGridWidth x shownHeightGridHeight).
    std::vector<float> heightDisplayedField;
    float heightAutoMin = 0.0f;
    float heightAutoMax = 0.0f;
    float heightDisplayMin = 0.0f;
    float heightDisplayMax = 0.0f;
    bool heightResultShown = false;
    // The reference height file whose map the view shows in place of a result; empty when none.
    QString previewedReferenceHeight;
    QStringList heightBatchNames;
    BatchResultIndex heightBatchIndex;
    int currentHeightBatchState = 0;
    bool heightLoading = false;
    int pendingHeightIndex = -1;
    // Out-of-plane computation, per state and per tile.
    enum class OutOfPlaneStep { Done, Skipped, Cancelled };
    void onComputeOutOfPlaneBatch();
    void runOutOfPlaneStates(int stateCount);
    OutOfPlaneStep computeOutOfPlaneState(int s, int N, const std::vector<float>& h0, int width, int height,
                                          const HeightMosaicCanvas& canvas, const QString& folder);
    static QString dimensionMismatchText(int s, int w0, int h0, int w1, int h1);
    bool resultHasDisplacement(int index) const;
    std::optional<PixelDisplacementResult> displacementForHeights(int r, int s, int N) const;
    void fillHeightEntry(int index, HeightEngineResult& engine, int width, int height);
    bool saveHeightResult(const QString& path, const HeightCacheEntry& entry, int gridWidth, int gridHeight,
                          const HeightGridPlacement& placement);
    void endOutOfPlane();
    void advanceHeightProgress(int steps);

public:
    struct HeightTilePair {
        QString referenceHeight;
        QString deformedHeight;
        QString uxPath;
        QString uyPath;
        QString referenceIntensity;
        QString deformedIntensity;
        int32_t tileIndex = 0;
        int32_t stateIndex = 0;
        QString baseName;
    };

private:
    QList<HeightTilePair> heightTilePairs();
    std::optional<bool> computeHeightTilePair(const HeightTilePair& pair, int k, int P, const QString& folder);
    void showBatchHeightResults(const QList<HeightTilePair>& pairs);

    // Result pages, height-map panel and their tool wiring ---------------------
    void buildInputImagesPage();
    void buildDisplacementsPage();
    void buildStrainPage();
    void buildFracturePage();
    void buildHeightPage();
    void buildHeightMapPanel();
    void connectResultViewTools();
    void connectDisplacementViewControls();
    void connectStrainPageControls();
    void connectFracturePageControls();
    void connectHeightMapControls();
    void onReferenceSyncToggled(bool checked);
    void onDeformedSyncToggled(bool checked);
    void onUxSyncToggled(bool on);
    void onUySyncToggled(bool on);
    void onSaveFullImageToggled();
    void onFractureMinJumpChanged(int value);
    void onHeightSaveFullImageToggled();
    // Every autosave trigger of the window goes through here.
    void autosaveParameters();

    // Frame widgets and objects -------------------------------------------------
    QWidget* leftColumn = nullptr;
    QScrollArea* controlScrollArea = nullptr;
    QWidget* controlContent = nullptr;
    QStackedWidget* controlStack = nullptr;
    QWidget* inputsPage = nullptr;
    QWidget* strainsPage = nullptr;
    QWidget* heightsPage = nullptr;
    QTabWidget* mainTabs = nullptr;
    QMenu* helpMenu = nullptr;
    QToolButton* helpButton = nullptr;
    QStackedWidget* actionStack = nullptr;
    QPushButton* computeButton = nullptr;
    QPushButton* stopButton = nullptr;
    QPushButton* computeStrainsButton = nullptr;
    QPushButton* computeOutOfPlaneButton = nullptr;
    QProgressBar* progressBar = nullptr;
    ElidedLabel* statusLabel = nullptr;
    QLabel* timingLabel = nullptr;
    QLabel* rigidShiftLabel = nullptr;
    VisibleWhenEnabledFilter* stopVisibilityFilter = nullptr;
    WheelEventFilter* wheelFilter = nullptr;
    QThread* workerThread = nullptr;
    // No Qt parent: it lives in workerThread and is deleted there when the
    // thread finishes; QPointer turns null once it is gone.
    QPointer<ComputeWorker> worker;
    QFutureWatcher<StitchingResult>* stitchWatcher = nullptr;
    QTimer* computeTimer = nullptr;
    bool projectLoading = false;
    // Background loads and the running mosaic assembly poll these. The window
    // does not wait for its pool tasks when it closes, so each task holds a
    // share of its flag and owns (or shares) everything else it touches.
    std::shared_ptr<std::atomic<bool>> loadCancelFlag = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<std::atomic<bool>> stitchingCancelFlag = std::make_shared<std::atomic<bool>>(false);

    // Result pages, built empty here and filled by the page builders; only the
    // input page is a tab from the start.
    QWidget* inputImagesPage = nullptr;
    QWidget* displacementsPage = nullptr;
    QWidget* strainResultPage = nullptr;
    QWidget* fractureResultPage = nullptr;
    QWidget* heightResultPage = nullptr;

    // Widgets of the panels and pages that the frame's handlers touch when they
    // exist.
    QComboBox* computationModeCombo = nullptr;
    ImageViewWidget* referenceView = nullptr;
    ImageViewWidget* deformedView = nullptr;
    ImageViewWidget* uxView = nullptr;
    ImageViewWidget* uyView = nullptr;
    ImageViewWidget* strainView = nullptr;
    ImageViewWidget* fractureView = nullptr;
    ImageViewWidget* heightView = nullptr;
    std::array<QLabel*, 2> displacementValueLabels{};
    QLabel* strainValueLabel = nullptr;
    QComboBox* strainComponentCombo = nullptr;
    QLabel* fractureValueLabel = nullptr;
    QComboBox* fractureParameterCombo = nullptr;
    QLabel* heightValueLabel = nullptr;

    // The result the views show: its records, ranges and display state
    // (displacements in shownDisplacements), with the range locks that
    // "Apply to all" sets.
    ComputationResult current;
    std::array<bool, 2> displacementAppliedToAll{};
    std::array<bool, kFractureRangeCount> fractureAppliedToAll{};
    std::map<std::string, std::pair<float, float>> criterionAutoRange;
    // Crack lines of the shown fracture record (built once per record), the
    // derived map on display and the derived maps' ranges.
    CrackLineSet crackLines;
    std::weak_ptr<FractureResult> crackLinesOwner;
    std::vector<float> preparedFractureField;
    int preparedFractureId = -1;
    struct DerivedRange {
        float dataMin = 0, dataMax = 0, autoLow = 0, autoHigh = 0, low = 0, high = 0;
        bool manual = false;
    };
    std::array<DerivedRange, kFractureRangeCount> derivedRanges{};
    // The derived map of `map` prepared for display, with the derived ranges; false when the raw map is shown.
    bool prepareDerivedFractureMap(int map);
    // The range of the derived map on show, or null when the raw map (or a flat reading) is shown.
    DerivedRange* shownDerivedRange(int map);
    std::pair<float, float> shownFractureRange(int map);
    // Where the computed grid sits on the images the result views show.
    QPoint resultPlacementOffset;
    QList<int> resultMemoryUse;
    bool resultLoading = false;
    int pendingResultIndex = -1;
    bool resultRangesChanged = false;
    bool deferredFitPending = false;
    bool fitDisplacementViewsRequested = false;
    bool fitStrainViewRequested = false;

    // Computation run: one request with the worker at a time, chained by its signals.
    bool computeStartGuard = false;
    int32_t runImageIndex = 0;
    int32_t batchIndex = 0;
    bool fractureMode = false;
    QWidget* rememberedResultTab = nullptr;
    bool resultsShownBeforeRun = false;
    bool resultTabRestored = false;
    // Started by every run and long task: its last status ends with the time it took.
    QElapsedTimer runTimer;
    QString withTotalTime(const QString& status) const;
    // The run timer's reading when the image being computed was posted.
    int64_t runImageStartMs = 0;
    // Stop between two requests: the worker clears its own flag at the next one.
    bool runStopRequested = false;
    // The base names the run's results are written under, one per deformed state.
    QStringList runNames;
    // The inputs a run started with: its requests read these, never the window's lists.
    std::vector<LoadedImage> runImages;
    ComputationRequest runRequest;
    void takeRunInputs();
    // Close was confirmed during a task: the window closes once the task ends.
    bool quitAfterStop = false;
    // The geometry of the run's grid, and the one kept with the result shown.
    ResultGeometry runGeometry;
    ResultGeometry shownResultGeometry;
    // Result files are written here, and waited for before anything could
    // remove, replace or race them.
    QThreadPool* resultWriters = nullptr;
    int pendingResultWrites = 0;
    QStringList resultWriteFailures;

    // Values other subsystems read from the start --------------------------------
    double fractureOpeningMin = 0.1;
    int32_t fractureRidgeThickness = 5;
    int32_t resultStepX = 8;
    int32_t resultStepY = 8;
    float referenceDisplayMin = 0.0f;
    float referenceDisplayMax = 255.0f;
    float deformedDisplayMin = 0.0f;
    float deformedDisplayMax = 255.0f;
    bool referenceDisplayRangeSet = false;
    bool inputViewsLinked = true;
    bool displacementViewsLinked = true;
    bool strainSettingsChanged = true;
    int32_t enlargedTileIndex = -1;
    // Read-outs of images that are not in memory read one small strip of the
    // file and reuse it while the cursor stays inside.
    struct PixelReadCache {
        QString path;
        QSize fullSize;
        QRect region;
        QImage strip;
        bool failed = false;
    };
    mutable PixelReadCache pixelReadCache;
    int32_t shownResultIndex = -1;
    int32_t shownHeightIndex = -1;
    int32_t renderedFractureField = -1;
    bool heightSizeDiffers = true;
    double uxImageScale = 1.0;
    double uyImageScale = 1.0;
    double strainImageScale = 1.0;
    double fractureImageScale = 1.0;
    double heightPreviewScale = 1.0;
    StrainSettings strainSettings;

    LoadedImage referenceImage;
    std::vector<LoadedImage> deformedImages;
    int shownDeformedIndex = 0;
    std::shared_ptr<const PixelDisplacementResult> shownDisplacements;

    std::vector<NamedKernel> derivativeKernels;
    std::vector<NamedKernel> smoothingKernels;
    // The user's own library, saved in user_defaults.json: an opened
    // project's lists replace the window's, never these.
    std::vector<NamedKernel> userDerivativeKernels;
    std::vector<NamedKernel> userSmoothingKernels;
    std::vector<StrainCriterion> userCriteria;
    int selectedDerivativeKernel = 0;
    int selectedSmoothingKernel = 0;

    QStringList referenceHeightPaths;
    // Owns the per-state lists; the names below are its lists under their older names.
    DeformedStates deformedStates;
    QList<QStringList>& deformedHeightStates = deformedStates.heights;
    int currentDeformedHeightState = 0;
    QList<QPushButton*> heightStateButtons;
    bool outOfPlaneStale = false;
    int currentHeightTileIndex = 0;
    std::vector<float> shownHeightValues;

    // Input images page
    QGroupBox* inputViewsGroup = nullptr;
    QToolButton* referenceFitButton = nullptr;
    QToolButton* referenceOneToOneButton = nullptr;
    QToolButton* referenceSyncButton = nullptr;
    QToolButton* maskOverlayButton = nullptr;
    QLabel* deformedTitleLabel = nullptr;
    QPushButton* deformedPrevButton = nullptr;
    QSlider* deformedSlider = nullptr;
    QPushButton* deformedNextButton = nullptr;
    QToolButton* deformedFitButton = nullptr;
    QToolButton* deformedOneToOneButton = nullptr;
    QToolButton* deformedSyncButton = nullptr;
    QLabel* referenceMinMaxLabel = nullptr;
    QLabel* deformedMinMaxLabel = nullptr;
    Switch* referenceLogSwitch = nullptr;
    Switch* deformedLogSwitch = nullptr;
    ContrastHistogramWidget* referenceHistogram = nullptr;
    ContrastHistogramWidget* deformedHistogram = nullptr;
    QToolButton* referenceCropButton = nullptr;
    QToolButton* deformedCropButton = nullptr;
    QToolButton* referenceResetButton = nullptr;
    QToolButton* deformedResetButton = nullptr;
    QToolButton* deformedApplyAllButton = nullptr;
    QLabel* referencePixelLabel = nullptr;
    QLabel* deformedPixelLabel = nullptr;
    TileNavigator inputTileNavigator;

    // Displacements page
    QLabel* displacementStepLabel = nullptr;
    QPushButton* displacementPrevButton = nullptr;
    QSlider* displacementSlider = nullptr;
    QPushButton* displacementNextButton = nullptr;
    QToolButton* uxMarkersButton = nullptr;
    QToolButton* uyMarkersButton = nullptr;
    QToolButton* uxFitButton = nullptr;
    QToolButton* uxOneToOneButton = nullptr;
    QToolButton* uyFitButton = nullptr;
    QToolButton* uyOneToOneButton = nullptr;
    QToolButton* uxSyncButton = nullptr;
    QToolButton* exportDisplacementsButton = nullptr;
    QToolButton* uySyncButton = nullptr;
    std::array<QLabel*, 2> displacementMinMaxLabels{};
    std::array<Switch*, 2> displacementLogSwitches{};
    std::array<ContrastHistogramWidget*, 2> displacementHistograms{};
    std::array<QToolButton*, 2> displacementAutoButtons{};
    std::array<QToolButton*, 2> displacementCropButtons{};
    std::array<QToolButton*, 2> displacementResetButtons{};
    std::array<QToolButton*, 2> displacementApplyAllButtons{};
    TileNavigator displacementTileNavigator;

    // Strains page
    static const std::array<const char*, 6> strainComponentNames;
    QLabel* strainStepLabel = nullptr;
    QPushButton* strainPrevButton = nullptr;
    QSlider* strainSlider = nullptr;
    QPushButton* strainNextButton = nullptr;
    QToolButton* strainMarkersButton = nullptr;
    QToolButton* strainFitButton = nullptr;
    QToolButton* strainOneToOneButton = nullptr;
    TileNavigator strainTileNavigator;
    QLabel* strainRangeLabel = nullptr;
    Switch* strainLogSwitch = nullptr;
    ContrastHistogramWidget* strainHistogram = nullptr;
    QToolButton* strainAutoButton = nullptr;
    QToolButton* strainCropButton = nullptr;
    QToolButton* strainResetButton = nullptr;
    QToolButton* strainApplyAllButton = nullptr;

    // Fracture page
    QWidget* fractureMinJumpRow = nullptr;
    QSlider* fractureMinJumpSlider = nullptr;
    QLabel* fractureJumpValueLabel = nullptr;
    QToolButton* fractureSaveAllButton = nullptr;
    QSpinBox* fractureLineWidthSpin = nullptr;
    QLabel* fractureStepLabel = nullptr;
    QPushButton* fracturePrevButton = nullptr;
    QSlider* fractureSlider = nullptr;
    QPushButton* fractureNextButton = nullptr;
    QToolButton* fractureFitButton = nullptr;
    QToolButton* fractureOneToOneButton = nullptr;
    TileNavigator fractureTileNavigator;
    QLabel* fractureRangeLabel = nullptr;
    Switch* fractureLogSwitch = nullptr;
    ContrastHistogramWidget* fractureHistogram = nullptr;
    QToolButton* fractureAutoButton = nullptr;
    QToolButton* fractureCropButton = nullptr;
    QToolButton* fractureResetButton = nullptr;
    QToolButton* fractureApplyAllButton = nullptr;

    // 3D Maps page
    QLabel* heightStepLabel = nullptr;
    QPushButton* heightPrevButton = nullptr;
    QSlider* heightSlider = nullptr;
    QPushButton* heightNextButton = nullptr;
    QToolButton* heightMarkersButton = nullptr;
    QToolButton* heightFitButton = nullptr;
    QToolButton* heightOneToOneButton = nullptr;
    TileNavigator heightTileNavigator;
    QLabel* heightRangeLabel = nullptr;
    Switch* heightLogSwitch = nullptr;
    ContrastHistogramWidget* heightHistogram = nullptr;
    QToolButton* heightAutoButton = nullptr;
    QToolButton* heightCropButton = nullptr;
    QToolButton* heightResetButton = nullptr;
    // Grid of shownHeightValues, for the detail tile.
    int shownHeightGridWidth = 0;
    int shownHeightGridHeight = 0;

    // Height-map panel
public:
    using HeightTileBlock = TileListBlock;

private:
    QGroupBox* heightMapsGroup = nullptr;
    QLabel* heightModeHintLabel = nullptr;
    QWidget* heightSingleContainer = nullptr;
    QButtonGroup* heightSegmentGroup = nullptr;
    QStackedWidget* heightSingleStack = nullptr;
    QLineEdit* heightRefFileEdit = nullptr;
    QPushButton* heightRefAddButton = nullptr;
    QPushButton* heightRefRemoveButton = nullptr;
    QLabel* heightDefEmptyLabel = nullptr;
    QListWidget* heightDefFileList = nullptr;
    QPushButton* heightDefAddButton = nullptr;
    QPushButton* heightDefRemoveButton = nullptr;
    QPushButton* heightDefClearButton = nullptr;
    QPushButton* heightDefUpButton = nullptr;
    QPushButton* heightDefDownButton = nullptr;
    QLabel* heightFileCountLabel = nullptr;
    QWidget* heightMosaicContainer = nullptr;
    // The state tabs' scroll area and the arrows that page through the tabs
    // it cannot show whole; the strip holds the three.
    QWidget* heightTabStrip = nullptr;
    QScrollArea* heightTabScroll = nullptr;
    QToolButton* heightTabPrevButton = nullptr;
    QToolButton* heightTabNextButton = nullptr;
    int heightTabFirstShown = 0;
    // The checked tab is kept in view until the arrows page away from it.
    bool heightTabsFollowChecked = true;
    QButtonGroup* heightTabGroup = nullptr;
    QHBoxLayout* heightTabRowLayout = nullptr;
    QPushButton* heightAddStateButton = nullptr;
    QPushButton* heightDeleteStateButton = nullptr;
    HeightTileBlock heightRefTiles;
    HeightTileBlock heightDefTiles;
    QLabel* heightSummaryLabel = nullptr;
    QPushButton* heightAssembleButton = nullptr;
    QCheckBox* heightSaveFullImageCheck = nullptr;

    // Result view tool wiring
    // How many autosaves the triggers have asked for; the tests count them.
    int autosaveRequests = 0;

    // Action wiring and autosave triggers ---------------------------------------
    friend struct MainWidgetWiringTestAccess;
    void connectActionControls();
    void connectAutosaveTriggers();
    void onReferenceRoiChanged(const QRect& roi);
    // Set while the ROI boxes apply their values to the reference view: the
    // view's echo is no new ROI, and the boxes save it themselves.
    bool roiFromSpinBoxes = false;
    // Set while the left button is held in the reference view, so that a ROI
    // being drawn is saved once, when it is let go.
    bool roiDragInProgress = false;

    // Control-column panels ---------------------------------------------------
    friend struct MainWidgetPanelsTestAccess;
    void buildProjectAndInputPanel();
    void buildMosaicPanel(QVBoxLayout* pageLayout);
    void buildParametersPanel();
    void buildGpuPanel();
    void buildStrainPanels();
    void wirePanelsToPages();
    void onSelectReference();
    void onClearReference();
    void onAddDeformed();
    void onRemoveDeformed();
    void onClearAllDeformed();
    void onMoveUpDeformed();
    void onMoveDownDeformed();
    void onDeformedSelectionChanged(int row);
    void updateDeformedList();
    void onPrevDeformed();
    void onNextDeformed();
    void onDeformedSliderChanged(int value);
    void onSelectMask();
    void onClearMask();
    void updateImageCountLabel(int count);
    void onMaskUseToggled(bool checked);
    void onDeformedRowsMoved(int first, int last, int destination);
    void makeWindowSizeOdd(QSpinBox* box);
    void updateCrackOptionsForMode(int index);
    QSpinBox* createSearchAreaSpinBox();
    QFrame* createSeparatorLine();
    void applyGpuSelection(int index);
    void onKernelToggled(bool derivative, int id, bool checked);
    // Runs a slot a panel control reaches, telling the test seam its name first.
    template <typename Call>
    void reach(const char* slot, Call&& call) {
        if (slotObserver)
            slotObserver(slot);
        call();
    }
    std::function<void(const char*)> slotObserver;

    // Project block and INPUT IMAGES
    QGroupBox* projectGroup = nullptr;
    QLineEdit* projectPathEdit = nullptr;
    QPushButton* selectProjectFolderButton = nullptr;
    QPushButton* loadProjectButton = nullptr;
    QString projectFolderPath;
    bool projectPathEdited = false;
    // What autosave writes into: only a folder that was applied, never the
    // text being typed.
    QString appliedProjectFolder;
    bool autosaveSuppressed = false;
    int32_t busyCounter = 0;
    bool computationRunning = false;
    bool runInProgress = false;
    // Project-file values without a control of their own.
    std::vector<ComputationResult> results;
    // The results of the mosaic assembly not chosen (per-tile results while
    // Stitch & Correlate is chosen, or the reverse): each is read through its
    // own names only, and comes back when its assembly is chosen again.
    std::vector<ComputationResult> otherAssemblyResults;
    // The height ranges of that assembly, which number tiles where this one numbers states (or the reverse).
    std::vector<HeightRangeEntry> otherAssemblyHeightRanges;
    std::vector<HeightRangeEntry> heightResultRanges;
    QRect tileCrop;
    std::optional<QSize> mosaicFinalSize;
    QList<stitching::TilePosition> referenceTilePositions;
    QList<stitching::TilePosition> deformedTilePositions;
    // One entry per deformed state (empty for a state without an assembled mosaic).
    QList<QList<stitching::TilePosition>> deformedTilePositionsStates;
    // Assembled mosaics live in referenceImage and deformedImages; these say
    // which deformed state each entry of deformedImages is and what it is named.
    std::map<int, int>& mosaicStateImageIndex = deformedStates.mosaicOf;
    QStringList mosaicDeformedNames;
    bool stitchingInProgress = false;
    // Set while "Compute displacements" assembles the mosaics it will correlate:
    // whether old results make way once they are.
    std::optional<bool> correlateAfterAssembly;
    QString mosaicRefinementSummary;
    // Taken when an assembly starts, and kept once it succeeds: the computation
    // start compares the controls with the assembled one.
    std::optional<MosaicConfiguration> pendingMosaicConfig;
    std::optional<MosaicConfiguration> assembledMosaicConfig;
    QGroupBox* inputImagesGroup = nullptr;
    Switch* mosaicSwitch = nullptr;
    QWidget* singleImagePage = nullptr;
    QPushButton* referenceSegmentButton = nullptr;
    QPushButton* deformedSegmentButton = nullptr;
    QButtonGroup* inputSegmentGroup = nullptr;
    QWidget* referencePage = nullptr;
    QLineEdit* referencePathEdit = nullptr;
    QPushButton* selectReferenceButton = nullptr;
    QPushButton* clearReferenceButton = nullptr;
    QWidget* deformedPage = nullptr;
    QLabel* deformedHintLabel = nullptr;
    QListWidget* deformedList = nullptr;
    QPushButton* addDeformedButton = nullptr;
    QPushButton* removeDeformedButton = nullptr;
    QPushButton* moveUpDeformedButton = nullptr;
    QPushButton* moveDownDeformedButton = nullptr;
    QPushButton* clearDeformedButton = nullptr;
    QLabel* deformedCountLabel = nullptr;
    QWidget* mosaicPage = nullptr;
    QWidget* maskBlock = nullptr;
    QCheckBox* useMaskCheck = nullptr;
    QWidget* maskFieldBlock = nullptr;
    QLineEdit* maskPathEdit = nullptr;
    QPushButton* selectMaskButton = nullptr;
    QPushButton* clearMaskButton = nullptr;
    QWidget* alignMosaicRow = nullptr;
    QPushButton* alignMosaicButton = nullptr;
    QWidget* alignMosaicBlock = nullptr;
    QCheckBox* nonRigidRefinementCheck = nullptr;
    // Inputs of the opened project that could not be read: written back with
    // the project, so that a drive that is away for a while loses nothing.
    struct CarriedDeformed {
        int storedIndex = 0;
        QString path;
        std::optional<ResultRangeEntry> cache;
    };
    QString carriedReferencePath;
    QString carriedMaskPath;
    std::vector<CarriedDeformed> carriedDeformed;
    QImage maskImage;
    QString maskPath;
    bool maskActive = false;
    // Start folder of the image prompts: where the last image was chosen.
    QString lastImageFolder;
    QLabel* roiLabel = nullptr;
    QWidget* deformedNavigationRow = nullptr;
    QWidget* referenceNavigationFiller = nullptr;
    bool deformedDisplayRangeSet = false;
    // The user's window and step, kept aside while the neural model forces its own.
    std::array<int, 4> savedWindowSettings{};
    bool windowSettingsSaved = false;
    bool saveBoxAfterRelease = false;
    bool perTileMode = false;
    int previewTileIndex = 0;

    // Mosaic panel
    QScrollArea* mosaicTabScrollArea = nullptr;
    QWidget* mosaicTabRow = nullptr;
    QHBoxLayout* mosaicTabRowLayout = nullptr;
    QButtonGroup* mosaicStateGroup = nullptr;
    QPushButton* mosaicReferenceTabButton = nullptr;
    QList<QPushButton*> mosaicDefStateButtons;
    QPushButton* mosaicAddStateButton = nullptr;
    QPushButton* mosaicDeleteStateButton = nullptr;
    QStringList mosaicRefTilePaths;
    QList<QStringList>& mosaicDefTilePaths = deformedStates.tiles;
    int currentMosaicDefState = 0;
    QWidget* mosaicRefTilesBlock = nullptr;
    QLabel* mosaicRefPlaceholder = nullptr;
    QListWidget* mosaicRefTileList = nullptr;
    QPushButton* mosaicRefAddButton = nullptr;
    QPushButton* mosaicRefRemoveButton = nullptr;
    QPushButton* mosaicRefMoveUpButton = nullptr;
    QPushButton* mosaicRefMoveDownButton = nullptr;
    QPushButton* mosaicRefClearButton = nullptr;
    QLabel* mosaicRefCountLabel = nullptr;
    QWidget* mosaicDefTilesBlock = nullptr;
    QLabel* mosaicDefPlaceholder = nullptr;
    QListWidget* mosaicDefTileList = nullptr;
    QPushButton* mosaicDefAddButton = nullptr;
    QPushButton* mosaicDefRemoveButton = nullptr;
    QPushButton* mosaicDefMoveUpButton = nullptr;
    QPushButton* mosaicDefMoveDownButton = nullptr;
    QPushButton* mosaicDefClearButton = nullptr;
    QLabel* mosaicDefCountLabel = nullptr;
    QPushButton* cropTilesButton = nullptr;
    QLabel* cropTilesLabel = nullptr;
    QRadioButton* stitchAndCorrelateRadio = nullptr;
    QRadioButton* perTileRadio = nullptr;
    QWidget* gridGeometryBlock = nullptr;
    QVBoxLayout* gridGeometryLayout = nullptr;
    QComboBox* scanOrderCombo = nullptr;
    QSpinBox* gridRowsSpin = nullptr;
    QSpinBox* gridColsSpin = nullptr;
    QSpinBox* overlapXSpin = nullptr;
    QSpinBox* overlapYSpin = nullptr;
    QCheckBox* phaseCorrelationCheck = nullptr;
    QCheckBox* missingTilesCheck = nullptr;
    QLineEdit* missingPositionsEdit = nullptr;

    // PARAMETERS
    QGroupBox* parametersGroup = nullptr;
    QWidget* roiBlock = nullptr;
    QSpinBox* roiXSpin = nullptr;
    QSpinBox* roiYSpin = nullptr;
    QSpinBox* roiWidthSpin = nullptr;
    QSpinBox* roiHeightSpin = nullptr;
    QCheckBox* saveFullImageCheck = nullptr;
    QSpinBox* windowSizeXSpin = nullptr;
    QSpinBox* windowSizeYSpin = nullptr;
    QSpinBox* spacingXSpin = nullptr;
    QSpinBox* spacingYSpin = nullptr;
    QSpinBox* searchUpSpin = nullptr;
    QSpinBox* searchDownSpin = nullptr;
    QSpinBox* searchLeftSpin = nullptr;
    QSpinBox* searchRightSpin = nullptr;
    QComboBox* interpolationCombo = nullptr;
    ScientificDoubleSpinBox* toleranceSpin = nullptr;
    QSpinBox* maxIterationsSpin = nullptr;
    QLabel* maxJumpInitLabel = nullptr;
    QSpinBox* maxJumpInitSpin = nullptr;
    QCheckBox* twinningCheck = nullptr;
    QCheckBox* q4ProjectionCheck = nullptr;
    QSpinBox* q4PassesSpin = nullptr;
    QDoubleSpinBox* q4ThresholdSpin = nullptr;
    QCheckBox* nlcFilterCheck = nullptr;

    // GPU, GRADIENT COMPUTATION and STRAIN CRITERIA
    QGroupBox* gpuGroup = nullptr;
    QComboBox* gpuDeviceCombo = nullptr;
    QGroupBox* gradientGroup = nullptr;
    QWidget* kernelListsWidget = nullptr;
    QWidget* derivativeKernelRows = nullptr;
    QWidget* smoothingKernelRows = nullptr;
    QPushButton* addDerivativeKernelButton = nullptr;
    QPushButton* addSmoothingKernelButton = nullptr;
    QButtonGroup* derivativeKernelGroup = nullptr;
    QButtonGroup* smoothingKernelGroup = nullptr;
    QLabel* kernelPreviewLabel = nullptr;
    KernelPreviewWidget* kernelPreview = nullptr;
    QGroupBox* strainCriteriaGroup = nullptr;
    QVBoxLayout* criteriaRowsLayout = nullptr;
    QPushButton* newCriterionButton = nullptr;
    QPushButton* computeCriteriaButton = nullptr;

    // Height files from the panel's "+" buttons or dropped onto it; the drop
    // is taken only while the height panel is shown.
    void addHeightReferenceFiles(QStringList files);
    void addHeightDeformedFiles(QStringList files);
    bool dropOnHeightPanel(const QStringList& files);
    // Display ranges are part of the project: saved on every change, once per
    // drag of `histogram` (when it is let go).
    void saveRangeChange(const ContrastHistogramWidget* histogram = nullptr);
    // The result tab keeps room for its maps; the control column takes what
    // is left and scrolls sideways when that is less than its panels need.
    static constexpr int kNarrowestControlColumn = 200;
    void fitColumnsToCurrentTab();
    // The smallest window's column is narrower than its panels' natural rows: forms put a field under its
    // label and lists of choices shorten their text, so that the column never scrolls sideways.
    void letPanelRowsNarrow();
    // Help's width and its gap at the right end of the result tab bar.
    int helpButtonRoom() const;
    enum class RenderSlot { Ux, Uy, Strain };
    ResultImage cachedResultImage(RenderSlot slot, const std::vector<float>& field, int width, int height, float low,
                                  float high, int component = -1);
    friend struct MainWidgetDisplayTestAccess;
};

}  // namespace tavro::gui
