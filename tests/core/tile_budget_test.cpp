#include "core/gpu_common.h"
#include "core/multi_gpu_log.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

namespace {

// Sets TAVRO_TILE_BUDGET_MB and catches the engine log's lines; both are put back.
class BudgetSetting {
public:
    explicit BudgetSetting(const char* value) {
        if (const char* old = std::getenv("TAVRO_TILE_BUDGET_MB")) saved_ = old;
        if (const char* file = std::getenv("TAVRO_MGPU_LOG")) savedFile_ = file;
        setenv("TAVRO_TILE_BUDGET_MB", value, 1);
        unsetenv("TAVRO_MGPU_LOG");
        tavro::MultiGpuLog::instance().setSink([this](const std::string& line) { lines_.push_back(line); });
    }
    ~BudgetSetting() {
        tavro::MultiGpuLog::instance().setSink({});
        if (saved_.empty()) unsetenv("TAVRO_TILE_BUDGET_MB");
        else setenv("TAVRO_TILE_BUDGET_MB", saved_.c_str(), 1);
        if (!savedFile_.empty()) setenv("TAVRO_MGPU_LOG", savedFile_.c_str(), 1);
    }
    BudgetSetting(const BudgetSetting&) = delete;
    BudgetSetting& operator=(const BudgetSetting&) = delete;

    // Whether a line holds `part`; any line at all for an empty part.
    bool logged(const std::string& part) const {
        for (const std::string& line : lines_)
            if (line.find(part) != std::string::npos) return true;
        return false;
    }

private:
    std::string saved_, savedFile_;
    std::vector<std::string> lines_;
};

// "1e3" was read as 1 and huge values wrapped around to small budgets.
TEST(TileBudgetSetting, OnlyPositiveWholeMegabytesAreTakenAndHugeOnesAreClamped) {
    constexpr uint64_t kClamped = std::numeric_limits<uint64_t>::max() >> 20 << 20;
    const struct {
        const char* value;
        bool taken;
        uint64_t bytes;
        const char* logged;  // empty: nothing
    } cases[] = {
        {"300", true, 300ull << 20, ""},
        {"17592186044416", true, kClamped, "out of range"},
        {"99999999999999999999999999", true, kClamped, "out of range"},
        {"1e3", false, 0, "not a positive whole number"}, {"12abc", false, 0, "not a positive whole number"},
        {"-5", false, 0, "not a positive whole number"}, {" 7", false, 0, "not a positive whole number"},
        {"0", false, 0, "not a positive whole number"}, {"0x10", false, 0, "not a positive whole number"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        const BudgetSetting setting(c.value);
        const tavro::MemoryBudget budget = tavro::deviceMemoryBudget();
        EXPECT_EQ(budget.fromEnvironment, c.taken);
        if (c.taken) {
            EXPECT_EQ(budget.bytes, c.bytes);
        }
        EXPECT_EQ(setting.logged(c.logged), *c.logged != '\0');
    }
}

}  // namespace
