#include "gui/project/user_defaults.h"

#include "support/file_size_limit.h"
#include "support/temp_dir.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <climits>
#include <cmath>

namespace tavro::gui {

// Internal linkage, so that another test of the same binary may compare these too.
static bool operator==(const NamedKernel& a, const NamedKernel& b) {
    return a.name == b.name && a.coefficients == b.coefficients;
}

static bool operator==(const StrainCriterion& a, const StrainCriterion& b) {
    return a.name == b.name && a.expression == b.expression && a.enabled == b.enabled;
}

namespace {

QString qpath(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

void put(const QString& path, const QByteArray& content) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(content), content.size());
}

QByteArray contentOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::vector<std::string> namesOf(const std::vector<StrainCriterion>& criteria) {
    std::vector<std::string> names;
    for (const StrainCriterion& criterion : criteria)
        names.push_back(criterion.name);
    return names;
}

}  // namespace

// Applied at x = 0 to samples of x^k, an "Order n" central difference gives
// d/dx x^k at 0 (1 for k = 1, else 0) exactly for every k <= n.
TEST(BuiltinKernels, DerivativeKernelsAreExactForPolynomialsUpToTheirOrder) {
    const std::vector<NamedKernel> kernels = builtinDerivativeKernels();
    ASSERT_EQ(kernels.size(), 3u);
    for (std::size_t n = 0; n < kernels.size(); ++n) {
        const NamedKernel& kernel = kernels[n];
        const int order = 2 * static_cast<int>(n + 1);
        EXPECT_EQ(kernel.name, "Order " + std::to_string(order));
        ASSERT_EQ(kernel.coefficients.size(), static_cast<std::size_t>(order + 1));
        const int a = order / 2;
        for (int k = 0; k <= order; ++k) {
            double sum = 0.0, scale = 0.0;
            for (int i = 0; i <= order; ++i) {
                const double term = kernel.coefficients[i] * std::pow(i - a, k);
                sum += term;
                scale += std::abs(term);
            }
            // Float coefficients are good to half an ulp each.
            EXPECT_NEAR(sum, k == 1 ? 1.0 : 0.0, 1e-6 * scale + 1e-7) << kernel.name << ", x^" << k;
        }
    }
    const std::vector<NamedKernel> smoothing = builtinSmoothingKernels();
    ASSERT_EQ(smoothing.size(), 3u);
    EXPECT_EQ(smoothing[0].name, "None");
    EXPECT_TRUE(smoothing[0].coefficients.empty());
}

TEST(UserDefaults, TheFileLivesInTheConfigurationFolderWhichIsCreated) {
    const testing::TempDir dir("tavro_defaults");
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    const bool had = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(qpath(dir.file("deep/config"))));
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    const QString path = userDefaultsFilePath();
    had ? qputenv("XDG_CONFIG_HOME", saved) : qunsetenv("XDG_CONFIG_HOME");
    EXPECT_TRUE(folder.startsWith(qpath(dir.file("deep/config")))) << folder.toStdString();
    EXPECT_EQ(path, folder + QStringLiteral("/user_defaults.json"));
    EXPECT_TRUE(QFileInfo(folder).isDir());
    EXPECT_FALSE(QFileInfo::exists(path));
}

TEST(UserDefaults, AllThreeListsComeBackInOrderWithFloatsWrittenAsDoubles) {
    const testing::TempDir dir("tavro_defaults");
    const QString path = qpath(dir.file("user_defaults.json"));
    std::vector<NamedKernel> derivative = builtinDerivativeKernels();
    derivative.push_back({"Mine \"quoted\" é", {0.1f, -3.5e-7f, 0.0f}});
    std::vector<NamedKernel> smoothing = builtinSmoothingKernels();
    std::vector<StrainCriterion> criteria = defaultStrainCriteria();
    criteria.push_back({"Trace", "exx + eyy", true});
    QString error;
    ASSERT_TRUE(writeUserDefaults(path, derivative, smoothing, criteria, error)) << error.toStdString();

    const QByteArray text = contentOf(path);
    EXPECT_TRUE(text.contains("0.10000000149011612")) << text.toStdString();
    EXPECT_TRUE(text.startsWith("{\n    \"criteria\": [\n")) << "indented, keys sorted";

    UserDefaults read;
    ASSERT_EQ(readUserDefaults(path, read), UserDefaultsRead::Read);
    ASSERT_TRUE(read.derivativeKernels && read.smoothingKernels && read.criteria);
    EXPECT_EQ(*read.derivativeKernels, derivative);
    EXPECT_EQ(*read.smoothingKernels, smoothing);
    EXPECT_EQ(*read.criteria, criteria);
    EXPECT_EQ(QDir(qpath(dir.path())).entryList(QDir::Files), QStringList{QStringLiteral("user_defaults.json")})
        << "no backup of a sound file, no temporary left";
}

