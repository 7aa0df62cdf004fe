#include "support/test_application.h"

#include <QApplication>
#include <QFont>

#include <gtest/gtest.h>

#include <memory>

namespace tavro::test {

namespace {

int argc = 1;
char programName[] = "tavro_test";
char* argv[] = {programName, nullptr};

std::unique_ptr<QApplication>& application() {
    static std::unique_ptr<QApplication> app;
    return app;
}

// The application must go before exit: Qt's own globals, created after it,
// would be destroyed first if it were left to static destruction.
class ApplicationEnvironment : public ::testing::Environment {
public:
    void TearDown() override { application().reset(); }
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new ApplicationEnvironment);

}  // namespace

QApplication& testApplication() {
    std::unique_ptr<QApplication>& app = application();
    if (!app) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QApplication>(argc, argv);
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPixelSize(12);
        QApplication::setFont(font);
    }
    return *app;
}

}  // namespace tavro::test
