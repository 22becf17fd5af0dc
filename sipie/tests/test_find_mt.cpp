/*
 * test_find_mt.cpp - the values of one message read on several threads at
 * once: each thread reads its own values back as C texts (tokens in the
 * message, quoted values copied per thread; run under ThreadSanitizer too),
 * a value it keeps reads the same after all its reads, and the message
 * stays as it was.
 */
#include "support/sipie_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <string>
#include <thread>

TEST(FindMt, ValuesOfOneMessageOnSeveralThreads)
{
    constexpr u32 kThreads = 6, kRounds = 2000;
    TestMsg msg(8);
    std::vector<std::string> names, values;
    for (u32 t = 0; t < kThreads; ++t) {
        names.push_back("p" + std::to_string(t));
        values.push_back(std::string(t + 1, static_cast<char>('a' + t)));
        ASSERT_EQ((t % 2 == 0 ? VQ500SipParamaterAdd_QStr : VQ500SipParamaterAdd_Tok)(
                      msg.Msg(), msg.At(0), names[t].c_str(), values[t].c_str()),
                  VQX_RESULT_OK);
    }
    const std::vector<u8> before = msg.Bytes();
    std::atomic<u32> wrong{0};
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (u32 t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const u32 un32Other = (t + 1) % kThreads;
            const auto* pOther =
                static_cast<const SipParameterIe*>(VQXMsgElementGet(msg.At(0), static_cast<u16>(un32Other), nullptr));
            start.arrive_and_wait();
            // Kept through every round: each thread copies under 16 KiB in all.
            const char* pKept = VQ500SipParameterFind(msg.At(0), names[t].c_str(), nullptr, nullptr);
            for (u32 i = 0; i < kRounds; ++i) {
                const char* p = VQ500SipParameterFind(msg.At(0), names[t].c_str(), nullptr, nullptr);
                wrong += p == nullptr || values[t] != p;
                p = VQ500SipValueGet(&pOther->stValue);
                wrong += p == nullptr || values[un32Other] != p;
            }
            wrong += pKept == nullptr || values[t] != pKept;
        });
    }
    for (std::thread& th : threads) {
        th.join();
    }
    EXPECT_EQ(wrong.load(), 0u);
    EXPECT_EQ(msg.Bytes(), before);
}
