/*
 * test_board_it.cpp - an adapters' instance against the simulated board
 * (testing/boardsim/boardsim.py, run with python3) over 127.0.0.1 only:
 * discovery and link on gw0, path closed by the board (reason 3, no
 * reconnect before the gate), silent board (reason 9), corrupted batches
 * (reason 1), batches from the board, a board that stops reading, and a
 * board advertising 127.0.0.1 on gw0 and another address on gw1.
 */
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <cstring>
#include <thread>

#include "gw_test_support.h"

using namespace gwtest;
using Clock = std::chrono::steady_clock;

namespace {

constexpr u32 kBoardHandle = 0xCA345678; /* serial number 12345678 */

struct Fixture {
  Recorder rec;
  u16 port = FreePort();
  Board board;
  VqxGwLibContext ctx = nullptr;

  Fixture(u32 pollMs, u32 netDownMs, u32 adaDownMs, std::vector<std::string> boardArgs = {},
          std::function<void(VqxGwLibParams&, u16)> adjust = nullptr)
      : board((UseLoopbackOnly(), port), boardArgs) {
    VqxGwLibParams p = AdapterParams(port, rec, pollMs, netDownMs, adaDownMs);
    if (adjust) adjust(p, port);
    EXPECT_TRUE(board.Ready());
    EXPECT_EQ(VqxGwLibAllocate(&p, &ctx), VQX_RESULT_OK);
    EXPECT_EQ(VqxGwLibEnable(ctx), VQX_RESULT_OK);
  }
  ~Fixture() {
    if (ctx != nullptr) VqxGwLibDestroy(ctx);
  }
  /* Waits for the n-th up/down report and returns it. */
  bool WaitReport(size_t n, u32 ms, UpDown& out) {
    if (!rec.WaitReports(n, ms)) return false;
    out = rec.Report(n - 1);
    return true;
  }
};

std::vector<u8> HostMessage(u32 seq, u32 size) {
  std::vector<u8> m(size, 0);
  vqxgw::PutBe32(m.data(), 0x03000001);
  vqxgw::PutBe32(m.data() + 4, 1);
  vqxgw::PutBe32(m.data() + 8, size);
  vqxgw::PutBe32(m.data() + 12, size - 88);
  vqxgw::PutBe32(m.data() + 88, seq);
  return m;
}

}  // namespace

TEST(GwBoard, FindsTheBoardAndStaysLinkedPastTheDownDelayWhileItAnswersPolls) {
  const u32 poll = 100, down = 300;
  Fixture f(poll, down, down);
  UpDown u{};
  ASSERT_TRUE(f.WaitReport(1, 5000, u));
  EXPECT_EQ(u.hPeer, kBoardHandle);
  EXPECT_EQ(u.fGw0Up, 1u);
  EXPECT_EQ(u.fGw1Up, 0u);
  EXPECT_EQ(u.un32Reason, 0u);
  EXPECT_EQ(u.un32InfoId, 0x47575041u); /* the stored block is an adapter's */
  /* the board sends nothing but its poll replies: three down delays pass */
  EXPECT_FALSE(f.rec.WaitReports(2, 3 * down));
  EXPECT_GE(f.board.Stat("polls"), 5);
  EXPECT_EQ(f.board.Stat("order_errors"), 0);
}

TEST(GwBoard, ClosedPathIsReportedAndNotReconnectedBeforeTheGate) {
  const u32 net = 300, ada = 300; /* gate: net + ada + 1000 ms */
  Fixture f(200, net, ada);
  UpDown u{};
  ASSERT_TRUE(f.WaitReport(1, 5000, u));
  ASSERT_EQ(f.board.Command("close"), "ok");
  ASSERT_TRUE(f.WaitReport(2, 3000, u));
  auto tDown = Clock::now();
  EXPECT_EQ(u.fGw0Up, 0u);
  EXPECT_EQ(u.un32Reason, 3u);
  ASSERT_TRUE(f.WaitReport(3, 8000, u));
  auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - tDown).count();
  EXPECT_EQ(u.fGw0Up, 1u);
  EXPECT_GE(gap, long(net + ada + 1000) - 150);
  EXPECT_EQ(f.board.Stat("links"), 2);
}

