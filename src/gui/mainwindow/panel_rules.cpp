#include "gui/mainwindow/panel_rules.h"

namespace tavro::gui {

int oddWindowSize(int value, int maximum) {
    if (value % 2 != 0)
        return value;
    return value + 1 > maximum ? value - 1 : value + 1;
}

GpuChoices gpuChoices(const std::vector<GpuInfo>& devices) {
    GpuChoices choices;
    if (devices.empty()) {
        choices.items.push_back({QStringLiteral("No GPU detected"), kNoGpuChoice});
        return choices;
    }
    choices.usable = true;
    if (devices.size() >= 2)
        choices.items.push_back(
            {QStringLiteral("All GPUs (%1 devices)").arg(static_cast<qulonglong>(devices.size())), kAllGpusChoice});
    for (const GpuInfo& device : devices)
        choices.items.push_back({QStringLiteral("%1 (%2 MB)")
                                     .arg(QString::fromStdString(device.name))
                                     .arg(static_cast<qulonglong>(device.totalMB)),
                                 device.deviceId});
    choices.current = devices.size() >= 2 ? 1 : 0;
    return choices;
}

int rowAfterMove(int index, int first, int last, int destination) {
    if (destination >= first && destination <= last + 1)
        return index;
    const int moved = last - first + 1;
    if (index >= first && index <= last)
        return destination > last ? index + destination - last - 1 : destination + index - first;
    if (destination > last && index > last && index < destination)
        return index - moved;
    if (destination < first && index >= destination && index < first)
        return index + moved;
    return index;
}

}  // namespace tavro::gui

namespace tavro::gui {

ListButtonStates listButtonStates(int count, int currentRow, bool hasSelection, bool moveNeedsSelection) {
    const bool current = currentRow >= 0 && currentRow < count && (hasSelection || !moveNeedsSelection);
    return {hasSelection && count > 0, current && currentRow >= 1, current && currentRow < count - 1, count > 0};
}

}  // namespace tavro::gui
