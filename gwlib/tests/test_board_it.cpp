/*
 * test_board_it.cpp - an adapters' instance against the simulated board
 * (testing/boardsim/boardsim.py, run with python3) over 127.0.0.1 only:
 * discovery and link on gw0, path closed by the board (reason 3, no
 * reconnect before the gate), silent board (reason 9), corrupted batches
 * (reason 1), batches from the board, a board that stops reading, a
 * board advertising 127.0.0.1 on gw0 and another address on gw1, and
 * polls by the board's build number.
 */
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <cstring>
#include <thread>

#include "gw_test_support.h"
#include "peers/boardsim_process.h"

using namespace gwtest;

namespace {

constexpr u32 kBoardHandle = 0xCA345678; /* serial number 12345678 */

/* The simulated board and an adapters' instance that finds it; Linked()
 * waits for the first up report; the loopback table while it lives. */
struct Fixture {
  loopnet::LoopbackNets nets;
  gwpeer::BoardProcess board;
  u16 port;
  Instance in;
  Recorder& rec = in.rec;
  Fixture(u32 pollMs, u32 downMs, std::vector<std::string> boardArgs = {},
          std::function<void(VqxGwLibParams&, u16)> adjust = nullptr)
      : board(0, boardArgs), port(board.UdpPort()), in([&](Recorder& r) {
          VqxGwLibParams p = AdapterParams(port, r, pollMs, downMs, downMs);
          if (adjust) adjust(p, port);
          return p;
        }) {
    EXPECT_TRUE(board.Ready());
  }
  bool Linked() { return rec.WaitReports(1, 5000) && rec.Report(0).fGw0Up == 1; }
  VQX_RESULT Send(std::vector<u8>& m, u32 seq) {
    VqxGwLibSendRecord r{m.data(), u32(m.size()), seq, 0};
    return VqxGwLibSendMsgs(in.ctx, kBoardHandle, 1, &r, 1);
  }
};

/* A host message of id 0x03000001 carrying seq as its first payload word. */
std::vector<u8> HostMessage(u32 seq, u32 size) {
  std::vector<u8> m(size, 0);
  const u32 words[4] = {0x03000001, 1, size, size - 88};
  for (int i = 0; i < 4; i++) vqxgw::PutBe32(m.data() + 4 * i, words[i]);
  vqxgw::PutBe32(m.data() + 88, seq);
  return m;
}

}  // namespace

TEST(GwBoard, FindsTheBoardAndStaysLinkedPastTheDownDelayWhileItAnswersPolls) {
  /* a delay a loaded machine's scheduling (the board is a Python child) cannot exceed between two replies */
  const u32 down = 1000;
  Fixture f(100, down);
  ASSERT_TRUE(f.Linked());
  const UpDown u = f.rec.Report(0);
  EXPECT_EQ(u.hPeer, kBoardHandle);
  EXPECT_EQ(u.fGw1Up, 0u);
  EXPECT_EQ(u.un32Reason, 0u);
  EXPECT_EQ(u.un32InfoId, 0x47575041u); /* the stored block is an adapter's */
  /* the board sends nothing but its poll replies: two down delays pass */
  EXPECT_FALSE(f.rec.WaitReports(2, 2 * down)) << "reason " << f.rec.Report(1).un32Reason;
  EXPECT_GE(f.board.Stat("polls"), 10);
  EXPECT_EQ(f.board.Stat("order_errors"), 0);
}

/* Boards of build 799 and 800 on one instance: only a build above 799 is polled (TCP, no UDP poll then), an older
 * one gets neither kind. The window is three poll periods of the instance's own, counted at the newer board. */
TEST(GwBoard, OnlyABoardOfBuildAbove799IsPolled) {
  gwpeer::BoardProcess newer(0, {"--build", "800", "--serial", "11111111"});
  Fixture f(100, 1500, {"--build", "799"}, [&](VqxGwLibParams& p, u16) { p.aun16GwPorts[1] = newer.UdpPort(); });
  ASSERT_TRUE(newer.Ready());
  ASSERT_TRUE(f.rec.WaitReports(2, 5000));
  ASSERT_TRUE(f.rec.Report(0).fGw0Up && f.rec.Report(1).fGw0Up);
  const long from = newer.Stat("polls");
  ASSERT_TRUE(peerwait::WaitUntil([&] { return newer.Stat("polls") >= from + 3; }, 5000)) << from;
  EXPECT_EQ(f.board.Stat("polls"), 0);
  EXPECT_EQ(f.board.Stat("udp_polls"), 0);
  EXPECT_EQ(newer.Stat("udp_polls"), 0);
  EXPECT_EQ(f.rec.Reports(), 2u);
}

