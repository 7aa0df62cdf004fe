#include "window_model.h"

#include "gui/mainwindow/main_widget.h"
#include "gui/project/result_files.h"
#include "gui/style/switch_widget.h"
#include "images/image_io.h"
#include "images/image_write.h"
#include "window_session.h"

#include <QButtonGroup>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSlider>
#include <QSpinBox>
#include <QComboBox>
#include <QCryptographicHash>
#include <QTabWidget>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <sstream>

namespace tavro::gui {

using model::kTile;
using model::riseOf;
using model::shiftOf;

namespace {

// Fields hold a translation within a few thousandths of a pixel away from the borders; the shifts of two ids differ
// by 0.3 px at least.
constexpr double kShiftTolerance = 0.1;
constexpr float kRiseTolerance = 1e-3f;
constexpr int kSceneWidth = 162;
constexpr int kTileStep = 64;

// Each id cuts its second tile one column left of, at or right of the reference's, so that states are placed
// differently and a mosaic composed with another state's placement shows it.
int cutOffset(int id) { return id % 3 - 1; }

// The reference scene and its moved copies, each rendered once per process.
const QImage& scene(int id) {
    static std::map<int, QImage> scenes;
    auto found = scenes.find(id);
    if (found != scenes.end())
        return found->second;
    // Whole-pixel moves are exact copies, so that their fields are exactly zero, as a camera's would be.
    const QPointF shift = shiftOf(id);
    if (id != 0 && shift == shift.toPoint()) {
        const QImage& reference = scene(0);
        QImage moved = reference;
        const int dx = shift.toPoint().x(), dy = shift.toPoint().y();
        for (int y = 0; y < moved.height(); ++y)
            for (int x = 0; x < moved.width(); ++x)
                moved.scanLine(y)[x] = reference.constScanLine(std::clamp(y - dy, 0, moved.height() - 1))
                                                              [std::clamp(x - dx, 0, moved.width() - 1)];
        return scenes.emplace(id, moved).first->second;
    }
    testing::SpeckleOptions options;
    options.width = kSceneWidth;
    options.height = kTile;
    options.supersampling = 2;
    const testing::ImagePair pair = testing::makeFourierShiftedPair(options, shift.x(), shift.y());
    return scenes.emplace(id, session::toImage(id == 0 ? pair.reference : pair.deformed)).first->second;
}

QImage tileOf(int id, int column) {
    return scene(id).copy(column * (kTileStep + (id == 0 ? 0 : cutOffset(id))), 0, kTile, kTile);
}
QImage singleImageOf(int id) { return scene(id).copy((kSceneWidth - kTile) / 2, 0, kTile, kTile); }

std::optional<double> median(std::vector<float> values) {
    std::erase_if(values, [](float v) { return !std::isfinite(v); });
    if (values.empty())
        return std::nullopt;
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

std::optional<double> fileMedian(const QString& path) {
    if (!QFileInfo::exists(path))
        return std::nullopt;
    std::uint32_t width = 0, height = 0;
    std::vector<float> values;
    QString error;
    if (!readFloatTiff(path, width, height, values, error))
        return std::nullopt;
    return median(std::move(values));
}

QString baseOf(const QString& path) { return QFileInfo(path).completeBaseName(); }

std::string str(const QString& text) { return text.toStdString(); }

}  // namespace

namespace model {

QString hostileImageName(int choice) {
    // "load" and "load_max" drawn more often: one's map taken for the other's needs both held, a run, strains and a
    // removal.
    static const char* const names[] = {"state_001", "load", "load_max", "Load", "mosaic_state_2_t0", "load_max"};
    return QString::fromLatin1(names[std::size_t(choice) % std::size(names)]);
}

QString hostileTileStem(int choice, int state) {
    switch (choice % 6) {
    case 0: return QStringLiteral("state_%1").arg(state + 1, 3, 10, QLatin1Char('0'));
    case 1: return QStringLiteral("state_%1").arg(state + 2, 3, 10, QLatin1Char('0'));
    case 2: return QStringLiteral("mosaic_state_%1").arg(state + 1);
    case 3: return QStringLiteral("mosaic_state_%1").arg(state + 2);
    case 4: return QStringLiteral("State_%1").arg(state + 1, 3, 10, QLatin1Char('0'));
    default: return QStringLiteral("state_%1").arg(std::max(1, state), 3, 10, QLatin1Char('0'));
    }
}

const std::vector<ActionKind>& singleImageActions() {
    static const std::vector<ActionKind> kinds{
        {"Add", 6, 1, kIds},      {"Remove", 2, 1, 4},       {"Up", 2, 1, 4},          {"Down", 2, 1, 4},
        {"Clear", 1},             {"Reference", 1},          {"Height", 4, 1, kIds},   {"DropHeight", 1, 1, 4},
        {"DragHeight", 1, 2, 4},  {"Compute", 4},            {"Strains", 2},           {"OutOfPlane", 3},
        {"ShowResult", 2, 1, 4},  {"ShowHeight", 2, 1, 4},   {"Reopen", 3},            {"DeleteOld", 1},
        {"Busy", 2, 1, 4},        {"Page", 2, 1, 5},         {"Reset", 1},
        {"AddNamed", 4, 2, kIds}, {"AddHeights", 1, 2, kIds}, {"ClearHeights", 1},
    };
    return kinds;
}

const std::vector<ActionKind>& mosaicActions() {
    static const std::vector<ActionKind> kinds{
        {"AddState", 4},          {"Select", 2, 1, 4},      {"Tiles", 5, 1, kIds},    {"Empty", 1},
        {"Delete", 2, 1, 4},      {"Align", 3},             {"PerTile", 2},           {"Stitch", 1},
        {"Compute", 4},           {"Height", 3, 1, kIds},   {"OutOfPlane", 2},        {"DropMosaic", 1, 1, 3},
        {"ClickRef", 1, 1, 2},    {"ClickDef", 1, 1, 2},    {"EnlargeRef", 1, 1, 2},  {"EnlargeDef", 1, 1, 2},
        {"ClickView", 1},         {"Contrast", 1, 1, 2},
        {"ShowResult", 1, 1, 4},  {"ShowTile", 1, 1, 2},    {"Reopen", 3},            {"Strains", 1},
        {"Busy", 2, 1, 4},        {"Page", 2, 1, 5},        {"Reset", 1},
        {"TilesNamed", 3, 2, kIds}, {"TileUp", 1, 1, 4},    {"TileDown", 1, 1, 4},
    };
    return kinds;
}

}  // namespace model

struct WindowModelAccess {
    // One deformed image or height file of the single-image mode.
    struct Input {
        int serial = 0;
        int id = 0;
        QString path;
    };
    // One deformed state of the mosaic mode; `fill` names the tiles it holds (0: none).
    struct State {
        int fill = 0;
        int id = 0;
        int heightFill = 0;
        int heightId = 0;
        // The tile files in the order the window lists them.
        QStringList tiles;
        // The tiles of an emptied state, whose results may stay until it is refilled.
        int former = 0;
        QStringList formerTiles;
    };
    // What the window showed before it closed, to be shown again after reopening.
    struct Snapshot {
        QStringList names;
        std::vector<std::pair<bool, QPointF>> rigid;
        std::map<int, QImage> mosaics;
    };

