/*
 * test_peer.cpp - adapter and remote host records driven through their path changes without a
 * transport: the notifications with their bytes (golden file), presence rules for old and new hosts,
 * single-path loss, the messages a link's closing cut told with its path down, replay to a newly activated filter, flow-control
 * levels and limits, the release of a send fifo. Remote filters: the byte-order rule, which sets
 * concern a peer, forwarding, requests from hosts with their answers, and what peers are sent as our
 * own filters are made, changed and destroyed (golden files).
 */
#include "gw/hostlib_gwglue_internal.h"
#include "test_peer_util.h"

namespace {

constexpr u32 kBoard = 0xCA000042;

/* Header of a notification as the library builds it, then its payload from byte 8 against the golden row. */
void ExpectNotification(const std::vector<u8>& m, u32 un32Id, u32 un32Payload, const std::vector<u8>& golden,
                        const char* pszRow) {
  SCOPED_TRACE(pszRow);
  ASSERT_EQ(m.size(), VQX_MSG_HEADER_SIZE + un32Payload);
  const auto* h = reinterpret_cast<const _VQX_MSG_HEADER*>(m.data());
  /* Every header field but the serial number, which is given anew when an event leaves its queue. */
  EXPECT_EQ((std::vector<u64>{h->un32MsgId, h->MsgType, h->un32Length, h->un32PayloadLength, h->un32PayloadMaxLength,
                              h->un32PayloadStart, h->hAdapter, h->un64UserContext1, h->un64UserContext2,
                              h->un32TrackMagic, h->un32FixedTwo}),
            (std::vector<u64>{un32Id, 4, VQX_MSG_HEADER_SIZE + un32Payload, un32Payload, un32Payload, 88, kBoard, 0, 0,
                              1, 2}));
  ASSERT_EQ(golden.size() + 8, un32Payload) << "golden row missing";
  EXPECT_EQ(std::vector<u8>(m.begin() + VQX_MSG_HEADER_SIZE + 8, m.end()), golden);
}

TEST_F(PeerTest, BoardPresenceNotificationsAreExactAndInOrder) {
  CatchNotifications();
  auto golden = GoldenNotifications();
  const VQX_GW_ADAPTER_ADV adv = AdapterAdv("SN-0042", "board-a", "10.0.0.5", "10.1.0.5");
  ASSERT_EQ(Up(kBoard, &adv, nullptr, 1), VQX_RESULT_API_OK);
  ASSERT_EQ(Up(kBoard, &adv, nullptr, 0), VQX_RESULT_API_OK);
  /* A second report of a path already up changes nothing. */
  ASSERT_EQ(Up(kBoard, &adv, nullptr, 0), VQX_RESULT_API_OK);
  ExpectNotification(Take(), 0x02010001, 424, golden["added"], "added");
  ExpectNotification(Take(), 0x02010003, 152, golden["gw0_up"], "gw0 up");
  ExpectNotification(Take(), 0x02010003, 152, golden["gw1_up"], "gw1 up");
  EXPECT_TRUE(Take().empty());

  Down(kBoard, 0, VQX_PEER_CAUSE_RX_ERROR);
  ExpectNotification(Take(), 0x02010004, 160, golden["gw1_down_rx_error"], "gw1 down");
  EXPECT_TRUE(Take().empty());
  Down(kBoard, 0, VQX_PEER_CAUSE_RX_ERROR); /* already down: ignored */
  EXPECT_TRUE(Take().empty());
  Down(kBoard, 1, VQX_PEER_CAUSE_CLOSED);
  ExpectNotification(Take(), 0x02010004, 160, golden["gw0_down_closed"], "gw0 down");
  ExpectNotification(Take(), 0x02010002, 424, golden["removed"], "removed");
  EXPECT_TRUE(Take().empty());
  EXPECT_TRUE(mLog.WaitFor("SN-0042 removed (cause: Socket closed in a clean manner)"));
  EXPECT_TRUE(mLog.WaitFor("SN-0042:10.1.0.5 gw1 DOWN (Rx error)"));
  EXPECT_TRUE(mLog.WaitFor("SN-0042:10.0.0.5 gw0 UP"));

  /* The adapter record stays for its return, absent; the next presence is announced again, once. */
  VQX_PEER* pPeer = Peer(kBoard);
  ASSERT_NE(pPeer, nullptr);
  EXPECT_EQ(pPeer->fPresent, 0u);
  ASSERT_EQ(Up(kBoard, &adv, nullptr, 0), VQX_RESULT_API_OK);
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
  EXPECT_EQ(pPeer->fFilterDone, 1u) << "a board has no filter-done to wait for";
  for (int i = 0; i < 5; i++) VqxPeerAnnounceIfNeeded(mhLib, pPeer); /* whatever the board sends */
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
  EXPECT_EQ(TakeIds(), (std::vector<u32>{0x02010001, 0x02010003}));
  EXPECT_EQ(Peer(kBoard)->un16ConnectionCount, 1u);
}

/* With every record taken, a new peer (a board or a host) takes the slot of the board absent the longest, the other
 * boards absent keeping theirs for their return; with every record's peer present a new one has none. */
TEST_F(PeerTest, BoardAbsentTheLongestGivesItsRecordWhenAllAreTaken) {
  const auto Board = [](u32 i) { return 0xCA100000u + i; };
  for (u32 i = 0; i < VQX_PEER_MAX; i++) ASSERT_EQ(UpBoard(Board(i), std::to_string(900 + i).c_str()), VQX_RESULT_API_OK) << i;
  for (u32 i : {5u, 3u, 7u}) Down(Board(i), 1, VQX_PEER_CAUSE_CLOSED); /* absent the longest first */
  const VQX_GW_HOST_ADV host = HostAdv("hostn", "appn", 0x0A00000900000009ull, 0x02070B04);
  const struct {
    const char* pszRow;
    std::function<VQX_RESULT()> fnUp;
    VQX_RESULT Expected;
    std::vector<u32> vGone, vKept; /* records after the row */
  } aRows[] = {
      {"a host", [&] { return Up(0xCB000001, nullptr, &host, 1); }, VQX_RESULT_API_OK, {Board(5)}, {Board(3), Board(7)}},
      {"a new board", [&] { return UpBoard(0xCA200000, "2000"); }, VQX_RESULT_API_OK, {Board(3)}, {Board(7), 0xCB000001}},
      {"a board back: its own record", [&] { return UpBoard(Board(7), "907"); }, VQX_RESULT_API_OK, {}, {Board(7), 0xCA200000}},
      {"all present", [&] { return UpBoard(0xCA200001, "2001"); }, VQX_RESULT_API_NOT_ENOUGH_MEMORY, {0xCA200001}, {Board(0)}},
  };
  for (const auto& r : aRows) {
    EXPECT_EQ(r.fnUp(), r.Expected) << r.pszRow;
    for (u32 h : r.vGone) EXPECT_EQ(Peer(h), nullptr) << r.pszRow << std::hex << " 0x" << h;
    for (u32 h : r.vKept) EXPECT_NE(Peer(h), nullptr) << r.pszRow << std::hex << " 0x" << h;
  }
  EXPECT_TRUE(mLog.WaitFor("VqxHostAdapterPathAdd: Can't alloc adapter from hPoolOfAdapters"));
}

/* Every peer the two transport instances link at once finds a record: their 64 boards and 128 hosts together (a
 * hosts' instance serves 20 trace providers, 64 waiting and those told they never will be, beside the boards).
 * The boards keep 64 records, as their transport: past them, the board absent the longest gives its own. */
TEST_F(PeerTest, EveryPeerTheTransportsLinkAtOnceFindsARecord) {
  for (u32 i = 0; i < VQX_GW_MAX_ADAPTER_PEERS; i++)
    ASSERT_EQ(UpBoard(0xCA100000u + i, std::to_string(900 + i).c_str()), VQX_RESULT_API_OK) << i;
  Down(0xCA100007u, 1, VQX_PEER_CAUSE_CLOSED);
  ASSERT_EQ(UpBoard(0xCA200000u, "2000"), VQX_RESULT_API_OK);
  EXPECT_EQ(Peer(0xCA100007u), nullptr) << "its record given to the 65th board met";
  for (u32 i = 0; i < VQX_GW_MAX_HOST_PEERS; i++) {
    const VQX_GW_HOST_ADV host = HostAdv("hostp", ("p" + std::to_string(i)).c_str(), 0x0A00000900000100ull + i, 0x02070B04);
    ASSERT_EQ(Up(0xCB000100u + i, nullptr, &host, 1), VQX_RESULT_API_OK) << i;
  }
  EXPECT_EQ(mLog.Count("Can't alloc adapter"), 0u);
  /* Those a transport could not link (the transport's rows): none without a transport; the arguments checked. */
  char asz[1][VQX_PEER_WAITING_NAME_SIZE];
  u32 un32Waiting = 9;
  EXPECT_EQ(VQXGetPeersWaitingForRecord(mhLib, 1, 1, &un32Waiting, asz), VQX_RESULT_API_OK);
  EXPECT_EQ(un32Waiting, 0u);
  EXPECT_EQ(VQXGetPeersWaitingForRecord(mhLib, 0, 1, &un32Waiting, nullptr), VQX_RESULT_API_NULL_PARAM);
  EXPECT_EQ(VQXGetPeersWaitingForRecord(nullptr, 0, 0, &un32Waiting, nullptr), VQX_RESULT_API_INVALID_LIB_HANDLE);
}

/* A peer removed because the library closes is traced, not printed as an error; a lost link still is, also one lost
 * after the adapters' or the hosts' links were closed (VQXCloseAdaptersGw, VQXCloseHostsGw: their own closing is over
 * once they return). */
TEST_F(PeerTest, RemovalByOurOwnCloseIsNoErrorLine) {
  CapturedLog Errors;
  Reopen([&](_VQX_LIB_PARAMS& p) { p.pvErrorContext = &Errors; });
  const struct { u32 un32Cause; const char* pszSerial; bool fAfterAdaptersClosed; } aRows[] = {
      {VQX_PEER_CAUSE_CLOSING, "SN-0050", false}, {VQX_PEER_CAUSE_CLOSED, "SN-0051", false},
      {VQX_PEER_CAUSE_CLOSED, "SN-0052", true}};
  u32 h = kBoard;
  for (const auto& [un32Cause, pszSerial, fAfterAdaptersClosed] : aRows) {
    if (fAfterAdaptersClosed) {
      ASSERT_EQ(VQXCloseAdaptersGw(mhLib), VQX_RESULT_API_OK);
    }
    ASSERT_EQ(UpBoard(++h, pszSerial), VQX_RESULT_API_OK);
    Down(h, 1, un32Cause);
  }
  for (const char* psz : {"SN-0050:10.0.0.9 gw0 DOWN (Hostlib Closing)", "SN-0050 removed (cause: Hostlib Closing)"}) {
    EXPECT_TRUE(mLog.WaitFor(psz)) << psz;
    EXPECT_EQ(Errors.Count(psz), 0u) << psz;
  }
  for (const char* psz : {"SN-0051:10.0.0.9 gw0 DOWN (Socket closed", "SN-0051 removed (cause: Socket closed",
                          "SN-0052:10.0.0.9 gw0 DOWN (Socket closed", "SN-0052 removed (cause: Socket closed"})
    EXPECT_TRUE(Errors.WaitFor(psz)) << psz;
  /* The same once the hosts' links were closed (VQXCloseHostsGw), which turns their transport off. */
  ASSERT_EQ(VQXCloseHostsGw(mhLib), VQX_RESULT_API_OK);
  EXPECT_EQ(VQXCloseHostsGw(nullptr), VQX_RESULT_API_INVALID_LIB_HANDLE);
  _VQX_LIB_PARAMS Params{};
  ASSERT_EQ(VQXGetLibParams(mhLib, &Params), VQX_RESULT_API_OK);
  EXPECT_EQ(Params.fHostsGwOn, 0u);
  const VQX_GW_HOST_ADV host = HostAdv("hostc", "appc", 0x0A00000900000019ull, 0x02070B04);
  ASSERT_EQ(Up(0xCB000053, nullptr, &host, 1), VQX_RESULT_API_OK);
  Down(0xCB000053, 1, VQX_PEER_CAUSE_CLOSED);
  EXPECT_TRUE(Errors.WaitFor("hostc-appc-0A00000900000019:10.0.0.7 gw0 DOWN (Socket closed"));
}

/* An adapter is found by its serial number, its name or its further name, whole and exactly; a host is no
 * adapter; an empty or null name is refused. Each list names only its own kind; host records are given for
 * remote hosts and for every local handle, the last one included. */
TEST_F(PeerTest, AdapterSearchByEachOfItsNames) {
  const VQX_GW_ADAPTER_ADV a1 = AdapterAdv("SN-1", "board-1", "10.0.0.1", ""), a2 = AdapterAdv("SN-2", "board-2", "10.0.0.2", "");
  const VQX_GW_HOST_ADV host = HostAdv("hostn", "appn", 0x0A00000900000009ull, 0x02070B04);
  ASSERT_EQ(Up(0xCA000001, &a1, nullptr, 1), VQX_RESULT_API_OK);
  ASSERT_EQ(Up(0xCA000002, &a2, nullptr, 1), VQX_RESULT_API_OK);
  ASSERT_EQ(Up(0xCB000003, nullptr, &host, 1), VQX_RESULT_API_OK);
  const struct { const char* pszName; VQX_RESULT expected; u32 hFound; } rows[] = {
      {"SN-2", VQX_RESULT_API_OK, 0xCA000002},      {"board-2", VQX_RESULT_API_OK, 0xCA000002},
      {"more-SN-2", VQX_RESULT_API_OK, 0xCA000002}, {"board-1", VQX_RESULT_API_OK, 0xCA000001},
      {"SN-", VQX_RESULT_API_NOT_FOUND, 0},         {"hostn", VQX_RESULT_API_NOT_FOUND, 0},
      {"", VQX_RESULT_API_NULL_PARAM, 0},           {nullptr, VQX_RESULT_API_NULL_PARAM, 0}};
  for (const auto& r : rows) {
    VQX_ADAPTER_INFO found{};
    EXPECT_EQ(VQXFindAdapter(mhLib, r.pszName, &found), r.expected) << (r.pszName ? r.pszName : "null");
    EXPECT_EQ(found.hAdapter, r.hFound) << (r.pszName ? r.pszName : "null");
  }
  u32 ah[4] = {}, n = 0;
  EXPECT_EQ(VQXGetAdaptersList(mhLib, 4, &n, ah), VQX_RESULT_API_OK);
  EXPECT_EQ(std::vector<u32>(ah, ah + n), (std::vector<u32>{0xCA000001, 0xCA000002}));
  EXPECT_EQ(VQXGetRemoteHostsList(mhLib, 4, &n, ah), VQX_RESULT_API_OK);
  EXPECT_EQ(std::vector<u32>(ah, ah + n), (std::vector<u32>{0xCB000003}));
  const struct { u32 h; VQX_RESULT expected; u32 hInfo; } hosts[] = {
      {0xCB000003, VQX_RESULT_API_OK, 0xCB000003}, {0xDA000000, VQX_RESULT_API_OK, 0xDA000000},
      {0xDA00FFFF, VQX_RESULT_API_OK, 0xDA00FFFF}, {0xCA000001, VQX_RESULT_API_INVALID_HANDLE, 0}};
  for (const auto& r : hosts) {
    _VQX_HOST_INFO info{};
    EXPECT_EQ(VQXGetRemoteHostInfo(mhLib, r.h, &info), r.expected) << std::hex << r.h;
    EXPECT_EQ(info.hAdapter, r.hInfo) << std::hex << r.h;
  }
}

TEST_F(PeerTest, NewHostIsAnnouncedOnlyWhenItsFiltersAreDone) {
  CatchNotifications();
  const VQX_GW_HOST_ADV adv = HostAdv("hostb", "appb", 0x0A000007000004D2ull, 0x02070B04);
  ASSERT_EQ(Up(0xCB000001, nullptr, &adv, 1), VQX_RESULT_API_OK);
  EXPECT_EQ(TakeIds(), (std::vector<u32>{0x02010013})) << "path up, but no added before DONE";
  EXPECT_STREQ(Peer(0xCB000001)->szName, "hostb-appb-0A000007000004D2");
  std::string text = SentStep("a new host: CLEAR, then DONE (no filter of interest yet)");

  /* Its DONE arrives: added once, and the answer goes back. */
  for (int i = 0; i < 2; i++) {
    VQX_MSG_HANDLE hMsg = GwOp(0x020D0107, 1, 16, 0xCB000001);
    Locked(mhLib, [&] { EXPECT_TRUE(VqxPeerHandleGwOpMsg(mhLib, Peer(0xCB000001), hMsg)); });
  }
  std::vector<u8> added = Take();
  ASSERT_EQ(added.size(), 88u + 432u);
  EXPECT_EQ(MsgId(added), 0x02010011u);
  const auto* pInfo = reinterpret_cast<const _VQX_HOST_INFO*>(Payload(added) + 8);
  EXPECT_EQ((std::vector<u64>{pInfo->un32StructVersion, pInfo->hAdapter, pInfo->aun64HostContext[0],
                              pInfo->un32BuildNumber, pInfo->un64UniqueHostId}),
            (std::vector<u64>{1, 0xCB000001, 0x0102030405060708ull, 0x02070B04, 0x0A000007000004D2ull}));
  EXPECT_EQ(std::string(pInfo->szHostName) + "/" + pInfo->szApplicationName + "/" + pInfo->szIpAddress1,
            "hostb/appb/10.1.0.7");
  EXPECT_TRUE(Take().empty()) << "a second DONE announces nothing more";
  text += SentStep("its DONE twice: each answered as a response, result 0x02010000");

  /* Last path lost: host record freed, removed notification with its layout. */
  Down(0xCB000001, 1, VQX_PEER_CAUSE_POLL_TIMEOUT);
  EXPECT_EQ(MsgId(Take()), 0x02010014u);
  std::vector<u8> removed = Take();
  ASSERT_EQ(removed.size(), 88u + 440u);
  EXPECT_EQ(Rd32(Payload(removed), 8), 0xCB000001u);
  EXPECT_EQ(Rd32(Payload(removed), 12), 0u);
  EXPECT_EQ(Rd32(Payload(removed), 16 + 4), 0xCB000001u);
  EXPECT_EQ(Peer(0xCB000001), nullptr);
  /* A host of an older build is announced at once and sent no DONE. */
  const VQX_GW_HOST_ADV old = HostAdv("hosto", "appo", 0x0A00000800000001ull, 0x02021500);
  ASSERT_EQ(Up(0xCB000002, nullptr, &old, 0), VQX_RESULT_API_OK);
  EXPECT_EQ(TakeIds(), (std::vector<u32>{0x02010011, 0x02010013}));
  text += SentStep("a host of an older build: CLEAR only");
  ExpectGolden(text, "peer_new_host_sent.txt");
}

TEST_F(PeerTest, SinglePathOnlyWhileThePeerOwesAnAcknowledgement) {
  CatchNotifications();
  const VQX_GW_ADAPTER_ADV adv = AdapterAdv("SN-0042", "board-a", "10.0.0.5", "10.1.0.5");
  ASSERT_EQ(Up(kBoard, &adv, nullptr, 1), VQX_RESULT_API_OK);
  VQX_PEER* pPeer = Peer(kBoard);
  struct Row { u32 un32Pending, un32TxSeq, un32Acked; bool fAwaiting; } rows[] = {
      {0, 5, 0, false},
      {2, 5, 5, false},
      {2, 5, 4, true},
      {2, 1, 0xFFFFFFFF, true},
      {2, 0xFFFFFFFF, 1, false},
  };
  for (const Row& row : rows) {
    pPeer->un32TxPendingCount = row.un32Pending;
    pPeer->un32TxSeq = row.un32TxSeq;
    pPeer->un32PeerAckSeq = row.un32Acked;
    EXPECT_EQ(VqxPeerAwaitingAck(pPeer), row.fAwaiting) << row.un32Pending << " " << row.un32TxSeq << " " << row.un32Acked;
  }
  /* Kept by the transport (2) but all acknowledged by the board: the second path establishes redundancy. */
  pPeer->un32PeerAckSeq = pPeer->un32TxSeq;
  ASSERT_EQ(Up(kBoard, &adv, nullptr, 0), VQX_RESULT_API_OK);
  EXPECT_EQ(Peer(kBoard)->fSinglePath, 0u);
  TakeIds();
  Down(kBoard, 0, VQX_PEER_CAUSE_RX_ERROR);
  EXPECT_EQ(TakeIds(), (std::vector<u32>{0x02010004})) << "gw1 alone goes down";
  /* A path coming back while the board owes an acknowledgement: single path; once it is paid, redundancy. */
  pPeer = Peer(kBoard);
  pPeer->un32TxSeq = 9;
  pPeer->un32PeerAckSeq = 7;
  pPeer->un32TxPendingCount = 2;
  ASSERT_EQ(Up(kBoard, &adv, nullptr, 0), VQX_RESULT_API_OK);
  EXPECT_EQ(Peer(kBoard)->fSinglePath, 1u);
  TakeIds();
  Down(kBoard, 0, VQX_PEER_CAUSE_RX_ERROR);
  EXPECT_EQ(Peer(kBoard)->fPresent, 0u) << "single path: both went";
  const std::vector<u8> gw0 = Take(), gw1 = Take();
  ASSERT_EQ(MsgId(gw0), 0x02010004u);
  ASSERT_EQ(MsgId(gw1), 0x02010004u);
  EXPECT_EQ(Rd32(Payload(gw0), 148), 10u) << "the other path: redundancy not established";
  EXPECT_EQ(Rd32(Payload(gw1), 148), 4u) << "the named path: its own cause";
  EXPECT_EQ(MsgId(Take()), 0x02010002u);
  Peer(kBoard)->un32TxPendingCount = 0;
}

/* The messages of a batch a link's closing cut (the transport's receive callback for them) are told with that path's
 * down notification (payload 152), once: unless another path of a peer that resends what it has not seen
 * acknowledged stays up, which brings them again. Rows: that peer, one path then the other; a peer too old to
 * resend; a path that redundancy takes along; a host; a handle no record has. */
TEST_F(PeerTest, MessagesALinkClosureCutAreToldWithItsPathDown) {
  CatchNotifications();
  VqxGwLibParams Gw;
  u32* paSubnets = nullptr;
  VqxGwFillParams(mhLib, 0, &Gw, &paSubnets);
  free(paSubnets);
  ASSERT_NE(Gw.pFctRxLost, nullptr);
  const VQX_GW_HOST_ADV host = HostAdv("hostn", "appn", 0x0A00000900000009ull, 0x02070B04);
  const struct {
    u32 h, un32Build;
    bool fHost, fSinglePath;
    u32 un32CutGw1, un32ToldGw1, un32CutGw0, un32ToldGw0;
  } aRows[] = {
      {0xCA000061, 0x00600000, false, false, 2, 0, 4, 4},  /* gw1's come again on gw0, gw0's are lost */
      {0xCA000062, 700, false, false, 3, 3, 0, 0},         /* no retransmission: lost although gw0 stays */
      {0xCA000063, 0x00600000, false, true, 5, 5, 1, 1},   /* redundancy not established: gw0 goes along */
      {0xCB000064, 0x02070B04, true, false, 6, 0, 7, 7},
  };
  for (const auto& r : aRows) {
    SCOPED_TRACE(r.h);
    const VQX_GW_ADAPTER_ADV adv = AdapterAdv("SN-0060", "board-c", "10.0.0.5", "10.1.0.5", r.un32Build);
    for (u32 fGw0 : {1u, 0u}) ASSERT_EQ(Up(r.h, r.fHost ? nullptr : &adv, r.fHost ? &host : nullptr, fGw0), VQX_RESULT_API_OK);
    Peer(r.h)->fSinglePath = r.fSinglePath ? 1 : 0;
    TakeIds();
    Gw.pFctRxLost(Gw.pRxCtx, r.h, 0, r.un32CutGw1);
    Gw.pFctRxLost(Gw.pRxCtx, r.h, 1, r.un32CutGw0);
    Down(r.h, 0, VQX_PEER_CAUSE_CLOSED);
    if (!r.fSinglePath) Down(r.h, 1, VQX_PEER_CAUSE_CLOSED);
    const u32 un32Down = r.fHost ? 0x02010014u : 0x02010004u;
    /* In the order of the downs; a path that redundancy takes along is told first (gw0 first). */
    std::vector<u8> gw1 = Take(), gw0 = Take();
    if (r.fSinglePath) std::swap(gw0, gw1);
    ASSERT_EQ(MsgId(gw1), un32Down);
    ASSERT_EQ(MsgId(gw0), un32Down);
    EXPECT_EQ(Rd32(Payload(gw0), VQX_NOTIF_OFFSET_CAUSE), r.fSinglePath ? 10u : 3u);
    EXPECT_EQ(Rd32(Payload(gw1), VQX_NOTIF_OFFSET_LOST), r.un32ToldGw1);
    EXPECT_EQ(Rd32(Payload(gw0), VQX_NOTIF_OFFSET_LOST), r.un32ToldGw0);
    EXPECT_EQ(Rd32(Payload(gw0), 156), 0u) << "the payload's last word stays zero";
  }
  TakeIds();
  Gw.pFctRxLost(Gw.pRxCtx, 0xCA0000FF, 1, 9); /* no record: nothing */
  EXPECT_TRUE(TakeIds().empty());
  EXPECT_TRUE(mLog.WaitFor("SN-0060: gw1 closed within a batch, its 2 message(s) to come again on gw0"));
}

TEST_F(PeerTest, ActivatedFilterIsBroughtUpToDatePerPresentPeer) {
  const VQX_GW_HOST_ADV h = HostAdv("hostn", "appn", 0x0A00000900000009ull, 0x02070B04);
  ASSERT_EQ(UpBoard(0xCA00000A, "SN-A"), VQX_RESULT_API_OK);
  ASSERT_EQ(UpBoard(0xCA00000B, "SN-B", 0), VQX_RESULT_API_OK);
  ASSERT_EQ(Up(0xCB00000C, nullptr, &h, 1), VQX_RESULT_API_OK); /* filters not done: not replayed */
  CatchNotifications();
  std::vector<u32> handles;
  std::vector<u32> ids;
  for (int i = 0; i < 16; i++) {
    std::vector<u8> m = Take();
    if (m.empty()) break;
    ids.push_back(MsgId(m));
    handles.push_back(Rd32(m.data(), 28));
  }
  EXPECT_EQ(ids, (std::vector<u32>{0x02010001, 0x02010003, 0x02010003, 0x02010001, 0x02010003, 0x02010003}));
  EXPECT_EQ(handles, (std::vector<u32>{0xCA00000A, 0xCA00000A, 0xCA00000A, 0xCA00000B, 0xCA00000B, 0xCA00000B}));
}

struct LevelRow { u32 un32Level; u32 un32Api; u32 un32Effective; u32 fHalve; u32 un32Bytes; u32 un32Msgs; };

TEST_F(PeerTest, FlowControlLevelsAndLimits) {
  ASSERT_EQ(UpBoard(0xCA000004, "SN-F"), VQX_RESULT_API_OK);
  VQX_PEER* pPeer = Peer(0xCA000004);
  const LevelRow rows[] = {
      {20, 16, 16, 0, 0x40000 / 16, 768 / 16},         {0xFFFFFFFF, 0xFFFFFFFF, 16, 0, 0x40000 / 16, 48},
      {4, 4, 4, 0, 0x10000, 192},                       {0, 0, 4, 0, 0x10000, 192}, /* 0 keeps the effective */
      {1, 1, 1, 1, 0x20000, 384},                       {16, 16, 16, 1, 0x2000, 24},
  };
  for (const LevelRow& row : rows) {
    pPeer->fHalveLimits = static_cast<u8>(row.fHalve);
    VqxPeerApplyFlowLevel(pPeer, row.un32Level);
    VqxHostAdapterSetFlowControlLimit(pPeer, 0x40000, 768);
    EXPECT_EQ(pPeer->un32FlowLevelApi, row.un32Api) << row.un32Level;
    EXPECT_EQ(pPeer->un32FlowLevelEffective, row.un32Effective) << row.un32Level;
    EXPECT_EQ(pPeer->un32ByteLimit, row.un32Bytes) << row.un32Level;
    EXPECT_EQ(pPeer->un32MsgLimit, row.un32Msgs) << row.un32Level;
  }
  /* Limits never fall to 0. */
  pPeer->fHalveLimits = 1;
  pPeer->un32FlowLevelEffective = 16;
  VqxHostAdapterSetFlowControlLimit(pPeer, 3, 3);
  EXPECT_EQ(pPeer->un32ByteLimit, 1u);
  EXPECT_EQ(pPeer->un32MsgLimit, 1u);
  /* Through the redundancy configuration, without a transport: the level is applied, the transport result kept. */
  _VQX_NETWORK_REDUNDANCY_PARAMETERS red = mParams.NetworkRedundancy;
  red.FlowControlMode = 8;
  EXPECT_EQ(VQXConfigureNetworkRedundancy(mhLib, 0xCA000004, &red), VQX_RESULT_API_INVALID_HANDLE);
  EXPECT_EQ(pPeer->un32FlowLevelApi, 8u);
  EXPECT_EQ(pPeer->un32FlowLevelEffective, 8u);
  EXPECT_EQ(VQXConfigureNetworkRedundancy(mhLib, 0xCA0000EE, &red), VQX_RESULT_API_INVALID_HANDLE);
  EXPECT_TRUE(mLog.WaitFor("VqxHostConfigureNetworkRedundancy: Invalid Handle"));
  _VQX_NETWORK_REDUNDANCY_STATE state{};
  u32 fGw0 = 9, fGw1 = 9;
  EXPECT_EQ(VQXGetNetworkRedundancyState(mhLib, 0xCA000004, &state, &fGw0, &fGw1), VQX_RESULT_API_INVALID_HANDLE);
  EXPECT_TRUE(mLog.WaitFor("Failed to retrieve network redundancy parameters"));
}

TEST_F(PeerTest, SendFifoReleaseClearsTheWarningAndWakesWaiters) {
  ASSERT_EQ(UpBoard(0xCA000006, "SN-S"), VQX_RESULT_API_OK);
  StatusLog status;
  VqxLib(mhLib)->Params.pFctStatusCallback = StatusLog::OnStatus;
  VqxLib(mhLib)->Params.pvStatusContext = &status;
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
  VQX_PEER* pPeer = VqxHostAdapterByHandle(mhLib, 0xCA000006);
  ASSERT_EQ(pPeer->un32SendFifoCapacity, VqxLib(mhLib)->Params.un32SendFifoSize) << "ring as large as the fifo";
  const u32 un32Half = VqxLib(mhLib)->Params.un32SendFifoSize / 2;
  /* A wrapped ring holding more than half the fifo, with a pending ack message. */
  const u32 un32Count = un32Half + 3;
  pPeer->un32SendFifoHead = pPeer->un32SendFifoCapacity - 2;
  for (u32 i = 0; i < un32Count; i++) {
    VQX_MSG_HANDLE hMsg = nullptr;
    ASSERT_EQ(VqxMsgAllocateInternal(mhLib, 8, &hMsg, 0, __FILE__, __LINE__), VQX_RESULT_API_OK);
    pPeer->pahSendFifo[(pPeer->un32SendFifoHead + i) % pPeer->un32SendFifoCapacity] = hMsg;
  }
  pPeer->un32SendFifoCount = un32Count;
  VqxPeerLib(mhLib)->un64TxPending = un32Count;
  VQX_MSG_HANDLE hAck = nullptr;
  ASSERT_EQ(VqxMsgAllocateInternal(mhLib, 8, &hAck, 0, __FILE__, __LINE__), VQX_RESULT_API_OK);
  pPeer->pahTxPending[0] = hAck;
  pPeer->un32TxPendingCount = 1;
  pPeer->fHighWatermarkWarned = 1;
  pPeer->fWatermarkReported = 1;
  VqxPeerSendListLink(mhLib, pPeer);
  const u32 un32Live = VqxBufLiveCount(mhLib);
  VqxHostFreeAdapterSendFifo(mhLib, pPeer);
  EXPECT_EQ((std::vector<u64>{pPeer->un32SendFifoCount, pPeer->un32TxPendingCount, pPeer->fHighWatermarkWarned,
                              pPeer->fInSendList, VqxPeerLib(mhLib)->un64TxPending}),
            (std::vector<u64>{0, 0, 0, 0, 0}))
      << "fifo, ring, warning, send list and the library's pending count all cleared";
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
  EXPECT_EQ(VqxBufLiveCount(mhLib), un32Live - un32Count - 1) << "every message released";
  ASSERT_EQ(status.Events.size(), 1u);
  EXPECT_EQ((std::vector<u32>{status.Events[0].un32Cause, status.Events[0].un32MsgCount, status.Events[0].un32Value}),
            (std::vector<u32>{5, 0, 0})) << "watermark cleared";
  char szNote[160];
  snprintf(szNote, sizeof(szNote), "NOTE: High watermark warning cleared for SN-S (now down to %u Tx", un32Half);
  EXPECT_TRUE(mLog.WaitFor(szNote));
  VqxLib(mhLib)->Params.pFctStatusCallback = nullptr;
}

/* Cause texts as logged, the first past the table falling back: tests/data/peer_causes.txt. */
TEST(PeerCause, TextsAndFallback) {
  for (const auto& row : DataRows("peer_causes.txt")) {
    EXPECT_EQ(VqxPeerCauseText(static_cast<u32>(DataNum(row[0]))), row.at(1)) << row[0];
  }
}

/* ------------------------------------------------------------ remote filters */

constexpr u32 kRHost = 0xCB000001;
constexpr u32 kRBoard = 0xCA000001;

u32 Bswap(u32 v) { return __builtin_bswap32(v); }

class RemoteFilterTest : public PeerTest {
 protected:
  void SetUp() override {
    PeerTest::SetUp();
    const VQX_GW_HOST_ADV host = HostAdv("rh", "ra", 0x0A0000010000002Aull, 0x02070B04);
    ASSERT_EQ(Up(kRHost, nullptr, &host, 1), VQX_RESULT_API_OK);
    ASSERT_EQ(UpBoard(kRBoard, "SN-R"), VQX_RESULT_API_OK);
    TakeSent();
  }
  VQX_MSG_HANDLE GwOp(u32 un32Id, u32 MsgType, u32 un32Payload, u32 hFrom = kRHost) {
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
    return VqxRemoteHostFiltersTest(mhLib, Peer(kRHost), &h);
  }
};

_VQX_FILTER_PARAMS Set(u32 un32Mask, u32 hAdapter = 0, u32 MsgGroup = 0, u32 MsgId = 0, u32 MsgTypeMask = 0) {
  _VQX_FILTER_PARAMS s = FilterSet(un32Mask, MsgId, hAdapter, MsgTypeMask);
  s.MsgGroup = MsgGroup;
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

struct MatchRow { const char* pszName; std::vector<_VQX_FILTER_PARAMS> sets; u32 un32ForBoard; u32 un32ForHost; };

TEST_F(RemoteFilterTest, WhichSetsConcernAPeer) {
  constexpr u32 N = VQX_FILTER_MASK_NEGATIVE;
  const MatchRow rows[] = {
      {"everything", {Set(0)}, 1, 1},
      {"own group only", {Set(VQX_FILTER_MASK_MSG_GROUP, 0, 0x0201)}, 0, 0},
      {"user group: hosts only", {Set(VQX_FILTER_MASK_MSG_GROUP, 0, 0x0600)}, 0, 1},
      {"board group: boards only", {Set(VQX_FILTER_MASK_MSG_GROUP, 0, 0x0400)}, 1, 0},
      {"group 0x0215 to hosts", {Set(VQX_FILTER_MASK_MSG_GROUP, 0, 0x0215)}, 1, 1},
      {"this board's handle", {Set(VQX_FILTER_MASK_ADAPTER, kRBoard)}, 1, 0},
      {"NOT this board", {Set(VQX_FILTER_MASK_NOT_ADAPTER, kRBoard)}, 0, 1},
      {"requests only", {Set(VQX_FILTER_MASK_MSG_TYPE, 0, 0, 0, 1)}, 0, 0},
      {"events", {Set(VQX_FILTER_MASK_MSG_TYPE, 0, 0, 0, 5)}, 1, 1},
      {"NOT events", {Set(VQX_FILTER_MASK_NOT_MSG_TYPE, 0, 0, 0, 4)}, 0, 0},
      {"negative on handle skipped", {Set(N | VQX_FILTER_MASK_ADAPTER, kRBoard), Set(0)}, 1, 1},
      {"negative NOT other handle", {Set(N | VQX_FILTER_MASK_NOT_ADAPTER, kRHost), Set(0)}, 0, 1},
      {"negative kept with the rest", {Set(N | VQX_FILTER_MASK_MSG_ID, 0, 0, 0x04000001), Set(0)}, 2, 2},
  };
  for (const MatchRow& row : rows) {
    VQX_FILTER_HANDLE hFilter = nullptr;
    std::vector<_VQX_FILTER_PARAMS> sets = row.sets;
    ASSERT_EQ(VQXCreateMsgFilterEx(mhLib, static_cast<u32>(sets.size()), sets.data(), &hFilter), VQX_RESULT_API_OK)
        << row.pszName;
    _VQX_FILTER_PARAMS out[4];
    VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
    EXPECT_EQ(VqxAdapterFilterTestMatch(mhLib, Peer(kRBoard), hFilter, out), row.un32ForBoard) << row.pszName;
    EXPECT_EQ(VqxAdapterFilterTestMatch(mhLib, Peer(kRHost), hFilter, out), row.un32ForHost) << row.pszName;
    EXPECT_EQ(VqxAdapterFilterTestMatch(mhLib, Peer(kRHost), hFilter, nullptr), row.un32ForHost != 0 ? 1u : 0u)
        << row.pszName;
    VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
    EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hFilter), VQX_RESULT_API_OK);
  }
  /* Forwarding every group to hosts. */
  VqxLib(mhLib)->Params.fForwardAllGroupsToHosts = 1;
  VQX_FILTER_HANDLE hFilter = nullptr;
  _VQX_FILTER_PARAMS s = Set(VQX_FILTER_MASK_MSG_GROUP, 0, 0x0400);
  ASSERT_EQ(VQXCreateMsgFilterEx(mhLib, 1, &s, &hFilter), VQX_RESULT_API_OK);
  EXPECT_EQ(VqxAdapterFilterTestMatch(mhLib, Peer(kRHost), hFilter, nullptr), 1u);
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
  EXPECT_EQ(Peer(kRHost)->un32NbRemoteFilters, 1u);
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
  EXPECT_EQ(Peer(kRHost)->un32NbRemoteFilters, 2u);
  EXPECT_TRUE(Forwarded(0x06010001));
  EXPECT_TRUE(Forwarded(0x07000002)) << "group 0x0700 with its handle condition ignored";
  EXPECT_FALSE(Forwarded(0x08000001)) << "the catch-all set went with filter 8";

