#include "core/results.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <utility>

#include "gpu/runtime.h"
#include "support/engine_environment.h"

namespace {

using tavro::FractureResult;
using tavro::PixelDisplacementResult;

FractureResult filledFracture(float value) {
    FractureResult r;
    r.gridWidth = 1;
    r.gridHeight = 1;
    for (auto& field : r.fields) field = {value};
    return r;
}

// The copy is written out field by field: one left out would vanish silently.
TEST(PixelDisplacementResult, CopyCarriesEveryField) {
    PixelDisplacementResult original;
    original.gridWidth = 2;
    original.gridHeight = 1;
    float value = 1.0f;
    for (auto* field : {&original.dispX, &original.dispY, &original.duDx, &original.duDy, &original.dvDx,
                        &original.dvDy}) {
        *field = {value, value + 1.0f};
        value += 2.0f;
    }
    const PixelDisplacementResult copy(original);
    EXPECT_EQ(copy.gridWidth, 2);
    EXPECT_EQ(copy.gridHeight, 1);
    for (auto field : {&PixelDisplacementResult::dispX, &PixelDisplacementResult::dispY, &PixelDisplacementResult::duDx,
                       &PixelDisplacementResult::duDy, &PixelDisplacementResult::dvDx, &PixelDisplacementResult::dvDy})
        EXPECT_EQ(copy.*field, original.*field);
}

TEST(EmptyResults, EachKindHasOneSharedEmptyRecord) {
    const void* fromOtherThread = nullptr;
    std::thread([&] { fromOtherThread = tavro::emptyStrainResult().get(); }).join();
    EXPECT_EQ(tavro::emptyStrainResult().get(), fromOtherThread);
    EXPECT_TRUE(tavro::emptyPixelDisplacementResult()->dispX.empty());
    EXPECT_EQ(tavro::emptyFractureResult()->gridWidth, 0);
}

TEST(DetachFractureResult, SharedEmptyRecordIsNeverWrittenThrough) {
    auto held = std::const_pointer_cast<FractureResult>(tavro::emptyFractureResult());
    FractureResult* writable = tavro::gui::detachFractureResult(held);
    ASSERT_NE(writable, tavro::emptyFractureResult().get());
    EXPECT_EQ(held.get(), writable);
    writable->fields[0] = {3.0f};
    EXPECT_TRUE(tavro::emptyFractureResult()->fields[0].empty());

    // Even a holder that does not count as an owner of the empty record detaches.
    std::shared_ptr<FractureResult> alias(std::shared_ptr<void>(),
                                          const_cast<FractureResult*>(tavro::emptyFractureResult().get()));
    ASSERT_LT(alias.use_count(), 2);
    EXPECT_NE(tavro::gui::detachFractureResult(alias), tavro::emptyFractureResult().get());
}

TEST(DetachFractureResult, CopiesASharedRecordKeepsASoleOneAndFillsANullHolder) {
    auto first = std::make_shared<FractureResult>(filledFracture(1.0f));
    const auto second = first;
    FractureResult* writable = tavro::gui::detachFractureResult(first);
    writable->fields[FractureResult::OpeningX] = {9.0f};
    EXPECT_NE(first.get(), second.get());
    EXPECT_EQ(second->fields[FractureResult::OpeningX], (std::vector<float>{1.0f}));
    EXPECT_EQ(first->fields[FractureResult::OpeningY], (std::vector<float>{1.0f}));

    FractureResult* sole = first.get();
    EXPECT_EQ(tavro::gui::detachFractureResult(first), sole);
    std::shared_ptr<FractureResult> none;
    FractureResult* fresh = tavro::gui::detachFractureResult(none);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(none.get(), fresh);
}

#if !defined(TAVRO_USE_CUDA)

using tavro::DeviceBufferPool;
using tavro::DevicePixelDisplacements;

class DevicePixelDisplacementsTest : public testing::Test {
protected:
    const tavro::testing::ScopedCpuDevice device_{tavro::testing::cpuDeviceWithMemory(16 << 20), 1};

    static void fill(DevicePixelDisplacements& d) {
        auto& pool = DeviceBufferPool::instance();
        ASSERT_EQ(pool.acquire(4096, d.leaseX), 0);
        ASSERT_EQ(pool.acquire(4096, d.leaseY), 0);
        d.dDispX = d.leaseX.as<float>();
        d.dDispY = d.leaseY.as<float>();
        d.gridWidth = 32;
        d.gridHeight = 32;
    }
};

TEST_F(DevicePixelDisplacementsTest, ResetAfterReleaseAllLeavesNewOwnersAlone) {
    DevicePixelDisplacements d;
    fill(d);
    auto& pool = DeviceBufferPool::instance();
    pool.releaseAll();
    DeviceBufferPool::Lease newOwner;
    ASSERT_EQ(pool.acquire(4096, newOwner), 0);

    d.reset();
    EXPECT_EQ(d.dDispX, nullptr);
    EXPECT_EQ(d.gridWidth, 0);

    DeviceBufferPool::Lease other;
    ASSERT_EQ(pool.acquire(4096, other), 0);
    EXPECT_NE(other.get(), newOwner.get());
    EXPECT_NE(newOwner.get(), nullptr);
}

TEST_F(DevicePixelDisplacementsTest, MovedFromRecordOwnsAndPointsToNothing) {
    DevicePixelDisplacements source;
    fill(source);
    void* x = source.dDispX;

    DevicePixelDisplacements target(std::move(source));
    EXPECT_EQ(target.dDispX, x);
    EXPECT_EQ(target.leaseX.get(), x);
    EXPECT_EQ(target.gridWidth, 32);
    EXPECT_EQ(source.dDispX, nullptr);
    EXPECT_EQ(source.leaseX.get(), nullptr);
    EXPECT_EQ(source.gridWidth, 0);

    DevicePixelDisplacements assigned;
    assigned = std::move(target);
    EXPECT_EQ(assigned.dDispX, x);
    EXPECT_EQ(target.dDispY, nullptr);
    EXPECT_EQ(target.leaseY.get(), nullptr);
}

#endif

} // namespace
