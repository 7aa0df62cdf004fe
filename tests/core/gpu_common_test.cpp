#include "core/gpu_common.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "gpu/runtime.h"
#include "support/engine_environment.h"

namespace {

using tavro::DeviceBufferPool;
using tavro::ImageSource;

TEST(ImageSource, WholeImagesAreReadInPlaceAndProvidersIntoAScratchThatOnlyGrows) {
    std::vector<float> image(5 * 4);
    std::vector<float> scratch{7.0f, 8.0f};
    EXPECT_EQ(ImageSource(image.data()).rows(2, 4, 5, scratch), image.data() + 10);
    EXPECT_EQ(scratch, (std::vector<float>{7.0f, 8.0f}));

    const ImageSource provider(ImageSource::RowProvider([](float* dst, int firstRow, int endRow) {
        for (int r = firstRow; r < endRow; ++r)
            for (int x = 0; x < 5; ++x) *dst++ = static_cast<float>(r * 100 + x);
    }));
    const float* rows = provider.rows(3, 6, 5, scratch);
    EXPECT_EQ(rows, scratch.data());
    EXPECT_EQ(rows[0], 300.0f);
    EXPECT_EQ(rows[14], 504.0f);
    provider.rows(0, 1, 5, scratch);
    EXPECT_GE(scratch.size(), 15u);
}

// Codes the runtime does not know (it answers "unrecognized error code") get
// the same fallback texts in every module's messages.
TEST(CudaErrorMessage, NamesStepErrorAndDescriptionWithFallbacksForUnknownCodes) {
    const auto code = cudaErrorMemoryAllocation;
    const std::string expected =
        std::string("cudaMalloc dRef: ") + cudaGetErrorName(code) + " - " + cudaGetErrorString(code);
    testing::internal::CaptureStderr();
    EXPECT_EQ(tavro::cudaErrorMessage(code, "cudaMalloc dRef"), expected);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[CUDA ERROR] " + expected + "\n");

    testing::internal::CaptureStderr();
    EXPECT_EQ(tavro::cudaErrorMessage(987654, "cudaMemcpy dDef"),
              "cudaMemcpy dDef: unrecognized CUDA error code - no description available");
    testing::internal::GetCapturedStderr();
    EXPECT_STREQ(tavro::cudaErrorDescription(987654), "no description available");
    EXPECT_STREQ(tavro::cudaErrorDescription(code), cudaGetErrorString(code));
}

TEST(AvailableCommitMemory, FollowsTheKernelsOvercommitPolicy) {
    const std::string meminfo =
        "MemAvailable:    9000000 kB\n"
        "SwapFree:        1000000 kB\n"
        "CommitLimit:     8000000 kB\n"
        "Committed_AS:    3000000 kB\n";
    EXPECT_EQ(tavro::detail::commitMemoryFromMeminfo(meminfo, true), uint64_t(5000000) * 1024);
    EXPECT_EQ(tavro::detail::commitMemoryFromMeminfo(meminfo, false), uint64_t(10000000) * 1024);
    EXPECT_EQ(tavro::detail::commitMemoryFromMeminfo("CommitLimit: 1000 kB\nCommitted_AS: 5000 kB\n", true), 0u);
    EXPECT_EQ(tavro::detail::commitMemoryFromMeminfo("XMemAvailable: 5 kB\n", false), 0u);
}

#if !defined(TAVRO_USE_CUDA)

constexpr uint64_t MB = uint64_t(1) << 20;

// Allocations are real host memory, never touched here.
tavro::testing::ScopedCpuDevice devicesOf(std::vector<uint64_t> capacities) {
    std::vector<tavro::gpu::CpuDeviceSetup> devices;
    for (uint64_t bytes : capacities) devices.push_back(tavro::testing::cpuDeviceWithMemory(bytes));
    return tavro::testing::ScopedCpuDevice(std::move(devices), 2);
}

TEST(DeviceBufferPool, ReleasedBufferServesASmallerRequestAndALargerOneAllocates) {
    const auto devices = devicesOf({1024 * MB});
    auto& pool = DeviceBufferPool::instance();

    DeviceBufferPool::Lease first;
    ASSERT_EQ(pool.acquire(100 * MB, first), 0);
    void* buffer = first.get();
    ASSERT_NE(buffer, nullptr);
    first.release();
    EXPECT_EQ(first.get(), nullptr);

    DeviceBufferPool::Lease smaller;
    ASSERT_EQ(pool.acquire(60 * MB, smaller), 0);
    EXPECT_EQ(smaller.get(), buffer);
    EXPECT_EQ(tavro::gpu::deviceBytesInUse(0), 100 * MB);

    DeviceBufferPool::Lease larger;
    ASSERT_EQ(pool.acquire(200 * MB, larger), 0);
    EXPECT_NE(larger.get(), buffer);
    EXPECT_EQ(tavro::gpu::deviceBytesInUse(0), 300 * MB);
}

TEST(DeviceBufferPool, NeverHandsABufferToAThreadOnAnotherDevice) {
    const auto devices = devicesOf({64 * MB, 64 * MB});
    auto& pool = DeviceBufferPool::instance();
    // A lease taken and released on a thread of its own that works on `device`.
    const auto bufferOn = [&pool](int device, uint64_t bytes) {
        void* buffer = nullptr;
        std::thread([&] {
            ASSERT_EQ(cudaSetDevice(device), cudaSuccess);
            DeviceBufferPool::Lease lease;
            ASSERT_EQ(pool.acquire(bytes, lease), 0);
            buffer = lease.get();
        }).join();
        return buffer;
    };
    void* device0Buffer = bufferOn(0, 4 * MB);
    ASSERT_NE(device0Buffer, nullptr);
    void* device1Buffer = bufferOn(1, 1 * MB);

    EXPECT_NE(device1Buffer, nullptr);
    EXPECT_NE(device1Buffer, device0Buffer);
    EXPECT_EQ(tavro::gpu::deviceBytesInUse(0), 4 * MB);
    EXPECT_EQ(tavro::gpu::deviceBytesInUse(1), 1 * MB);
}

TEST(DeviceBufferPool, ReleaseAllFreesEverythingAndStaleLeasesReachNothing) {
    const auto devices = devicesOf({64 * MB});
    auto& pool = DeviceBufferPool::instance();
    DeviceBufferPool::Lease stale, idle;
    ASSERT_EQ(pool.acquire(4 * MB, stale), 0);
    ASSERT_EQ(pool.acquire(4 * MB, idle), 0);
    idle.release();

    pool.releaseAll();
    EXPECT_EQ(tavro::gpu::deviceBytesInUse(0), 0u);
    EXPECT_EQ(stale.get(), nullptr);

    // The next owner takes index 0 again; the stale lease must not reach it.
    DeviceBufferPool::Lease owner;
    ASSERT_EQ(pool.acquire(4 * MB, owner), 0);
    EXPECT_EQ(tavro::gpu::deviceBytesInUse(0), 4 * MB) << "the first acquire after releaseAll allocates";
    EXPECT_EQ(stale.get(), nullptr);
    stale.release();
    EXPECT_EQ(stale.pool(), nullptr);
    EXPECT_EQ(stale.index(), -1);

    DeviceBufferPool::Lease other;
    ASSERT_EQ(pool.acquire(4 * MB, other), 0);
    EXPECT_NE(other.get(), owner.get()) << "a stale release must not free another owner's entry";
    EXPECT_NE(owner.get(), nullptr);
}

TEST(DeviceBufferPool, ReleaseIdleFreesOnlyIdleBuffersOfTheCurrentDevice) {
    const auto devices = devicesOf({64 * MB, 64 * MB});
    auto& pool = DeviceBufferPool::instance();
    std::thread([&] {
        ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
        DeviceBufferPool::Lease lease;
        ASSERT_EQ(pool.acquire(2 * MB, lease), 0);
    }).join();

    DeviceBufferPool::Lease held, idle;
    ASSERT_EQ(pool.acquire(2 * MB, held), 0);
    ASSERT_EQ(pool.acquire(3 * MB, idle), 0);
    const int64_t idleIndex = idle.index();
    idle.release();
    void* heldBuffer = held.get();

    pool.releaseIdle();

    EXPECT_EQ(tavro::gpu::deviceBytesInUse(0), 2 * MB);
    EXPECT_EQ(tavro::gpu::deviceBytesInUse(1), 2 * MB);
    EXPECT_EQ(held.get(), heldBuffer);
    DeviceBufferPool::Lease fresh;
    ASSERT_EQ(pool.acquire(1 * MB, fresh), 0);
    EXPECT_NE(fresh.index(), idleIndex) << "an emptied entry holds no buffer to hand out";
}

TEST(DeviceBufferPool, MovingALeaseHandsOverItsBufferAndReleasesTheTargets) {
    const auto devices = devicesOf({64 * MB});
    auto& pool = DeviceBufferPool::instance();
    DeviceBufferPool::Lease a, b;
    ASSERT_EQ(pool.acquire(1 * MB, a), 0);
    ASSERT_EQ(pool.acquire(1 * MB, b), 0);
    void* aBuffer = a.get();
    void* bBuffer = b.get();

    a = std::move(b);
    EXPECT_EQ(a.get(), bBuffer);
    EXPECT_EQ(b.index(), -1);

    DeviceBufferPool::Lease c;
    ASSERT_EQ(pool.acquire(1 * MB, c), 0);
    EXPECT_EQ(c.get(), aBuffer) << "the target's former buffer went back to the pool";
    EXPECT_EQ(tavro::gpu::deviceBytesInUse(0), 2 * MB);
}

TEST(DeviceBufferPool, FailedAcquireReturnsTheCudaCodeAndKeepsTheLease) {
    const auto devices = devicesOf({16 * MB});
    auto& pool = DeviceBufferPool::instance();
    DeviceBufferPool::Lease lease;
    ASSERT_EQ(pool.acquire(1 * MB, lease), 0);
    void* buffer = lease.get();

    EXPECT_EQ(pool.acquire(64 * MB, lease), static_cast<int>(cudaErrorMemoryAllocation));
    EXPECT_EQ(lease.get(), buffer);
}

TEST(DeviceBufferPool, ConcurrentUsersNeverShareABuffer) {
    const auto devices = devicesOf({64 * MB});
    auto& pool = DeviceBufferPool::instance();
    constexpr int kThreads = 8;
    constexpr size_t kBytes = 64 * 1024;
    std::atomic<int> failures{0};

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::vector<unsigned char> back(kBytes);
            for (int i = 0; i < 200; ++i) {
                DeviceBufferPool::Lease lease;
                if (pool.acquire(kBytes, lease) != 0 || cudaMemset(lease.get(), t + 1, kBytes) != cudaSuccess) {
                    ++failures;
                    return;
                }
                std::this_thread::yield();
                if (cudaMemcpy(back.data(), lease.get(), kBytes, cudaMemcpyDeviceToHost) != cudaSuccess) {
                    ++failures;
                    return;
                }
                for (unsigned char v : back)
                    if (v != t + 1) {
                        ++failures;
                        return;
                    }
            }
        });
    }
    for (auto& thread : threads) thread.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_LE(tavro::gpu::deviceBytesInUse(0), kThreads * kBytes) << "released buffers must be reused";
}

#endif

} // namespace
