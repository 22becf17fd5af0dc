// Adapter discovery against the simulated board, this thread as the
// application's main thread: a profile of every protocol and its edge cases
// (tests/data/adapter_profile.json, one row per case) gives the golden entity
// table and "<Sync>" lines and one adapter-ready message; lost, short and
// failed answers (what each left out counted) and resynchronisations mid-round; a full table; Init refused
// before the framework and for a board the host library does not know; the
// failure lines of the operations' catch clause.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <future>
#include <stdexcept>
#include <tuple>

#include "support/sigtrace_test_board.h"
#include "support/sigtrace_test_support.h"

namespace {

using namespace sigtest;

std::string Profile() { return ReadFile(DataPath("adapter_profile.json")); }

/* A board of trunks: two SS7 links on one MTP2 instance, then un32Trunks CAS R2 trunks (whose requests and answers
 * are 63 KB each: a few at a time are on their way, as over a link of the board's own). */
std::string TrunksProfile(u32 un32Trunks) {
  std::string s = R"({"mtp2": [{"id": 1, "links": [{"id": 11, "trunk": 1, "timeslots": [1], "name": "L1"},
                                                 {"id": 12, "trunk": 2, "timeslots": [2], "name": "L2"}]}], "casr2": [)";
  for (u32 i = 1; i <= un32Trunks; i++)
    s += (i > 1 ? ", {\"id\": " : "{\"id\": ") + std::to_string(i) + ", \"trunk\": " + std::to_string(i) + ", \"name\": \"R" +
         std::to_string(i) + "\"}";
  return s + "]}";
}

/* The adapter of a board that holds its answers but those to the configuration and the two lists of TrunksProfile. */
bool AddHoldingAfterTheLists(CBoardBench& b) {
  if (b.pBoard->Command("hold") != "ok" || !b.AddAdapter()) return false;
  for (const long nLets : {1, 2})
    if (!Within(5000, [&] { return b.pBoard->Stat("held") == nLets; }) ||
        b.pBoard->Command("release " + std::to_string(nLets)) != "ok " + std::to_string(nLets))
      return false;
  return true;
}

/* What the round left out, and the entities its table took, read under the adapter's mutex. */
VQCAF::SVQDiscoveryLeftOut LeftOut(CBoardBench& b, u32* pun32Taken = nullptr) {
  VQCAF::CVQCAFMutexAutoGetGive Lock(&b.pAdapter->GetMutex());
  if (pun32Taken != nullptr) *pun32Taken = b.pAdapter->GetEntityTable().GetCount();
  return b.pAdapter->GetLeftOut();
}