TEST(GwBoard, SilentBoardIsClosedWithReason9WithinTheDelayAndOnePollPeriod) {
  const u32 poll = 100, down = 400, slack = 150; /* slack: scheduling only */
  Fixture f(poll, down, down);
  UpDown u{};
  ASSERT_TRUE(f.WaitReport(1, 5000, u));
  ASSERT_EQ(f.board.Command("silent"), "ok");
  const auto t0 = Clock::now(); /* at most one reply may still be on its way */
  ASSERT_TRUE(f.WaitReport(2, 5000, u));
  const long took = long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
  EXPECT_EQ(u.fGw0Up, 0u);
  EXPECT_EQ(u.un32Reason, VQX_GW_CLOSE_TCP_TIMEOUT);
  EXPECT_LE(took, long(down + poll + slack));
  EXPECT_GE(took, long(down - poll));
  EXPECT_TRUE(f.rec.HasError("TCP timeout"));
}

TEST(GwBoard, CorruptedBatchesCloseThePathWithReason1) {
  struct Row {
    const char* kind;
    const char* log;
  } const rows[] = {
      {"count16", "claiming 16 messages inside"},
      {"size0", "(message size 0)"},
      {"sizebig", "(message size 4194305, max allowed 4194304)"},
  };
  for (const Row& r : rows) {
    Fixture f(200, 1500, 1500);
    UpDown u{};
    ASSERT_TRUE(f.WaitReport(1, 5000, u)) << r.kind;
    ASSERT_EQ(f.board.Command(std::string("corrupt ") + r.kind), "ok");
    ASSERT_TRUE(f.WaitReport(2, 3000, u)) << r.kind;
    EXPECT_EQ(u.fGw0Up, 0u) << r.kind;
    EXPECT_EQ(u.un32Reason, 1u) << r.kind;
    EXPECT_TRUE(f.rec.HasError(r.log)) << r.kind;
    std::lock_guard<std::mutex> g(f.rec.m);
    EXPECT_TRUE(f.rec.Messages.empty()) << r.kind;
  }
}

TEST(GwBoard, BatchesFromTheBoardArriveInOrder) {
  Fixture f(200, 1500, 1500);
  UpDown u{};
  ASSERT_TRUE(f.WaitReport(1, 5000, u));
  ASSERT_EQ(f.board.Command("send 20 200"), "ok");
  ASSERT_TRUE(f.rec.WaitFor(3000, [&] { return f.rec.Messages.size() >= 20; }));
  std::lock_guard<std::mutex> g(f.rec.m);
  EXPECT_EQ(f.rec.BatchCounts, (std::vector<u32>{15, 5}));
  for (u32 i = 0; i < 20; i++) {
    ASSERT_EQ(f.rec.Messages[i].size(), 200u);
    EXPECT_EQ(vqxgw::GetBe32(f.rec.Messages[i].data() + 88), i);
  }
}