    WindowTestSession s;
    bool mosaic = false;
    int serial = 0;
    std::vector<Input> images;
    std::vector<Input> heights;
    // Base names of images taken out, whose files go with them.
    QStringList removed;
    std::vector<State> states{State{}};
    // The u_z an input was computed with, by image serial (single) or state fill (mosaic).
    std::map<int, float> uz;
    std::map<int, QImage> assembled;
    QStringList refTiles;
    QStringList criterionSlugs;
    // The result files each input's results wrote, by owner key and "folder|role|suffix", with their content.
    std::map<int, std::map<QString, QByteArray>> recorded;
    // Owners whose files in a folder ("*": all) the action played may remove.
    std::set<std::pair<int, QString>> mayRemove;
    std::set<std::pair<int, bool>> scrambled;
    std::string failure;
    std::ostringstream played;

    MainWidget& w() { return s.w(); }

    static std::string names(const QStringList& paths) {
        QStringList files;
        for (const QString& path : paths)
            files << QFileInfo(path).fileName();
        return str(files.join(QLatin1Char(',')));
    }
    static std::string names(const std::vector<Input>& inputs) {
        QStringList paths;
        for (const Input& input : inputs)
            paths << input.path;
        return names(paths);
    }

    QString write(const QString& name, const QImage& image) {
        const QString path = s.folder + QStringLiteral("/inputs/") + name;
        QDir().mkpath(QFileInfo(path).absolutePath());
        EXPECT_TRUE(session::writeImage(path, image)) << str(path);
        return path;
    }

    QString writeHeight(const QString& name, float value) {
        const QString path = s.folder + QStringLiteral("/heights/") + name;
        QDir().mkpath(s.folder + QStringLiteral("/heights"));
        QString error;
        EXPECT_TRUE(writeFloatTiff(path, kTile, kTile, std::vector<float>(std::size_t(kTile) * kTile, value), error, {}))
            << str(error);
        return path;
    }

    void fail(const std::string& tag, const std::string& details) {
        const std::string& ignored = model::ignoredChecks();
        if (("," + ignored + ",").find("," + tag + ",") != std::string::npos)
            return;
        if (failure.empty())
            failure = "[" + tag + "] " + details;
    }

    void setUp(const std::string& mode) {
        mosaic = mode == "mosaic" || mode == "pertile";
        w().windowSizeXSpin->setValue(21);
        w().spacingXSpin->setValue(8);
        // Bicubic: a field of an exact whole-pixel move is then exactly zero.
        w().interpolationCombo->setCurrentIndex(1);
        // "Max Shear" writes <base>_max_shear: `load`'s map bears the name `load_max`'s results start with.
        for (StrainCriterion& criterion : w().strainSettings.criteria) {
            criterion.enabled = true;
            if (const QString slug = criterionSlug(QString::fromStdString(criterion.name)); !criterionSlugs.contains(slug))
                criterionSlugs << slug;
        }
        w().rebuildCriteriaList();
        w().markStrainSettingsChanged();
        if (!mosaic) {
            s.loadReference(write(QStringLiteral("ref.tif"), singleImageOf(0)));
            s.chosen = {writeHeight(QStringLiteral("h0.tif"), 0.0f)};
            w().onAddHeightRefTiles();
            return;
        }
        w().mosaicSwitch->setChecked(true);
        w().gridRowsSpin->setValue(1);
        w().gridColsSpin->setValue(2);
        w().overlapXSpin->setValue(kTile - kTileStep + 1);
        s.chosen = {write(QStringLiteral("ref_t0.tif"), tileOf(0, 0)), write(QStringLiteral("ref_t1.tif"), tileOf(0, 1))};
        refTiles = s.chosen;
        w().onAddMosaicRefTiles();
        s.chosen = {writeHeight(QStringLiteral("h0_t0.tif"), 0.0f), writeHeight(QStringLiteral("h0_t1.tif"), 0.0f)};
        w().onAddHeightRefTiles();
        if (mode == "pertile")
            w().perTileRadio->setChecked(true);
    }

    bool settle() {
        MainWidget& window = w();
        const bool idle = QTest::qWaitFor(
            [&] {
                return !window.stitchingInProgress && !window.runInProgress && !window.computationRunning &&
                       !window.backgroundTaskRunning();
            },
            120000);
        window.waitForResultWrites();
        QCoreApplication::processEvents();
        if (!idle)
            fail("hang", "the window stayed busy for two minutes");
        return idle;
    }

    // Actions ------------------------------------------------------------------

    void selectRow(QListWidget* list, int row) {
        list->clearSelection();
        list->setCurrentRow(row);
        list->item(row)->setSelected(true);
    }

    void playSingle(const model::Action& a) {
        MainWidget& window = w();
        const int n = static_cast<int>(images.size());
        const std::string& name = a.name;
        if (name == "Add") {
            const Input input{++serial, a.a + 1, {}};
            const QString path = write(QStringLiteral("i%1v%2.tif").arg(input.serial).arg(input.id),
                                       singleImageOf(input.id));
            s.addDeformed({path});
            images.push_back({input.serial, input.id, path});
        } else if (name == "AddNamed") {
            // A folder of its own, so that a name drawn twice is two files.
            const Input input{++serial, a.a + 1, {}};
            const QString path = write(QStringLiteral("%1/%2.tif").arg(input.serial).arg(model::hostileImageName(a.b)),
                                       singleImageOf(input.id));
            // Two names alike but for case would write one set of files on a case-blind disk: refused, with a word.
            const bool alike = std::any_of(images.begin(), images.end(), [&](const Input& image) {
                return baseOf(image.path).compare(baseOf(path), Qt::CaseInsensitive) == 0;
            });
            s.addDeformed({path});
            const bool refused = std::any_of(s.boxes.begin(), s.boxes.end(), [](const QString& box) {
                return box.startsWith(QStringLiteral("Image: ")) && box.contains(QStringLiteral("was not added"));
            });
            if (alike != refused)
                return fail("clash refusal", str(baseOf(path)) + (refused ? " is refused beside " : " is taken beside ") +
                                                 names(images));
            if (!alike)
                images.push_back({input.serial, input.id, path});
        } else if (name == "AddHeights") {
            // Several files chosen at once, which the window lists sorted.
            std::vector<Input> added;
            s.chosen.clear();
            for (const int id : {a.a + 1, a.b + 1}) {
                const int fileSerial = ++serial;
                added.push_back({fileSerial, id, writeHeight(QStringLiteral("h%1v%2.tif").arg(fileSerial).arg(id), riseOf(id))});
                s.chosen << added.back().path;
            }
            window.onAddHeightDefTiles();
            std::sort(added.begin(), added.end(), [](const Input& x, const Input& y) { return x.path < y.path; });
            heights.insert(heights.end(), added.begin(), added.end());
        } else if (name == "ClearHeights") {
            window.onClearHeightClassicDefTiles();
            heights.clear();
        } else if (name == "Remove" && n > 0) {
            selectRow(window.deformedList, a.a % n);
            window.onRemoveDeformed();
            removed << baseOf(images[std::size_t(a.a % n)].path);
            images.erase(images.begin() + a.a % n);
        } else if ((name == "Up" || name == "Down") && n > 1) {
            const int row = a.a % n;
            const int to = name == "Up" ? row - 1 : row + 1;
            if (to < 0 || to >= n)
                return;
            selectRow(window.deformedList, row);
            if (name == "Up")
                window.onMoveUpDeformed();
            else
                window.onMoveDownDeformed();
            std::swap(images[std::size_t(row)], images[std::size_t(to)]);
        } else if (name == "Clear") {
            window.onClearAllDeformed();
            for (const Input& image : images)
                removed << baseOf(image.path);
            images.clear();
        } else if (name == "Reference") {
            s.loadReference(write(QStringLiteral("ref.tif"), singleImageOf(0)));
        } else if (name == "Height") {
            const Input input{++serial, a.a + 1, {}};
            const QString path = writeHeight(QStringLiteral("h%1v%2.tif").arg(input.serial).arg(input.id),
                                             riseOf(input.id));
            s.chosen = {path};
            window.onAddHeightDefTiles();
            heights.push_back({input.serial, input.id, path});
        } else if (name == "DropHeight" && !heights.empty()) {
            const int row = a.a % static_cast<int>(heights.size());
            selectRow(window.heightDefFileList, row);
            window.onRemoveHeightClassicDefTiles();
            heights.erase(heights.begin() + row);
        } else if (name == "DragHeight" && heights.size() > 1) {
            const int count = static_cast<int>(heights.size());
            const int from = a.a % count;
            const int to = a.b % (count + 1);
            if (to == from || to == from + 1)
                return;
            window.heightDefFileList->model()->moveRow(QModelIndex(), from, QModelIndex(), to);
            const Input moved = heights[std::size_t(from)];
            heights.erase(heights.begin() + from);
            heights.insert(heights.begin() + (to > from ? to - 1 : to), moved);
        } else if (name == "ShowResult" && window.resultCount() > 0) {
            window.displacementSlider->setValue(a.a % window.resultCount());
        } else if (name == "ShowHeight" && window.heightSlider->maximum() > 0) {
            window.heightSlider->setValue(a.a % (window.heightSlider->maximum() + 1));
        } else if (name == "DeleteOld") {
            window.deleteOldResults();
            uz.clear();
        } else {
            playCommon(a);
        }
    }