TEST(AdapterDiscovery, ProfileOfEveryProtocolGivesGoldenTableAndOneReadyMessage) {
  CBoardBench b(Profile());
  ASSERT_TRUE(b.AddAdapter());
  const SAppMsg Ready = b.WaitReady();
  ASSERT_EQ(Ready.Payload.size(), 424u);
  EXPECT_EQ(*reinterpret_cast<const u32*>(&Ready.Payload[12]), b.pAdapter->GetAdapterHandle());
  EXPECT_STREQ(reinterpret_cast<const char*>(&Ready.Payload[288]), "12345678");
  EXPECT_TRUE(std::all_of(Ready.Payload.begin(), Ready.Payload.begin() + 8, [](u8 c) { return c == 0; }));
  EXPECT_EQ(b.pAdapter->IsAdapterReady(), 1u);
  EXPECT_EQ(b.pAdapter->GetTuclInstanceId(), 9u) << "the last instance listed";
  EXPECT_EQ(CompareGolden("adapter_entities.txt", b.Entities()), "");
  const std::vector<std::string> aLines = b.Lines("");
  std::string strSync;
  for (std::string s : aLines)
    if (s.find("<Sync>") != s.npos) strSync += s.replace(0, 1, "\\e") + "\n";
  EXPECT_EQ(CompareGolden("adapter_sync.log", strSync), "");
  EXPECT_EQ(Seen(aLines, "HandleIsdnOpGetParamsResponse: Unknown isdn variant (82000001)"), 2u) << "variants 0 and 9";
  EXPECT_EQ(Seen(aLines, "HandleLapdOpLinkGetParamsResponse: Timeslot 32 above 31, link refused (8200000A)"), 1u);
  EXPECT_EQ(Seen(aLines, "HandleIsdnOpGetParamsResponse: 3 trunks announced, 1 received"), 1u);
  EXPECT_EQ(b.Next(300).un32Id, 0u) << "nothing more after the ready message";
  EXPECT_EQ(b.un32Readies, 1u);
  EXPECT_EQ(b.pBoard->Stat("violations"), 0) << b.pBoard->Command("stats");
  /* Each family asked once per instance and link, in list order. */
  EXPECT_EQ(b.pBoard->Command("requests"),
            "{\"0x04080003\": [1, 2, 3, 4, 5, 6], \"0x04080004\": [0], \"0x04090001\": [0], \"0x04210005\": [0], "
            "\"0x04210012\": [11, 12, 13, 21, 22, 23], \"0x04210014\": [1, 2], \"0x04390003\": [7, 9], "
            "\"0x04390004\": [0], \"0x04510003\": [1, 2], \"0x04510004\": [0], \"0x04540005\": [0], "
            "\"0x04540012\": [51, 52], \"0x04540014\": [5]}");
  /* A board the host library does not know. */
  EXPECT_EQ(VQCAF::CVQSigTraceAdapter().Init(0xDEADu), 0x82000015u);
  EXPECT_EQ(b.Lines("CVQSigTraceAdapter::Init: Host information not found (82000015) CVQSigTraceAdapter:").size(), 1u);
}

TEST(AdapterDiscovery, InitBeforeTheFrameworkIsRefusedAndClearedOnce) {
  CLogLines Log;
  VQCAF::CVQSigTraceAdapter A;
  EXPECT_EQ(A.Init(1), 0x8200000Fu);
  EXPECT_EQ(A.Clear(), VQX_RESULT_OK);
  EXPECT_EQ(Log.Text().find("CVQSigTraceAdapter::Init: CVQCAFComm must be initialized first (8200000F) CVQSigTraceAdapter:"), 0u);
}

/* The failure lines of an operation's catch clause, by kind of exception: one of no known kind is followed by the
 * line naming where it was caught. */
TEST(AdapterDiscovery, ExceptionLines) {
  const std::tuple<std::function<void()>, u32, const char*> aRows[] = {
      {[] { throw VQCAF::CVQCAFException("boom", 0x8200000Fu); }, 0x8200000Fu, "boom (8200000F)"},
      {[] { throw std::bad_alloc(); }, 0x82000012u, "std::bad_alloc (82000012)"},
      {[] { throw std::length_error("x"); }, 0x8200000Au, "std::length_error (8200000A)"},
      {[] { throw std::out_of_range("x"); }, 0x82000006u, "std::out_of_range (82000006)"},
      {[] { throw std::runtime_error("x"); }, 0x82000002u, "(Un-handled exception) (82000002)"},
      {[] { throw 42; }, 0x82000002u, "(Un-handled exception) (82000002)"},
  };
  VQCAF::CVQSigTraceAdapter A;
  for (const auto& [fnThrow, un32Result, pszText] : aRows) {
    CLogLines Log;
    u32 r = 0;
    try {
      fnThrow();
    } catch (...) {
      r = A.CaughtFailure("CVQSigTraceAdapter::HandleIsdnOpGetListResponse", 77);
    }
    std::string strExpected = std::string("CVQSigTraceAdapter::HandleIsdnOpGetListResponse: ") + pszText + " CVQSigTraceAdapter:77";
    if (un32Result == 0x82000002u) strExpected += "\nCVQSigTraceAdapter::HandleIsdnOpGetListResponse: Un-handled exception: CVQSigTraceAdapter:77";
    EXPECT_EQ(r, un32Result) << pszText;
    EXPECT_EQ(Log.Text(), strExpected) << pszText;
  }
}