TEST(UserDefaults, LegacyNamesInTheFileAreTranslatedOnRead) {
    const testing::TempDir dir("tavro_defaults");
    const QString path = qpath(dir.file("user_defaults.json"));
    put(path, R"({"derivativeKernels": [{"name": "Ordre 4", "coefficients": [1, -8, 0, 8, -1]},
                                       {"name": "ordre 2"}, {"name": "Ordre 6 bis"}],
                 "smoothingKernels": [{"name": "Aucun", "coefficients": []}, {"name": "Sobel", "coefficients": [1, 2, 1]}],
                 "criteria": [{"name": "Cisaillement max", "expression": "eI - eII", "enabled": true}]})");
    UserDefaults read;
    ASSERT_EQ(readUserDefaults(path, read), UserDefaultsRead::Read);
    EXPECT_EQ(*read.derivativeKernels,
              (std::vector<NamedKernel>{{"Order 4", {1, -8, 0, 8, -1}}, {"ordre 2", {}}, {"Ordre 6 bis", {}}}))
        << "only exact whole names are translated";
    EXPECT_EQ(translateLegacyKernelName("Ordre 2"), "Order 2");
    EXPECT_EQ(translateLegacyKernelName("Ordre 6"), "Order 6");
    EXPECT_EQ(*read.smoothingKernels, (std::vector<NamedKernel>{{"None", {}}, {"Sobel", {1, 2, 1}}}));
    EXPECT_EQ(*read.criteria, (std::vector<StrainCriterion>{{"Max Shear", "eI - eII", true}}))
        << "expression and flag stay as read";
}

TEST(UserDefaults, ElementsMissingFieldsReadAsEmptyOrDefault) {
    const testing::TempDir dir("tavro_defaults");
    const QString path = qpath(dir.file("user_defaults.json"));
    put(path, R"({"derivativeKernels": [{"name": "Bare"}, {"coefficients": [0.25, "x", null, 1e300]}, 7],
                 "criteria": [{"name": "A", "expression": "exx"}, {"name": "B", "enabled": "no"},
                              {"name": "C", "expression": 3, "enabled": false}]})");
    UserDefaults read;
    ASSERT_EQ(readUserDefaults(path, read), UserDefaultsRead::Read);
    // Nothing is skipped: a non-object element is a kernel with neither name
    // nor coefficients, and out-of-range or non-numeric coefficients read as 0.
    EXPECT_EQ(*read.derivativeKernels,
              (std::vector<NamedKernel>{{"Bare", {}}, {"", {0.25f, 0.0f, 0.0f, 0.0f}}, {"", {}}}));
    EXPECT_EQ(*read.criteria,
              (std::vector<StrainCriterion>{{"A", "exx", true}, {"B", "", true}, {"C", "", false}}));
}

TEST(UserDefaults, AnEmptyArrayEmptiesItsListWhileAbsentOrMisshapenKeysLeaveTheirs) {
    const testing::TempDir dir("tavro_defaults");
    const QString path = qpath(dir.file("user_defaults.json"));
    put(path, R"({"derivativeKernels": [], "criteria": {"name": "Von Mises"}})");
    UserDefaults read;
    ASSERT_EQ(readUserDefaults(path, read), UserDefaultsRead::Read);
    ASSERT_TRUE(read.derivativeKernels.has_value());
    EXPECT_TRUE(read.derivativeKernels->empty());
    EXPECT_FALSE(read.smoothingKernels.has_value());
    EXPECT_FALSE(read.criteria.has_value());
}

