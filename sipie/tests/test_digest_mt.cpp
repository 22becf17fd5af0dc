/*
 * test_digest_mt.cpp - the nonce count is one atomic counter: headers built
 * on several threads at once never carry the same nc.
 */
#include "support/sipie_fixture.h"
#include "vq500_sip_digest.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>

TEST(DigestMt, NonceCountsDistinctAcrossThreads)
{
    constexpr int kThreads = 4, kEach = 64;
    std::vector<std::vector<std::string>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &seen] {
            TestMsg msg(72 + 8, 0x40000);
            auto* ch = reinterpret_cast<SipAuthSchemeIe*>(msg.At(0));
            auto* line = reinterpret_cast<SipRequestLineIe*>(msg.At(8));
            VQ500SipStringAdd(msg.Msg(), &ch->msText, "Digest");
            VQ500SipParamaterAdd_QStr(msg.Msg(), &ch->msParameter, "realm", "r");
            VQ500SipParamaterAdd_QStr(msg.Msg(), &ch->msParameter, "nonce", "n");
            VQ500SipParamaterAdd_QStr(msg.Msg(), &ch->msParameter, "qop", "auth");
            VQ500SipRequestLineFill(msg.Msg(), line, 1, "sip", "b", nullptr, "h", 0);
            for (int i = 0; i < kEach; ++i) {
                if (VQ500SipHeaderAdd_Authorization(msg.Msg(), msg.At(72), ch, line, "u", "p") != VQX_RESULT_OK) break;
            }
            u16 cur = 0;
            for (int i = 0; i < kEach; ++i) {
                auto* h = static_cast<SipHeaderAuthorizationIe*>(VQ500SipHeaderFind(msg.At(72), 6, &cur, nullptr));
                if (h == nullptr) break;
                seen[t].push_back(ParamValue(&h->stAuthScheme.msParameter, "nc"));
            }
        });
    }
    for (auto& th : threads) th.join();
    std::set<std::string> all;
    size_t total = 0;
    for (const auto& v : seen) {
        EXPECT_EQ(v.size(), size_t(kEach));
        total += v.size();
        all.insert(v.begin(), v.end());
    }
    EXPECT_EQ(all.size(), total);
}