TEST(GwBoard, ClosedPathIsReportedAndNotReconnectedBeforeTheGate) {
  const u32 down = 300; /* gate: network-down + adapter-down + 1000 ms */
  Fixture f(200, down);
  ASSERT_TRUE(f.Linked());
  ASSERT_EQ(f.board.Command("close"), "ok");
  ASSERT_TRUE(f.rec.WaitReports(2, 3000));
  EXPECT_EQ(f.rec.Report(1).fGw0Up, 0u);
  EXPECT_EQ(f.rec.Report(1).un32Reason, VQX_GW_CLOSE_BY_REMOTE);
  ASSERT_TRUE(f.rec.WaitReports(3, 8000));
  EXPECT_EQ(f.rec.Report(2).fGw0Up, 1u);
  /* between the two callbacks: this thread may wake well after the first */
  EXPECT_GE(MsBetween(f.rec.Report(1).tAt, f.rec.Report(2).tAt), long(2 * down + 1000 - 150));
  EXPECT_EQ(f.board.Stat("links"), 2);
}

TEST(GwBoard, SilentBoardIsClosedWithReason9WithinTheDelayAndOnePollPeriod) {
  const u32 poll = 100, down = 400, slack = 150; /* slack: scheduling only */
  /* one path of two linked: the adapter-down delay applies, not the network-down one (ten times longer) */
  Fixture f(poll, down, {}, [&](VqxGwLibParams& p, u16) { p.RedundancyParams.un32NetworkDownDelayMs = 10 * down; });
  ASSERT_TRUE(f.Linked());
  ASSERT_EQ(f.board.Command("silent"), "ok");
  const auto t0 = std::chrono::steady_clock::now(); /* at most one reply may still be on its way */
  ASSERT_TRUE(f.rec.WaitReports(2, 5000));
  const long took = MsBetween(t0, f.rec.Report(1).tAt); /* the callback's time: this thread may wake later */
  EXPECT_EQ(f.rec.Report(1).fGw0Up, 0u);
  EXPECT_EQ(f.rec.Report(1).un32Reason, VQX_GW_CLOSE_TCP_TIMEOUT);
  EXPECT_LE(took, long(down + poll + slack));
  EXPECT_GE(took, long(down - poll));
  EXPECT_TRUE(f.rec.HasError("VqxGwLibDiscoverThread: Remote simboard: gw0 TCP timeout ("));
}

TEST(GwBoard, CorruptedBatchesCloseThePathWithReason1) {
  const struct {
    const char* kind;
    const char* log;
  } rows[] = {
      {"count16", "simboard:gw0 : Received corrupted in_pGwContext->MultiHeader from (claiming 16 messages inside)"},
      {"size0", "Received corrupted MultiHeader from simboard:gw0 (message size 0)"},
      {"sizebig", "Received corrupted MultiHeader from simboard:gw0 (message size 4194305, max allowed 4194304)"}};
  for (auto& r : rows) {
    Fixture f(200, 1500);
    ASSERT_TRUE(f.Linked()) << r.kind;
    ASSERT_EQ(f.board.Command(std::string("corrupt ") + r.kind), "ok");
    ASSERT_TRUE(f.rec.WaitReports(2, 3000)) << r.kind;
    EXPECT_EQ(f.rec.Report(1).fGw0Up, 0u) << r.kind;
    EXPECT_EQ(f.rec.Report(1).un32Reason, VQX_GW_CLOSE_CORRUPTED) << r.kind;
    EXPECT_TRUE(f.rec.HasError(r.log)) << r.kind;
    std::lock_guard<std::mutex> g(f.rec.m);
    EXPECT_TRUE(f.rec.Messages.empty()) << r.kind;
  }
}

TEST(GwBoard, BatchesFromTheBoardRawMessagesToItAndItsPollAnswered) {
  Fixture f(0, 1500); /* the host sends no poll of its own */
  ASSERT_TRUE(f.Linked());
  /* twenty messages come as a batch of 15 and one of 5, in order */
  ASSERT_EQ(f.board.Command("send 20 200"), "ok");
  ASSERT_TRUE(f.rec.WaitFor(3000, [&] { return f.rec.Messages.size() >= 20; }));
  {
    std::lock_guard<std::mutex> g(f.rec.m);
    EXPECT_EQ(f.rec.BatchCounts, (std::vector<u32>{15, 5}));
    for (u32 i = 0; i < 20; i++) EXPECT_EQ(vqxgw::GetBe32(f.rec.Messages[i].data() + 88), i) << i;
    for (u32 i = 0; i < 20; i++) EXPECT_EQ(f.rec.Messages[i].size(), 200u) << i;
    f.rec.Messages.clear();
  }
  /* messages to a board go without batch header; the board echoes them */
  ASSERT_EQ(f.board.Command("echo 0x03000001"), "ok");
  std::vector<std::vector<u8>> msgs;
  for (u32 i = 0; i < 40; i++) msgs.push_back(HostMessage(i, 96 + i * 13));
  std::vector<VqxGwLibSendRecord> recs;
  for (u32 i = 0; i < 40; i++) recs.push_back({msgs[i].data(), u32(msgs[i].size()), i, 0});
  ASSERT_EQ(VqxGwLibSendMsgs(f.in.ctx, kBoardHandle, 40, recs.data(), 1), VQX_RESULT_OK);
  ASSERT_TRUE(f.rec.WaitFor(5000, [&] { return f.rec.Messages.size() >= 40; }));
  {
    std::lock_guard<std::mutex> g(f.rec.m);
    EXPECT_EQ(f.rec.Messages, msgs);
  }
  /* the board's poll is answered with the 92-byte block */
  ASSERT_EQ(f.board.Command("poll"), "ok");
  for (int i = 0; i < 100 && f.board.Stat("poll_replies") < 1; i++) f.rec.WaitReports(2, 20);
  EXPECT_EQ(f.board.Stat("poll_replies"), 1);
  EXPECT_EQ(f.board.Stat("order_errors"), 0); /* the block had its length and id */
  EXPECT_EQ(f.board.Stat("polls"), 0);
  EXPECT_EQ(f.rec.Reports(), 1u);
}

