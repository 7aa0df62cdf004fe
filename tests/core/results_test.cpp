#include "core/results.h"

#include <gtest/gtest.h>

#include <thread>
#include <utility>

#include "gpu/runtime.h"

#if !defined(TAVRO_USE_CUDA)
#include "gpu/cpu_device.h"
#endif

namespace {

using tavro::FractureResult;
using tavro::PixelDisplacementResult;
using tavro::StrainResult;

PixelDisplacementResult filledDisplacements() {
    PixelDisplacementResult r;
    r.gridWidth = 2;
    r.gridHeight = 1;
    r.dispX = {1, 2};
    r.dispY = {3, 4};
    r.duDx = {5, 6};
    r.duDy = {7, 8};
    r.dvDx = {9, 10};
    r.dvDy = {11, 12};
    return r;
}

StrainResult filledStrains() {
    StrainResult r;
    r.gridWidth = 1;
    r.gridHeight = 1;
    for (auto* field : {&r.epsXX, &r.epsYY, &r.epsXY, &r.epsI, &r.epsII, &r.epsVonMises, &r.epsTresca, &r.rotation,
                        &r.auxiliary})
        *field = {0.5f};
    r.criteria["vonMisesSquared"] = {0.25f};
    return r;
}

FractureResult filledFracture(float value) {
    FractureResult r;
    r.gridWidth = 1;
    r.gridHeight = 1;
    for (auto& field : r.fields) field = {value};
    return r;
}

TEST(PixelDisplacementResult, CopyCarriesEveryField) {
    const PixelDisplacementResult original = filledDisplacements();
    const auto shared = std::make_shared<PixelDisplacementResult>(original);

    EXPECT_EQ(shared->gridWidth, 2);
    EXPECT_EQ(shared->gridHeight, 1);
    EXPECT_EQ(shared->dispX, original.dispX);
    EXPECT_EQ(shared->dispY, original.dispY);
    EXPECT_EQ(shared->duDx, original.duDx);
    EXPECT_EQ(shared->duDy, original.duDy);
    EXPECT_EQ(shared->dvDx, original.dvDx);
    EXPECT_EQ(shared->dvDy, original.dvDy);
}

TEST(ResultRecords, MovedFromRecordsHaveEmptyFields) {
    PixelDisplacementResult displacements = filledDisplacements();
    PixelDisplacementResult movedDisplacements(std::move(displacements));
    for (auto* field : {&displacements.dispX, &displacements.dispY, &displacements.duDx, &displacements.duDy,
                        &displacements.dvDx, &displacements.dvDy})
        EXPECT_TRUE(field->empty());

    StrainResult strains = filledStrains();
    StrainResult assignedStrains;
    assignedStrains = std::move(strains);
    for (auto* field : {&strains.epsXX, &strains.epsYY, &strains.epsXY, &strains.epsI, &strains.epsII,
                        &strains.epsVonMises, &strains.epsTresca, &strains.rotation, &strains.auxiliary})
        EXPECT_TRUE(field->empty());
    EXPECT_TRUE(strains.criteria.empty());
    EXPECT_EQ(assignedStrains.criteria.at("vonMisesSquared"), (std::vector<float>{0.25f}));

    FractureResult fracture = filledFracture(1.0f);
    FractureResult movedFracture(std::move(fracture));
    for (const auto& field : fracture.fields) EXPECT_TRUE(field.empty());
    EXPECT_EQ(movedFracture.fields[FractureResult::RelativeAngle], (std::vector<float>{1.0f}));
}

TEST(EmptyResults, EachKindHasOneSharedEmptyRecord) {
    const void* fromOtherThread = nullptr;
    std::thread([&] { fromOtherThread = tavro::emptyStrainResult().get(); }).join();
    EXPECT_EQ(tavro::emptyStrainResult().get(), fromOtherThread);
    EXPECT_EQ(&tavro::emptyFractureResult(), &tavro::emptyFractureResult());

    EXPECT_TRUE(tavro::emptyPixelDisplacementResult()->dispX.empty());
    EXPECT_TRUE(tavro::emptyStrainResult()->criteria.empty());
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

TEST(DetachFractureResult, RecordSharedByTwoHoldersIsCopiedForTheCaller) {
    auto first = std::make_shared<FractureResult>(filledFracture(1.0f));
    const auto second = first;

    FractureResult* writable = tavro::gui::detachFractureResult(first);
    writable->fields[FractureResult::OpeningX] = {9.0f};

    EXPECT_NE(first.get(), second.get());
    EXPECT_EQ(second.use_count(), 1);
    EXPECT_EQ(second->fields[FractureResult::OpeningX], (std::vector<float>{1.0f}));
    EXPECT_EQ(first->fields[FractureResult::OpeningY], (std::vector<float>{1.0f}));
    EXPECT_EQ(first->gridWidth, 1);
}

TEST(DetachFractureResult, SoleOwnerKeepsItsRecordAndNullHolderGetsOne) {
    auto only = std::make_shared<FractureResult>(filledFracture(2.0f));
    FractureResult* before = only.get();
    EXPECT_EQ(tavro::gui::detachFractureResult(only), before);

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
    void SetUp() override {
        DeviceBufferPool::instance().releaseAll();
        tavro::gpu::CpuRuntimeConfig config;
        config.devices[0].memoryBytes = 16 << 20;
        config.launchThreads = 1;
        tavro::gpu::configureCpuRuntime(config);
    }
    void TearDown() override {
        DeviceBufferPool::instance().releaseAll();
        tavro::gpu::configureCpuRuntime(tavro::gpu::defaultCpuRuntimeConfig());
    }

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
