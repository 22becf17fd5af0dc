/*
 * test_board_paths_it.cpp - a simulated board reached on two paths (two
 * loopback subnets) while requests stream: a path lost, and a path lost
 * with requests overtaking the lost ones, each losing no request and
 * answering each once.
 */
#include "support/hostlib_sim.h"
#include "test_peer_util.h"

namespace {

/* Requests streaming, gw0 closed in the middle: what the board had not acknowledged goes again on gw1. */
TEST_F(TwoPathTest, LostPathLosesNoRequest) {
  Start();
  for (u32 i = 0; i < 600; i++) {
    Request();
    if (i == 300) { EXPECT_EQ(b.Board.Command("closegw 0"), "ok"); }
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
  WaitUntil(
      [&] {
        Request();
        nOutOfOrder = b.Board.Stat("out_of_order");
        return nOutOfOrder >= 1;
      },
      3000);
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(b.hLib);
  EXPECT_GE(nOutOfOrder, 1) << "a request overtook the lost ones";
  ASSERT_EQ(b.Board.Command("release").rfind("ok", 0), 0u);
  Request(20);
  ExpectAllAnsweredOnce();
  _VQX_LIB_STATS stats = LibStats(b.hLib);
  EXPECT_GE(stats.TxRetransmit, 5u + static_cast<u64>(nOutOfOrder));
}

}  // namespace
