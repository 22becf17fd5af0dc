/*
 * test_peer_rfilter.cpp - remote filters: the byte-order rule (table),
 * which sets concern a peer (table), the forwarding test, the handling of
 * requests from hosts with their answers, and what the library sends to
 * peers as its own filters are made, changed and destroyed.
 */
#include "test_peer_util.h"

namespace {

constexpr u32 kHost = 0xCB000001;
constexpr u32 kBoard = 0xCA000001;

u32 Bswap(u32 v) { return __builtin_bswap32(v); }

class RemoteFilterTest : public PeerTest {
 protected:
  void SetUp() override {
    PeerTest::SetUp();
    const VQX_GW_HOST_ADV host = HostAdv("rh", "ra", 0x0A0000010000002Aull, 0x02070B04);
    ASSERT_EQ(Up(kHost, nullptr, &host, 1), VQX_RESULT_API_OK);
    const VQX_GW_ADAPTER_ADV board = AdapterAdv("SN-R", "r", "10.0.0.8", "10.1.0.8", 0x00600000);
    ASSERT_EQ(Up(kBoard, &board, nullptr, 1), VQX_RESULT_API_OK);
    TakeSent();
  }
  VQX_MSG_HANDLE GwOp(u32 un32Id, u32 MsgType, u32 un32Payload, u32 hFrom = kHost) {
    return PeerTest::GwOp(un32Id, MsgType, un32Payload, hFrom);
  }
  VQX_MSG_HANDLE Create(u32 un32Number, u32 un32Count, const std::vector<_VQX_FILTER_PARAMS>& sets) {
    VQX_MSG_HANDLE hMsg = GwOp(0x020D0101, 1, 24 + 48 * static_cast<u32>(sets.size()));
    Wr32(VQXMsgPayload(hMsg), 16, un32Number);
    Wr32(VQXMsgPayload(hMsg), 20, un32Count);
    if (!sets.empty()) memcpy(VQXMsgPayload(hMsg) + 24, sets.data(), sets.size() * 48);
    return hMsg;
  }
  /* Hands a received message to the peer layer; returns the answer's result word (or ~0 without answer). */
  u32 Handle(VQX_MSG_HANDLE hMsg) {
    VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
    VQX_PEER* pPeer = VqxHostAdapterOrHostByHandle(mhLib, hMsg->hAdapter);
    EXPECT_TRUE(VqxPeerHandleGwOpMsg(mhLib, pPeer, hMsg));
    VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
    auto sent = TakeSent();
    if (sent.empty()) return ~0u;
    EXPECT_EQ(sent.size(), 1u);
    EXPECT_EQ(Rd32(sent[0].data(), 4), 2u);
    EXPECT_EQ(Rd32(Payload(sent[0]), 8), 5u);
    return Rd32(Payload(sent[0]), 12);
  }
  bool Forwarded(u32 un32Id, u32 MsgType = 4, u64 un64Ctx1 = 0) {
    _VQX_MSG_HEADER h{};
    h.un32MsgId = un32Id;
    h.MsgType = MsgType;
    h.un64UserContext1 = un64Ctx1;
    return VqxRemoteHostFiltersTest(mhLib, Peer(kHost), &h);
  }
};

_VQX_FILTER_PARAMS Set(u32 un32Mask, u32 hAdapter = 0, u32 MsgGroup = 0, u32 MsgId = 0, u32 MsgTypeMask = 0) {
  _VQX_FILTER_PARAMS s{};
  s.un32Version = 1;
  s.un32Mask = un32Mask;
  s.hAdapter = hAdapter;
  s.MsgGroup = MsgGroup;
  s.MsgId = MsgId;
  s.MsgTypeMask = MsgTypeMask;
  return s;
}

/* --------------------------------------------------------- byte order */


TEST_F(RemoteFilterTest, ByteOrderRule) {
  for (const auto& row : DataRows("rfilter_byte_order.txt")) {
    ASSERT_EQ(row.size(), 10u);
    std::vector<u32> v;
    for (size_t i = 1; i < row.size(); i++) v.push_back(static_cast<u32>(DataNum(row[i])));
    const u32 un32Payload = v[2] > 88 ? v[2] - 88 : 8;
    VQX_MSG_HANDLE hMsg = GwOp(v[0], v[1], un32Payload < 16 ? 16 : un32Payload);
    hMsg->un32Length = v[2];
    hMsg->un32FixedTwo = v[3];
    Wr32(VQXMsgPayload(hMsg), 8, v[4]);
    Wr32(VQXMsgPayload(hMsg), 12, v[5]);
    EXPECT_EQ(VqxRemoteHostFiltersMsgSwap(mhLib, hMsg), v[6]) << row[0];
    EXPECT_EQ((std::vector<u32>{Rd32(VQXMsgPayload(hMsg), 8), Rd32(VQXMsgPayload(hMsg), 12)}),
              (std::vector<u32>{v[7], v[8]})) << row[0];
    hMsg->un32Length = hMsg->un32PayloadMaxLength + 88;
    VQXReleaseMsgEx(mhLib, &hMsg);
  }
  EXPECT_TRUE(mLog.WaitFor("VqxRemoteHostFiltersMsgSwap: Invalid message size"));
}

TEST_F(RemoteFilterTest, ByteOrderOfACreateSwapsSetWordsButNotContexts) {
  _VQX_FILTER_PARAMS s = Set(VQX_FILTER_MASK_MSG_GROUP, 0, 0x0600);
  s.un64UserContext1 = 0x1122334455667788ull;
  VQX_MSG_HANDLE hMsg = Create(0, 0, {s, s});
  hMsg->un32FixedTwo = 0x02000000;
  u8* p = VQXMsgPayload(hMsg);
  Wr32(p, 8, Bswap(5));
  Wr32(p, 16, Bswap(12));
  Wr32(p, 20, Bswap(2));
  for (u32 k = 0; k < 2; k++) {
    for (u32 w = 0; w < 7; w++) Wr32(p, 24 + 48 * k + 4 * w, Bswap(Rd32(p, 24 + 48 * k + 4 * w)));
  }
  ASSERT_EQ(VqxRemoteHostFiltersMsgSwap(mhLib, hMsg), VQX_RESULT_API_OK);
  EXPECT_EQ(Rd32(p, 16), 12u);
  EXPECT_EQ(Rd32(p, 20), 2u);
  _VQX_FILTER_PARAMS back{};
  memcpy(&back, p + 24 + 48, 48);
  EXPECT_EQ(back.un32Mask, VQX_FILTER_MASK_MSG_GROUP);
  EXPECT_EQ(back.MsgGroup, 0x0600u);
  EXPECT_EQ(back.un64UserContext1, 0x1122334455667788ull);
  /* A count the message cannot hold is refused. */
  Wr32(p, 8, Bswap(5));
  Wr32(p, 20, Bswap(3));
  EXPECT_EQ(VqxRemoteHostFiltersMsgSwap(mhLib, hMsg), VQX_RESULT_API_INVALID_MESSAGE);
  EXPECT_TRUE(mLog.WaitFor("VqxRemoteHostFiltersMsgSwap: Invalid message size (too small)"));
  VQXReleaseMsgEx(mhLib, &hMsg);
}

/* ------------------------------------------------------ which sets concern */

struct MatchRow {
  const char* pszName;
  std::vector<_VQX_FILTER_PARAMS> sets;
  u32 un32ForBoard;
  u32 un32ForHost;
};

TEST_F(RemoteFilterTest, WhichSetsConcernAPeer) {
  constexpr u32 N = VQX_FILTER_MASK_NEGATIVE;
  const MatchRow rows[] = {
      {"everything", {Set(0)}, 1, 1},
      {"own group only", {Set(VQX_FILTER_MASK_MSG_GROUP, 0, 0x0201)}, 0, 0},
      {"user group: hosts only", {Set(VQX_FILTER_MASK_MSG_GROUP, 0, 0x0600)}, 0, 1},
      {"board group: boards only", {Set(VQX_FILTER_MASK_MSG_GROUP, 0, 0x0400)}, 1, 0},
      {"group 0x0215 to hosts", {Set(VQX_FILTER_MASK_MSG_GROUP, 0, 0x0215)}, 1, 1},
      {"this board's handle", {Set(VQX_FILTER_MASK_ADAPTER, kBoard)}, 1, 0},
      {"NOT this board", {Set(VQX_FILTER_MASK_NOT_ADAPTER, kBoard)}, 0, 1},
      {"requests only", {Set(VQX_FILTER_MASK_MSG_TYPE, 0, 0, 0, 1)}, 0, 0},
      {"events", {Set(VQX_FILTER_MASK_MSG_TYPE, 0, 0, 0, 5)}, 1, 1},
      {"NOT events", {Set(VQX_FILTER_MASK_NOT_MSG_TYPE, 0, 0, 0, 4)}, 0, 0},
      {"negative on handle skipped", {Set(N | VQX_FILTER_MASK_ADAPTER, kBoard), Set(0)}, 1, 1},
      {"negative NOT other handle", {Set(N | VQX_FILTER_MASK_NOT_ADAPTER, kHost), Set(0)}, 0, 1},
      {"negative kept with the rest", {Set(N | VQX_FILTER_MASK_MSG_ID, 0, 0, 0x04000001), Set(0)}, 2, 2},
  };
  for (const MatchRow& row : rows) {
    VQX_FILTER_HANDLE hFilter = nullptr;
    std::vector<_VQX_FILTER_PARAMS> sets = row.sets;
    ASSERT_EQ(VQXCreateMsgFilterEx(mhLib, static_cast<u32>(sets.size()), sets.data(), &hFilter), VQX_RESULT_API_OK)
        << row.pszName;
    _VQX_FILTER_PARAMS out[4];
    VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
    EXPECT_EQ(VqxAdapterFilterTestMatch(mhLib, Peer(kBoard), hFilter, out), row.un32ForBoard) << row.pszName;
    EXPECT_EQ(VqxAdapterFilterTestMatch(mhLib, Peer(kHost), hFilter, out), row.un32ForHost) << row.pszName;
    EXPECT_EQ(VqxAdapterFilterTestMatch(mhLib, Peer(kHost), hFilter, nullptr), row.un32ForHost != 0 ? 1u : 0u)
        << row.pszName;
    VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
    EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hFilter), VQX_RESULT_API_OK);
  }
  /* Forwarding every group to hosts. */
  VqxLib(mhLib)->Params.fForwardAllGroupsToHosts = 1;
  VQX_FILTER_HANDLE hFilter = nullptr;
  _VQX_FILTER_PARAMS s = Set(VQX_FILTER_MASK_MSG_GROUP, 0, 0x0400);
  ASSERT_EQ(VQXCreateMsgFilterEx(mhLib, 1, &s, &hFilter), VQX_RESULT_API_OK);
  EXPECT_EQ(VqxAdapterFilterTestMatch(mhLib, Peer(kHost), hFilter, nullptr), 1u);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hFilter), VQX_RESULT_API_OK);
  VqxLib(mhLib)->Params.fForwardAllGroupsToHosts = 0;
}

