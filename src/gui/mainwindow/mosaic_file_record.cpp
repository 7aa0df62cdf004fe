#include "gui/mainwindow/mosaic_file_record.h"

#include "platform/replaced_file.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace tavro::gui {

namespace {

QJsonArray toArray(const QStringList& list) { return QJsonArray::fromStringList(list); }

QStringList toList(const QJsonValue& value) {
    QStringList list;
    for (const QJsonValue& item : value.toArray())
        list << item.toString();
    return list;
}

QJsonObject toJson(const MosaicConfiguration& c) {
    QJsonArray states;
    for (const QStringList& tiles : c.stateTiles)
        states.append(toArray(tiles));
    return {{QStringLiteral("rows"), c.rows},
            {QStringLiteral("cols"), c.cols},
            {QStringLiteral("overlapX"), c.overlapX},
            {QStringLiteral("overlapY"), c.overlapY},
            {QStringLiteral("scanOrder"), c.scanOrder},
            {QStringLiteral("crop"), QJsonArray{c.crop.x(), c.crop.y(), c.crop.width(), c.crop.height()}},
            {QStringLiteral("nonRigid"), c.nonRigid},
            {QStringLiteral("phaseCorrelation"), c.phaseCorrelation},
            {QStringLiteral("allowMissingTiles"), c.allowMissingTiles},
            {QStringLiteral("missingTilePositions"), c.missingTilePositions},
            {QStringLiteral("referenceTiles"), toArray(c.referenceTiles)},
            {QStringLiteral("stateTiles"), states}};
}

MosaicConfiguration configFromJson(const QJsonObject& o) {
    MosaicConfiguration c;
    c.rows = o.value(QStringLiteral("rows")).toInt();
    c.cols = o.value(QStringLiteral("cols")).toInt();
    c.overlapX = o.value(QStringLiteral("overlapX")).toInt();
    c.overlapY = o.value(QStringLiteral("overlapY")).toInt();
    c.scanOrder = o.value(QStringLiteral("scanOrder")).toInt();
    const QJsonArray crop = o.value(QStringLiteral("crop")).toArray();
    // A null rectangle is written as 0, 0, 0, 0 and must read back null, not empty.
    if (crop.size() == 4 && (crop[2].toInt() != 0 || crop[3].toInt() != 0))
        c.crop = QRect(crop[0].toInt(), crop[1].toInt(), crop[2].toInt(), crop[3].toInt());
    c.nonRigid = o.value(QStringLiteral("nonRigid")).toBool();
    c.phaseCorrelation = o.value(QStringLiteral("phaseCorrelation")).toBool(true);
    c.allowMissingTiles = o.value(QStringLiteral("allowMissingTiles")).toBool();
    c.missingTilePositions = o.value(QStringLiteral("missingTilePositions")).toString();
    c.referenceTiles = toList(o.value(QStringLiteral("referenceTiles")));
    for (const QJsonValue& state : o.value(QStringLiteral("stateTiles")).toArray())
        c.stateTiles << toList(state);
    return c;
}

}  // namespace

QString mosaicFileRecordName() { return QStringLiteral("mosaic_files.json"); }

bool writeMosaicFileRecord(const QString& folder, const MosaicFileRecord& record, QString& error) {
    QJsonArray states;
    for (const MosaicStateFile& state : record.states)
        states.append(QJsonObject{{QStringLiteral("state"), state.state}, {QStringLiteral("file"), state.file}});
    const QJsonObject root{{QStringLiteral("configuration"), toJson(record.config)},
                           {QStringLiteral("width"), record.size.width()},
                           {QStringLiteral("height"), record.size.height()},
                           {QStringLiteral("states"), states}};
    // As every file of the project: replaced whole, and never through a link
    // that leads out of the project folder.
    const QByteArray text = QJsonDocument(root).toJson();
    std::string reason;
    if (!platform::replaceFileContents(QFile::encodeName(folder + QLatin1Char('/') + mosaicFileRecordName()).toStdString(),
                                       std::string_view(text.constData(), static_cast<std::size_t>(text.size())),
                                       reason, QFile::encodeName(folder).toStdString())) {
        error = QString::fromLocal8Bit(reason);
        return false;
    }
    return true;
}

std::optional<MosaicFileRecord> readMosaicFileRecord(const QString& folder) {
    QFile file(folder + QLatin1Char('/') + mosaicFileRecordName());
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QJsonParseError parse;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parse);
    if (parse.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject root = document.object();
    MosaicFileRecord record;
    record.config = configFromJson(root.value(QStringLiteral("configuration")).toObject());
    record.size = QSize(root.value(QStringLiteral("width")).toInt(), root.value(QStringLiteral("height")).toInt());
    for (const QJsonValue& value : root.value(QStringLiteral("states")).toArray()) {
        const QJsonObject state = value.toObject();
        const QString name = state.value(QStringLiteral("file")).toString();
        // Only a plain name inside the folder: the record never leads a read elsewhere.
        if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')) ||
            name.startsWith(QLatin1Char('.')))
            return std::nullopt;
        record.states.push_back({state.value(QStringLiteral("state")).toInt(-1), name});
    }
    return record;
}

bool removeMosaicFileRecord(const QString& folder) {
    const QString path = folder + QLatin1Char('/') + mosaicFileRecordName();
    return !QFile::exists(path) || QFile::remove(path);
}

int stateOfMosaic(const std::map<int, int>& stateToMosaic, int k) {
    for (const auto& [state, mosaic] : stateToMosaic)
        if (mosaic == k)
            return state;
    return -1;
}

int mosaicOfState(const std::map<int, int>& stateToMosaic, int state, int count) {
    const auto found = stateToMosaic.find(state);
    return found != stateToMosaic.end() && found->second >= 0 && found->second < count ? found->second : -1;
}

QString mosaicFileOfState(const MosaicFileRecord& record, int state) {
    for (const MosaicStateFile& entry : record.states)
        if (entry.state == state)
            return entry.file;
    return {};
}

}  // namespace tavro::gui