TEST(GwBoard, BoardThatStopsReadingLosesNothing) {
  Fixture f(0, 1500, 1500); /* no polls: a board that does not read is not dead */
  UpDown u{};
  ASSERT_TRUE(f.WaitReport(1, 5000, u));
  ASSERT_EQ(f.board.Command("stopread"), "ok");
  const u32 kTotal = 700, kSize = 4000;
  std::vector<std::vector<u8>> msgs;
  for (u32 i = 0; i < kTotal; i++) msgs.push_back(HostMessage(i, kSize));
  u32 next = 0;
  bool fFull = false;
  auto until = Clock::now() + std::chrono::seconds(10);
  while (!fFull && Clock::now() < until) {
    VqxGwLibSendRecord r{msgs[next].data(), kSize, next, 0};
    VQX_RESULT res = VqxGwLibSendMsgs(f.ctx, kBoardHandle, 1, &r, 1);
    if (res == VQX_RESULT_OUT_OF_RESOURCE)
      fFull = true;
    else {
      ASSERT_EQ(res, VQX_RESULT_OK);
      next++;
    }
  }
  ASSERT_TRUE(fFull) << "the ring never filled";
  EXPECT_EQ(VqxGwLibCanSendMsg(f.ctx, kBoardHandle, nullptr), 0u);
  EXPECT_LT(next, kTotal);
  ASSERT_EQ(f.board.Command("read"), "ok");
  while (next < kTotal && Clock::now() < until + std::chrono::seconds(10)) {
    if (VqxGwLibCanSendMsg(f.ctx, kBoardHandle, nullptr) == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    VqxGwLibSendRecord r{msgs[next].data(), kSize, next, 0};
    ASSERT_EQ(VqxGwLibSendMsgs(f.ctx, kBoardHandle, 1, &r, 1), VQX_RESULT_OK);
    next++;
  }
  ASSERT_EQ(next, kTotal);
  for (int i = 0; i < 100 && f.board.Stat("messages") < long(kTotal); i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(f.board.Stat("messages"), long(kTotal));
  EXPECT_EQ(f.board.Stat("order_errors"), 0);
  EXPECT_EQ(f.board.Stat("last_seq"), long(kTotal - 1));
}

TEST(GwBoard, RawMessagesToTheBoardAndTheirEchoesBack) {
  Fixture f(200, 1500, 1500);
  UpDown u{};
  ASSERT_TRUE(f.WaitReport(1, 5000, u));
  ASSERT_EQ(f.board.Command("echo 0x03000001"), "ok");
  std::vector<std::vector<u8>> msgs;
  for (u32 i = 0; i < 40; i++) msgs.push_back(HostMessage(i, 96 + i * 13));
  std::vector<VqxGwLibSendRecord> recs;
  for (u32 i = 0; i < 40; i++) recs.push_back({msgs[i].data(), u32(msgs[i].size()), i, 0});
  ASSERT_EQ(VqxGwLibSendMsgs(f.ctx, kBoardHandle, 40, recs.data(), 1), VQX_RESULT_OK);
  ASSERT_TRUE(f.rec.WaitFor(5000, [&] { return f.rec.Messages.size() >= 40; }));
  std::lock_guard<std::mutex> g(f.rec.m);
  for (u32 i = 0; i < 40; i++) EXPECT_EQ(f.rec.Messages[i], msgs[i]) << i;
  EXPECT_EQ(f.rec.UpDowns.size(), 1u);
}

TEST(GwBoard, BoardPollIsAnsweredWithTheHostBlock) {
  Fixture f(0, 1500, 1500); /* the host sends no poll of its own */
  UpDown u{};
  ASSERT_TRUE(f.WaitReport(1, 5000, u));
  ASSERT_EQ(f.board.Command("poll"), "ok");
  for (int i = 0; i < 100 && f.board.Stat("poll_replies") < 1; i++)
    f.rec.WaitReports(2, 20); /* the board's count, asked every 20 ms */
  EXPECT_EQ(f.board.Stat("poll_replies"), 1);
  EXPECT_EQ(f.board.Stat("order_errors"), 0); /* the block had its length and id */
  EXPECT_EQ(f.board.Stat("polls"), 0);
}

TEST(GwBoard, FoundBySpecificDiscoveryWithAutoDiscoveryOff) {
  /* No plain discovery: only "are you simboard" (a name: it does not begin
   * with a digit) on the board's port; the second entry lets the answer
   * from 127.0.0.1 through the filter. */
  static VQX_GW_EXTRA_ADDR extra[2];
  std::memset(extra, 0, sizeof(extra));
  Fixture f(200, 1500, 1500, {}, [](VqxGwLibParams& p, u16 port) {
    std::strcpy(extra[0].szIpAddress0, "simboard");
    extra[0].un16Port = port;
    std::strcpy(extra[1].szIpAddress0, "127.0.0.1");
    p.aun16GwPorts[0] = 0;
    p.fDisableAutoDiscovery = 1;
    p.un32NbExtraGwAddr = 2;
    p.paExtraGwAddr = extra;
  });
  UpDown u{};
  ASSERT_TRUE(f.WaitReport(1, 5000, u));
  EXPECT_EQ(u.hPeer, kBoardHandle);
  EXPECT_EQ(u.fGw0Up, 1u);
}

namespace {
/* One interface that is not on the loopback network (as on a real host,
 * whose table never holds 127.0.0.1); broadcasts still go to 127.0.0.1. */
u32 OtherNetProvider(u32 max, u32* a, u32* b, u32* m) {
  if (max == 0) return 0;
  a[0] = htonl(0x0A630001u); /* 10.99.0.1/16 */
  b[0] = htonl(0x0A63FFFFu);
  m[0] = htonl(0xFFFF0000u);
  return 1;
}
}  // namespace

TEST(GwBoard, BoardAdvertisingLoopbackOnGw0KeepsItsGw1) {
  /* Only an address of a local interface makes a board local (gw0 only):
   * a board that advertises 127.0.0.1 and 127.0.0.3 is linked on both. */
  Fixture f(200, 1500, 1500, {"--gw1", "127.0.0.3"}, [](VqxGwLibParams& p, u16) {
    VqxGwLibSetInterfaceProvider(OtherNetProvider);
    VQXGetIpInterfacesRefresh();
    std::memset(p.AdapterGwParams.szIpAddress0, 0, sizeof(p.AdapterGwParams.szIpAddress0));
  });
  ASSERT_TRUE(f.rec.WaitFor(8000, [&] {
    for (auto& u : f.rec.UpDowns)
      if (u.fGw0Up && u.fGw1Up) return true;
    return false;
  }));
  std::lock_guard<std::mutex> g(f.rec.m);
  EXPECT_EQ(f.rec.UpDowns.back().hPeer, kBoardHandle);
  EXPECT_EQ(f.rec.UpDowns.back().un32Reason, 0u);
}
