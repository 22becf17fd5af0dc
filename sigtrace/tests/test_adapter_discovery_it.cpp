// Adapter discovery against the simulated board, this thread as the
// application's main thread: a profile of every protocol and its edge cases
// (tests/data/adapter_profile.json, one row per case) gives the golden entity
// table and "<Sync>" lines and one adapter-ready message; lost, short and
// failed answers (what each left out counted) and resynchronisations mid-round; a full table; Init refused
// before the framework and for a board the host library does not know; the
// failure lines of the operations' catch clause.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctype.h>
#include <stdio.h>

#include <chrono>
#include <functional>
#include <future>
#include <set>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "support/sigtrace_test_board.h"
#include "support/sigtrace_test_support.h"

namespace {

using namespace sigtest;

std::string Profile() { return ReadFile(DataPath("adapter_profile.json")); }

/* The adapter of a board that holds its answers but those to the configuration and the two lists of TrunksProfile. */
bool AddHoldingAfterTheLists(CBoardBench& b) {
  if (b.pBoard->Command("hold") != "ok" || !b.AddAdapter()) return false;
  for (const long nLets : {1, 2})
    if (!Within(5000, [&] { return b.pBoard->Stat("held") == nLets; }) ||
        b.pBoard->Command("release " + std::to_string(nLets)) != "ok " + std::to_string(nLets))
      return false;
  return true;
}

/* The lines holding pszPart, those the once-a-second limit left out counted: such a line counts one and the N of its
 * " (N similar line(s) left out)"; a count's own line ("...: N similar line(s) left out") counts its N. */
size_t Told(const std::vector<std::string>& aLines, const char* pszPart) {
  size_t n = 0;
  for (const std::string& s : aLines) {
    if (s.find(pszPart) == std::string::npos) continue;
    const size_t i = s.find(" similar line(s) left out");
    if (i == std::string::npos) {
      n++;
      continue;
    }
    size_t j = i;
    while (j > 0 && isdigit(static_cast<unsigned char>(s[j - 1]))) j--;
    const size_t nLeftOut = j == i ? 0 : std::stoul(s.substr(j, i - j));
    n += nLeftOut + (j >= 2 && s.compare(j - 2, 2, ": ") == 0 ? 0 : 1);
  }
  return n;
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
 * A slow board (its answers let out a few a step, the adapter's clock 1 s on a step): every request is answered at the
 * pace the board goes, long after it was asked, so none is sent again nor given up while the board answers others
 * (a request is sent again only after 5 s in which the board answered none: a plant resending after 5 s whatever
 * the board answers sends again the TCP/IP requests, of which dozens wait at the board at once). The table takes
 * 128: the items asked are those it can take, each once, the families traced first; the rest is counted past it by
 * family without being asked. 998 trunks: the trunks come first, the links past the table; with "-ss7" the links are
 * asked first, and here never answered: both given up, each line naming its link, then 128 trunks asked. Taken +
 * past the table + not discovered = offered.
 */
TEST(AdapterDiscovery, ASlowBoardIsDiscoveredAtItsPaceAndEveryEntityOfferedIsTakenOrCounted) {
  const struct {
    std::string strProfile;
    const char* pszTraceFirst;
    const char* pszDrop;  /* requests the board never answers */
    u32 un32PerStep;      /* answers let out a step */
    u32 un32Offered;
    const char* pszItemId;  /* the items' requests */
    u32 un32NotDiscovered;
    const char* pszPastTable;  /* by family */
  } aRows[] = {{TrunksProfile(998), "", nullptr, 50, 1000, "0x04510003", 0, "2 SS7, 870 CASR2"},
               {TrunksProfile(598), "-ss7", "drop 0x04210012 8", 50, 600, "0x04510003", 2, "470 CASR2"},
               {TuclProfile(200), "", nullptr, 1, 200, "0x04390003", 0, "72 IP"}};
  for (const auto& Row : aRows) {
    SCOPED_TRACE(std::to_string(Row.un32Offered) + " " + Row.pszTraceFirst);
    CBoardBench b(Row.strProfile);
    ASSERT_EQ(b.pBoard->Command("hold"), "ok");
    if (Row.pszDrop != nullptr) {
      ASSERT_EQ(b.pBoard->Command(Row.pszDrop), "ok");
    }
    ASSERT_TRUE(b.AddAdapter(Row.pszTraceFirst));
    ASSERT_TRUE(b.Pace(Row.un32PerStep, 1000, 3000));
    ASSERT_TRUE(b.WaitReady());
    u32 un32Taken = 0;
    const VQCAF::SVQDiscoveryLeftOut L = LeftOut(b, &un32Taken);
    EXPECT_EQ(un32Taken, VQCAF::VQ_SIGTRACE_MAX_ENTITIES);
    EXPECT_EQ(un32Taken + L.un32PastTable + L.un32NotDiscovered, Row.un32Offered) << "every entity offered";
    EXPECT_EQ(L.un32NotDiscovered, Row.un32NotDiscovered);
    EXPECT_EQ(L.PastTableByFamily(), Row.pszPastTable);
    EXPECT_EQ(b.Asked(Row.pszItemId), VQCAF::VQ_SIGTRACE_MAX_ENTITIES) << "each asked once, only those the table takes";
    const std::vector<std::string> aLines = b.Lines("");
    EXPECT_EQ(Told(aLines, "not answered, sent again"), 3 * Row.un32NotDiscovered);
    EXPECT_EQ(Told(aLines, ", given up"), Row.un32NotDiscovered);
    EXPECT_EQ(Seen(aLines, "not awaited"), 0u);
    EXPECT_EQ(Seen(aLines, (", " + std::to_string(L.un32PastTable) + " entities past its 128 not registered (" +
                            Row.pszPastTable + ")").c_str()), 1u);
    EXPECT_EQ(Seen(aLines, "Signaling entities not discovered: 12345678, 2 entities"), Row.un32NotDiscovered / 2);
    size_t nNamed = 0; /* each give-up line names what it covered */
    for (const char* pszItem : {"11", "12"})
      nNamed += Seen(aLines, (std::string("LINK_GET_PARAMS (item ") + pszItem + ") not answered after 4 sends, given up: MTP2 link " +
                              pszItem + " not discovered").c_str());
    EXPECT_EQ(nNamed != 0, Row.un32NotDiscovered != 0);
  }
}

/* A board of 2 SS7 links and 198 CAS R2 trunks, more than its table holds. The families traced take the table
 * first: with "-ss7" both links are in it (and 126 trunks), the trunks past it counted as such; with every family
 * traced, first come: 128 trunks, the links past it. Either way no item is asked that the table could not take. */
TEST(AdapterDiscovery, TheFamiliesTracedTakeTheTableFirst) {
  const struct {
    const char* pszTraceFirst;
    bool fLinks;            /* both links in the table */
    size_t nTrunksAsked;
    const char* pszPastTable;
  } aRows[] = {{"-ss7", true, 126, "72 CASR2"}, {"-cap", false, 128, "2 SS7, 70 CASR2"}};
  for (const auto& Row : aRows) {
    SCOPED_TRACE(Row.pszTraceFirst);
    CBoardBench b(TrunksProfile(198));
    ASSERT_TRUE(b.AddAdapter(Row.pszTraceFirst));
    ASSERT_TRUE(b.WaitReady(30000));
    const std::string strTable = b.Entities();
    for (const char* pszLink : {"L1 | 2 |", "L2 | 2 |"}) EXPECT_EQ(strTable.find(pszLink) != std::string::npos, Row.fLinks) << pszLink;
    u32 un32Taken = 0;
    const VQCAF::SVQDiscoveryLeftOut L = LeftOut(b, &un32Taken);
    EXPECT_EQ(un32Taken, VQCAF::VQ_SIGTRACE_MAX_ENTITIES);
    EXPECT_EQ(L.un32PastTable, 72u);
    EXPECT_EQ(L.PastTableByFamily(), Row.pszPastTable);
    EXPECT_EQ(b.Asked("0x04510003"), Row.nTrunksAsked);
    EXPECT_EQ(b.Asked("0x04210012"), Row.fLinks ? 2u : 0u);
    EXPECT_EQ(b.Lines(std::string("entities past its 128 not registered (") + Row.pszPastTable + ")").size(), 1u);
  }
}

/* A board that leaves out answers to some of its 10 trunks' 63 KB requests: each costs the resend delay (a few
 * seconds), not the host library's 60 s wait for an awaited answer, for which the request sent again would otherwise
 * wait in the board's queue (its flow control holding the queue while the lost request's bytes await an answer). The
 * answer to the copy is taken quietly by the host library. Real time: the resend delay as it runs. */
TEST(AdapterDiscovery, AnAnswerLeftOutCostsTheResendDelayNotTheAwaitedAnswersTimeOut) {
  const struct {
    const char* pszDrop;
    u32 un32Dropped;
    u32 un32Ms;  /* ready within, well under the 60 s a lost answer held the queue */
  } aRows[] = {{"drop 0x04510003 1 10", 1, 30000}, {"drop 0x04510003 2 5", 2, 40000}};
  for (const auto& Row : aRows) {
    SCOPED_TRACE(Row.pszDrop);
    CBoardBench b(TrunksProfile(10));
    ASSERT_EQ(b.pBoard->Command(Row.pszDrop), "ok");
    ASSERT_TRUE(b.AddAdapter());
    const auto Start = std::chrono::steady_clock::now();
    ASSERT_TRUE(b.WaitReady(Row.un32Ms)) << "not ready after " << Row.un32Ms << " ms";
    std::printf("ready after %.1f s\n", std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count());
    EXPECT_EQ(LeftOut(b).Total(), 0u);
    EXPECT_EQ(b.Asked("0x04510003"), 10u + Row.un32Dropped) << "each trunk once, those left out twice";
    const std::vector<std::string> aLines = b.Lines("");
    EXPECT_EQ(Seen(aLines, "Timeout waiting for adapter response"), 0u);
    EXPECT_EQ(Seen(aLines, "unexpected serial"), 0u);
    EXPECT_EQ(Seen(aLines, "not awaited"), 0u);
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

/* A board that answers no request: those its flow control let out are sent again once the board has answered nothing
 * for 5 s, each time letting one more out (the copy it no longer waits for holds the queue no more), and the copies
 * wait in its send queue behind the round's other requests; none is sent again nor given up while it waits there (the
 * round goes on once the board answers, each entity once). */
TEST(AdapterDiscovery, NoRequestIsSentAgainNorGivenUpWhileItWaitsInTheBoardsQueue) {
  CBoardBench b(TrunksProfile(200));
  ASSERT_TRUE(AddHoldingAfterTheLists(b));
  const auto Waiting = [&] {
    VQX_PEER_SEND_QUEUE Queue{};
    return VQXGetPeerSendQueue(b.hLib, b.pAdapter->GetAdapterHandle(), &Queue) == VQX_RESULT_API_OK ? Queue.un32Waiting : 0u;
  };
  /* The requests the board has seen since the lists (their copies aside): "id item" each. */
  const auto SeenItems = [&] {
    const std::string s = b.pBoard->Command("requests");
    std::set<std::string> aItems;
    for (size_t i = s.find('"'); i != std::string::npos && i + 12 < s.size(); i = s.find('"', s.find(']', i))) {
      std::istringstream In(s.substr(s.find('[', i) + 1, s.find(']', i) - s.find('[', i) - 1));
      for (std::string strItem; std::getline(In, strItem, ',');) aItems.insert(s.substr(i + 1, 10) + strItem);
    }
    return aItems.size() - 3; /* the configuration and the two lists, answered */
  };
  long nLeft = 0;
  ASSERT_TRUE(Within(5000, [&] { return (nLeft = b.pBoard->Stat("held")) + Waiting() == VQCAF::VQ_SIGTRACE_MAX_IN_FLIGHT; }))
      << "the round's requests at the board or in its queue";
  ASSERT_LT(nLeft, 16) << "a few let out at a time";
  size_t nAgain = 0, nGivenUp = 0;
  for (int i = 0; i < 5; i++) {
    const long nHeldBefore = b.pBoard->Stat("held");
    CBoardBench::Advance(VQCAF::VQ_SIGTRACE_RESEND_AFTER_MS);
    /* A step sends again what the board held 5 s on the adapter's clock, which lets more out (those the adapter saw
     * leave the queue only after the step wait for the next). */
    const bool fMore = Within(5000, [&] {
      const std::vector<std::string> aLines = b.Lines("<Sync>");
      nAgain += Told(aLines, "not answered, sent again");
      nGivenUp += Told(aLines, ", given up");
      return b.pBoard->Stat("held") > nHeldBefore && (i != 0 || nAgain >= static_cast<size_t>(nLeft));
    });
    if (i == 0) {
      EXPECT_TRUE(fMore) << "more let out once those held are no longer awaited";
      EXPECT_GE(nAgain, static_cast<size_t>(nLeft)) << "those let out first, sent again";
    }
    EXPECT_LE(nAgain, SeenItems()) << "only requests the board has seen are sent again, once each";
  }
  EXPECT_EQ(nGivenUp + Told(b.Lines("<Sync>"), ", given up"), 0u);
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