TEST(AdapterDiscovery, LostShortFailedAndOverlappingRoundsEachEndInOneReadyMessage) {
  CBoardBench b(R"({"mtp2": [{"id": 1, "links": [{"id": 11, "trunk": 1, "timeslots": [1], "name": "L1"},
                                                 {"id": 12, "trunk": 2, "timeslots": [2], "name": "L2"}]}],
                    "isdn": [{"id": 3, "variant": 4, "trunks": [3], "name": "D3"}],
                    "tucl": [{"id": 7, "name": "SIP"}]})");
  ASSERT_TRUE(b.AddAdapter());
  ASSERT_TRUE(b.WaitReady());
  const std::string strAll = b.Entities();
  b.Lines("");
  const auto Round = [&](const char* pszRow, const std::vector<std::string>& aCommands) {
    for (const std::string& c : aCommands) EXPECT_EQ(b.pBoard->Command(c), "ok") << pszRow << ": " << c;
    b.pAdapter->Synchronize();
  };
  /* One answer lost: asked again after 5 s, once. */
  Round("lost once", {"drop 0x04390003 1"});
  ASSERT_TRUE(Within(3000, [&] { return b.Asked("0x04390003") == 2; }));
  EXPECT_EQ(b.Next(200).un32Id, 0u) << "not ready while an answer is missing";
  CBoardBench::Advance(5000);
  ASSERT_TRUE(b.WaitReady());
  EXPECT_EQ(b.Entities(), strAll);
  EXPECT_EQ(b.Lines("not answered, sent again").size(), 1u);
  /* Never answered: three more sends, then given up; ready without it. */
  Round("never answered", {"drop 0x04080003 4"});
  for (size_t n = 3; n <= 6; n++) {
    ASSERT_TRUE(Within(3000, [&] { return b.Asked("0x04080003") == n; })) << n;
    CBoardBench::Advance(5000);
  }
  ASSERT_TRUE(b.WaitReady());
  EXPECT_EQ(b.Entities().find("D3 |"), std::string::npos);
  EXPECT_EQ(b.Lines("ISDN_OP_GET_PARAMS (item 3) not answered after 4 sends, given up").size(), 1u);
  EXPECT_EQ(LeftOut(b).un32NotDiscovered, 1u) << "the D-channel given up";
  /* Short answers: parameters refused whole, a list cut to its whole entries. */
  Round("short", {"short 0x04210012 200", "short 0x04210014 24", "short 0x04090001 2688"});
  ASSERT_TRUE(b.WaitReady());
  EXPECT_EQ(b.Entities().find("L1 |"), std::string::npos);
  const std::vector<std::string> aShort = b.Lines("CVQSigTraceAdapter::Handle");
  EXPECT_EQ(aShort.size(), 3u) << "features and a list cut once each, the one link refused";
  EXPECT_EQ(Seen(aShort, "HandleAdapterConfigGetResponse: 3 feature entries announced, 1 received"), 1u);
  EXPECT_EQ(Seen(aShort, "HandleMtp2OpLinkGetListResponse: 2 entries announced, 1 received"), 1u);
  EXPECT_EQ(Seen(aShort, "HandleMtp2OpLinkGetParamsResponse: Answer too short (200 bytes, byte 296 needed)"), 1u);
  EXPECT_EQ(LeftOut(b).un32NotDiscovered, 1u) << "the link whose answer was refused";
  /* A failed answer ends its branch. */
  Round("failed", {"short 0x04210012 0", "short 0x04210014 0", "short 0x04090001 0", "fail 0x04080003 -5"});
  ASSERT_TRUE(b.WaitReady());
  EXPECT_EQ(b.Entities().find("D3 |"), std::string::npos);
  EXPECT_EQ(b.Lines("ISDN_OP_GET_PARAMS failed (FFFFFFFB)").size(), 1u);
  EXPECT_EQ(LeftOut(b).un32NotDiscovered, 1u) << "the D-channel whose answer carried a failure";
  /* A resynchronisation while the first round's answer is held back. */
  Round("overlap", {"fail 0x04080003 0", "hold"});
  ASSERT_TRUE(Within(3000, [&] { return b.Asked("0x04090001") == 6; }));
  b.pAdapter->Synchronize();
  ASSERT_TRUE(Within(3000, [&] { return b.Asked("0x04090001") == 7; }));
  EXPECT_EQ(b.pBoard->Command("release"), "ok 2");
  ASSERT_TRUE(b.WaitReady());
  EXPECT_EQ(b.Next(300).un32Id, 0u) << "one ready message for the completed round";
  EXPECT_EQ(b.Entities(), strAll) << "no entity twice";
  EXPECT_EQ(b.Lines("not awaited, dropped").size(), 1u);
  EXPECT_EQ(b.un32Readies, 6u);
  EXPECT_EQ(b.pBoard->Stat("violations"), 0) << b.pBoard->Command("stats");
}

