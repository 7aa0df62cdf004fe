// Assembled mosaics in the project folder, and their reconstruction from the
// saved tile positions when the files are missing or stale.
#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/elided_label.h"
#include "images/image_io.h"
#include "images/image_write.h"
#include "gui/foundation/message_boxes.h"
#include "gui/mainwindow/mosaic_file_record.h"
#include "gui/mainwindow/run_async.h"
#include "stitching/mosaic_composition.h"
#include "stitching/mosaic_stitcher.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <optional>

namespace tavro::gui {

namespace {

const QString kReferenceMosaicFile = QStringLiteral("mosaic_reference.tiff");

void cutMosaic(LoadedImage& mosaic, const QSize& size) {
    if (mosaic.full.isNull() || (mosaic.full.width() <= size.width() && mosaic.full.height() <= size.height()))
        return;
    mosaic.full = mosaic.full.copy(0, 0, std::min(mosaic.full.width(), size.width()),
                                   std::min(mosaic.full.height(), size.height()));
    mosaic.originalSize = mosaic.full.size();
    mosaic.preview = makePreview(mosaic.full);
}

// A saved mosaic counts only when it reads and still has the stored size.
bool acceptSavedMosaic(const QString& path, const QSize& expected, LoadedImage& mosaic) {
    if (!QFileInfo::exists(path))
        return false;
    LoadedImage loaded;
    QString error;
    if (!loadImage(path, loaded, error) || loaded.originalSize != expected)
        return false;
    mosaic = std::move(loaded);
    return true;
}

bool validCrop(const QRect& crop) { return crop.isValid() && !crop.isEmpty(); }

std::optional<QImage> readReconstructionTile(const QString& path, const QRect& crop) {
    QImage tile(path);
    if (tile.isNull())
        return std::nullopt;
    if (tile.format() != QImage::Format_Grayscale8 && tile.format() != QImage::Format_Grayscale16)
        tile = tile.convertToFormat(QImage::Format_Grayscale8);
    if (validCrop(crop)) {
        const QRect kept = crop & tile.rect();
        if (!kept.isEmpty())
            tile = tile.copy(kept);
    }
    return tile;
}

int presentTileCount(const QList<stitching::TilePosition>& positions) {
    return static_cast<int>(std::count_if(positions.begin(), positions.end(),
                                          [](const stitching::TilePosition& p) { return p.tileIndex >= 0; }));
}

struct Composition {
    bool ok = false;
    QImage mosaic;
    QString error;
};

}  // namespace

void MainWidget::saveMosaicsToProject(bool rewriteExisting) {
    if (appliedProjectFolder.isEmpty())
        return;
    int written = 0;
    int reused = 0;
    QStringList failures;
    const auto save = [&](LoadedImage& mosaic, const QString& name) {
        if (mosaic.full.isNull())
            return;
        const QString path = appliedProjectFolder + QLatin1Char('/') + name;
        if (!rewriteExisting && verifyWrittenTiff(path, mosaic.full)) {
            mosaic.path = path;
            ++reused;
            return;
        }
        QString error;
        if (writeGrayTiff(path, mosaic.full, error, {}, appliedProjectFolder)) {
            mosaic.path = path;
            mosaic.originalSize = mosaic.full.size();
            ++written;
        } else {
            mosaic.path.clear();
            qWarning().noquote() << "[GUI] Mosaic save failed:" << path << error;
            failures << QStringLiteral("%1: %2").arg(name, error);
        }
    };
    save(referenceImage, kReferenceMosaicFile);
    for (std::size_t k = 0; k < deformedImages.size(); ++k)
        save(deformedImages[k], deformedMosaicFileName(static_cast<int>(k) + 1));
    recordMosaicFiles();
    // In the middle of a project load the file is left to the load, which
    // writes it whole once everything, the mask included, is restored.
    if (!autosaveSuppressed)
        saveParametersToFile(appliedProjectFolder + QStringLiteral("/parameters.json"));
    // A mosaic that is not on disk is assembled again at the next opening:
    // nothing is lost, but the user must know the folder refused it.
    if (!failures.isEmpty())
        showMessage(this, QStringLiteral("Mosaic files"),
                    QStringLiteral("%1 mosaic file(s) could not be written: %2")
                        .arg(failures.size())
                        .arg(failures.front()));
    qDebug().noquote() << "[GUI] Mosaïques :" << written << "écrite(s)," << reused << "réutilisée(s) dans"
                       << appliedProjectFolder;
}

// Files beyond the current mosaics belonged to states that have none now;
// the record names the state of every file that is left.
void MainWidget::recordMosaicFiles() {
    for (int k = static_cast<int>(deformedImages.size()) + 1;; ++k) {
        const QString stale = appliedProjectFolder + QLatin1Char('/') + deformedMosaicFileName(k);
        if (!QFileInfo::exists(stale) || !QFile::remove(stale))
            break;
    }
    if (!assembledMosaicConfig || referenceImage.path.isEmpty()) {
        removeMosaicFileRecord(appliedProjectFolder);
        return;
    }
    MosaicFileRecord record{*assembledMosaicConfig, referenceImage.originalSize, {}};
    for (int k = 0; k < static_cast<int>(deformedImages.size()); ++k) {
        const int state = stateOfMosaic(mosaicStateImageIndex, k);
        const QString& path = deformedImages[static_cast<std::size_t>(k)].path;
        if (state >= 0 && !path.isEmpty())
            record.states.push_back({state, QFileInfo(path).fileName()});
    }
    QString error;
    if (!writeMosaicFileRecord(appliedProjectFolder, record, error)) {
        qWarning().noquote() << "[GUI] Mosaic record not written:" << error;
        removeMosaicFileRecord(appliedProjectFolder);
    }
}

bool MainWidget::loadSavedMosaicsFromProject() {
    if (appliedProjectFolder.isEmpty() || !mosaicFinalSize || mosaicFinalSize->width() < 1 ||
        mosaicFinalSize->height() < 1)
        return false;
    const QSize expected = *mosaicFinalSize;
    std::vector<int> states;
    for (int s = 0; s < mosaicDefTilePaths.size(); ++s)
        if (!mosaicDefTilePaths[s].isEmpty())
            states.push_back(s);
    const int n = static_cast<int>(states.size());
    // Files count only for the configuration and tiles they were assembled
    // from, each read as the state the record names.
    const std::optional<MosaicFileRecord> record = readMosaicFileRecord(appliedProjectFolder);
    if (!record || record->size != expected || record->config != currentMosaicConfig())
        return false;

    LoadedImage reference;
    if (!acceptSavedMosaic(appliedProjectFolder + QLatin1Char('/') + kReferenceMosaicFile, expected, reference))
        return false;
    std::vector<LoadedImage> deformed;
    for (int k = 1; k <= n; ++k) {
        setStatus(QStringLiteral("Loading saved mosaic %1/%2...").arg(k).arg(n));
        QCoreApplication::processEvents();
        if (loadCancelFlag->load())
            return false;
        const QString file = mosaicFileOfState(*record, states[static_cast<std::size_t>(k - 1)]);
        LoadedImage mosaic;
        if (file.isEmpty() || !acceptSavedMosaic(appliedProjectFolder + QLatin1Char('/') + file, expected, mosaic))
            return false;
        deformed.push_back(std::move(mosaic));
    }

    referenceImage = std::move(reference);
    deformedImages = std::move(deformed);
    mosaicDeformedNames.clear();
    mosaicStateImageIndex.clear();
    for (int i = 0; i < n; ++i) {
        mosaicDeformedNames << QStringLiteral("mosaic_state_%1").arg(states[static_cast<std::size_t>(i)] + 1);
        mosaicStateImageIndex[states[static_cast<std::size_t>(i)]] = i;
    }
    assembledMosaicConfig = record->config;
    adoptMosaicResults();
    updateTilePositionBoundsFromFirstTile();
    if (referenceView)
        referenceView->setImage(referenceImage.displayImage(), false);
    updateReferenceHistogram(referenceImage.displayImage());
    return true;
}

void MainWidget::updateTilePositionBoundsFromFirstTile() {
    if (mosaicRefTilePaths.isEmpty())
        return;
    QSize fileSize;
    if (!probeImageSize(mosaicRefTilePaths.front(), fileSize) || fileSize.isEmpty())
        return;
    const QSize tileSize = stitching::croppedTileSize(fileSize, tileCrop);
    stitching::setBoundsFromTileSize(referenceTilePositions, tileSize);
    stitching::setBoundsFromTileSize(deformedTilePositions, tileSize);
    for (QList<stitching::TilePosition>& state : deformedTilePositionsStates)
        stitching::setBoundsFromTileSize(state, tileSize);
}

void MainWidget::finalizeMosaicSetup(const QString& statusVerb) {
    if (!deformedImages.empty()) {
        showDeformedForCurrentState();
        updateDeformedList();
    }
    for (LoadedImage& mosaic : deformedImages)
        if (!mosaic.path.isEmpty() && !mosaic.preview.isNull())
            mosaic.releaseFullImage();
    QTimer::singleShot(0, this, [this] {
        for (ImageViewWidget* view : {referenceView, deformedView})
            if (view)
                view->fitToWindow();
    });
    const QSize size = referenceImage.originalSize;
    mosaicFinalSize = size;
    setMosaicStatusText(QStringLiteral("Mosaics %1 (%2x%3 pixels, %4 state(s))")
                            .arg(statusVerb)
                            .arg(size.width())
                            .arg(size.height())
                            .arg(deformedImages.size()));
    setMosaicRoiBoxes(size);
    if (referenceView)
        referenceView->clearRoi();
}

void MainWidget::setMosaicStatusText(const QString& text, const QString& tail) {
    if (!statusLabel)
        return;
    statusLabel->setText((mosaicRefinementSummary.isEmpty()
                              ? text
                              : text + QStringLiteral(" \u2014 refinement: ") + mosaicRefinementSummary) +
                         tail);
    statusLabel->setToolTip(mosaicRefinementSummary);
}

void MainWidget::endMosaicReconstruction(const QString& status) { setStatus(status); }

void MainWidget::reconstructMosaicsFromPositions() {
    if (referenceTilePositions.isEmpty() || mosaicRefTilePaths.isEmpty())
        return;
    // Nested in a project load's own scope, the busy state lasts to the load's end.
    const BusyScope busy(this, true);
    loadCancelFlag->store(false);
    setStatus(QStringLiteral("Loading mosaics..."));
    QCoreApplication::processEvents();
    if (loadSavedMosaicsFromProject()) {
        finalizeMosaicSetup(QStringLiteral("loaded from project"));
        return;
    }

    const QString cancelled = QStringLiteral("Reconstruction cancelled.");
    // Events run between tiles, so Stop can be pressed: true when it was.
    const auto stopRequested = [this] {
        QCoreApplication::processEvents();
        if (stopButton)
            stopButton->setEnabled(true);
        return loadCancelFlag->load();
    };
    const auto compose = [this](std::vector<QImage> tiles, QList<stitching::TilePosition> positions,
                                const QString& message) {
        return runAsyncWithUI(
            [tiles = std::move(tiles), positions = std::move(positions)] {
                Composition out;
                stitching::MosaicStitcher stitcher;
                out.ok = stitcher.stitchFromPositions(tiles, positions, out.mosaic, out.error);
                return out;
            },
            *loadCancelFlag, statusLabel, message);
    };

    // The saved positions came from the recorded assembly: the rebuilt
    // mosaics are current only when its configuration is still the controls'.
    const std::optional<MosaicFileRecord> record = readMosaicFileRecord(appliedProjectFolder);
    const std::optional<MosaicConfiguration> rebuiltFrom =
        record ? std::optional<MosaicConfiguration>(record->config) : std::nullopt;
    setStatus(QStringLiteral("Reconstructing mosaics from saved positions..."));
    std::vector<QImage> referenceTiles;
    const int referenceCount = static_cast<int>(mosaicRefTilePaths.size());
    for (int i = 0; i < referenceCount; ++i) {
        if (stopRequested())
            return endMosaicReconstruction(cancelled);
        setStatus(QStringLiteral("Loading reference tile %1/%2...").arg(i + 1).arg(referenceCount));
        std::optional<QImage> tile = readReconstructionTile(mosaicRefTilePaths[i], tileCrop);
        if (!tile) {
            qWarning().noquote() << "[GUI] Impossible de charger la tuile:" << mosaicRefTilePaths[i];
            return endMosaicReconstruction(QStringLiteral("Reconstruction error: ") + mosaicRefTilePaths[i]);
        }
        referenceTiles.push_back(std::move(*tile));
    }
    const QSize tileSize = referenceTiles.front().size();
    stitching::setBoundsFromTileSize(referenceTilePositions, tileSize);
    stitching::setBoundsFromTileSize(deformedTilePositions, tileSize);
    for (QList<stitching::TilePosition>& state : deformedTilePositionsStates)
        stitching::setBoundsFromTileSize(state, tileSize);

    const std::optional<Composition> reference =
        compose(std::move(referenceTiles), referenceTilePositions, QStringLiteral("Assembling reference mosaic..."));
    if (!reference)
        return endMosaicReconstruction(cancelled);
    if (!reference->ok) {
        qWarning().noquote() << "[GUI] Erreur reconstruction mosaïque référence:" << reference->error;
        return endMosaicReconstruction(QStringLiteral("Reconstruction error: ") + reference->error);
    }
    showReferenceMosaicAlone(reference->mosaic);
    QSize common = referenceImage.originalSize;
    // Each state is composed with its own saved placement (files of earlier
    // versions kept one for every state). A state without one was not
    // assembled with the others, or lost its assembly: the reference's
    // placement would put its shifted tiles where they are not, so it is left
    // for the next run to assemble.
    const auto positionsOf = [&](int state) {
        return deformedTilePositionsStates.isEmpty() ? deformedTilePositions
                                                     : deformedTilePositionsStates.value(state);
    };
    std::vector<int> states;
    for (int s = 0; s < mosaicDefTilePaths.size(); ++s)
        if (!mosaicDefTilePaths[s].isEmpty())
            states.push_back(s);
    const int n = static_cast<int>(states.size());
    for (int j = 1; j <= n; ++j) {
        const int state = states[static_cast<std::size_t>(j - 1)];
        if (stopRequested())
            return endMosaicReconstruction(cancelled);
        setStatus(QStringLiteral("Reconstructing deformed mosaic %1/%2...").arg(j).arg(n));
        std::vector<QImage> tiles;
        for (const QString& path : mosaicDefTilePaths[state]) {
            if (loadCancelFlag->load())
                return endMosaicReconstruction(cancelled);
            std::optional<QImage> tile = readReconstructionTile(path, tileCrop);
            if (tile)
                tiles.push_back(std::move(*tile));
            else
                qWarning().noquote() << "[GUI] Impossible de charger la tuile déformée:" << path;
        }
        const QList<stitching::TilePosition> positions = positionsOf(state);
        if (positions.isEmpty())
            continue;
        const int expected = presentTileCount(positions);
        if (static_cast<int>(tiles.size()) != expected) {
            qWarning().noquote() << "[GUI] Nombre de tuiles différent des positions pour état" << state << "("
                                 << tiles.size() << "tuiles vs" << expected << "positions présentes)";
            continue;
        }
        const std::optional<Composition> composed =
            compose(std::move(tiles), positions, QStringLiteral("Assembling deformed mosaic %1/%2...").arg(j).arg(n));
        if (!composed)
            return endMosaicReconstruction(cancelled);
        if (!composed->ok) {
            qWarning().noquote() << "[GUI] Erreur reconstruction mosaïque déformée:" << composed->error;
            continue;
        }
        common = common.boundedTo(composed->mosaic.size());
        mosaicStateImageIndex[state] = static_cast<int>(deformedImages.size());
        deformedImages.push_back(loadedMosaic(composed->mosaic));
        mosaicDeformedNames << QStringLiteral("mosaic_state_%1").arg(state + 1);
    }

    adoptMosaicResults();
    const QSize before = referenceImage.originalSize;
    cutMosaic(referenceImage, common);
    for (LoadedImage& mosaic : deformedImages)
        cutMosaic(mosaic, common);
    if (referenceImage.originalSize != before && referenceView)
        referenceView->setImage(referenceImage.displayImage(), false);
    // The files were not trusted, or the mosaics would have been read: a file
    // of the right size may hold another state's or configuration's mosaic,
    // so every one is written again.
    assembledMosaicConfig = rebuiltFrom;
    saveMosaicsToProject(true);
    finalizeMosaicSetup(QStringLiteral("reconstructed"));
}

}  // namespace tavro::gui
