#include "gui/mainwindow/result_page_parts.h"

#include "gui/foundation/contrast_histogram_widget.h"
#include "gui/foundation/image_view_widget.h"
#include "gui/foundation/theme.h"
#include "gui/mainwindow/main_widget.h"
#include "gui/style/switch_widget.h"

#include <QBoxLayout>
#include <QEvent>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QSlider>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>
#include <vector>

namespace tavro::gui {

namespace {

constexpr int kHistogramRowMargin = 8;

QIcon autoIcon() {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QFont font = painter.font();
    font.setPixelSize(14);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(pixmap.rect(), Qt::AlignCenter, QStringLiteral("A"));
    painter.end();
    return QIcon(pixmap);
}

QToolButton* makeHistogramButton(const QString& text, const QIcon& icon, const QString& toolTip, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setText(text);
    button->setIcon(icon);
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    button->setStyleSheet(checkableToolButtonStyle());
    if (!toolTip.isEmpty())
        button->setToolTip(toolTip);
    button->setEnabled(false);
    return button;
}

// Below the width its named buttons need, a histogram panel shows their icons
// alone (the names stay in the tooltips) rather than texts cut in the middle.
class CompactButtons : public QObject {
public:
    CompactButtons(QWidget* panel, std::vector<QToolButton*> buttons) : QObject(panel), buttons_(std::move(buttons)) {
        for (QToolButton* button : buttons_) {
            if (button->toolTip().isEmpty())
                button->setToolTip(button->text());
            button->setMinimumWidth(kIconOnlyWidth);
        }
        panel->installEventFilter(this);
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Resize)
            return false;
        if (namedWidth_ == 0)
            for (const QToolButton* button : buttons_)
                namedWidth_ += button->sizeHint().width() + kSpacing;
        const bool compact = static_cast<QWidget*>(watched)->width() < namedWidth_ + kMargins;
        for (QToolButton* button : buttons_)
            button->setToolButtonStyle(compact ? Qt::ToolButtonIconOnly : Qt::ToolButtonTextBesideIcon);
        return false;
    }

private:
    static constexpr int kIconOnlyWidth = 28;
    static constexpr int kSpacing = 8;
    static constexpr int kMargins = 2 * kHistogramRowMargin + 16;
    std::vector<QToolButton*> buttons_;
    int namedWidth_ = 0;
};

}  // namespace

QToolButton* makeViewToolButton(const QString& text, const QString& iconPath, const QString& toolTip,
                                QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setText(text);
    if (!iconPath.isEmpty()) {
        button->setIcon(QIcon(iconPath));
        if (!text.isEmpty())
            button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    }
    button->setToolTip(toolTip);
    button->setStyleSheet(checkableToolButtonStyle());
    button->setCheckable(true);
    return button;
}

QToolButton* makeFitButton(QWidget* parent) {
    return makeViewToolButton(QStringLiteral("Fit"), QStringLiteral(":/icons/Fit.svg"),
                              QStringLiteral("Fit to window"), parent);
}

QToolButton* makeOneToOneButton(QWidget* parent) {
    QToolButton* button = makeViewToolButton(QStringLiteral("1:1"), QString(), QStringLiteral("Scale 1:1"), parent);
    button->setFixedSize(28, 20);
    return button;
}

QToolButton* makeSyncButton(const QString& toolTip, QWidget* parent) {
    QToolButton* button = makeViewToolButton(QStringLiteral("Sync"), QStringLiteral(":/icons/link_on.svg"), toolTip,
                                             parent);
    button->setChecked(true);
    return button;
}

QToolButton* makeMarkersButton(const QString& toolTip, QWidget* parent) {
    return makeViewToolButton(QString(), QStringLiteral(":/icons/label.svg"), toolTip, parent);
}

QLabel* makeViewTitle(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setAlignment(Qt::AlignCenter);
    label->setStyleSheet(QStringLiteral("font-size: 14px;"));
    return label;
}

QPushButton* makeStepButton(const QString& text, int width, const QString& styleSheet, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setFixedWidth(width);
    button->setStyleSheet(styleSheet);
    button->setEnabled(false);
    return button;
}

QSlider* makeStepSlider(QWidget* parent) {
    auto* slider = new QSlider(Qt::Horizontal, parent);
    slider->setRange(0, 0);
    slider->setValue(0);
    slider->setEnabled(false);
    return slider;
}

void configureResultView(ImageViewWidget* view) {
    // Two maps side by side stay readable in the smallest window.
    view->setMinimumSize(250, 180);
    view->setRoiSelectionEnabled(false);
    view->setMarkersEnabled(false);
    view->setCtrlPanEnabled(true);
}

StepRow addStepRow(QBoxLayout* layout, const QString& title, const QString& buttonStyle, QWidget* parent) {
    StepRow row;
    auto* column = new QVBoxLayout;
    column->setSpacing(4);
    row.label = makeViewTitle(title, parent);
    column->addWidget(row.label);
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(4);
    row.prevButton = makeStepButton(QStringLiteral("<"), 30, buttonStyle, parent);
    row.slider = makeStepSlider(parent);
    row.nextButton = makeStepButton(QStringLiteral(">"), 30, buttonStyle, parent);
    buttons->addWidget(row.prevButton);
    buttons->addWidget(row.slider);
    buttons->addWidget(row.nextButton);
    column->addLayout(buttons);
    layout->addLayout(column, 0);
    return row;
}

