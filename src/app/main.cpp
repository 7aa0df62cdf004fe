#include "app/application_log.h"
#include "app/crash_reporter.h"
#include "core/multi_gpu_log.h"
#include "gui/mainwindow/main_widget.h"
#include "gui/style/application_style.h"
#include "platform/replaced_file.h"

#include <QApplication>
#include <QDebug>
#include <QIcon>
#include <QImageReader>

#include <string>

namespace {

void multiGpuLogSink(const std::string& line) {
    qDebug().noquote() << "[MultiGPU]" << QString::fromStdString(line);
}

}  // namespace

int main(int argc, char** argv) {
    // A file-size limit then fails a write with EFBIG, reported like a full
    // disk, instead of ending the program in the middle of a save.
    tavro::platform::ignoreFileSizeSignal();
    const QString appName = QStringLiteral("Tavro2D");
    // The names choose the log folder, so they come before the log.
    QCoreApplication::setApplicationName(appName);
    QCoreApplication::setApplicationVersion(QStringLiteral("1.3.2"));
    QCoreApplication::setOrganizationName(QStringLiteral("Quillmar"));
    tavro::app::initLogging(appName);
    tavro::app::cleanupOldLogs(10);
    tavro::app::crashIfRequested();
    tavro::MultiGpuLog::instance().setSink(multiGpuLogSink);

    QApplication app(argc, argv);
    auto* style = new tavro::gui::ApplicationStyle(&app);
    style->loadTheme(QStringLiteral(":/themes/dark.json"));
    QApplication::setStyle(style);
    QImageReader::setAllocationLimit(8192);

    tavro::gui::setProjectLogMover(&tavro::app::setProjectLogFile);
    tavro::gui::MainWidget window;
    window.setWindowIcon(QIcon(QStringLiteral(":/tavro_logo.ico")));
    window.resize(1320, 700);
    window.show();
    const int result = app.exec();
    tavro::app::logApplicationExit();
    return result;
}