    // An edit while a run is under way goes through its button, as a user's would: the window disables what it
    // refuses, and what it lets through must leave the run's results their own.
    void playWhileRunning(const model::Action& a) {
        MainWidget& window = w();
        const std::pair<const char*, QPushButton*> singleEdits[] = {{"Remove", window.removeDeformedButton},
                                                                    {"Clear", window.clearDeformedButton},
                                                                    {"Add", window.addDeformedButton},
                                                                    {"Up", window.moveUpDeformedButton}};
        const std::pair<const char*, QPushButton*> mosaicEdits[] = {{"Delete", window.mosaicDeleteStateButton},
                                                                    {"Empty", window.mosaicDefClearButton},
                                                                    {"AddState", window.mosaicAddStateButton},
                                                                    {"Tiles", window.mosaicDefAddButton}};
        const auto& [edit, button] = mosaic ? mosaicEdits[a.a % 4] : singleEdits[a.a % 4];
        const int current = mosaic ? window.currentMosaicDefState : 0;
        noteRunOrder();
        window.onCompute();
        if (button->isEnabled()) {
            const model::Action action{edit, mosaic ? current : 1};
            if (mosaic)
                playMosaic(action);
            else
                playSingle(action);
        }
        settle();
        if (mosaic && !window.perTileMode)
            recordMosaics();
    }

    void playCommon(const model::Action& a) {
        MainWidget& window = w();
        if (a.name == "Page") {
            // The page tabs shown at the moment, as a click on one would choose it.
            std::vector<int> shown;
            for (int i = 0; i < window.mainTabs->count(); ++i)
                if (window.mainTabs->isTabVisible(i) && window.mainTabs->isTabEnabled(i))
                    shown.push_back(i);
            if (!shown.empty())
                window.mainTabs->setCurrentIndex(shown[std::size_t(a.a) % shown.size()]);
        } else if (a.name == "Busy") {
            playWhileRunning(a);
        } else if (a.name == "Compute") {
            noteRunOrder();
            window.onCompute();
            settle();
            checkClashRefusal();
        } else if (a.name == "Strains") {
            window.onComputeStrainFields();
            settle();
        } else if (a.name == "OutOfPlane") {
            window.onComputeOutOfPlane();
            settle();
            recordHeights();
        } else if (a.name == "Reopen") {
            reopen();
        } else if (a.name == "Reset") {
            // The mode switched away and back, answered Yes, starts the project over in its folder.
            const std::string mode = !mosaic ? "single" : window.perTileMode ? "pertile" : "mosaic";
            window.mosaicSwitch->setChecked(!mosaic);
            settle();
            w().mosaicSwitch->setChecked(mosaic);
            settle();
            // Every result of the inputs goes with them: a new input of the same name would take them for its own.
            recorded.clear();
            images.clear();
            heights.clear();
            states = {State{}};
            uz.clear();
            assembled.clear();
            setUp(mode);
        }
    }

    State& currentState() { return states[std::size_t(w().currentMosaicDefState)]; }

    void playMosaic(const model::Action& a) {
        MainWidget& window = w();
        const int n = static_cast<int>(states.size());
        const std::string& name = a.name;
        if (name == "AddState") {
            window.onAddMosaicDefState();
            states.push_back(State{});
        } else if (name == "Select" && window.mosaicStateGroup->button(a.a % n + 1)) {
            window.mosaicStateGroup->button(a.a % n + 1)->click();
        } else if ((name == "Tiles" || name == "TilesNamed") && currentState().fill == 0) {
            State& state = currentState();
            const int fill = ++serial;
            const int id = a.a + 1;
            s.chosen.clear();
            for (int t = 0; t < 2; ++t)
                s.chosen << write(name == "Tiles" ? QStringLiteral("s%1v%2_t%3.tif").arg(fill).arg(id).arg(t)
                                                  : QStringLiteral("%1/%2_t%3.tif").arg(fill)
                                                        .arg(model::hostileTileStem(a.b, window.currentMosaicDefState))
                                                        .arg(t),
                                  tileOf(id, t));
            window.onAddMosaicDefTiles();
            state.fill = fill;
            state.id = id;
            state.tiles = s.chosen;
            state.former = 0;
            state.formerTiles.clear();
        } else if (name == "Empty") {
            State& state = currentState();
            mayRemove.insert({state.fill, QStringLiteral("*")});
            mayRemove.insert({state.former, QStringLiteral("*")});
            window.onClearMosaicDefTiles();
            State emptied;
            emptied.heightFill = state.heightFill;
            emptied.heightId = state.heightId;
            emptied.former = state.fill != 0 ? state.fill : state.former;
            emptied.formerTiles = state.fill != 0 ? state.tiles : state.formerTiles;
            state = emptied;
        } else if (name == "TileUp" || name == "TileDown") {
            // a: the reference list (0, 1) or the state's (2, 3), and the row.
            const bool reference = a.a < 2;
            QStringList& tiles = reference ? refTiles : currentState().tiles;
            QListWidget* list = reference ? window.mosaicRefTileList : window.mosaicDefTileList;
            const int row = a.a % 2;
            const int to = name == "TileUp" ? row - 1 : row + 1;
            if (to < 0 || to >= tiles.size() || list->count() != tiles.size())
                return;
            selectRow(list, row);
            if (reference)
                name == "TileUp" ? window.onMoveUpMosaicRefTile() : window.onMoveDownMosaicRefTile();
            else
                name == "TileUp" ? window.onMoveUpMosaicDefTile() : window.onMoveDownMosaicDefTile();
            tiles.swapItemsAt(row, to);
            // The mosaics placed so far no longer hold: their results may go.
            for (const State& state : states)
                if (reference || &state == &currentState()) {
                    mayRemove.insert({state.fill, QStringLiteral("*")});
                    mayRemove.insert({state.former, QStringLiteral("*")});
                }
        } else if (name == "Delete" && n > 1 && window.mosaicStateGroup->button(a.a % n + 1)) {
            window.mosaicStateGroup->button(a.a % n + 1)->click();
            window.onDeleteMosaicDefState();
            states.erase(states.begin() + a.a % n);
        } else if (name == "Align") {
            // Per-Tile DIC hides the button: a user cannot align then.
            if (!window.alignMosaicButton->isVisibleTo(&window))
                return;
            for (const State& state : states) {
                mayRemove.insert({state.fill, QStringLiteral("*")});
                mayRemove.insert({state.former, QStringLiteral("*")});
            }
            window.onAlignMosaic();
            settle();
            recordMosaics();
        } else if (name == "PerTile") {
            window.perTileRadio->setChecked(true);
        } else if (name == "Stitch") {
            window.stitchAndCorrelateRadio->setChecked(true);
        } else if (name == "Height") {
            const int k = window.currentMosaicDefState;
            State& state = states[std::size_t(k)];
            if (state.heightFill != 0 || !window.heightTabGroup->button(k + 1))
                return;
            mayRemove.insert({state.fill, kHeightFolder});
            window.heightTabGroup->button(k + 1)->click();
            const int fill = ++serial;
            s.chosen.clear();
            for (int t = 0; t < 2; ++t)
                s.chosen << writeHeight(QStringLiteral("hs%1v%2_t%3.tif").arg(fill).arg(a.a + 1).arg(t),
                                        riseOf(a.a + 1));
            window.onAddHeightDefTiles();
            state.heightFill = fill;
            state.heightId = a.a + 1;
        } else if (name == "DropMosaic") {
            const QStringList files = QDir(s.folder).entryList({QStringLiteral("mosaic_deformed_*.tiff")}, QDir::Files,
                                                               QDir::Name);
            if (!files.isEmpty())
                QFile::remove(s.folder + QLatin1Char('/') + files[a.a % files.size()]);
        } else if (name == "ClickRef" && window.mosaicRefTileList->count() > a.a) {
            window.onMosaicRefTileClicked(window.mosaicRefTileList->item(a.a), false);
        } else if (name == "ClickDef" && window.mosaicDefTileList->count() > a.a) {
            window.onMosaicDefTileClicked(window.mosaicDefTileList->item(a.a));
        } else if (name == "EnlargeRef" && window.mosaicRefTileList->count() > a.a) {
            window.onMosaicRefTileDoubleClicked(window.mosaicRefTileList->item(a.a));
        } else if (name == "EnlargeDef" && window.mosaicDefTileList->count() > a.a) {
            window.onMosaicDefTileDoubleClicked(window.mosaicDefTileList->item(a.a));
        } else if (name == "ClickView") {
            window.onViewClicked();
        } else if (name == "Contrast") {
            if (a.a == 0)
                window.onReferenceHistogramRangeEdited(20.0f, 180.0f);
            else
                window.onDeformedHistogramRangeEdited(20.0f, 180.0f);
        } else if (name == "ShowResult") {
            window.displacementSlider->setValue(a.a % (window.displacementSlider->maximum() + 1));
        } else if (name == "ShowTile" && window.displacementTileNavigator.slider) {
            window.displacementTileNavigator.slider->setValue(a.a % 2);
        } else {
            const bool stitching = a.name == "Compute" && !window.perTileMode;
            playCommon(a);
            if (stitching)
                recordMosaics();
        }
    }