/* ------------------------------------------------------- requests from hosts */

TEST_F(RemoteFilterTest, HostFiltersAreKeptReplacedAndUsedForForwarding) {
  EXPECT_FALSE(Forwarded(0x06000001)) << "no remote filter: nothing forwarded";
  EXPECT_EQ(Handle(Create(7, 1, {Set(VQX_FILTER_MASK_MSG_GROUP, 0, 0x0600)})), VQX_RESULT_API_OK);
  EXPECT_TRUE(Forwarded(0x06000001));
  EXPECT_FALSE(Forwarded(0x06010001));
  /* Same number again: replaces the first. */
  EXPECT_EQ(Handle(Create(7, 1, {Set(VQX_FILTER_MASK_MSG_ID, 0, 0, 0x06010001)})), VQX_RESULT_API_OK);
  EXPECT_FALSE(Forwarded(0x06000001));
  EXPECT_TRUE(Forwarded(0x06010001));
  EXPECT_EQ(Peer(kHost)->un32NbRemoteFilters, 1u);
  /* A newer filter whose negative set matches first keeps the event away. */
  EXPECT_EQ(Handle(Create(8, 2, {Set(VQX_FILTER_MASK_NEGATIVE | VQX_FILTER_MASK_MSG_ID, 0, 0, 0x06010001), Set(0)})),
            VQX_RESULT_API_OK);
  EXPECT_FALSE(Forwarded(0x06010001));
  EXPECT_TRUE(Forwarded(0x07000001)) << "its second set takes the rest";
  /* Handle and serial conditions are ignored. */
  EXPECT_EQ(Handle(Create(9, 1, {Set(VQX_FILTER_MASK_ADAPTER | VQX_FILTER_MASK_MSG_GROUP, 0x1234, 0x0700)})),
            VQX_RESULT_API_OK);
  /* DESTROY of 8 and of a number never seen both succeed. */
  VQX_MSG_HANDLE hMsg = GwOp(0x020D0102, 1, 16);
  Wr32(VQXMsgPayload(hMsg), 12, 8);
  EXPECT_EQ(Handle(hMsg), VQX_RESULT_API_OK);
  hMsg = GwOp(0x020D0102, 1, 16);
  Wr32(VQXMsgPayload(hMsg), 12, 4242);
  EXPECT_EQ(Handle(hMsg), VQX_RESULT_API_OK);
  EXPECT_EQ(Peer(kHost)->un32NbRemoteFilters, 2u);
  EXPECT_TRUE(Forwarded(0x06010001));
  EXPECT_TRUE(Forwarded(0x07000002)) << "group 0x0700 with its handle condition ignored";
  EXPECT_FALSE(Forwarded(0x08000001)) << "the catch-all set went with filter 8";

  /* CLEAR frees them all and records the send-hook state; a new host's filters are incomplete until DONE. */
  hMsg = GwOp(0x020D0100, 1, 528);
  EXPECT_EQ(Handle(hMsg), VQX_RESULT_API_OK);
  EXPECT_EQ(Peer(kHost)->un32NbRemoteFilters, 0u);
  EXPECT_EQ(Peer(kHost)->fFiltersComplete, 0u);
  EXPECT_EQ(Peer(kHost)->un32SendHookState, 2u);
  EXPECT_FALSE(Forwarded(0x06010001));
}