TEST(GwBoard, BoardThatStopsReadingLosesNothing) {
  Fixture f(0, 1500); /* no polls: a board that does not read is not dead */
  ASSERT_TRUE(f.Linked());
  ASSERT_EQ(f.board.Command("stopread"), "ok");
  const u32 kTotal = 700, kSize = 4000;
  std::vector<std::vector<u8>> msgs;
  for (u32 i = 0; i < kTotal; i++) msgs.push_back(HostMessage(i, kSize));
  u32 next = 0;
  VQX_RESULT res = VQX_RESULT_OK;
  for (; next < kTotal && (res = f.Send(msgs[next], next)) == VQX_RESULT_OK; next++) {}
  ASSERT_EQ(res, VQX_RESULT_OUT_OF_RESOURCE) << "the ring never filled";
  EXPECT_EQ(VqxGwLibCanSendMsg(f.in.ctx, kBoardHandle, nullptr), 0u);
  ASSERT_EQ(f.board.Command("read"), "ok");
  for (int i = 0; i < 4000 && next < kTotal; i++) {
    if (VqxGwLibCanSendMsg(f.in.ctx, kBoardHandle, nullptr) == 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    else if (f.Send(msgs[next], next) == VQX_RESULT_OK)
      next++;
  }
  ASSERT_EQ(next, kTotal);
  for (int i = 0; i < 100 && f.board.Stat("messages") < long(kTotal); i++) f.rec.WaitReports(2, 50);
  EXPECT_EQ(f.board.Stat("messages"), long(kTotal));
  EXPECT_EQ(f.board.Stat("order_errors"), 0);
  EXPECT_EQ(f.board.Stat("last_seq"), long(kTotal - 1));
}

TEST(GwBoard, FoundBySpecificDiscoveryWithAutoDiscoveryOff) {
  /* no plain discovery: only "are you simboard" (a name: it does not begin
   * with a digit) on the board's port; the second entry lets the answer
   * from 127.0.0.1 through the filter */
  static VQX_GW_EXTRA_ADDR extra[2];
  Fixture f(200, 1500, {}, [](VqxGwLibParams& p, u16 port) {
    extra[0] = extra[1] = VQX_GW_EXTRA_ADDR{};
    std::strcpy(extra[0].szIpAddress0, "simboard");
    extra[0].un16Port = port;
    std::strcpy(extra[1].szIpAddress0, "127.0.0.1");
    p.aun16GwPorts[0] = 0;
    p.fDisableAutoDiscovery = 1;
    p.un32NbExtraGwAddr = 2;
    p.paExtraGwAddr = extra;
  });
  ASSERT_TRUE(f.Linked());
  EXPECT_EQ(f.rec.Report(0).hPeer, kBoardHandle);
}

TEST(GwBoard, BoardAdvertisingLoopbackOnGw0KeepsItsGw1) {
  /* only an address of a local interface makes a board local (gw0 only):
   * a board that advertises 127.0.0.1 and 127.0.0.3 is linked on both */
  Fixture f(200, 1500, {"--gw1", "127.0.0.3"}, [](VqxGwLibParams& p, u16) {
    /* One interface that is not on the loopback network (as on a real host, whose table never holds
     * 127.0.0.1): 10.99.0.1/16; broadcasts still go to 127.0.0.1. */
    UseInterfaces({{0x0A630001u, 0xFFFF0000u}});
    VQXGetIpInterfacesRefresh();
    p.AdapterGwParams.szIpAddress0[0] = '\0';
  });
  ASSERT_TRUE(f.rec.WaitFor(8000, [&] {
    for (auto& u : f.rec.UpDowns)
      if (u.fGw0Up && u.fGw1Up) return u.hPeer == kBoardHandle && u.un32Reason == 0;
    return false;
  }));
}
