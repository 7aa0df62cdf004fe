#include "gui/foundation/tile_crop_dialog.h"

#include "gui/foundation/image_view_widget.h"
#include "gui/foundation/message_boxes.h"
#include "support/test_application.h"

#include <QApplication>
#include <QPushButton>
#include <QSpinBox>

#include <gtest/gtest.h>

namespace tavro::gui {
namespace {

QImage tileImage(int width, int height) {
    QImage image(width, height, QImage::Format_Grayscale8);
    image.fill(QColor(90, 90, 90));
    return image;
}

QPushButton* button(const QDialog& dialog, const QString& text) {
    for (QPushButton* candidate : dialog.findChildren<QPushButton*>())
        if (candidate->text() == text)
            return candidate;
    return nullptr;
}

class TileCrop : public ::testing::Test {
protected:
    void SetUp() override { test::testApplication(); }

    static QSpinBox* box(const QDialog& dialog, const char* name) {
        return dialog.findChild<QSpinBox*>(QString::fromLatin1(name));
    }
    static QRect boxes(const QDialog& dialog) {
        return QRect(box(dialog, "cropX")->value(), box(dialog, "cropY")->value(), box(dialog, "cropWidth")->value(),
                     box(dialog, "cropHeight")->value());
    }
    static ImageViewWidget* view(const QDialog& dialog) { return dialog.findChild<ImageViewWidget*>(); }
};

TEST_F(TileCrop, OpensOnTheTileWithTheCropInViewAndBoxes) {
    const TileCropDialog dialog(tileImage(200, 100), QRect(10, 20, 30, 40), nullptr);
    ASSERT_NE(view(dialog), nullptr);
    EXPECT_TRUE(view(dialog)->isRoiSelectionEnabled());
    EXPECT_EQ(view(dialog)->image().size(), QSize(200, 100));
    EXPECT_EQ(view(dialog)->roi(), QRect(10, 20, 30, 40));
    EXPECT_EQ(dialog.cropRect(), QRect(10, 20, 30, 40));
    EXPECT_EQ(boxes(dialog), QRect(10, 20, 30, 40));
    EXPECT_EQ(box(dialog, "cropX")->maximum(), 199);
    EXPECT_EQ(box(dialog, "cropY")->maximum(), 99);
    EXPECT_EQ(box(dialog, "cropWidth")->minimum(), 1);
    EXPECT_EQ(box(dialog, "cropWidth")->maximum(), 200);
    EXPECT_EQ(box(dialog, "cropHeight")->maximum(), 100);
    EXPECT_TRUE(button(dialog, QStringLiteral("Apply"))->isDefault());
}

TEST_F(TileCrop, InvalidEmptyOrForeignCropSelectsTheWholeTile) {
    for (const QRect crop : {QRect(), QRect(5, 5, 0, 10), QRect(300, 300, 20, 20)}) {
        const TileCropDialog dialog(tileImage(200, 100), crop, nullptr);
        EXPECT_EQ(dialog.cropRect(), QRect(0, 0, 200, 100));
        EXPECT_EQ(boxes(dialog), QRect(0, 0, 200, 100));
        EXPECT_EQ(view(dialog)->roi(), QRect(0, 0, 200, 100));
    }
    const TileCropDialog partly(tileImage(200, 100), QRect(150, 50, 100, 100), nullptr);
    EXPECT_EQ(partly.cropRect(), QRect(150, 50, 50, 50));
    EXPECT_EQ(boxes(partly), QRect(150, 50, 50, 50));
}

TEST_F(TileCrop, SpinBoxesCutTheCropAtTheTileEdgeAndMoveTheRegion) {
    const TileCropDialog dialog(tileImage(200, 100), QRect(), nullptr);
    box(dialog, "cropX")->setValue(199);
    EXPECT_EQ(dialog.cropRect(), QRect(199, 0, 1, 100));
    EXPECT_EQ(view(dialog)->roi(), QRect(199, 0, 1, 100));
    EXPECT_EQ(boxes(dialog), QRect(199, 0, 1, 100));

    box(dialog, "cropWidth")->setValue(5);
    EXPECT_EQ(dialog.cropRect(), QRect(199, 0, 1, 100));
    EXPECT_EQ(box(dialog, "cropWidth")->value(), 1) << "the boxes never show a size that is not applied";

    box(dialog, "cropX")->setValue(20);
    box(dialog, "cropWidth")->setValue(50);
    box(dialog, "cropY")->setValue(10);
    box(dialog, "cropHeight")->setValue(30);
    EXPECT_EQ(dialog.cropRect(), QRect(20, 10, 50, 30));
    EXPECT_EQ(view(dialog)->roi(), QRect(20, 10, 50, 30));
}

TEST_F(TileCrop, RegionDrawnOnTheViewFillsTheBoxes) {
    const TileCropDialog dialog(tileImage(200, 100), QRect(), nullptr);
    view(dialog)->setRoi(QRect(30, 40, 50, 20));
    EXPECT_EQ(dialog.cropRect(), QRect(30, 40, 50, 20));
    EXPECT_EQ(boxes(dialog), QRect(30, 40, 50, 20));

    view(dialog)->clearRoi();
    EXPECT_EQ(dialog.cropRect(), QRect(0, 0, 200, 100));
    EXPECT_EQ(boxes(dialog), QRect(0, 0, 200, 100));
    EXPECT_TRUE(view(dialog)->roi().isNull()) << "the view is not given the whole tile back";
}

TEST_F(TileCrop, ResetThenApplyReturnsTheWholeTile) {
    TileCropDialog dialog(tileImage(200, 100), QRect(10, 10, 20, 20), nullptr);
    const ScopedDialogResponder responder({[](QDialog& shown) {
                                               button(shown, QStringLiteral("Reset"))->click();
                                               button(shown, QStringLiteral("Apply"))->click();
                                           },
                                           nullptr});
    EXPECT_EQ(runModalDialog(dialog), QDialog::Accepted);
    EXPECT_EQ(dialog.cropRect(), QRect(0, 0, 200, 100));
    EXPECT_EQ(view(dialog)->roi(), QRect(0, 0, 200, 100));
}

TEST_F(TileCrop, CancelAndClosingReject) {
    TileCropDialog dialog(tileImage(200, 100), QRect(10, 10, 20, 20), nullptr);
    {
        const ScopedDialogResponder responder(
            {[](QDialog& shown) { button(shown, QStringLiteral("Cancel"))->click(); }, nullptr});
        EXPECT_EQ(runModalDialog(dialog), QDialog::Rejected);
    }
    {
        const ScopedDialogResponder responder({[](QDialog& shown) { shown.close(); }, nullptr});
        EXPECT_EQ(runModalDialog(dialog), QDialog::Rejected);
    }
}

}  // namespace
}  // namespace tavro::gui
