#include "gui/mainwindow/result_summary.h"

#include <QStringList>

namespace tavro::gui {

namespace {

QString number(float value) { return QString::number(static_cast<double>(value), 'g', 4); }

QString range(float low, float high) { return QStringLiteral("[%1,%2]").arg(number(low), number(high)); }

}  // namespace

QString resultSummaryText(const ComputationResult& result) {
    const PixelDisplacementResult& grid = *result.displacements;
    const QString model = QStringLiteral("%1 %2 x %3 (%4)")
                              .arg(result.shapeFunctionName)
                              .arg(grid.gridWidth)
                              .arg(grid.gridHeight)
                              .arg(result.interpolationName);
    const QRect& roi = result.roi;
    QString text = QStringLiteral("Rigid \u0394x=%1 \u0394y=%2 (\u03c1=%3) | %4 sur ROI (%5, %6) %7 x %8 | Ux:%9 Uy:%10")
                       .arg(number(result.rigid.shiftX), number(result.rigid.shiftY), number(result.rigid.peakRatio),
                            model)
                       .arg(roi.x())
                       .arg(roi.y())
                       .arg(roi.width())
                       .arg(roi.height())
                       .arg(range(result.autoMinUx, result.autoMaxUx), range(result.autoMinUy, result.autoMaxUy));
    if (!result.hasStrain)
        return text;
    static const char16_t* const labels[kStrainRangeCount] = {u"\u03b5xx", u"\u03b5yy", u"\u03b5xy",
                                                              u"\u03b5I",  u"\u03b5II", u"Rotation \u03c9"};
    QStringList items;
    for (std::size_t c = 0; c < static_cast<std::size_t>(kStrainRangeCount); ++c)
        items << QString::fromUtf16(labels[c]) + QLatin1Char(':') +
                     range(result.strainAutoMin[c], result.strainAutoMax[c]);
    return text + QStringLiteral(" | ") + items.join(QLatin1Char(' '));
}

}  // namespace tavro::gui