  /* CLEAR frees them all and records the send-hook state; a new host's filters are incomplete until DONE. */
  hMsg = GwOp(0x020D0100, 1, 528);
  EXPECT_EQ(Handle(hMsg), VQX_RESULT_API_OK);
  EXPECT_EQ(Peer(kRHost)->un32NbRemoteFilters, 0u);
  EXPECT_EQ(Peer(kRHost)->fFiltersComplete, 0u);
  EXPECT_EQ(Peer(kRHost)->un32SendHookState, 2u);
  EXPECT_FALSE(Forwarded(0x06010001));
}

TEST_F(RemoteFilterTest, BadCreatesAreAnsweredAndChangeNothing) {
  EXPECT_EQ(Handle(Create(3, 1, {Set(0)})), VQX_RESULT_API_OK);
  struct Row { const char* pszName; u32 un32Count; u32 un32SetsCarried; const char* pszLine; } rows[] = {
      {"K = 0", 0, 1, "(un32FilterCount==0)"},
      {"K = 129", 129, 129, "(un32FilterCount too big)"},
      {"K above the sets carried", 5, 1, "(message too short for its count)"},
  };
  for (const Row& row : rows) {
    std::vector<_VQX_FILTER_PARAMS> sets(row.un32SetsCarried, Set(VQX_FILTER_MASK_MSG_ID, 0, 0, 0x06000009));
    EXPECT_EQ(Handle(Create(3, row.un32Count, sets)), VQX_RESULT_API_INVALID_PARAM) << row.pszName;
    EXPECT_TRUE(mLog.WaitFor(row.pszLine)) << row.pszName;
    EXPECT_EQ(Peer(kRHost)->un32NbRemoteFilters, 1u) << row.pszName;
    EXPECT_TRUE(Forwarded(0x06000001)) << row.pszName << ": the first filter still stands";
  }
}

