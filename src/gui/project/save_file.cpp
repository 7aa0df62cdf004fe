#include "gui/project/save_file.h"

namespace tavro::gui {

bool commitSaveFile(QSaveFile& file, bool written, QString& error) {
    if (!written || !file.flush() || file.error() != QFileDevice::NoError) {
        error = file.errorString();
        file.cancelWriting();
        file.commit();
        return false;
    }
    if (!file.commit()) {
        error = file.errorString();
        return false;
    }
    return true;
}

}  // namespace tavro::gui
