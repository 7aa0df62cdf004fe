#include "gui/project/user_defaults.h"

#include "gui/project/result_files.h"
#include "platform/regular_file.h"
#include "platform/replaced_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QStringList>
#include <QtDebug>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <limits>

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

namespace tavro::gui {

namespace {

QString text(const QJsonObject& object, const char* key) { return object.value(QLatin1String(key)).toString(); }

// The bound is checked on the size before any byte is read; readAtMost still
// stops a file that grows meanwhile.
UserDefaultsRead readBytes(const QString& path, QByteArray& bytes) {
    std::string message;
    platform::FileProblem problem = platform::FileProblem::None;
    const platform::FileDescriptor file =
        platform::openRegularFileForReading(QFile::encodeName(path).toStdString(), message, &problem);
    if (!file)
        return problem == platform::FileProblem::Missing || !QFileInfo::exists(path) ? UserDefaultsRead::Missing
                                                                                      : UserDefaultsRead::Malformed;
    if (QFileInfo(path).size() > static_cast<qint64>(kMaxParametersFileBytes))
        return UserDefaultsRead::Malformed;
    std::string content;
    if (!platform::readAtMost(file.get(), kMaxParametersFileBytes, content, message))
        return UserDefaultsRead::Malformed;
    bytes = QByteArray::fromStdString(content);
    return UserDefaultsRead::Read;
}

UserDefaultsRead readRoot(const QString& path, QJsonObject& root) {
    QByteArray bytes;
    const UserDefaultsRead read = readBytes(path, bytes);
    if (read != UserDefaultsRead::Read)
        return read;
    const QJsonDocument document = QJsonDocument::fromJson(bytes);
    if (!document.isObject())
        return UserDefaultsRead::Malformed;
    root = document.object();
    return UserDefaultsRead::Read;
}

// Beyond the float range a coefficient would turn every strain infinite; it
// reads as 0, as in a project's parameters.json.
float coefficient(const QJsonValue& value) {
    const double read = value.toDouble(0.0);
    return std::abs(read) <= std::numeric_limits<float>::max() ? static_cast<float>(read) : 0.0f;
}

std::optional<std::vector<NamedKernel>> kernelList(const QJsonObject& root, const char* key) {
    const QJsonValue value = root.value(QLatin1String(key));
    if (!value.isArray())
        return std::nullopt;
    std::vector<NamedKernel> list;
    for (const QJsonValue& element : value.toArray()) {
        const QJsonObject object = element.toObject();
        NamedKernel kernel{translateLegacyKernelName(text(object, "name").toStdString()), {}};
        for (const QJsonValue& c : object.value(QLatin1String("coefficients")).toArray())
            kernel.coefficients.push_back(coefficient(c));
        list.push_back(std::move(kernel));
    }
    return list;
}

// A criterion's result file is named by its slug: an empty slug, one of a
// fixed strain field or one already taken would overwrite another field.
std::optional<std::vector<StrainCriterion>> criterionList(const QJsonObject& root) {
    const QJsonValue value = root.value(QLatin1String("criteria"));
    if (!value.isArray())
        return std::nullopt;
    QStringList taken;
    for (const char* suffix : kStrainSuffixes)
        taken << QString::fromLatin1(suffix + 1);
    std::vector<StrainCriterion> list;
    for (const QJsonValue& element : value.toArray()) {
        const QJsonObject object = element.toObject();
        QString name = text(object, "name");
        if (name == QLatin1String("Cisaillement max"))
            name = QStringLiteral("Max Shear");
        const QString slug = criterionSlug(name);
        if (slug.isEmpty() || taken.contains(slug)) {
            qWarning().noquote() << "[GUI] User defaults: criterion" << (QLatin1Char('"') + name + QLatin1Char('"'))
                                 << "dropped: its result file name is empty or already taken";
            continue;
        }
        taken << slug;
        list.push_back({name.toStdString(), text(object, "expression").toStdString(),
                        object.value(QLatin1String("enabled")).toBool(true)});
    }
    return list;
}

QJsonArray kernelArray(const std::vector<NamedKernel>& kernels) {
    QJsonArray array;
    for (const NamedKernel& kernel : kernels) {
        QJsonArray coefficients;
        for (const float c : kernel.coefficients)
            coefficients.append(static_cast<double>(c));
        array.append(QJsonObject{{QStringLiteral("name"), QString::fromStdString(kernel.name)},
                                 {QStringLiteral("coefficients"), coefficients}});
    }
    return array;
}

QJsonArray criterionArray(const std::vector<StrainCriterion>& criteria) {
    QJsonArray array;
    for (const StrainCriterion& criterion : criteria)
        array.append(QJsonObject{{QStringLiteral("name"), QString::fromStdString(criterion.name)},
                                 {QStringLiteral("expression"), QString::fromStdString(criterion.expression)},
                                 {QStringLiteral("enabled"), criterion.enabled}});
    return array;
}


// The configuration folder, the only place a link of the file may lead to.
std::string folderOf(const QString& path) { return QFile::encodeName(QFileInfo(path).absolutePath()).toStdString(); }

// A file the reader refuses may be the user's hand edit gone wrong: it is
// moved aside rather than lost (moved, not copied: it may be refused for its
// size), under a name no earlier backup holds. A link stays: the file it
// leads to is moved, and rewritten through it.
bool keepMalformedCopy(const platform::WriteTarget& target, QString& kept, QString& error) {
    const int folder = target.folder.get();
    int code = EEXIST;
    for (int n = 0; n < 10000 && code == EEXIST; ++n) {
        // Appended piece by piece: g++ 12 at -O3 misreads `"." + std::string&&` as an overlapping copy.
        std::string backup = target.name;
        backup += ".bak";
        if (n > 0) {
            backup += '.';
            backup += std::to_string(n);
        }
        kept = QFile::decodeName(QByteArray::fromStdString(target.path + ".bak"))
               + (n == 0 ? QString() : QStringLiteral(".%1").arg(n));
        int moved = ::renameat2(folder, target.name.c_str(), folder, backup.c_str(), RENAME_NOREPLACE);
        if (moved != 0 && errno == EINVAL) {
            // A file system without the no-replace rename: a link cannot replace either.
            moved = ::linkat(folder, target.name.c_str(), folder, backup.c_str(), 0);
            if (moved == 0)
                ::unlinkat(folder, target.name.c_str(), 0);
        }
        if (moved == 0)
            return true;
        code = errno;
    }
    error = QStringLiteral("cannot keep %1 as %2: %3")
                .arg(QFile::decodeName(QByteArray::fromStdString(target.path)), kept, qt_error_string(code));
    kept.clear();
    return false;
}

}  // namespace

QString userDefaultsFilePath() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    QDir().mkpath(folder);
    return folder + QStringLiteral("/user_defaults.json");
}

