/*
 * test_board_return_it.cpp - a simulated board reached on two paths: a
 * path that comes back while requests stream on the other loses none of
 * them (its own program: the path's return takes the transport seconds).
 */

#include "support/hostlib_sim.h"

namespace {

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
  const auto streamUntilRelinked = [&] {
    Request();
    un32Streamed++;
    if (un32Streamed % 10 != 0) return false;
    Drain(0);
    return b.Board.Stat("links") > nLinks;
  };
  EXPECT_TRUE(WaitUntil(streamUntilRelinked, 15000)) << "gw0 linked again";
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
  /* gw0's new link came once its old one was closed, gw1 kept its own: a new link on a path whose link is still open
   * (the board replaces the old one) would be a second link the library opened. */
  EXPECT_EQ(b.Board.Stat("replaced"), 0) << b.Board.Command("stats");
}

}  // namespace
