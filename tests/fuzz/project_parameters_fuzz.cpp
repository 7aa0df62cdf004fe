// libFuzzer target of the parameters.json reader. Whatever it accepts, the
// writer must turn into a document that it accepts again.
#include "gui/project/project_parameters.h"

#include <QCoreApplication>
#include <QDir>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace tavro::gui;
    // A folder that does not exist: stored paths are resolved without ever
    // naming a file.
    const QDir project(QStringLiteral("/nonexistent/tavro-fuzz"));
    const ProjectReadDefaults defaults{{{"Built-in", {-0.5f, 0.0f, 0.5f}}}, {{"None", {}}}, {{"c", "exx", true}}};
    ProjectParameters parameters;
    QString error;
    const QByteArray text(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    if (!parseProjectParameters(text, project, defaults, parameters, error))
        return 0;
    ProjectParameters again;
    if (!parseProjectParameters(formatProjectParameters(parameters, project), project, defaults, again, error))
        std::abort();
    return 0;
}