TEST_F(RemoteFilterTest, BadCreatesAreAnsweredAndChangeNothing) {
  EXPECT_EQ(Handle(Create(3, 1, {Set(0)})), VQX_RESULT_API_OK);
  struct Row {
    const char* pszName;
    u32 un32Count;
    u32 un32SetsCarried;
    const char* pszLine;
  } rows[] = {
      {"K = 0", 0, 1, "(un32FilterCount==0)"},
      {"K = 129", 129, 129, "(un32FilterCount too big)"},
      {"K above the sets carried", 5, 1, "(message too short for its count)"},
  };
  for (const Row& row : rows) {
    std::vector<_VQX_FILTER_PARAMS> sets(row.un32SetsCarried, Set(VQX_FILTER_MASK_MSG_ID, 0, 0, 0x06000009));
    EXPECT_EQ(Handle(Create(3, row.un32Count, sets)), VQX_RESULT_API_INVALID_PARAM) << row.pszName;
    EXPECT_TRUE(mLog.WaitFor(row.pszLine)) << row.pszName;
    EXPECT_EQ(Peer(kHost)->un32NbRemoteFilters, 1u) << row.pszName;
    EXPECT_TRUE(Forwarded(0x06000001)) << row.pszName << ": the first filter still stands";
  }
}