TEST(UserDefaults, WhatIsNotAJsonObjectIsMalformedAndNothingAtThePathIsMissing) {
    const testing::TempDir dir("tavro_defaults");
    const QString path = qpath(dir.file("user_defaults.json"));
    UserDefaults read;
    read.criteria = defaultStrainCriteria();
    EXPECT_EQ(readUserDefaults(path, read), UserDefaultsRead::Missing);
    EXPECT_EQ(readUserDefaults(qpath(dir.file("no_folder/user_defaults.json")), read), UserDefaultsRead::Missing);

    put(path, R"([{"derivativeKernels": []}])");
    EXPECT_EQ(readUserDefaults(path, read), UserDefaultsRead::Malformed);
    put(path, "{\"derivativeKernels\": [");
    EXPECT_EQ(readUserDefaults(path, read), UserDefaultsRead::Malformed);
    EXPECT_EQ(readUserDefaults(qpath(dir.path()), read), UserDefaultsRead::Malformed);

    // Trailing blanks keep it a valid object: only its size refuses it.
    put(path, "{}" + QByteArray(static_cast<qsizetype>(kMaxParametersFileBytes), ' '));
    EXPECT_EQ(readUserDefaults(path, read), UserDefaultsRead::Malformed);

    EXPECT_FALSE(read.derivativeKernels.has_value()) << "a refused file assigns nothing";
    EXPECT_EQ(read.criteria, defaultStrainCriteria());
}

TEST(UserDefaults, CriteriaWhoseResultFilesWouldCollideAreDropped) {
    const testing::TempDir dir("tavro_defaults");
    const QString path = qpath(dir.file("user_defaults.json"));
    put(path, R"({"criteria": [{"name": "Von Mises", "expression": "1"}, {"name": "von mises", "expression": "2"},
                               {"name": "EXX", "expression": "3"}, {"name": "Rotation", "expression": "4"},
                               {"name": "e1", "expression": "5"}, {"name": "?!", "expression": "6"},
                               {"name": "", "expression": "7"}, {"name": "Max Shear", "expression": "8"},
                               {"name": "Cisaillement max", "expression": "9"}, {"name": "e1 bis", "expression": "10"}]})");
    UserDefaults read;
    ASSERT_EQ(readUserDefaults(path, read), UserDefaultsRead::Read);
    EXPECT_EQ(namesOf(*read.criteria), (std::vector<std::string>{"Von Mises", "Max Shear", "e1 bis"}));
    EXPECT_EQ(read.criteria->front().expression, "1") << "the first of two colliding names is kept";
}

// Every hand edit gone wrong is kept: a backup made earlier is never
// replaced by a later one.
TEST(UserDefaults, AMalformedFileIsKeptAsBackupThenReplaced) {
    const testing::TempDir dir("tavro_defaults");
    const QString path = qpath(dir.file("user_defaults.json"));
    const QString backup = path + QStringLiteral(".bak");
    const QByteArray broken = "{\"derivativeKernels\": [{\"name\": \"Hand edited\",";
    put(path, broken);
    put(backup, "an older backup");
    QString error;
    ASSERT_TRUE(writeUserDefaults(path, builtinDerivativeKernels(), {}, {}, error)) << error.toStdString();
    EXPECT_EQ(contentOf(backup), QByteArray("an older backup"));
    EXPECT_EQ(contentOf(backup + QStringLiteral(".1")), broken);
    UserDefaults read;
    ASSERT_EQ(readUserDefaults(path, read), UserDefaultsRead::Read);
    EXPECT_EQ(*read.derivativeKernels, builtinDerivativeKernels());

    // Once the file is sound again, later writes leave the backups alone.
    ASSERT_TRUE(writeUserDefaults(path, {}, {}, {}, error));
    EXPECT_EQ(contentOf(backup + QStringLiteral(".1")), broken);

    // A second edit gone wrong takes the next free name.
    put(path, "second edit");
    ASSERT_TRUE(writeUserDefaults(path, {}, {}, {}, error)) << error.toStdString();
    EXPECT_EQ(contentOf(backup), QByteArray("an older backup"));
    EXPECT_EQ(contentOf(backup + QStringLiteral(".1")), broken);
    EXPECT_EQ(contentOf(backup + QStringLiteral(".2")), QByteArray("second edit"));
    EXPECT_EQ(QDir(qpath(dir.path())).entryList(QDir::Files | QDir::Hidden).size(), 4);
}

