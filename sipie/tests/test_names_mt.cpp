/*
 * test_names_mt.cpp - unlisted status codes and message ids named on several
 * threads at once: each thread reads back its own number (the buffers are
 * per thread; run under ThreadSanitizer too).
 */
#include "vq500_ie_names.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(NamesMt, UnlistedNumbersOnSeveralThreads)
{
    constexpr u32 kThreads = 6;
    constexpr u32 kRounds = 2000;
    std::atomic<u32> wrong{0};
    std::vector<std::thread> threads;
    for (u32 t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &wrong] {
            char szWant[32];
            for (u32 i = 0; i < kRounds; ++i) {
                const u32 un32Code = 1000 + t * kRounds + i;
                snprintf(szWant, sizeof szWant, "Unk 0x%x", un32Code);
                if (std::string(SIP_STATUS_STRING(un32Code)) != szWant) {
                    ++wrong;
                }
                const u32 un32Id = 0x5000000 + t * kRounds + i;
                snprintf(szWant, sizeof szWant, "Unk 0x%x", un32Id);
                if (std::string(VQ500_MSG_ID_SIP_STRING(un32Id)) != szWant) {
                    ++wrong;
                }
            }
        });
    }
    for (std::thread& th : threads) {
        th.join();
    }
    EXPECT_EQ(wrong.load(), 0u);
}

} // namespace