    // Bookkeeping of what the window made --------------------------------------

    // The state each mosaic was assembled for; a mosaic of an empty state is a fault of its own.
    void recordMosaics() {
        MainWidget& window = w();
        for (const auto& [state, image] : window.mosaicStateImageIndex) {
            if (state < 0 || state >= static_cast<int>(states.size()) || states[std::size_t(state)].fill == 0) {
                fail("mosaic of no tiles", "state " + std::to_string(state + 1) + " has a mosaic but no tiles");
                return;
            }
            if (image >= 0 && image < static_cast<int>(window.deformedImages.size()))
                assembled[states[std::size_t(state)].fill] = window.deformedImages[std::size_t(image)].displayImage();
        }
    }

    // A map just computed must hold its input's rise; from then on it is that input's map.
    void recordHeights() {
        for (const QString& file : heightFiles()) {
            const std::optional<double> value = fileMedian(heightFilePath(file));
            const std::optional<int> key = heightKeyOf(file);
            // Tiles moved out of place correlate to nothing: their map is whatever it is, NaN when every point failed.
            static const QRegularExpression stateName(QStringLiteral("^state_(\\d+)_uz\\.tif$"));
            const QRegularExpressionMatch state = stateName.match(file);
            if (key && placedOutOfOrder(state.hasMatch()
                                            ? DeformedStates::mosaicBaseName(state.captured(1).toInt() - 1)
                                            : file.chopped(int(std::strlen("_uz.tif"))))) {
                uz[*key] = value ? float(*value) : std::numeric_limits<float>::quiet_NaN();
                continue;
            }
            if (!value || !key)
                continue;
            const std::optional<float> expected = pairedRise(file);
            if (expected && std::abs(*value - *expected) < kRiseTolerance)
                uz[*key] = *expected;
        }
    }

    QStringList heightFiles() const {
        return QDir(s.folder + QLatin1Char('/') + kHeightFolder)
            .entryList({QStringLiteral("*_uz.tif")}, QDir::Files, QDir::Name);
    }
    QString heightFilePath(const QString& file) const {
        return s.folder + QLatin1Char('/') + kHeightFolder + QLatin1Char('/') + file;
    }

    // The input a u_z file is named for: an image's serial, or a state's or tile's fill.
    std::optional<int> heightKeyOf(const QString& file) const {
        const QString base = file.chopped(int(std::strlen("_uz.tif")));
        if (!mosaic) {
            for (const Input& image : images)
                if (baseOf(image.path) == base)
                    return image.serial;
            return std::nullopt;
        }
        static const QRegularExpression stateName(QStringLiteral("^state_(\\d+)$"));
        if (const auto m = stateName.match(base); m.hasMatch()) {
            const int k = m.captured(1).toInt() - 1;
            if (k >= 0 && k < static_cast<int>(states.size()) && states[std::size_t(k)].fill != 0)
                return states[std::size_t(k)].fill;
            return std::nullopt;
        }
        for (const State& state : states)
            for (const QString& tile : state.tiles)
                if (baseOf(tile) == base)
                    return state.fill;
        return std::nullopt;
    }

    // The rise the map of a file's input is computed with now: its height file's, paired by list position.
    std::optional<float> pairedRise(const QString& file) const {
        const std::optional<int> key = heightKeyOf(file);
        if (!key)
            return std::nullopt;
        if (!mosaic) {
            for (std::size_t i = 0; i < images.size() && i < heights.size(); ++i)
                if (images[i].serial == *key)
                    return riseOf(heights[i].id);
            return std::nullopt;
        }
        for (const State& state : states)
            if (state.fill == *key && state.heightFill != 0)
                return riseOf(state.heightId);
        return std::nullopt;
    }

    // Result files -----------------------------------------------------------------

    struct Claim {
        int owner = 0;
        // "folder|role|suffix": the same file of the same input whatever the input is named after a renumbering.
        QString key;
        bool shared = false;
    };

    QStringList suffixesIn(const QString& folder) const {
        QStringList suffixes;
        const auto add = [&](const auto& list) {
            for (const char* suffix : list)
                suffixes << QString::fromLatin1(suffix);
        };
        if (folder == kDisplacementsFolder)
            add(kDisplacementSuffixes);
        else if (folder == kStrainsFolder) {
            add(kStrainSuffixes);
            for (const QString& slug : criterionSlugs)
                suffixes << QLatin1Char('_') + slug;
        } else if (folder == kFractureFolder)
            add(kFractureSuffixes);
        else
            suffixes << QStringLiteral("_uz");
        return suffixes;
    }