TEST_F(RemoteFilterTest, RequestsFromABoardAreRefused) {
  const struct {
    u32 un32Id;
    u32 un32Payload;
    const char* pszPrefix;
  } rows[] = {{0x020D0100, 528, "VqxRemoteHostFiltersClear: "},
              {0x020D0101, 72, "VqxRemoteHostFilterCreate: "},
              {0x020D0102, 16, "VqxRemoteHostFilterDestroy: "},
              {0x020D0107, 16, "VqxRemoteHostFiltersDone: "}};
  for (const auto& row : rows) {
    mLog.Clear();
    VQX_MSG_HANDLE hMsg = GwOp(row.un32Id, 1, row.un32Payload, kBoard);
    if (row.un32Id == 0x020D0101) Wr32(VQXMsgPayload(hMsg), 20, 1);
    /* Answered "not supported" (the send path then keeps responses away from boards). */
    EXPECT_EQ(Handle(hMsg), VQX_RESULT_API_NOT_SUPPORTED) << row.pszPrefix;
    const std::string line = std::string(row.pszPrefix) + "Error: Not supposed to recevie this msg from an adapter";
    EXPECT_TRUE(mLog.WaitFor(line.c_str())) << row.pszPrefix;
  }
}

TEST_F(RemoteFilterTest, ResponsesAndOtherMessagesAreConsumed) {
  /* A failed answer to our CREATE is logged; a good one silently dropped. */
  VQX_MSG_HANDLE hMsg = GwOp(0x020D0101, 2, 72);
  Wr32(VQXMsgPayload(hMsg), 12, 0x82010012);
  EXPECT_EQ(Handle(hMsg), ~0u);
  EXPECT_TRUE(mLog.WaitFor(
      "VqxSendRemoteFilterCreate: Failed to create remote adapter/host filters (result 0x82010012)"));
  hMsg = GwOp(0x020D0104, 2, 16, kBoard);
  Wr32(VQXMsgPayload(hMsg), 12, 0x82000001);
  EXPECT_EQ(Handle(hMsg), ~0u);
  EXPECT_TRUE(mLog.WaitFor("VqxSendRemoteFlowControlLevel: Failed to tell flow control level to adapter"));
  /* Peer value stored, message delay and flow-level requests dropped. */
  hMsg = GwOp(0x020D0103, 1, 16);
  Wr32(VQXMsgPayload(hMsg), 12, 0xABCD);
  EXPECT_EQ(Handle(hMsg), ~0u);
  EXPECT_EQ(Peer(kHost)->un32PeerValue, 0xABCDu);
  EXPECT_EQ(Handle(GwOp(0x020D0106, 1, 24, kBoard)), ~0u);
  EXPECT_EQ(Handle(GwOp(0x020D0104, 1, 16, kBoard)), ~0u);
  /* The peer value is echoed in our next CLEAR to that host. */
  Locked(mhLib, [&] { VqxSendRemoteFilterClear(mhLib, Peer(kHost)); });
  auto sent = TakeSent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(Rd32(Payload(sent[0]), 12), 0xABCDu);
  /* Not of the family: not consumed. */
  hMsg = GwOp(0x020D0012, 1, 16);
  Locked(mhLib, [&] { EXPECT_FALSE(VqxPeerHandleGwOpMsg(mhLib, Peer(kHost), hMsg)); });
  VQXReleaseMsgEx(mhLib, &hMsg);
}

