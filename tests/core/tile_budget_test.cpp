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

    bool logged(const std::string& part) const {
        for (const std::string& line : lines_)
            if (line.find(part) != std::string::npos) return true;
        return false;
    }

private:
    std::string saved_, savedFile_;
    std::vector<std::string> lines_;
};

TEST(TileBudgetSetting, WholeMegabytesAreTakenAsGiven) {
    const BudgetSetting setting("300");
    const tavro::MemoryBudget budget = tavro::deviceMemoryBudget();
    EXPECT_TRUE(budget.fromEnvironment);
    EXPECT_EQ(budget.bytes, 300ull << 20);
}

TEST(TileBudgetSetting, AnythingButAPositiveWholeNumberIsIgnoredWithALogLine) {
    for (const char* value : {"1e3", "12abc", "-5", " 7", "+7", "0", "0x10", "1.5"}) {
        SCOPED_TRACE(value);
        const BudgetSetting setting(value);
        EXPECT_FALSE(tavro::deviceMemoryBudget().fromEnvironment);
        EXPECT_TRUE(setting.logged(std::string("TAVRO_TILE_BUDGET_MB=\"") + value + "\""));
    }
}

TEST(TileBudgetSetting, HugeValuesAreClampedInsteadOfWrappingAround) {
    for (const char* value : {"17592186044416", "18446744073709551615", "99999999999999999999999999"}) {
        SCOPED_TRACE(value);
        const BudgetSetting setting(value);
        const tavro::MemoryBudget budget = tavro::deviceMemoryBudget();
        EXPECT_TRUE(budget.fromEnvironment);
        EXPECT_EQ(budget.bytes, std::numeric_limits<uint64_t>::max() >> 20 << 20);
        EXPECT_TRUE(setting.logged("out of range"));
    }
}

}  // namespace