TEST_F(RemoteFilterTest, RequestsFromABoardAreRefused) {
  const struct { u32 un32Id; u32 un32Payload; const char* pszPrefix; } rows[] = {
      {0x020D0100, 528, "VqxRemoteHostFiltersClear: "},
              {0x020D0101, 72, "VqxRemoteHostFilterCreate: "},
              {0x020D0102, 16, "VqxRemoteHostFilterDestroy: "},
              {0x020D0107, 16, "VqxRemoteHostFiltersDone: "}};
  const u32 un32Live = LiveCount();
  for (const auto& row : rows) {
    mLog.Clear();
    VQX_MSG_HANDLE hMsg = GwOp(row.un32Id, 1, row.un32Payload, kRBoard);
    if (row.un32Id == 0x020D0101) Wr32(VQXMsgPayload(hMsg), 20, 1);
    /* Not answered: the answer would be a response, and a board is never sent one. */
    EXPECT_EQ(Handle(hMsg), ~0u) << row.pszPrefix;
    const std::string line = std::string(row.pszPrefix) + "Error: Not supposed to recevie this msg from an adapter";
    EXPECT_TRUE(mLog.WaitFor(line.c_str())) << row.pszPrefix;
  }
  EXPECT_EQ(LiveCount(), un32Live) << "the refused requests are freed";
  EXPECT_EQ(Peer(kRBoard)->un32NbRemoteFilters, 0u);
}