    static QString tileRole(const QString& path) {
        return path.endsWith(QStringLiteral("_t1.tif")) ? QStringLiteral("t1") : QStringLiteral("t0");
    }

    // The bases each input held writes its results under: (owner, role, base). A state's own bases
    // ("state", "height") follow its number; an image's or tile's is its file's name.
    std::vector<std::tuple<int, QString, QString>> ownedBases() const {
        std::vector<std::tuple<int, QString, QString>> owned;
        for (const Input& image : images)
            owned.emplace_back(image.serial, QStringLiteral("image"), baseOf(image.path));
        for (std::size_t k = 0; mosaic && k < states.size(); ++k) {
            const State& state = states[k];
            const int key = state.fill != 0 ? state.fill : state.former;
            if (key == 0)
                continue;
            owned.emplace_back(key, QStringLiteral("state"), DeformedStates::mosaicBaseName(int(k)));
            owned.emplace_back(key, QStringLiteral("height"), DeformedStates::heightBaseName(int(k)));
            for (const QString& tile : state.fill != 0 ? state.tiles : state.formerTiles)
                owned.emplace_back(key, tileRole(tile), baseOf(tile));
        }
        return owned;
    }

    // Every result file name some input may have written, with the input it belongs to. Two held inputs naming
    // the same file share it (the window refuses to run them).
    std::map<QString, Claim> claimedFiles() const {
        std::map<QString, Claim> claims;
        std::set<int> heldOwners;
        for (const auto& [owner, role, base] : ownedBases()) {
            heldOwners.insert(owner);
            for (const QString& folder : {kDisplacementsFolder, kStrainsFolder, kFractureFolder, kHeightFolder}) {
                // A state's number names its u_z map as "state_001", its other results as "mosaic_state_1".
                const bool heightOnly = role == QStringLiteral("height");
                if ((heightOnly || role == QStringLiteral("state")) && heightOnly != (folder == kHeightFolder))
                    continue;
                for (const QString& suffix : suffixesIn(folder)) {
                    const QString file = folder + QLatin1Char('/') + base + suffix + QStringLiteral(".tif");
                    Claim claim{owner, folder + QLatin1Char('|') + role + QLatin1Char('|') + suffix, false};
                    const auto found = claims.find(file);
                    if (found != claims.end() && found->second.owner != owner && heldOwners.count(found->second.owner))
                        claim.shared = true;
                    claims[file] = claim;
                }
            }
        }
        return claims;
    }

    QByteArray contentOf(const QString& file) const {
        QFile in(s.folder + QLatin1Char('/') + file);
        if (!in.open(QIODevice::ReadOnly))
            return {};
        return QCryptographicHash::hash(in.readAll(), QCryptographicHash::Sha1);
    }

    // Every file in the result folders is a result some input held writes, by its exact name.
    void checkStrayResults(const std::map<QString, Claim>& claims) {
        for (const QString& folder : {kDisplacementsFolder, kStrainsFolder, kFractureFolder, kHeightFolder})
            for (const QString& name : QDir(s.folder + QLatin1Char('/') + folder).entryList(QDir::Files)) {
                const QString file = folder + QLatin1Char('/') + name;
                if (!claims.count(file))
                    return fail("stray result", str(file) + " is no result of an input the window holds");
            }
    }

    // The results of an input still held are neither removed, renamed nor rewritten unless the action recomputed
    // them, or let them go (`mayRemove`). Then the files of every input are taken down for the next action.
    void checkKeptResults(const std::string& action, bool recomputed) {
        const std::map<QString, Claim> claims = claimedFiles();
        checkStrayResults(claims);
        std::map<int, std::map<QString, QString>> fileOf;
        for (const auto& [file, claim] : claims)
            if (!claim.shared)
                fileOf[claim.owner][claim.key] = file;
        for (const auto& [owner, files] : recorded) {
            const auto now = fileOf.find(owner);
            if (recomputed || now == fileOf.end() || !failure.empty())
                continue;
            for (const auto& [key, content] : files) {
                const QString folder = key.section(QLatin1Char('|'), 0, 0);
                const bool removable = mayRemove.count({owner, QStringLiteral("*")}) || mayRemove.count({owner, folder});
                // A name another input held now also writes is no longer this input's alone: the window refuses
                // to run the two, and the file cannot be told apart.
                const auto file = now->second.find(key);
                if (file == now->second.end())
                    continue;
                const QByteArray held = contentOf(file->second);
                if (held.isEmpty() && removable)
                    continue;
                if (held.isEmpty())
                    return fail("kept result", str(file->second) + ", a result of an input still held, is gone after " +
                                                   action);
                if (held != content)
                    return fail("kept result", str(file->second) + " holds another result after " + action +
                                                   " (a file of another input, or rewritten)");
            }
        }
        recorded.clear();
        for (const auto& [file, claim] : claims)
            if (!claim.shared)
                if (const QByteArray content = contentOf(file); !content.isEmpty())
                    recorded[claim.owner][claim.key] = content;
        mayRemove.clear();
    }

    // Names alike but for case write to one file on a case-blind disk: the window refuses the run, and only then.
    void checkClashRefusal() {
        MainWidget& window = w();
        QStringList names;
        if (!mosaic)
            for (const Input& image : images)
                names << baseOf(image.path);
        else if (window.perTileMode)
            for (const State& state : states)
                for (const QString& tile : state.tiles)
                    names << baseOf(tile);
        const bool clash = !clashingResultNames(names).isEmpty();
        bool refused = false, otherRefusal = false;
        for (const QString& box : s.boxes) {
            const bool alike = box.startsWith(QStringLiteral("Images: ")) && box.contains(QStringLiteral("named alike"));
            refused = refused || alike;
            otherRefusal = otherRefusal || (!alike && box.startsWith(QStringLiteral("Batch Tile DIC: ")));
        }
        if (refused && !clash)
            fail("clash refusal", "a run of " + str(names.join(QLatin1Char(','))) + " is refused as named alike");
        else if (clash && !refused && !otherRefusal)
            fail("clash refusal", "a run of " + str(names.join(QLatin1Char(','))) + " was not refused");
    }

    // Which height file each image pairs with, by list position.
    std::map<int, int> pairing() const {
        std::map<int, int> paired;
        for (std::size_t i = 0; i < images.size(); ++i)
            paired[images[i].serial] = i < heights.size() ? heights[i].serial : 0;
        return paired;
    }

    // An image whose height file changed has no out-of-plane map any more, in memory or on disk.
    void forgetChangedPairings(const std::map<int, int>& before) {
        for (const auto& [image, height] : pairing()) {
            const auto was = before.find(image);
            if (was != before.end() && was->second != height) {
                uz.erase(image);
                mayRemove.insert({image, kHeightFolder});
            }
        }
    }

    // Checks ---------------------------------------------------------------------

    // The input a result or tile name stands for, and the translation it carries.
    std::optional<QPointF> expectedShift(const QString& base) const {
        if (!mosaic) {
            for (const Input& image : images)
                if (baseOf(image.path) == base)
                    return shiftOf(image.id);
            return std::nullopt;
        }
        static const QRegularExpression stateName(QStringLiteral("^mosaic_state_(\\d+)$"));
        if (const auto m = stateName.match(base); m.hasMatch()) {
            const int k = m.captured(1).toInt() - 1;
            if (k >= 0 && k < static_cast<int>(states.size()) && states[std::size_t(k)].fill != 0)
                return shiftOf(states[std::size_t(k)].id);
            return std::nullopt;
        }
        for (const State& state : states)
            for (const QString& tile : state.tiles)
                if (baseOf(tile) == base)
                    return shiftOf(state.id) - QPointF(base.endsWith(QStringLiteral("_t1")) ? cutOffset(state.id) : 0, 0);
        return std::nullopt;
    }

