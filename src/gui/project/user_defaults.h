#pragma once
// The kernels and strain criteria a user keeps across projects: the built-in
// lists and user_defaults.json in the per-user configuration folder, which
// holds the whole lists once anything has been saved.

#include "core/strain_settings.h"
#include "gui/project/project_parameters.h"

#include <QString>

#include <optional>
#include <string>
#include <vector>

namespace tavro::gui {

// The per-user configuration folder, created with its parents on every call,
// + "/user_defaults.json".
QString userDefaultsFilePath();

// Names older files used for the built-in kernels; any other name unchanged.
std::string translateLegacyKernelName(const std::string& name);

// A list is null when its key is absent or not an array; the caller then
// keeps its own.
struct UserDefaults {
    std::optional<std::vector<NamedKernel>> derivativeKernels;
    std::optional<std::vector<NamedKernel>> smoothingKernels;
    std::optional<std::vector<StrainCriterion>> criteria;
};

// Missing: nothing at the path. Malformed: unreadable, larger than
// kMaxParametersFileBytes, or not a JSON object.
enum class UserDefaultsRead { Missing, Read, Malformed };

// `out` is only assigned when the file is Read. Criteria whose result files
// would collide with a fixed strain field or an earlier criterion are dropped
// with a warning.
UserDefaultsRead readUserDefaults(const QString& path, UserDefaults& out);

// Replaces the file whole, atomically. An existing file that is Malformed is
// first kept as path + ".bak"; when that fails nothing is written.
bool writeUserDefaults(const QString& path, const std::vector<NamedKernel>& derivative,
                       const std::vector<NamedKernel>& smoothing, const std::vector<StrainCriterion>& criteria,
                       QString& error);

}  // namespace tavro::gui