TEST_F(RemoteFilterTest, ResponsesAndOtherMessagesAreConsumed) {
  /* A failed answer to our CREATE is logged; a good one silently dropped. */
  VQX_MSG_HANDLE hMsg = GwOp(0x020D0101, 2, 72);
  Wr32(VQXMsgPayload(hMsg), 12, 0x82010012);
  EXPECT_EQ(Handle(hMsg), ~0u);
  EXPECT_TRUE(mLog.WaitFor(
      "VqxSendRemoteFilterCreate: Failed to create remote adapter/host filters (result 0x82010012)"));
  hMsg = GwOp(0x020D0104, 2, 16, kRBoard);
  Wr32(VQXMsgPayload(hMsg), 12, 0x82000001);
  EXPECT_EQ(Handle(hMsg), ~0u);
  EXPECT_TRUE(mLog.WaitFor("VqxSendRemoteFlowControlLevel: Failed to tell flow control level to adapter"));
  /* Peer value stored, message delay and flow-level requests dropped. */
  hMsg = GwOp(0x020D0103, 1, 16);
  Wr32(VQXMsgPayload(hMsg), 12, 0xABCD);
  EXPECT_EQ(Handle(hMsg), ~0u);
  EXPECT_EQ(Peer(kRHost)->un32PeerValue, 0xABCDu);
  EXPECT_EQ(Handle(GwOp(0x020D0106, 1, 24, kRBoard)), ~0u);
  EXPECT_EQ(Handle(GwOp(0x020D0104, 1, 16, kRBoard)), ~0u);
  /* The peer value is echoed in our next CLEAR to that host. */
  Locked(mhLib, [&] { VqxSendRemoteFilterClear(mhLib, Peer(kRHost)); });
  EXPECT_EQ(SentStep("CLEAR"), "# CLEAR\nto CB000001 id 020D0100 type 1 len 616 serial 0 two 2 | 00000005 0000ABCD\n");
  /* Not of the family: not consumed. */
  hMsg = GwOp(0x020D0012, 1, 16);
  Locked(mhLib, [&] { EXPECT_FALSE(VqxPeerHandleGwOpMsg(mhLib, Peer(kRHost), hMsg)); });
  VQXReleaseMsgEx(mhLib, &hMsg);
}