std::string translateLegacyKernelName(const std::string& name) {
    if (name == "Ordre 2")
        return "Order 2";
    if (name == "Ordre 4")
        return "Order 4";
    if (name == "Ordre 6")
        return "Order 6";
    if (name == "Aucun")
        return "None";
    return name;
}

UserDefaultsRead readUserDefaults(const QString& path, UserDefaults& out) {
    QJsonObject root;
    const UserDefaultsRead read = readRoot(path, root);
    if (read != UserDefaultsRead::Read)
        return read;
    out.derivativeKernels = kernelList(root, "derivativeKernels");
    out.smoothingKernels = kernelList(root, "smoothingKernels");
    out.criteria = criterionList(root);
    return UserDefaultsRead::Read;
}

bool writeUserDefaults(const QString& path, const std::vector<NamedKernel>& derivative,
                       const std::vector<NamedKernel>& smoothing, const std::vector<StrainCriterion>& criteria,
                       QString& error) {
    QJsonObject existing;
    const bool malformed = readRoot(path, existing) == UserDefaultsRead::Malformed;
    const QJsonObject root{{QStringLiteral("derivativeKernels"), kernelArray(derivative)},
                           {QStringLiteral("smoothingKernels"), kernelArray(smoothing)},
                           {QStringLiteral("criteria"), criterionArray(criteria)}};
    const QByteArray text = QJsonDocument(root).toJson(QJsonDocument::Indented);
    const auto failed = [&](const std::string& reason) {
        error = QStringLiteral("cannot write %1: %2").arg(path, QString::fromLocal8Bit(reason));
        return false;
    };
    if (static_cast<std::size_t>(text.size()) > kMaxParametersFileBytes)
        return failed("larger than " + std::to_string(kMaxParametersFileBytes) + " bytes");
    // A folder or a device under the name is no edit of the user's: refused.
    std::string reason;
    platform::WriteTarget target;
    if (!platform::resolveWriteTarget(QFile::encodeName(path).toStdString(), target, reason, folderOf(path)))
        return failed(reason);
    platform::ignoreFileSizeSignal();
    platform::ReplacementFile temporary(std::move(target));
    // The malformed file is moved aside only once its successor is complete:
    // a full disk leaves it where the user left it.
    if (!platform::fillReplacement(temporary, std::string_view(text.constData(), static_cast<std::size_t>(text.size())),
                                   reason))
        return failed(reason);
    QString kept;
    if (malformed && !keepMalformedCopy(temporary.target(), kept, error))
        return false;
    if (!temporary.commit(reason)) {
        failed(reason);
        if (!kept.isEmpty())
            error += QStringLiteral("; the malformed file was kept as %1").arg(kept);
        return false;
    }
    return true;
}

}  // namespace tavro::gui