/* A request that cannot be sent (the board is gone) is tried again after 5 s: with the board back the round
 * completes; never sendable, it is given up after four tries with a line and the round still ends. */
TEST(AdapterDiscovery, AnUnsentRequestIsTriedAgainThenGivenUp) {
  CBoardBench b(R"({"tucl": [{"id": 7, "name": "SIP"}]})");
  ASSERT_TRUE(b.AddAdapter());
  ASSERT_TRUE(b.WaitReady());
  const std::string strAll = b.Entities();
  const auto Boards = [&] {
    u32 n = 0, ah[4];
    return VQXGetAdaptersList(b.hLib, 4, &n, ah) == VQX_RESULT_API_OK ? n : 99u;
  };
  size_t nFailedSends = 0, nGivenUp = 0;
  const auto Failed = [&] {
    for (const std::string& s : b.Log.Take()) {
      nFailedSends += s.find("SendAdapterConfigGet: VQXSendMsg failed") != std::string::npos;
      nGivenUp += s.find("ADAPTER_OP_CONFIG_GET (item 0) could not be sent in 4 tries, given up") != std::string::npos;
    }
    return nFailedSends;
  };
  for (const bool fBack : {true, false}) {
    SCOPED_TRACE(fBack ? "board back" : "board gone");
    b.StopBoard();
    ASSERT_TRUE(Within(5000, [&] { return Boards() == 0; }));
    const size_t nFailed = Failed();
    b.pAdapter->Synchronize();
    EXPECT_EQ(Failed(), nFailed + 1);
    EXPECT_EQ(b.Next(300).un32Id, 0u) << "not ready while the request is unsent";
    if (fBack) {
      b.StartBoard();
      /* Found again by discovery (seconds), the adapter's clock held still meanwhile. */
      auto Last = std::chrono::steady_clock::now();
      ASSERT_TRUE(Within(20000, [&] {
        const auto Ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - Last);
        CBoardBench::Advance(-static_cast<u64>(Ms.count()));
        Last += Ms;
        return Boards() == 1;
      }));
      CBoardBench::Advance(5000);
      ASSERT_TRUE(b.WaitReady());
      EXPECT_EQ(b.Entities(), strAll);
      continue;
    }
    for (size_t n = 2; n <= 4; n++) {
      CBoardBench::Advance(5000);
      ASSERT_TRUE(Within(3000, [&] { return Failed() == nFailed + n; })) << n;
    }
    CBoardBench::Advance(5000);
    ASSERT_TRUE(b.WaitReady());
    Failed();
    EXPECT_EQ(nGivenUp, 1u);
  }
}

/* A feature's resource count is the smaller of its two counts: a family
 * with either count 0 is not listed. */
TEST(AdapterDiscovery, AFeatureCountsTheSmallerOfItsTwoCounts) {
  CBoardBench b(R"({"features": [[31, 2, 0], [20, 0, 1], [110, 1, 1]], "tucl": [{"id": 7, "name": "SIP"}]})");
  ASSERT_TRUE(b.AddAdapter());
  ASSERT_TRUE(b.WaitReady());
  EXPECT_EQ(b.pBoard->Command("requests"), "{\"0x04090001\": [0], \"0x04390003\": [7], \"0x04390004\": [0]}");
}