    static bool inOrder(const QStringList& tiles) {
        return tiles.size() != 2 || tiles[0].endsWith(QStringLiteral("_t0.tif"));
    }

    // A result of tiles the user moved out of place, now or when it was computed, pairs or places them wrongly: its
    // field is nobody's translation.
    bool placedOutOfOrder(const QString& base) const {
        if (!mosaic)
            return false;
        if (!inOrder(refTiles))
            return true;
        static const QRegularExpression stateName(QStringLiteral("^mosaic_state_(\\d+)$"));
        if (const auto m = stateName.match(base); m.hasMatch()) {
            const int k = m.captured(1).toInt() - 1;
            return k >= 0 && k < static_cast<int>(states.size()) &&
                   (!inOrder(states[std::size_t(k)].tiles) || scrambled.count({states[std::size_t(k)].fill, false}));
        }
        for (const State& state : states)
            for (const QString& tile : state.tiles)
                if (baseOf(tile) == base)
                    return !inOrder(state.tiles) || scrambled.count({state.fill, true});
        return false;
    }

    // The results a run about to start computes from tiles out of place, by fill and Per-Tile DIC or not.
    void noteRunOrder() {
        if (!mosaic)
            return;
        for (const State& state : states)
            if (state.fill != 0 && (!inOrder(refTiles) || !inOrder(state.tiles)))
                scrambled.insert({state.fill, w().perTileMode});
    }

    // A state emptied after its run may keep its result until the next run; once refilled, the result must be
    // its new tiles'.
    bool namesEmptiedState(const QString& base) const {
        static const QRegularExpression stateName(QStringLiteral("^mosaic_state_(\\d+)$"));
        const int k = stateName.match(base).captured(1).toInt() - 1;
        return mosaic && k >= 0 && k < static_cast<int>(states.size()) && states[std::size_t(k)].fill == 0;
    }

    // Tiles of several states named alike write one file: the window refuses to run them, and whose field the file
    // holds cannot be told from its name.
    bool nameSharedByTiles(const QString& base) const {
        int holders = 0;
        for (const State& state : states)
            for (const QString& tile : state.tiles)
                holders += baseOf(tile) == base ? 1 : 0;
        return mosaic && holders > 1;
    }

    void checkShift(const std::string& tag, const QString& base, double ux, double uy) {
        const std::optional<QPointF> expected = expectedShift(base);
        if ((!expected && namesEmptiedState(base)) || placedOutOfOrder(base) || nameSharedByTiles(base))
            return;
        if (!expected) {
            fail(tag, str(base) + " names no input the window holds");
            return;
        }
        if (std::abs(ux - expected->x()) > kShiftTolerance || std::abs(uy - expected->y()) > kShiftTolerance)
            fail(tag, str(base) + " carries (" + std::to_string(ux) + ", " + std::to_string(uy) + "), its input moved by (" +
                          std::to_string(expected->x()) + ", " + std::to_string(expected->y()) + ")");
    }

    void checkResults() {
        MainWidget& window = w();
        // Slots of the result list exist before their results do; only those holding one are checked.
        const int count = std::min(static_cast<int>(window.results.size()), window.resultCount());
        for (int r = 0; r < count && failure.empty(); ++r) {
            if (!holdsResult(r))
                continue;
            const ComputationResult& result = window.results[std::size_t(r)];
            const QString base = window.resultBaseName(r);
            if (!mosaic && (r >= static_cast<int>(images.size()) || baseOf(images[std::size_t(r)].path) != base))
                return fail("result name", "result " + std::to_string(r + 1) + " is named " + str(base) +
                                               " beside image " + (r < int(images.size()) ? str(baseOf(images[std::size_t(r)].path)) : "none"));
            if (result.display.rigidShiftUnknown)
                continue;
            const auto ux = fileMedian(resultFilePath(window.appliedProjectFolder, kDisplacementsFolder, base,
                                                      QStringLiteral("_ux")));
            const auto uy = fileMedian(resultFilePath(window.appliedProjectFolder, kDisplacementsFolder, base,
                                                      QStringLiteral("_uy")));
            if (ux && uy)
                checkShift("result file", base, *ux - result.rigid.shiftX, *uy - result.rigid.shiftY);
        }
        if (window.batchGridActive())
            checkBatchGrid();
        checkShownResult();
    }

    void checkBatchGrid() {
        MainWidget& window = w();
        const auto& grid = window.batchResultIndex;
        // A state added after the run has no result yet: the grid may end before it, never after the last state.
        if (grid.stateCount > window.mosaicDefTilePaths.size())
            return fail("batch grid", "the grid has " + std::to_string(grid.stateCount) + " states, the window " +
                                          std::to_string(window.mosaicDefTilePaths.size()));
        for (int k = 0; k < grid.stateCount; ++k)
            for (int t = 0; t < grid.tilesPerState; ++t) {
                const int entry = grid.table.value(k * grid.tilesPerState + t, -1);
                if (entry < 0)
                    continue;
                const QStringList& tiles = window.mosaicDefTilePaths[k];
                const QString expected = t < tiles.size() ? baseOf(tiles[t]) : QString();
                if (entry >= window.batchNames.size() || window.batchNames[entry] != expected)
                    return fail("batch grid", "state " + std::to_string(k + 1) + " tile " + std::to_string(t + 1) +
                                                  " leads to " + str(window.batchNames.value(entry)) + ", not " +
                                                  str(expected));
            }
    }

    void checkShownResult() {
        MainWidget& window = w();
        // A tile caption over a field that is no tile's, or left from Per-Tile DIC, names a result not shown.
        const bool fieldShown = window.shownDisplacements && !window.shownDisplacements->dispX.empty();
        if (!window.batchGridActive() && (fieldShown || !window.perTileMode) &&
            window.displacementTileNavigator.container && !window.displacementTileNavigator.container->isHidden())
            return fail("shown caption", "the tile caption \"" +
                                             str(window.displacementTileNavigator.label->text()) +
                                             "\" is shown without tile results");
        const int shown = window.batchGridActive() ? window.selectedBatchEntry() : window.shownResultIndex;
        if (shown < 0 || shown >= static_cast<int>(window.results.size()) || !window.shownDisplacements ||
            window.shownDisplacements->dispX.empty())
            return;
        const QString base = window.resultBaseName(shown);
        if (window.batchGridActive()) {
            const QString tile = window.displacementTileNavigator.label ? window.displacementTileNavigator.label->text()
                                                                         : QString();
            // The caption may name the reference tile of the pair: its number is the one that must agree.
            static const QRegularExpression number(QStringLiteral("^Tile (\\d+) / "));
            if (number.match(tile).captured(1).toInt() != window.selectedBatchTile + 1)
                return fail("shown caption", "the tile caption reads \"" + str(tile) + "\" over " + str(base));
        } else {
            const QString caption = window.displacementStepLabel->text();
            if (!caption.endsWith(base) ||
                !caption.startsWith(QStringLiteral("Step %1 / %2").arg(shown + 1).arg(window.resultCount())))
                return fail("shown caption", "the caption reads \"" + str(caption) + "\" over result " +
                                                 std::to_string(shown + 1) + ", " + str(base));
            if (window.displacementSlider->value() != shown)
                return fail("shown caption", "the slider stands at " + std::to_string(window.displacementSlider->value()) +
                                                 " over result " + std::to_string(shown));
        }
        const ComputationResult& result = window.results[std::size_t(shown)];
        if (result.display.rigidShiftUnknown)
            return;
        const auto ux = median(window.shownDisplacements->dispX);
        const auto uy = median(window.shownDisplacements->dispY);
        if (ux && uy)
            checkShift("shown field", base, *ux - result.rigid.shiftX, *uy - result.rigid.shiftY);
    }