// A name too long for any backup name beside it: the malformed file stays.
TEST(UserDefaults, ABackupThatCannotBeMadeLeavesTheMalformedFileInPlace) {
    const testing::TempDir dir("tavro_defaults");
    const QString path = qpath(dir.file(std::string(NAME_MAX - 3, 'u')));
    const QByteArray broken = "not json";
    put(path, broken);
    QString error;
    EXPECT_FALSE(writeUserDefaults(path, builtinDerivativeKernels(), {}, {}, error));
    EXPECT_TRUE(error.startsWith(QStringLiteral("cannot keep %1 as %1.bak: ").arg(path))) << error.toStdString();
    EXPECT_EQ(contentOf(path), broken);
    EXPECT_EQ(QDir(qpath(dir.path())).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

// A full disk fails the write before the malformed file is moved: the user's
// edit is found where it was, and the error says nothing was kept elsewhere.
TEST(UserDefaults, AFailedWriteLeavesAMalformedFileWhereItWas) {
    const testing::TempDir dir("tavro_defaults");
    const QString path = qpath(dir.file("user_defaults.json"));
    const QByteArray broken = "{ hand edit";
    put(path, broken);
    QString error;
    bool written = true;
    {
        const testing::ScopedFileSizeLimit limit(64);
        written = writeUserDefaults(path, builtinDerivativeKernels(), builtinSmoothingKernels(),
                                    defaultStrainCriteria(), error);
    }
    EXPECT_FALSE(written);
    EXPECT_TRUE(error.startsWith(QStringLiteral("cannot write %1: ").arg(path))) << error.toStdString();
    EXPECT_EQ(contentOf(path), broken);
    EXPECT_EQ(QDir(qpath(dir.path())).entryList(QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral("user_defaults.json")});
}

TEST(UserDefaults, AnUnwritableLocationReportsAnError) {
    const testing::TempDir dir("tavro_defaults");
    // Root ignores permissions: a file where the folder should be, and a
    // folder where the file should be, stop it all the same.
    const QString notAFolder = qpath(dir.file("config"));
    put(notAFolder, "x");
    QString error;
    EXPECT_FALSE(writeUserDefaults(notAFolder + QStringLiteral("/user_defaults.json"), {}, {}, {}, error));
    EXPECT_FALSE(error.isEmpty());

    const QString folder = qpath(dir.file("user_defaults.json"));
    ASSERT_TRUE(QDir().mkdir(folder));
    error.clear();
    EXPECT_FALSE(writeUserDefaults(folder, {}, {}, {}, error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_TRUE(QFileInfo(folder).isDir());
}

TEST(UserDefaults, AFailedWriteLeavesTheOldFileByteForByte) {
    const testing::TempDir dir("tavro_defaults");
    const QString path = qpath(dir.file("user_defaults.json"));
    QString error;
    ASSERT_TRUE(writeUserDefaults(path, {}, {}, defaultStrainCriteria(), error));
    const QByteArray old = contentOf(path);
    // A file size limit fails the write as a full disk would, even for root;
    // the old file is smaller than the limit, the new one is not.
    bool written = true;
    {
        const testing::ScopedFileSizeLimit limit(static_cast<rlim_t>(old.size()) + 16);
        written = writeUserDefaults(path, builtinDerivativeKernels(), builtinSmoothingKernels(),
                                    defaultStrainCriteria(), error);
    }
    EXPECT_FALSE(written);
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(contentOf(path), old);
    EXPECT_EQ(QDir(qpath(dir.path())).entryList(QDir::Files), QStringList{QStringLiteral("user_defaults.json")});
}

}  // namespace tavro::gui