/* The entities past it counted in one line of the discovery, naming the board; again at the next discovery. */
TEST(AdapterDiscovery, TheEntityPastAFullTableIsRefusedAndDiscoveryCompletes) {
  std::string strProfile = R"({"tucl": [)";
  for (int i = 1; i <= 131; i++) strProfile += (i > 1 ? ", {\"id\": " : "{\"id\": ") + std::to_string(i) + ", \"name\": \"I" + std::to_string(i) + "\"}";
  CBoardBench b(strProfile + "]}");
  ASSERT_TRUE(b.AddAdapter());
  for (int nRound = 0; nRound < 2; nRound++) {
    if (nRound == 1) b.pAdapter->Synchronize();
    ASSERT_TRUE(b.WaitReady()) << nRound;
    EXPECT_EQ(b.Entities().find("12345678_I129 |"), std::string::npos);
    const auto Full = b.Lines("Too many signaling entities detected (increase max entities per adapter)");
    ASSERT_EQ(Full.size(), 1u) << nRound;
    EXPECT_NE(Full[0].find("(increase max entities per adapter): 12345678, 3 entities past its 128 not registered"),
              std::string::npos) << Full[0];
  }
}

/*
 * A board of 1,000 TUCL instances, the send queue 32 and the receive fifo 16, as a board of tens of thousands of
 * entities fills the default ones: the adapter's thread waits for room in the board's queue (whose flow control lets
 * a few requests in at a time, each answer read letting the next in) while the answers pile up in the adapter's
 * filter, which only that thread reads. The reading goes on meanwhile, so the round completes at the board's pace with
 * each instance asked once (the transport paused 100 ms an answer before: ten a second).
 */
TEST(AdapterDiscovery, ThreadWaitingForRoomInTheBoardsQueueHasItsAnswersReadMeanwhile) {
  constexpr u32 kInstances = 1000;
  std::string strProfile = R"({"tucl": [)";
  for (u32 i = 1; i <= kInstances; i++) strProfile += (i > 1 ? ", {\"id\": " : "{\"id\": ") + std::to_string(i) + "}";
  CBoardBench b(strProfile + "]}", [](VQCAF::CVQCAFCommParams& P) {
    P.mun32SendFifoSize = 32;
    P.mun32ReceiveFifoSize = 16;
  });
  ASSERT_TRUE(b.AddAdapter());
  EXPECT_TRUE(b.WaitReady(30000)) << b.Asked("0x04390003") << " asked";
  EXPECT_EQ(b.Asked("0x04390003"), kInstances) << "each once";
  EXPECT_FALSE(b.Lines("VqxMsgSendTo: Warning: too many messages in queue (max 32). Waiting...").empty())
      << "the thread waited for room";
}

/*
 * A slow board (its answers let out 50 a step, the adapter's clock 1 s on a step, a few of the 63 KB requests on
 * their way at a time): every request is answered at the pace the board goes, long after it was asked, so none is
 * sent again nor given up. 1,000 trunks: the table takes 128, the rest counted past it; in miniature of 600 with
 * both SS7 links never answered: those two given up, each line naming its link, and taken + past the table + not
 * discovered = offered.
 */