    void checkHeights() {
        MainWidget& window = w();
        for (const QString& file : heightFiles()) {
            const std::optional<int> key = heightKeyOf(file);
            const QString base = file.chopped(int(std::strlen("_uz.tif")));
            if (!key && removed.contains(base))
                return fail("u_z file", str(file) + " stays on disk after its image was removed");
            static const QRegularExpression stateName(QStringLiteral("^state_(\\d+)$"));
            if (mosaic && stateName.match(base).captured(1).toInt() > static_cast<int>(states.size()))
                return fail("u_z file", str(file) + " is on disk with " + std::to_string(states.size()) + " states");
            // Tiles of two states named alike share one file, whichever of them computed it.
            if (!key || nameSharedByTiles(base))
                continue;
            const auto recorded = uz.find(*key);
            if (recorded == uz.end())
                return fail("u_z file", str(file) + " is on disk for an input that never had its map computed");
            const std::optional<double> value = fileMedian(heightFilePath(file));
            if (value && std::abs(*value - recorded->second) > kRiseTolerance)
                return fail("u_z file", str(file) + " holds " + std::to_string(*value) + ", its input's map " +
                                            std::to_string(recorded->second));
        }
        const int shown = window.shownHeightIndex;
        if (shown < 0 || window.shownHeightValues.empty() || window.heightBatchActive())
            return;
        const QString base = window.heightStateBaseName(shown);
        const std::optional<int> key = heightKeyOf(base + QStringLiteral("_uz.tif"));
        const auto recorded = key ? uz.find(*key) : uz.end();
        if (recorded == uz.end())
            return fail("shown u_z", "a map is shown for " + str(base) + ", which never had one computed");
        const std::optional<double> value = median(window.shownHeightValues);
        if (value && std::abs(*value - recorded->second) > kRiseTolerance)
            return fail("shown u_z", "the map shown for " + str(base) + " holds " + std::to_string(*value) +
                                         ", its own is " + std::to_string(recorded->second));
        static const QRegularExpression number(QStringLiteral("^State (\\d+) ?/"));
        if (number.match(window.heightStepLabel->text()).captured(1).toInt() != shown + 1)
            return fail("shown u_z", "the caption \"" + str(window.heightStepLabel->text()) + "\" over " + str(base));
    }

    // Each mosaic is the one assembled from its state's tiles; the views read what they draw.
    void checkMosaics() {
        MainWidget& window = w();
        for (const auto& [state, image] : window.mosaicStateImageIndex) {
            if (state < 0 || state >= static_cast<int>(states.size()) || states[std::size_t(state)].fill == 0)
                return fail("mosaic of no tiles", "state " + std::to_string(state + 1) + " has a mosaic but no tiles");
            const auto found = assembled.find(states[std::size_t(state)].fill);
            if (found == assembled.end() || image < 0 || image >= static_cast<int>(window.deformedImages.size()))
                continue;
            const QImage held = window.deformedImages[std::size_t(image)].displayImage();
            if (!held.isNull() && held != found->second)
                return fail("mosaic pixels", "state " + std::to_string(state + 1) +
                                                 "'s mosaic is not the one assembled from its tiles");
        }
        for (auto [view, path, name] : {std::tuple{window.referenceView, window.referenceViewSourcePath(), "reference"},
                                        std::tuple{window.deformedView, window.deformedViewSourcePath(), "deformed"}}) {
            const QImage drawn = view->image();
            if (drawn.isNull() || path.isEmpty() || !QFileInfo::exists(path))
                continue;
            QImage source;
            QString error;
            if (readGrayImage(path, source, error) && source.size() != drawn.size())
                return fail("read-out source", std::string("the ") + name + " view draws " +
                                                   std::to_string(drawn.width()) + "x" + std::to_string(drawn.height()) +
                                                   " pixels and reads " + str(QFileInfo(path).fileName()) +
                                                   " (enlarged tile " + std::to_string(window.enlargedTileIndex) +
                                                   (window.showsIndividualTiles() ? ", tiles shown)" : ")"));
        }
        // A state without a mosaic may show a tile of its own, never another state's mosaic.
        const int k = window.currentMosaicDefState;
        if (window.enlargedTileIndex < 0 && !window.showsIndividualTiles() && k >= 0 &&
            k < static_cast<int>(states.size()) && !window.mosaicStateImageIndex.count(k) &&
            !window.deformedView->image().isNull() &&
            !window.mosaicDefTilePaths.value(k).contains(window.deformedViewSourcePath()))
            return fail("shown mosaic", "state " + std::to_string(k + 1) + " has no mosaic, yet " +
                                            std::to_string(window.deformedView->image().width()) + "x" +
                                            std::to_string(window.deformedView->image().height()) +
                                            " pixels are drawn for it, read from " +
                                            str(QFileInfo(window.deformedViewSourcePath()).fileName()));
    }

    // The window holds the images the model holds, in the same order.
    void checkImages() {
        MainWidget& window = w();
        QStringList held, made;
        for (const LoadedImage& image : window.deformedImages)
            held << baseOf(image.path);
        for (const Input& image : images)
            made << baseOf(image.path);
        if (held != made)
            fail("images", "the window holds " + str(held.join(QLatin1Char(','))) + ", the user made " +
                               str(made.join(QLatin1Char(','))));
    }

    // No result file is named for an image taken out: one of that name added later would open with it. Names are
    // compared whole: "load_max_shear" may be "load"'s as well as "load_max"'s.
    void checkRemovedImageFiles() {
        QStringList held;
        for (const Input& image : images)
            held << baseOf(image.path);
        for (const QString& folder : {kDisplacementsFolder, kStrainsFolder, kFractureFolder})
            for (const QString& base : removed) {
                if (held.contains(base))
                    continue;
                for (const QString& suffix : suffixesIn(folder)) {
                    const QString file = base + suffix + QStringLiteral(".tif");
                    if (QFileInfo::exists(s.folder + QLatin1Char('/') + folder + QLatin1Char('/') + file) &&
                        !claimedFiles().count(folder + QLatin1Char('/') + file))
                        return fail("result file", str(file) + " stays on disk after its image was removed");
                }
            }
    }

    // Strain files are never named for a state beyond the last.
    void checkStrainFiles() {
        static const QRegularExpression stateName(QStringLiteral("^mosaic_state_(\\d+)$"));
        const QStringList files = QDir(s.folder + QLatin1Char('/') + kStrainsFolder).entryList(QDir::Files);
        for (const QString& file : files) {
            const QString base = QFileInfo(file).completeBaseName().section(QLatin1Char('_'), 0, -2);
            if (mosaic && stateName.match(base).captured(1).toInt() > static_cast<int>(states.size()))
                return fail("strain file", str(file) + " is on disk with " + std::to_string(states.size()) + " states");
        }
    }


    // The window holds the states the model holds, each with its own tiles.
    void checkStates() {
        MainWidget& window = w();
        if (window.mosaicDefTilePaths.size() != static_cast<qsizetype>(states.size()))
            return fail("states", "the window holds " + std::to_string(window.mosaicDefTilePaths.size()) +
                                      " states, " + std::to_string(states.size()) + " were made");
        for (std::size_t k = 0; k < states.size(); ++k) {
            const QStringList& tiles = window.mosaicDefTilePaths[qsizetype(k)];
            if (tiles != states[k].tiles)
                return fail("states", "state " + std::to_string(k + 1) + " holds " + names(tiles) + ", the user gave it " +
                                          names(states[k].tiles));
        }
        if (window.mosaicRefTilePaths != refTiles)
            return fail("states", "the reference tiles are " + names(window.mosaicRefTilePaths) + ", the user gave " +
                                      names(refTiles));
    }

