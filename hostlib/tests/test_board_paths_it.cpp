/*
 * test_board_paths_it.cpp - a simulated board reached on two paths (two
 * loopback subnets) while requests stream: a path lost, a path lost with
 * requests overtaking the lost ones, and a path coming back, each losing
 * no request and answering each once.
 */
#include <set>
#include <thread>

#include "support/hostlib_sim.h"
#include "test_peer_util.h"

namespace {

constexpr u32 kRequestId = 0x03000001u;

/* A board reached on two paths that answers the test requests; a filter takes the answers. */
class TwoPathTest : public ::testing::Test {
 protected:
  void Start(const _VQX_NETWORK_REDUNDANCY_PARAMETERS* pRedundancy = nullptr) {
    ASSERT_EQ(b.Board.Command("answer " + std::to_string(kRequestId)), "ok");
    ASSERT_TRUE(b.Open(pRedundancy));
    _VQX_FILTER_PARAMS set{};
    set.un32Version = 1;
    set.un32Mask = VQX_FILTER_MASK_MSG_ID | VQX_FILTER_MASK_MSG_TYPE;
    set.MsgId = kRequestId;
    set.MsgTypeMask = VQX_MSG_TYPE_RESPONSE;
    ASSERT_EQ(VQXCreateMsgFilterEx(b.hLib, 1, &set, &mhAnswers), VQX_RESULT_API_OK);
    /* Both paths up and redundancy established (nothing owed by the board on the first path). */
    ASSERT_TRUE(WaitUntil(
        [&] { return b.WithPeer([](VQX_PEER* p) { return p != nullptr && p->afPathUp[0] && p->afPathUp[1] && !p->fSinglePath; }); },
        10000));
  }
  void TearDown() override {
    if (mhAnswers != nullptr) VQXDestroyMsgFilterEx(b.hLib, &mhAnswers);
  }
  void Request(u32 un32Count = 1) {
    for (u32 i = 0; i < un32Count; i++, mun32Sent++) {
      ASSERT_EQ(b.Send(kRequestId, VQX_MSG_TYPE_REQUEST, 8), VQX_RESULT_API_OK) << mun32Sent;
    }
  }
  /* Takes the answers that came within un32Ms. */
  void Drain(u32 un32Ms) {
    VQX_MSG_HANDLE ah[VQX_RECEIVE_MULTIPLE_MAX];
    u32 n = 0;
    if (VQXReceiveMsgMultiple(b.hLib, mhAnswers, un32Ms, &n, ah) != VQX_RESULT_API_OK) return;
    for (u32 k = 0; k < n; k++) {
      mSerials.insert(ah[k]->un32SerialNumber);
      mun32Received++;
      VQXReleaseMsgEx(b.hLib, &ah[k]);
    }
  }
  /* Waits (bounded) for an answer to every request sent, then checks each came once. */
  void ExpectAllAnsweredOnce() {
    WaitUntil([&] { return Drain(50), mSerials.size() >= mun32Sent; }, 10000);
    EXPECT_EQ(mSerials.size(), mun32Sent) << "every request answered";
    EXPECT_EQ(mun32Received, mun32Sent) << "each once";
    EXPECT_EQ(b.Board.Stat("requests"), static_cast<long>(mun32Sent)) << "the board saw each once";
    if (HasFailure()) fprintf(stderr, "board: %s\n", b.Board.Command("stats").c_str());
  }
  BoardLib b{2, {"--gw0", "127.0.0.2", "--gw1", "127.0.1.3", "--full"}};
  VQX_FILTER_HANDLE mhAnswers = nullptr;
  std::set<u32> mSerials;
  u32 mun32Sent = 0;
  u32 mun32Received = 0;
};

/* Requests streaming, gw0 closed in the middle: what the board had not acknowledged goes again on gw1. */
TEST_F(TwoPathTest, LostPathLosesNoRequest) {
  Start();
  for (u32 i = 0; i < 600; i++) {
    Request();
    if (i == 300) {
      EXPECT_EQ(b.Board.Command("closegw 0"), "ok");
    }
    if (i % 50 == 0) Drain(0);
  }
  ExpectAllAnsweredOnce();
}

/*
 * gw0 dies with requests the board never read, and newer ones reach the
 * board on gw1 before the library handles the loss (it waits for the
 * library lock, held here). The board takes only the next request in
 * sequence and drops the newer ones: the retransmission must carry them
 * again, after the lost ones.
 */
TEST_F(TwoPathTest, RequestsOvertakingTheLostOnesAreSentAgain) {
  Start();
  Request(20);
  ExpectAllAnsweredOnce();
  /* Answers kept back: the transport's receive thread must not wait for the lock held below. */
  ASSERT_EQ(b.Board.Command("hold"), "ok");
  ASSERT_EQ(b.Board.Command("stopread"), "ok");
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(b.hLib);
  Request(5); /* written on gw0 and never read */
  EXPECT_EQ(b.Board.Command("closegw 0"), "ok");
  EXPECT_EQ(b.Board.Command("read"), "ok");
  /* Once the transport has closed gw0, what is sent goes on gw1, ahead of the lost five. */
  long nOutOfOrder = 0;
  WaitUntil([&] { return Request(), (nOutOfOrder = b.Board.Stat("out_of_order")) >= 1; }, 3000);
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(b.hLib);
  EXPECT_GE(nOutOfOrder, 1) << "a request overtook the lost ones";
  ASSERT_EQ(b.Board.Command("release").rfind("ok", 0), 0u);
  Request(20);
  ExpectAllAnsweredOnce();
  _VQX_LIB_STATS stats{};
  ASSERT_EQ(VQXLibGetStats(b.hLib, &stats), VQX_RESULT_API_OK);
  EXPECT_GE(stats.TxRetransmit, 5u + static_cast<u64>(nOutOfOrder));
}

/*
 * Short redundancy delays, so that gw0 is linked again within seconds:
 * requests stream over gw1 while gw0 is away; big unnumbered events fill
 * gw1's socket so that the transport still holds requests unwritten on gw1
 * when gw0 comes back and becomes the path in use. Each reaches the board once.
 */
TEST_F(TwoPathTest, PathComingBackMidStreamLosesNoRequest) {
  _VQX_NETWORK_REDUNDANCY_PARAMETERS red{};
  red.fValid = 1;
  red.un32PollDelayMs = 100;
  red.un32NetworkDownDelayMs = 1000;
  red.un32AdapterDownDelayMs = 2100;
  red.fUseGw0 = red.fUseGw1 = 1;
  Start(&red);
  Request(20);
  ExpectAllAnsweredOnce();
  EXPECT_EQ(b.Board.Command("closegw 0"), "ok");
  ASSERT_TRUE(WaitUntil([&] { return !b.PathUp(0); }, 5000)) << "gw0 was lost";
  /*
   * Requests stream over gw1 while gw0 is away, until the transport links gw0
   * again (the board sees its new link before the library reports the path
   * up). Only then does the board stop reading: gw1 stays quiet for less than
   * the network-down delay, however slow the machine.
   */
  const long nLinks = b.Board.Stat("links");
  u32 un32Streamed = 0;
  EXPECT_TRUE(WaitUntil([&] { return Request(), ++un32Streamed % 10 == 0 && (Drain(0), b.Board.Stat("links") > nLinks); },
                        15000))
      << "gw0 linked again";
  ASSERT_EQ(b.Board.Command("stopread"), "ok");
  for (u32 i = 0; i < 60; i++) {
    ASSERT_EQ(b.Send(0x03000002u, VQX_MSG_TYPE_EVENT, 32000), VQX_RESULT_API_OK) << i;
    Request();
  }
  EXPECT_TRUE(WaitUntil([&] { return b.PathUp(0); }, 5000)) << "gw0 came back";
  /* Let the transport choose its path before the board reads again. */
  for (u32 i = 0; i < 10; i++) {
    Request();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(b.Board.Command("read"), "ok");
  for (u32 i = 0; i < 200; i++) {
    Request();
    if (i % 10 == 0) Drain(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ExpectAllAnsweredOnce();
}

}  // namespace