TEST(AdapterDiscovery, ASlowBoardIsDiscoveredAtItsPaceAndEveryEntityOfferedIsTakenOrCounted) {
  const struct {
    u32 un32Trunks;
    const char* pszDrop;  /* requests the board never answers */
    u32 un32NotDiscovered;
  } aRows[] = {{998, nullptr, 0}, {598, "drop 0x04210012 8", 2}};
  for (const auto& Row : aRows) {
    SCOPED_TRACE(Row.un32Trunks);
    CBoardBench b(TrunksProfile(Row.un32Trunks));
    ASSERT_EQ(b.pBoard->Command("hold"), "ok");
    if (Row.pszDrop != nullptr) {
      ASSERT_EQ(b.pBoard->Command(Row.pszDrop), "ok");
    }
    ASSERT_TRUE(b.AddAdapter());
    ASSERT_TRUE(b.Pace(50, 1000, 3000));
    ASSERT_TRUE(b.WaitReady());
    EXPECT_EQ(b.Asked("0x04510003"), Row.un32Trunks) << "each trunk asked once";
    u32 un32Taken = 0;
    const VQCAF::SVQDiscoveryLeftOut L = LeftOut(b, &un32Taken);
    EXPECT_EQ(un32Taken, VQCAF::VQ_SIGTRACE_MAX_ENTITIES);
    EXPECT_EQ(un32Taken + L.un32PastTable + L.un32NotDiscovered, Row.un32Trunks + 2) << "every entity offered";
    EXPECT_EQ(L.un32NotDiscovered, Row.un32NotDiscovered);
    const std::vector<std::string> aLines = b.Lines("");
    EXPECT_EQ(Seen(aLines, "not answered, sent again"), 3 * Row.un32NotDiscovered);
    EXPECT_EQ(Seen(aLines, "not answered after 4 sends, given up"), Row.un32NotDiscovered);
    EXPECT_EQ(Seen(aLines, "not awaited"), 0u);
    EXPECT_EQ(Seen(aLines, (", " + std::to_string(L.un32PastTable) + " entities past its 128 not registered").c_str()), 1u);
    EXPECT_EQ(Seen(aLines, "Signaling entities not discovered: 12345678, 2 entities"), Row.un32NotDiscovered / 2);
    for (const char* pszItem : {"11", "12"}) /* each line names what it covered */
      EXPECT_EQ(Seen(aLines, (std::string("LINK_GET_PARAMS (item ") + pszItem + ") not answered after 4 sends, given up: MTP2 link " +
                              pszItem + " not discovered").c_str()), Row.un32NotDiscovered / 2);
  }
}

/* An answer to a request's first copy, come after the copy was sent, is taken: alone (the copy never answered),
 * or before the copy's own answer, which is then dropped quietly. One ready message, the table whole. */
TEST(AdapterDiscovery, ALateAnswerToARequestsFirstCopyIsTaken) {
  CBoardBench b(R"({"tucl": [{"id": 7, "name": "SIP"}]})");
  ASSERT_TRUE(b.AddAdapter());
  ASSERT_TRUE(b.WaitReady());
  const std::string strAll = b.Entities();
  for (const bool fCopyAnswered : {false, true}) {
    SCOPED_TRACE(fCopyAnswered ? "copy answered" : "copy never answered");
    b.Lines("");
    const size_t nAsked = b.Asked("0x04090001");
    ASSERT_EQ(b.pBoard->Command("hold"), "ok");
    b.pAdapter->Synchronize();
    ASSERT_TRUE(Within(3000, [&] { return b.Asked("0x04090001") == nAsked + 1; }));
    if (!fCopyAnswered) {
      ASSERT_EQ(b.pBoard->Command("drop 0x04090001 1"), "ok");
    }
    CBoardBench::Advance(VQCAF::VQ_SIGTRACE_RESEND_AFTER_MS);
    ASSERT_TRUE(Within(3000, [&] { return b.Asked("0x04090001") == nAsked + 2; })) << "the copy";
    EXPECT_EQ(b.pBoard->Command("release"), fCopyAnswered ? "ok 2" : "ok 1");
    ASSERT_TRUE(b.WaitReady());
    EXPECT_EQ(b.Next(300).un32Id, 0u) << "one ready message";
    EXPECT_EQ(b.Entities(), strAll);
    const std::vector<std::string> aLines = b.Lines("");
    EXPECT_EQ(Seen(aLines, "not answered, sent again"), 1u);
    EXPECT_EQ(Seen(aLines, "not awaited"), 0u);
  }
}

/* A board that answers no request: the few requests its flow control let out are sent again once each, and their
 * copies wait in its send queue with the rest of the round's; none is given up while it waits there (the round
 * goes on once the board answers, each entity once). */