TEST_F(RemoteFilterTest, BoardHostListSetsTheLevelAndHalvesTheLimits) {
  VQX_MSG_HANDLE hMsg = GwOp(0x020D0105, 1, 24 + 512, kRBoard);
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
  VQX_PEER* pPeer = Peer(kRBoard);
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
  const auto step = [&](const char* pszStep) { text += SentStep(pszStep); };
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
  ASSERT_EQ(UpBoard(0xCA000009, "SN-OLD", 1, 0x004E0000), VQX_RESULT_API_OK);
  text += SentStep("a board too old for remote filters: nothing");
  ASSERT_EQ(UpBoard(0xCA00000A, "SN-NEW", 1, 0x005F0801), VQX_RESULT_API_OK);
  text += SentStep("a board above the flow-level build: CLEAR, no CREATE (user groups are not a board's), its level");
  ExpectGolden(text, "rfilter_connection_sequence.txt");
}

TEST_F(RemoteFilterTest, AdapterMessageDelayIsCapped) {
  EXPECT_EQ(VQXAdapterMsgDelay(mhLib, kRBoard, 1000), VQX_RESULT_API_OK);
  EXPECT_EQ(VQXAdapterMsgDelay(mhLib, kRBoard, 40), VQX_RESULT_API_OK);
  ExpectGolden(SentStep("delays of 1000 ms (sent as 250) and 40 ms"), "peer_message_delay_sent.txt");
  EXPECT_EQ(VQXAdapterMsgDelay(mhLib, kRHost, 10), VQX_RESULT_API_INVALID_HANDLE) << "hosts take no delay";
  EXPECT_EQ(VQXAdapterMsgDelay(mhLib, 0xCA0000FF, 10), VQX_RESULT_API_INVALID_HANDLE);
}

}  // namespace