TEST_F(RemoteFilterTest, BoardHostListSetsTheLevelAndHalvesTheLimits) {
  VQX_MSG_HANDLE hMsg = GwOp(0x020D0105, 1, 24 + 512, kBoard);
  u8* p = VQXMsgPayload(hMsg);
  Wr32(p, 8, 1);
  Wr32(p, 12, 3); /* three announced, one carried: only that one is read */
  Wr32(p, 16, 4);
  p[20] = 1;
  snprintf(reinterpret_cast<char*>(p + 24), 128, "hosta");
  snprintf(reinterpret_cast<char*>(p + 24 + 128), 128, "appa");
  snprintf(reinterpret_cast<char*>(p + 24 + 256), 64, "10.0.0.1");
  snprintf(reinterpret_cast<char*>(p + 24 + 320), 64, "10.1.0.1");
  snprintf(reinterpret_cast<char*>(p + 24 + 384), 32, "2.7.11.4");
  EXPECT_EQ(Handle(hMsg), ~0u);
  VQX_PEER* pPeer = Peer(kBoard);
  EXPECT_EQ(pPeer->fHalveLimits, 1u);
  EXPECT_EQ(pPeer->un32FlowLevelEffective, 4u);
  EXPECT_EQ(pPeer->un32ByteLimit, 0x40000u / 4 / 2);
  EXPECT_EQ(pPeer->un32MsgLimit, 768u / 4 / 2);
  EXPECT_TRUE(mLog.WaitFor("List of hosts connected to adapter SN-R (3 total, 4 active):"));
  EXPECT_TRUE(mLog.WaitFor("    hosta.appa, 10.0.0.1/10.1.0.1, build 2.7.11.4"));
  EXPECT_TRUE(mLog.WaitFor("Adapter SN-R: Effective flow-control level set now 4"));
}