TEST(AdapterDiscovery, NoRequestIsSentAgainNorGivenUpWhileItWaitsInTheBoardsQueue) {
  CBoardBench b(TrunksProfile(200));
  ASSERT_TRUE(AddHoldingAfterTheLists(b));
  const auto Waiting = [&] {
    VQX_PEER_SEND_QUEUE Queue{};
    return VQXGetPeerSendQueue(b.hLib, b.pAdapter->GetAdapterHandle(), &Queue) == VQX_RESULT_API_OK ? Queue.un32Waiting : 0u;
  };
  long nLeft = 0;
  ASSERT_TRUE(Within(5000, [&] { return (nLeft = b.pBoard->Stat("held")) + Waiting() == VQCAF::VQ_SIGTRACE_MAX_IN_FLIGHT; }))
      << "the round's requests at the board or in its queue";
  ASSERT_LT(nLeft, 16) << "a few let out at a time";
  size_t nAgain = 0, nGivenUp = 0;
  for (int i = 0; i < 5; i++) {
    CBoardBench::Advance(VQCAF::VQ_SIGTRACE_RESEND_AFTER_MS);
    Within(i == 0 ? 5000 : 1000, [&] {
      for (const std::string& s : b.Lines("<Sync>")) {
        nAgain += s.find("sent again") != std::string::npos;
        nGivenUp += s.find("given up") != std::string::npos;
      }
      return nAgain == static_cast<size_t>(nLeft) && i == 0;
    });
  }
  EXPECT_EQ(nAgain, static_cast<size_t>(nLeft)) << "those let out, once each";
  EXPECT_EQ(nGivenUp, 0u);
  EXPECT_EQ(b.pBoard->Command("release").rfind("ok ", 0), 0u);
  ASSERT_TRUE(b.WaitReady(30000));
  EXPECT_EQ(LeftOut(b).Total(), 200u + 2 - VQCAF::VQ_SIGTRACE_MAX_ENTITIES);
}

/*
 * A close while the board answers its polls but not the requests: the adapter's thread waits for room in the
 * board's full queue (16 here) with its mutex held. Clear asks the thread to stop before it takes that mutex: the
 * send ends, dropped, and the thread stops before its next; once the stop is asked nothing more is queued for the
 * board, also when it answers again; the round's requests are counted cut short.
 */
TEST(AdapterDiscovery, ACloseWhileTheBoardAnswersNoRequestEndsTheSendWaitingForRoomAndAsksNothingMore) {
  CBoardBench b(TrunksProfile(200), [](VQCAF::CVQCAFCommParams& P) { P.mun32SendFifoSize = 16; });
  ASSERT_TRUE(AddHoldingAfterTheLists(b));
  size_t nWaits = 0;
  ASSERT_TRUE(Within(10000, [&] { return (nWaits += b.Lines("too many messages in queue (max 16). Waiting...").size()) != 0; }));
  const auto Queued = [&] {
    _VQX_LIB_STATS S{};
    VQXLibGetStats(b.hLib, &S);
    return S.TxMsgQueued;
  };
  auto Cleared = std::async(std::launch::async, [&] { return b.pAdapter->Clear(); });
  EXPECT_TRUE(Within(10000, [&] { return b.pAdapter->IsStopRequested() != 0; })) << "asked to stop, its mutex held";
  const u64 un64Queued = Queued();
  EXPECT_EQ(b.pBoard->Command("release").rfind("ok ", 0), 0u);
  ASSERT_EQ(Cleared.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(Cleared.get(), VQX_RESULT_OK);
  /* The adapter thread looks at the stop between two sends: the one it had begun may still go once room frees. */
  EXPECT_LE(Queued(), un64Queued + 1) << "nothing queued for the board once the close began, but the send under way";
  EXPECT_EQ(LeftOut(b).un32CutShort, 201u) << "the 200 trunks and the links of the MTP2 instance";
  EXPECT_EQ(b.Lines("discovery cut short: 201 entities not discovered").size(), 1u);
}

}  // namespace
