#pragma once
// Which state each saved mosaic file holds, and the configuration it was
// assembled with. The files are numbered by position among the states that
// had tiles; without this record a file could be read back as another state's.

#include "gui/mainwindow/mosaic_assembly.h"

#include <QSize>
#include <QString>

#include <map>
#include <optional>
#include <vector>

namespace tavro::gui {

struct MosaicStateFile {
    int state = 0;  // 0-based deformed state
    QString file;   // name inside the project folder

    bool operator==(const MosaicStateFile&) const = default;
};

struct MosaicFileRecord {
    MosaicConfiguration config;
    QSize size;
    std::vector<MosaicStateFile> states;

    bool operator==(const MosaicFileRecord&) const = default;
};

// The record's file name inside the project folder.
QString mosaicFileRecordName();

bool writeMosaicFileRecord(const QString& folder, const MosaicFileRecord& record, QString& error);
// None when the file is missing or unreadable: the files are then not trusted.
std::optional<MosaicFileRecord> readMosaicFileRecord(const QString& folder);
bool removeMosaicFileRecord(const QString& folder);

// The state whose mosaic is the k-th in the window's list, -1 when none is.
int stateOfMosaic(const std::map<int, int>& stateToMosaic, int k);
// The index of `state`'s mosaic among `count` mosaics, -1 when it has none.
int mosaicOfState(const std::map<int, int>& stateToMosaic, int state, int count);

// The saved file of `state`, empty when the record has none.
QString mosaicFileOfState(const MosaicFileRecord& record, int state);

}  // namespace tavro::gui
