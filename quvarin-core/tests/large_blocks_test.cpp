#include "tensor/large_blocks.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <thread>
#include <vector>

namespace quvarin {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;
constexpr std::size_t kBlock = LargeBlockPool::kMinBytes;

TEST(LargeBlockPool, ReusesAFreedBlockWhileAnotherIsInUseAndReturnsAllWhenNoneIs) {
    LargeBlockPool pool;
    void* held = pool.allocate(kBlock);
    void* first = pool.allocate(kBlock + 1);  // rounded up to 34 MiB
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(first) % (2 * kMiB), 0u);
    pool.free(first, kBlock + 1);
    EXPECT_EQ(pool.kept_bytes(), 0u);  // 34 MiB kept would exceed the 32 MiB in use

    void* second = pool.allocate(kBlock);
    pool.free(second, kBlock);
    EXPECT_EQ(pool.kept_bytes(), kBlock);
    EXPECT_EQ(pool.allocate(kBlock), second);
    EXPECT_EQ(pool.kept_bytes(), 0u);

    pool.free(second, kBlock);
    pool.free(held, kBlock);
    EXPECT_EQ(pool.kept_bytes(), 0u);
}

TEST(LargeBlockPool, KeepsNoMoreBytesThanAreInUse) {
    LargeBlockPool pool;
    void* held = pool.allocate(2 * kBlock);
    std::vector<void*> blocks;
    for (int i = 0; i < 3; ++i) blocks.push_back(pool.allocate(kBlock));
    for (void* block : blocks) pool.free(block, kBlock);
    EXPECT_EQ(pool.kept_bytes(), 2 * kBlock);
    pool.free(held, 2 * kBlock);
    EXPECT_EQ(pool.kept_bytes(), 0u);
}

TEST(LargeBlockPool, ImpossibleSizesThrowBadAlloc) {
    LargeBlockPool pool;
    for (const std::size_t bytes : {std::size_t{1} << 62, std::size_t{PTRDIFF_MAX}, SIZE_MAX}) {
        EXPECT_THROW(pool.allocate(bytes), std::bad_alloc) << bytes;
    }
}

// Blocks taken, written and freed on several threads at once, while one stays
// in use so that freed blocks are kept and handed on: each block must have
// exactly one owner at a time (a shared one shows as an overwritten marker,
// a kept one written to as an AddressSanitizer report), and nothing may be
// left kept once every block is back.
TEST(LargeBlockPool, HandsEachBlockToOneThreadAtATime) {
    LargeBlockPool pool;
    void* held = pool.allocate(8 * kBlock);
    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&pool, &mismatches, t] {
            for (int i = 0; i < 300; ++i) {
                const std::size_t bytes = kBlock + static_cast<std::size_t>(i % 2) * 2 * kMiB;
                auto* block = static_cast<volatile unsigned char*>(pool.allocate(bytes));
                block[0] = static_cast<unsigned char>(t);
                block[bytes - 1] = static_cast<unsigned char>(t);
                std::this_thread::yield();
                if (block[0] != t || block[bytes - 1] != t) ++mismatches[t];
                pool.free(const_cast<unsigned char*>(block), bytes);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
    pool.free(held, 8 * kBlock);
    EXPECT_EQ(pool.kept_bytes(), 0u);
}

// Spins briefly, so that the two threads below start their frees within
// nanoseconds of each other, then yields to a thread that was descheduled.
void wait_until_reached(const std::atomic<int>& counter, int round) {
    for (int spins = 0; counter.load(std::memory_order_acquire) < round; ++spins) {
        if (spins >= 4000) std::this_thread::yield();
    }
}

// Busy-waits for `steps` loop steps; the volatile counter keeps the loop.
void spin_for(int steps) {
    volatile int counter = 0;
    while (counter < steps) counter = counter + 1;
}

// Two blocks in use, freed at once on two threads: the first free keeps its
// block and the last must unmap it, however the two calls interleave. The
// main thread's free starts a little later each round, 64 offsets in turn,
// so the rounds sweep across every way the calls can overlap.
TEST(LargeBlockPool, LastFreeRacingAKeepLeavesNothingKept) {
    LargeBlockPool pool;
    constexpr int kRounds = 2000;
    void* other = nullptr;
    std::atomic<int> started{0};
    std::atomic<int> finished{0};
    std::thread other_thread([&] {
        for (int round = 1; round <= kRounds; ++round) {
            wait_until_reached(started, round);
            pool.free(other, kBlock);
            finished.store(round, std::memory_order_release);
        }
    });
    int rounds_leaving_a_block_kept = 0;
    for (int round = 1; round <= kRounds; ++round) {
        void* mine = pool.allocate(kBlock);
        other = pool.allocate(kBlock);
        started.store(round, std::memory_order_release);
        spin_for(16 * (round % 64));
        pool.free(mine, kBlock);
        wait_until_reached(finished, round);
        if (pool.kept_bytes() != 0) ++rounds_leaving_a_block_kept;
    }
    other_thread.join();
    EXPECT_EQ(rounds_leaving_a_block_kept, 0);
}

}  // namespace
}  // namespace quvarin