/* ------------------------------------------------------ what we send */

/* What the peers are sent as our filters are made, changed and destroyed: golden file, one step a block. */
TEST_F(RemoteFilterTest, OurFiltersFollowThePeers) {
  std::string text;
  const auto step = [&](const char* pszStep) {
    text += std::string("# ") + pszStep + "\n";
    for (const auto& m : TakeSent()) text += SentLine(m);
  };
  _VQX_FILTER_PARAMS own = Set(VQX_FILTER_MASK_MSG_GROUP, 0, 0x0201);
  VQX_FILTER_HANDLE hOwn = nullptr;
  ASSERT_EQ(VQXCreateMsgFilterEx(mhLib, 1, &own, &hOwn), VQX_RESULT_API_OK);
  step("only the library's own group: nobody is told");
  _VQX_FILTER_PARAMS sets[2] = {Set(VQX_FILTER_MASK_MSG_GROUP, 0, 0x0400), Set(VQX_FILTER_MASK_MSG_GROUP, 0, 0x0600)};
  VQX_FILTER_HANDLE hFilter = nullptr;
  ASSERT_EQ(VQXCreateMsgFilterEx(mhLib, 2, sets, &hFilter), VQX_RESULT_API_OK);
  step("groups 0x0400 and 0x0600: the board gets one set, the host the other, each with room for both");
  _VQX_FILTER_PARAMS hostOnly = Set(VQX_FILTER_MASK_MSG_GROUP, 0, 0x0700);
  ASSERT_EQ(VQXModifyMsgFilter(mhLib, hFilter, 1, &hostOnly, nullptr), VQX_RESULT_API_OK);
  step("modified to concern the host only: the board gets a DESTROY, the host a CREATE that replaces");
  ASSERT_EQ(VQXModifyMsgFilter(mhLib, hFilter, 1, &sets[0], nullptr), VQX_RESULT_API_OK);
  step("back to the board group: the board gets a CREATE, the host a DESTROY");
  ASSERT_EQ(VQXDestroyMsgFilterEx(mhLib, &hFilter), VQX_RESULT_API_OK);
  step("destroyed: only the board it concerns is told");
  ASSERT_EQ(VQXDestroyMsgFilterEx(mhLib, &hOwn), VQX_RESULT_API_OK);
  step("the own-group filter destroyed: nobody is told");
  ExpectGolden(text, "rfilter_our_filters.txt");
}

