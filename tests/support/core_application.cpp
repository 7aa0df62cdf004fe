#include <QCoreApplication>

#include <gtest/gtest.h>

#include <memory>

namespace {

// Queued signals, worker threads and event processing need an application
// object; it must go before exit, ahead of Qt's own globals.
class CoreApplicationEnvironment : public ::testing::Environment {
public:
    void SetUp() override { app_ = std::make_unique<QCoreApplication>(argc_, argv_); }
    void TearDown() override { app_.reset(); }

private:
    int argc_ = 1;
    char name_[12] = "tavro_test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QCoreApplication> app_;
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new CoreApplicationEnvironment);

}  // namespace
