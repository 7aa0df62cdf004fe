// Files dropped onto the window, the manual and the About box, and the export
// of the shown displacement field to files of the user's choosing.
#include "gui/mainwindow/main_widget.h"

#include "images/field_rendering.h"
#include "images/image_write.h"
#include "gui/foundation/message_boxes.h"
#include "gui/foundation/theme.h"
#include "gui/mainwindow/input_rules.h"
#include "gui/mainwindow/run_async.h"
#include "gui/style/switch_widget.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>
#include <QUrl>
#include <QUrlQuery>
#include <QVBoxLayout>

#include <algorithm>

namespace tavro::gui {

namespace {

bool shown(const QWidget* widget) { return widget && widget->isVisible(); }

bool mosaicOn(const Switch* mosaicSwitch) { return mosaicSwitch && mosaicSwitch->isChecked(); }

QStringList droppedImageFiles(const QMimeData* mime) {
    QStringList files;
    if (!mime || !mime->hasUrls())
        return files;
    for (const QUrl& url : mime->urls()) {
        const QString file = url.toLocalFile();
        if (!file.isEmpty() && isDroppableImageName(file))
            files << file;
    }
    return files;
}

}  // namespace

void MainWidget::dragEnterEvent(QDragEnterEvent* event) {
    const QMimeData* mime = event->mimeData();
    if (!mime || !mime->hasUrls())
        return;
    for (const QUrl& url : mime->urls()) {
        const QString file = url.toLocalFile();
        if (!file.isEmpty() && isDroppableImageName(file)) {
            event->acceptProposedAction();
            setDropHighlight(true);
            return;
        }
    }
}

void MainWidget::dragLeaveEvent(QDragLeaveEvent*) { setDropHighlight(false); }

void MainWidget::dropEvent(QDropEvent* event) {
    setDropHighlight(false);
    const QStringList files = droppedImageFiles(event->mimeData());
    if (files.isEmpty())
        return;
    // A drop in the middle of a load or a run would change the inputs under it.
    if (inputsLocked()) {
        setStatus(QStringLiteral("Busy: dropped files ignored until the current task ends."));
        event->ignore();
        return;
    }
    if (dropOnHeightPanel(files)) {
        event->acceptProposedAction();
        return;
    }

    if (mosaicOn(mosaicSwitch)) {
        QStringList sorted = files;
        sortByFileName(sorted);
        const bool referenceTiles = shown(mosaicRefTilesBlock);
        if (!referenceTiles && !shown(mosaicDefTilesBlock))
            return;
        if (!referenceTiles) {
            while (static_cast<int>(mosaicDefTilePaths.size()) <= currentMosaicDefState)
                mosaicDefTilePaths.append(QStringList());
        }
        QStringList& tiles = referenceTiles ? mosaicRefTilePaths : mosaicDefTilePaths[currentMosaicDefState];
        const bool wasEmpty = tiles.isEmpty();
        int accepted = 0;
        const QStringList ignored = mergeTiles(tiles, sorted, accepted);
        if (!ignored.isEmpty())
            showMessage(this, QStringLiteral("Tiles ignored"),
                        QStringLiteral("The following tiles were ignored because their name already exists:\n%1")
                            .arg(ignored.join(QStringLiteral(", "))));
        if (accepted > 0) {
            QListWidget* list = referenceTiles ? mosaicRefTileList : mosaicDefTileList;
            fillTileNames(list, tiles);
            if (referenceTiles) {
                updateMosaicRefTilesControls();
            } else {
                updateMosaicDefTilesControls();
                updateDeformedList();
            }
            const bool noImage = referenceTiles ? referenceImage.full.isNull() && referenceImage.preview.isNull()
                                                : deformedImages.empty();
            if (list && list->count() > 0 && (wasEmpty || noImage)) {
                if (list->currentRow() < 0)
                    list->setCurrentRow(0);
                if (referenceTiles)
                    onMosaicRefTileDoubleClicked(list->currentItem());
                else
                    onMosaicDefTileDoubleClicked(list->currentItem());
                if (ImageViewWidget* view = referenceTiles ? referenceView : deformedView; view && wasEmpty)
                    view->fitToWindow();
            }
            setStatus(referenceTiles ? QStringLiteral("%1 reference tile(s) added").arg(accepted)
                                     : QStringLiteral("%1 deformed tile(s) added to state %2")
                                           .arg(accepted)
                                           .arg(currentMosaicDefState + 1));
            saveParametersToProject();
        }
        event->acceptProposedAction();
        return;
    }

    event->acceptProposedAction();
    if (shown(referencePage)) {
        loadImageFromPath(referencePathEdit, referenceImage, files.first());
    } else if (shown(deformedPage)) {
        for (const QString& file : files)
            addDeformedImageFromPath(file);
    }
}

void MainWidget::setDropHighlight(bool on) {
    const QString listStyle = on ? QStringLiteral("QListWidget { ") + selectionHighlightStyle() + QStringLiteral(" }")
                                 : QString();
    const QString& hintStyle = on ? highlightedInfoLabelStyle() : infoBoxLabelStyle();
    auto highlight = [&](QLabel* hint, QListWidget* list) {
        if (shown(hint))
            hint->setStyleSheet(hintStyle);
        if (shown(list))
            list->setStyleSheet(listStyle);
    };
    if (mosaicOn(mosaicSwitch)) {
        if (shown(mosaicRefTilesBlock))
            highlight(mosaicRefPlaceholder, mosaicRefTileList);
        else if (shown(mosaicDefTilesBlock))
            highlight(mosaicDefPlaceholder, mosaicDefTileList);
    } else if (shown(referencePage)) {
        if (referencePathEdit)
            referencePathEdit->setStyleSheet(
                on ? QStringLiteral("QLineEdit { ") + selectionHighlightStyle() + QStringLiteral(" }") : QString());
    } else if (shown(deformedPage)) {
        highlight(deformedHintLabel, deformedList);
    }
}

void MainWidget::openDocumentation() {
    const QString path = QCoreApplication::applicationDirPath() + QStringLiteral("/doc/Tavro2D_Documentation.html");
    if (QFileInfo::exists(path)) {
        // Without a browser the manual is still there: say where.
        if (!openExternalUrl(QUrl::fromLocalFile(path)))
            showCopyableMessage(this, QStringLiteral("Documentation"),
                                QStringLiteral("No browser could be started. Open this file in a browser:\n") + path);
    } else
        showMessage(this, QStringLiteral("Documentation"), QStringLiteral("Documentation file not found:\n") + path);
}

void MainWidget::showAboutDialog() {
    QDialog dialog(this);
    dialog.setWindowTitle(QStringLiteral("About Tavro2D"));
    auto* layout = new QVBoxLayout(&dialog);
    auto* header = new QLabel(
        QStringLiteral("<span style='font-size:19px; font-weight:600;'>Tavro2D</span>&nbsp;&nbsp;"
                       "<span style='color:%1;'>%2</span>")
            .arg(kTextMuted, QCoreApplication::applicationVersion().toHtmlEscaped()),
        &dialog);
    header->setTextFormat(Qt::RichText);
    header->setObjectName(QStringLiteral("aboutHeader"));
    layout->addWidget(header);
    auto* buttons = new QHBoxLayout;
    auto* contact = new QPushButton(QStringLiteral("Contact us"), &dialog);
    auto* close = new QPushButton(QStringLiteral("Close"), &dialog);
    close->setDefault(true);
    buttons->addStretch();
    buttons->addWidget(contact);
    buttons->addWidget(close);
    layout->addLayout(buttons);
    connect(contact, &QPushButton::clicked, &dialog, [this] { openContactLink(); });
    connect(close, &QPushButton::clicked, &dialog, &QDialog::accept);
    runModalDialog(dialog);
}

void MainWidget::onSaveDisplacements() {
    BusyScope busy(this, false);
    if (!shownDisplacements || shownDisplacements->dispX.empty())
        return;
    QString fileName = askSaveFileName(this, QStringLiteral("Save displacements"),
                                       QDir(defaultProjectDialogDir()).filePath(QStringLiteral("displacements.tif")),
                                       QStringLiteral("32-bit float TIFF (*.tif *.tiff)"));
    if (fileName.isEmpty())
        return;
    const QString lower = fileName.toLower();
    if (!lower.endsWith(QLatin1String(".tif")) && !lower.endsWith(QLatin1String(".tiff")))
        fileName += QStringLiteral(".tif");

    const QString paths[2] = {suffixedExportPath(fileName, QStringLiteral("_ux")),
                              suffixedExportPath(fileName, QStringLiteral("_uy"))};
    // The dialog asked about the name the user typed, not about the two files
    // written beside it.
    QStringList existing;
    for (const QString& path : paths)
        if (QFileInfo::exists(path))
            existing << QFileInfo(path).fileName();
    if (!existing.isEmpty() &&
        askQuestion(this, QStringLiteral("Save displacements"),
                    QStringLiteral("These files already exist:\n%1\n\nReplace them?").arg(existing.join(QStringLiteral("\n"))),
                    QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
        return;

    const PixelDisplacementResult& field = *shownDisplacements;
    const ResultGeometry& g = shownResultGeometry;
    const bool expand = saveFullImageCheck && saveFullImageCheck->isChecked() && g.imageWidth >= 1 &&
                        g.imageHeight >= 1;
    const int width = expand ? g.imageWidth : field.gridWidth;
    const int height = expand ? g.imageHeight : field.gridHeight;
    const std::vector<float>* components[2] = {&field.dispX, &field.dispY};
    const QString names[2] = {QStringLiteral("Ux"), QStringLiteral("Uy")};

    if (progressBar) {
        progressBar->setRange(0, 2);
        progressBar->setValue(0);
    }
    for (int c = 0; c < 2; ++c) {
        setStatus(QStringLiteral("Saving displacement %1...").arg(names[c]));
        QCoreApplication::processEvents();
        std::vector<float> raster;
        if (expand)
            raster = expandGridToImage(*components[c], field.gridWidth, field.gridHeight, g.imageWidth, g.imageHeight,
                                       g.roi, g.stepX, g.stepY, g.windowSizeX, g.windowSizeY, g.marginY, g.marginX);
        QString error;
        const bool written = expand && raster.empty()
                                 ? (error = QStringLiteral("the field does not fit its grid"), false)
                                 : writeFloatTiff(paths[c], width, height, expand ? raster : *components[c], error,
                                                  guiWriteProgress());
        if (!written) {
            showMessage(this, QStringLiteral("Save"), error);
            return;
        }
        if (progressBar)
            progressBar->setValue(c + 1);
    }
    setStatus(QStringLiteral("Displacements saved to %1 and %2%3")
                  .arg(paths[0], paths[1],
                       expand ? QStringLiteral(" (full image %1\u00d7%2)").arg(width).arg(height)
                              : QStringLiteral(" (computation area %1\u00d7%2)").arg(width).arg(height)));
}

}  // namespace tavro::gui