TEST_F(RemoteFilterTest, ConnectionSequenceFollowsTheActiveListAndClearLayout) {
  /* Made A then B, activated B then A: the CREATEs follow the active list, not the filter numbers. */
  _VQX_FILTER_PARAMS a = Set(VQX_FILTER_MASK_MSG_GROUP, 0, 0x0600);
  _VQX_FILTER_PARAMS b = Set(VQX_FILTER_MASK_MSG_GROUP, 0, 0x0601);
  VQX_FILTER *hA = nullptr, *hB = nullptr;
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
  ASSERT_EQ(VqxFilterCreate(mhLib, 1, &a, &hA), VQX_RESULT_API_OK);
  ASSERT_EQ(VqxFilterCreate(mhLib, 1, &b, &hB), VQX_RESULT_API_OK);
  ASSERT_EQ(VqxFilterActivate(mhLib, hB), VQX_RESULT_API_OK);
  ASSERT_EQ(VqxFilterActivate(mhLib, hA), VQX_RESULT_API_OK);
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
  ASSERT_LT(hA->un32FilterNumber, hB->un32FilterNumber);
  TakeSent();
  snprintf(VqxLib(mhLib)->szLocalGw0Address, 64, "10.0.0.99");
  const VQX_GW_HOST_ADV host = HostAdv("rh2", "ra2", 0x0A00000100000099ull, 0x02070B04);
  ASSERT_EQ(Up(0xCB000002, nullptr, &host, 0), VQX_RESULT_API_OK);
  auto sent = TakeSent();
  std::string text = "# a new host: CLEAR, a CREATE per active filter in list order (B then A), DONE\n";
  for (const auto& m : sent) text += SentLine(m);
  ASSERT_FALSE(sent.empty());
  const std::vector<u8>& clr = sent[0];
  ASSERT_EQ(clr.size(), 616u);
  EXPECT_STREQ(reinterpret_cast<const char*>(Payload(clr) + 16), mParams.szHostName);
  EXPECT_STREQ(reinterpret_cast<const char*>(Payload(clr) + 144), mParams.szApplicationName);
  EXPECT_STREQ(reinterpret_cast<const char*>(Payload(clr) + 272), "10.0.0.99");
  EXPECT_STREQ(reinterpret_cast<const char*>(Payload(clr) + 400), VQX_HOSTLIB_RELEASE_TAG);
  const VQX_GW_ADAPTER_ADV old = AdapterAdv("SN-OLD", "o", "10.0.0.3", "10.1.0.3", 0x004E0000);
  ASSERT_EQ(Up(0xCA000009, &old, nullptr, 1), VQX_RESULT_API_OK);
  text += "# a board too old for remote filters: nothing\n";
  for (const auto& m : TakeSent()) text += SentLine(m);
  const VQX_GW_ADAPTER_ADV recent = AdapterAdv("SN-NEW", "n", "10.0.0.4", "10.1.0.4", 0x005F0801);
  ASSERT_EQ(Up(0xCA00000A, &recent, nullptr, 1), VQX_RESULT_API_OK);
  text += "# a board above the flow-level build: CLEAR, no CREATE (user groups are not a board's), its level\n";
  for (const auto& m : TakeSent()) text += SentLine(m);
  ExpectGolden(text, "rfilter_connection_sequence.txt");
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hA), VQX_RESULT_API_OK);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hB), VQX_RESULT_API_OK);
}

TEST_F(RemoteFilterTest, AdapterMessageDelayIsCapped) {
  EXPECT_EQ(VQXAdapterMsgDelay(mhLib, kBoard, 1000), VQX_RESULT_API_OK);
  EXPECT_EQ(VQXAdapterMsgDelay(mhLib, kBoard, 40), VQX_RESULT_API_OK);
  auto sent = TakeSent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(MsgId(sent[0]), 0x020D0106u);
  EXPECT_EQ(sent[0].size(), 112u);
  EXPECT_EQ(Rd32(Payload(sent[0]), 16), 250u);
  EXPECT_EQ(Rd32(Payload(sent[1]), 16), 40u);
  EXPECT_EQ(VQXAdapterMsgDelay(mhLib, kHost, 10), VQX_RESULT_API_INVALID_HANDLE) << "hosts take no delay";
  EXPECT_EQ(VQXAdapterMsgDelay(mhLib, 0xCA0000FF, 10), VQX_RESULT_API_INVALID_HANDLE);
}

}  // namespace