HistogramPanel makeHistogramPanel(const HistogramPanelSetup& setup, QWidget* parent) {
    HistogramPanel parts;
    parts.panel = new QWidget(parent);
    auto* layout = new QVBoxLayout(parts.panel);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(1);

    auto* header = new QWidget(parts.panel);
    header->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    auto* headerRow = new QHBoxLayout(header);
    headerRow->setContentsMargins(kHistogramRowMargin, 0, kHistogramRowMargin, 0);
    headerRow->setSpacing(6);
    parts.minMaxLabel = new QLabel(setup.minMaxText, header);
    parts.minMaxLabel->setStyleSheet(QStringLiteral("font-size: 10px;"));
    parts.minMaxLabel->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    // In a narrow window "Max" goes under "Min" rather than out of sight.
    parts.minMaxLabel->setWordWrap(true);
    auto* logLabel = new QLabel(QStringLiteral("Log"), header);
    logLabel->setStyleSheet(QStringLiteral("font-size: 10px;"));
    parts.logSwitch = new Switch(header);
    parts.logSwitch->setToolTip(QStringLiteral("Show logarithmic histogram"));
    parts.logSwitch->setChecked(false);
    parts.logSwitch->setEnabled(false);
    headerRow->addWidget(parts.minMaxLabel, 1);
    headerRow->addWidget(logLabel);
    headerRow->addWidget(parts.logSwitch);
    layout->addWidget(header);

    parts.histogram = new ContrastHistogramWidget(parts.panel);
    parts.histogram->setFixedHeight(100);
    parts.histogram->setEnabled(setup.enabled);
    layout->addWidget(parts.histogram);

    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(kHistogramRowMargin, 0, kHistogramRowMargin, 0);
    if (setup.buttonSpacing >= 0)
        buttons->setSpacing(setup.buttonSpacing);
    if (setup.hasAuto) {
        parts.autoButton = makeHistogramButton(QStringLiteral("Auto"), autoIcon(),
                                               QStringLiteral("Auto - Automatically adjust contrast"), parts.panel);
        buttons->addWidget(parts.autoButton);
    }
    parts.cropButton = makeHistogramButton(QStringLiteral("Crop"), QIcon(QStringLiteral(":/icons/Recadrer.svg")),
                                           QStringLiteral("Crop histogram to selection"), parts.panel);
    parts.resetButton = makeHistogramButton(QStringLiteral("Reset"), QIcon(QStringLiteral(":/icons/reset.svg")),
                                            QStringLiteral("Reset display"), parts.panel);
    buttons->addWidget(parts.cropButton);
    buttons->addWidget(parts.resetButton);
    buttons->addStretch();
    if (setup.hasApplyAll) {
        parts.applyAllButton = makeHistogramButton(QStringLiteral("Apply to all"),
                                                   QIcon(QStringLiteral(":/icons/apply_all.svg")), QString(),
                                                   parts.panel);
        buttons->addWidget(parts.applyAllButton);
    }
    layout->addLayout(buttons);
    layout->addSpacing(6);
    std::vector<QToolButton*> named;
    for (QToolButton* button : {parts.autoButton, parts.cropButton, parts.resetButton, parts.applyAllButton})
        if (button)
            named.push_back(button);
    new CompactButtons(parts.panel, std::move(named));

    parts.readout = new QLabel(setup.readout, parts.panel);
    parts.readout->setAlignment(Qt::AlignCenter);
    // A font set in pixels has no point size; scale whichever it has.
    QFont font = parts.readout->font();
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * 0.9);
    else if (font.pixelSize() > 0)
        font.setPixelSize(std::max(1, static_cast<int>(font.pixelSize() * 0.9 + 0.5)));
    parts.readout->setFont(font);
    layout->addWidget(parts.readout);
    return parts;
}

int minJumpSliderPosition(double pixels) { return static_cast<int>(pixels * 100.0 + 0.5); }

QString minJumpText(double pixels) { return QStringLiteral("%1 px").arg(pixels, 0, 'f', 2); }

std::optional<int> steppedSliderValue(int value, int minimum, int maximum, int step) {
    const int next = value + step;
    if (step == 0 || next < minimum || next > maximum)
        return std::nullopt;
    return next;
}

QString inputReadoutText(const QString& value, bool hasValue) {
    return hasValue && !value.isEmpty() ? value : QStringLiteral("Pixel : \u2014");
}

std::vector<FractureParameterRow> fractureParameterRows() {
    std::vector<FractureParameterRow> rows;
    for (const MainWidget::FractureFieldGroup& group : MainWidget::fractureFieldGroups) {
        rows.push_back({QStringLiteral("\u2500\u2500 %1 \u2500\u2500").arg(QString::fromUtf8(group.title)), -1,
                        QString::fromUtf8(group.tooltip)});
        for (int field : group.fields)
            rows.push_back({QStringLiteral("   %1").arg(QString::fromUtf8(
                                MainWidget::fractureFieldLabels[static_cast<std::size_t>(field)])),
                            field, QString()});
    }
    return rows;
}

}  // namespace tavro::gui