    void check() {
        if (!failure.empty())
            return;
        if (mosaic)
            checkStates();
        else
            checkImages();
        if (failure.empty())
            checkResults();
        if (failure.empty())
            checkStrainFiles();
        if (failure.empty() && !mosaic)
            checkRemovedImageFiles();
        if (failure.empty())
            checkHeights();
        if (failure.empty() && mosaic)
            checkMosaics();
    }

    // Reopening ------------------------------------------------------------------

    // A slot of the result list holds a result when its field is in memory or in its files.
    bool holdsResult(int r) {
        MainWidget& window = w();
        const ComputationResult& result = window.results[std::size_t(r)];
        if (result.displacements && !result.displacements->dispX.empty())
            return true;
        return QFileInfo::exists(resultFilePath(window.appliedProjectFolder, kDisplacementsFolder,
                                                window.resultBaseName(r), QStringLiteral("_ux")));
    }

    Snapshot snapshot() {
        MainWidget& window = w();
        Snapshot shot;
        for (int r = 0; r < static_cast<int>(window.results.size()); ++r) {
            if (!holdsResult(r))
                continue;
            shot.names << window.resultBaseName(r);
            const ComputationResult& result = window.results[std::size_t(r)];
            shot.rigid.emplace_back(result.display.rigidShiftUnknown,
                                    QPointF(result.rigid.shiftX, result.rigid.shiftY));
        }
        // The assembly not chosen holds its results aside: they are the project's too.
        for (std::size_t r = 0; mosaic && r < window.otherAssemblyResults.size(); ++r) {
            const QString base = window.perTileMode
                                     ? DeformedStates::mosaicBaseName(window.deformedStates.stateOfResult(int(r)))
                                 : r < std::size_t(window.batchNames.size()) ? window.batchNames[qsizetype(r)]
                                                                             : QString();
            const ComputationResult& result = window.otherAssemblyResults[r];
            const bool held = (result.displacements && !result.displacements->dispX.empty()) ||
                              QFileInfo::exists(resultFilePath(window.appliedProjectFolder, kDisplacementsFolder, base,
                                                               QStringLiteral("_ux")));
            if (base.isEmpty() || !held)
                continue;
            shot.names << QStringLiteral("aside:") + base;
            shot.rigid.emplace_back(result.display.rigidShiftUnknown, QPointF(result.rigid.shiftX, result.rigid.shiftY));
        }
        for (const auto& [state, image] : window.mosaicStateImageIndex)
            if (image >= 0 && image < static_cast<int>(window.deformedImages.size()))
                shot.mosaics[state] = window.deformedImages[std::size_t(image)].displayImage();
        return shot;
    }

    static void byName(Snapshot& shot) {
        std::vector<std::pair<QString, std::pair<bool, QPointF>>> entries;
        for (qsizetype r = 0; r < shot.names.size(); ++r)
            entries.emplace_back(shot.names[r], shot.rigid[std::size_t(r)]);
        std::stable_sort(entries.begin(), entries.end(),
                         [](const auto& x, const auto& y) { return x.first < y.first; });
        for (std::size_t r = 0; r < entries.size(); ++r) {
            shot.names[qsizetype(r)] = entries[r].first;
            shot.rigid[r] = entries[r].second;
        }
    }

    void reopen() {
        Snapshot before = snapshot();
        s.window.reset();
        s.window = std::make_unique<MainWidget>();
        w().loadParametersFromFile(s.folder + QStringLiteral("/parameters.json"));
        settle();
        // States holding neither tiles nor heights at the end of the list are not kept in the project file.
        while (mosaic && states.size() > 1 && states.size() > std::size_t(w().mosaicDefTilePaths.size()) &&
               states.back().fill == 0 && states.back().heightFill == 0)
            states.pop_back();
        Snapshot after = snapshot();
        // Tile results, chosen or set aside, are found by the tiles' names: their list follows the run's order
        // before and the tiles' order after, which a tile moved since then changes.
        if (mosaic) {
            byName(before);
            byName(after);
        }
        if (after.names != before.names)
            return fail("reopened results", "results " + str(before.names.join(QLatin1Char(','))) + " reopen as " +
                                                str(after.names.join(QLatin1Char(','))));
        for (std::size_t r = 0; r < before.rigid.size(); ++r) {
            const auto& [unknownBefore, shiftBefore] = before.rigid[r];
            const auto& [unknownAfter, shiftAfter] = after.rigid[r];
            if (!unknownBefore && (unknownAfter || shiftBefore != shiftAfter))
                return fail("reopened rigid shift",
                            str(before.names[qsizetype(r)]) + " had its rigid shift (" + std::to_string(shiftBefore.x()) +
                                ", " + std::to_string(shiftBefore.y()) + "), reopened " +
                                (unknownAfter ? std::string("unknown")
                                              : "(" + std::to_string(shiftAfter.x()) + ", " +
                                                    std::to_string(shiftAfter.y()) + ")"));
        }
        for (const auto& [state, image] : after.mosaics) {
            const auto found = before.mosaics.find(state);
            if (found != before.mosaics.end() && found->second != image)
                return fail("rebuilt mosaic", "state " + std::to_string(state + 1) +
                                                  "'s mosaic reopens other than it was assembled");
        }
    }

    // With TAVRO_MODEL_SHOTS naming a folder, the window is shown and grabbed after every action, to see what a
    // failing sequence showed.
    void grab(int step, const std::string& action) {
        const QString folder = qEnvironmentVariable("TAVRO_MODEL_SHOTS");
        if (folder.isEmpty())
            return;
        if (!w().isVisible()) {
            w().resize(1500, 950);
            w().show();
        }
        QCoreApplication::processEvents();
        QDir().mkpath(folder);
        w().grab().save(QStringLiteral("%1/%2-%3.png").arg(folder).arg(step, 2, 10, QLatin1Char('0'))
                            .arg(QString::fromStdString(action).remove(QRegularExpression(QStringLiteral("[^A-Za-z0-9]")))));
    }

    std::string run(const model::Sequence& sequence) {
        setUp(sequence.mode);
        played << sequence.mode << ':';
        int step = 0;
        for (const model::Action& action : sequence.actions) {
            played << ' ' << model::format({"", {action}}).substr(2);
            s.boxes.clear();
            const std::map<int, int> paired = pairing();
            if (action.name == "Reference")
                for (const Input& image : images)
                    mayRemove.insert({image.serial, QStringLiteral("*")});
            if (mosaic)
                playMosaic(action);
            else
                playSingle(action);
            forgetChangedPairings(paired);
            grab(++step, model::format({"", {action}}).substr(2));
            check();
            static const std::set<std::string> recomputing{"Compute", "Busy", "Strains", "OutOfPlane", "DeleteOld"};
            if (failure.empty())
                checkKeptResults(model::format({"", {action}}).substr(2), recomputing.count(action.name) > 0);
            if (!failure.empty())
                return failure + "\n  after: " + played.str();
        }
        return {};
    }
};

namespace model {

std::string& ignoredChecks() {
    static std::string ignored = [] {
        const char* given = std::getenv("TAVRO_MODEL_IGNORE");
        return std::string(given ? given : "");
    }();
    return ignored;
}

std::string play(const Sequence& sequence) {
    WindowModelAccess world;
    return world.run(sequence);
}

}  // namespace model

}  // namespace tavro::gui
