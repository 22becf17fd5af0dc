/*
 * test_board_stall_it.cpp - the application stops taking a board's messages
 * (its filter left unread past the receive fifo) while the simulated board
 * keeps sending: the back pressure holds the transport's reads back, so the
 * board's poll replies wait unread behind its messages. That is no silence:
 * the link stays through a stall of three adapter-down delays, on one path or
 * two, and once the application reads again every message arrives, in
 * order. A board that falls silent during such a stall (nothing more arrives,
 * its socket empty) is closed as ever, within the delay and a poll period; one
 * that falls silent behind its messages is closed within the delay and a poll
 * period of the moment the last of them is read. Each bound is widened by what
 * the machine held meanwhile (peers/stall_probe.h), and a board that keeps
 * sending is closed only when the machine held it past the rest of the limit.
 */
#include <chrono>
#include <cstdlib>
#include <thread>

#include "peers/stall_probe.h"
#include "support/hostlib_sim.h"
#include "test_peer_util.h"

namespace {

/* The keep-alive's limit: the network-down delay while the board is linked on every path the library uses, else
 * the adapter-down delay (a board of one path: the library uses two). */
constexpr u32 kPollMs = 100, kDownMs = 500, kAdapterDownMs = 2 * kDownMs + 100;
constexpr u32 kFifo = 32;
/* A message past the fifo pauses the transport's reading that long; the grain of the kernel's record of an arrival
   (jiffies), which the silence in the timeout line is taken from, and of the look that closes. */
constexpr u32 kRxPauseMs = 100, kGrainMs = 50;

/* Whether h is the board's message number un32Count of this run (boardsim "send", id 0x03000001, numbered with
 * "--full"): its sequence number follows the first one's, and its payload's byte ramp from the ninth byte on starts
 * at the count plus 4 (its first 8 bytes are the library's link area). */
bool IsMessage(VQX_MSG_HANDLE h, u32 un32Count, u32 un32FirstSeq) {
  return h->un32TxSeq == un32FirstSeq + un32Count && VQXMsgPayload(h)[8] == static_cast<u8>(un32Count + 4);
}

/* The silence the library closed the board on (its first "TCP timeout (Sms > Lms)"), -1 without one. */
long SilenceClosedOn(CapturedLog& log) {
  for (const std::string& line : log.Lines())
    if (const size_t at = line.find("TCP timeout ("); at != std::string::npos) return std::atol(line.c_str() + at + 13);
  return -1;
}

long MsSince(std::chrono::steady_clock::time_point t) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t).count());
}

TEST(BoardStall, UnreadRepliesAreNoSilenceASilentBoardIsClosedAsEver) {
  const struct {
    const char* what;
    u32 un32Nets;
    std::vector<std::string> board;
    bool fSilent, fSilentBehind;
  } rows[] = {
      {"one path", 1, {"--full"}, false, false},
      {"two paths", 2, {"--gw0", "127.0.0.2", "--gw1", "127.0.1.3", "--full"}, false, false},
      {"silent board, one path", 1, {"--full"}, true, false},
      {"silent behind its messages, one path", 1, {"--full"}, false, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    BoardLib b{row.un32Nets, row.board};
    const _VQX_NETWORK_REDUNDANCY_PARAMETERS red = {1, kPollMs, kDownMs, kAdapterDownMs, 1, 1, 0, 0};
    ASSERT_TRUE(b.Open(&red, kFifo));
    VqxLib(b.hLib)->un32TraceLevel.store(4); /* the keep-alive's lines kept, the transport's per-batch ones not */
    VQX_FILTER_HANDLE hUnits = NewFilter(b.hLib, {FilterSet(VQX_FILTER_MASK_MSG_ID, 0x03000001u)});
    ASSERT_NE(hUnits, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return b.PathUp(0) && (row.un32Nets == 1 || b.PathUp(1)); }, 10000));
    /* Nothing read from here: past the fifo, each message holds the transport's reading back 100 ms. */
    const u32 un32Sent = row.fSilent ? kFifo + 1 : 600; /* silent: one pause of the reading */
    peerwait::StallProbe Stall;
    const auto t0 = std::chrono::steady_clock::now();
    if (row.fSilent) {
      ASSERT_EQ(b.Board.Command("silent"), "ok"); /* no poll answered, nothing sent after these */
    }
    ASSERT_EQ(b.Board.Command("send " + std::to_string(un32Sent) + " 1000"), "ok");
    if (row.fSilentBehind) {
      ASSERT_EQ(b.Board.Command("silent"), "ok");
    }
    if (row.fSilent) {
      ASSERT_TRUE(WaitUntil([&] { return !b.PathUp(0); }, 5000)) << "closed while the application reads nothing";
      ASSERT_TRUE(WaitUntil([&] { return b.Log.Count("simboard: gw0 TCP timeout (") == 1u; }, 3000));
      /* Its last byte came as it was sent; its last sign of life, as the last message past the fifo was taken in,
         each having paused the reading; then closed within the limit and a poll period (a poll due past the limit
         has the keep-alive look), and the kernel's grain. */
      const long nSilenceMs = SilenceClosedOn(b.Log);
      EXPECT_GE(nSilenceMs, long(kAdapterDownMs)) << "closed before its limit";
      EXPECT_LE(nSilenceMs, long((un32Sent - kFifo) * kRxPauseMs + kAdapterDownMs + kPollMs + kGrainMs) +
                                Stall.WorstMs(t0, std::chrono::steady_clock::now()))
          << "a silent board is closed at its limit, " << Stall.Seen();
      EXPECT_TRUE(WaitUntil([&] { return b.Board.Stat("closed_by_host") == 1; }, 3000));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(3 * kAdapterDownMs)); /* the stall */
      if (b.Log.Count("TCP timeout") != 0) { /* heard from within a poll and its scheduling: the machine's doing only */
        EXPECT_TRUE(Stall.HeldPast(kAdapterDownMs, kPollMs + 100)) << "a sending board closed, " << Stall.Seen();
        VQXDestroyMsgFilterEx(b.hLib, &hUnits);
        continue;
      }
      EXPECT_TRUE(b.PathUp(0) && (row.un32Nets == 1 || b.PathUp(1)));
    }
    auto tLast = std::chrono::steady_clock::now();
    /* Every message the board sent, in order, once read. */
    u32 un32Received = 0, un32OutOfOrder = 0, un32FirstSeq = 0;
    WaitUntil(
        [&] {
          VQX_MSG_HANDLE ah[VQX_RECEIVE_MULTIPLE_MAX];
          u32 n = 0;
          if (VQXReceiveMsgMultiple(b.hLib, hUnits, 50, &n, ah) == VQX_RESULT_API_OK) {
            for (u32 k = 0; k < n; k++) {
              if (un32Received == 0) un32FirstSeq = ah[k]->un32TxSeq;
              un32OutOfOrder += !IsMessage(ah[k], un32Received++, un32FirstSeq);
              VQXReleaseMsgEx(b.hLib, &ah[k]);
            }
            tLast = std::chrono::steady_clock::now();
          }
          return un32Received >= un32Sent;
        },
        20000);
    EXPECT_EQ(un32Received, un32Sent);
    EXPECT_EQ(un32OutOfOrder, 0u);
    if (row.fSilentBehind) {
      ASSERT_TRUE(WaitUntil([&] { return !b.PathUp(0); }, 10000)) << "closed once its messages are read";
      /* Its last sign of life is not seen from here: its last bytes reach the socket about when its last messages
         are read, and the keep-alive's own record of it is not logged (a close 1.3 s after the last read was seen with
         nothing held): the row keeps its scheduling allowance. */
      EXPECT_LE(MsSince(tLast), long(kAdapterDownMs + 2 * kPollMs + 500) + Stall.WorstMs(tLast, std::chrono::steady_clock::now()))
          << "closed at its limit from the last read, " << Stall.Seen();
    } else if (!row.fSilent) {
      EXPECT_EQ(b.Log.Count("TCP timeout"), 0u);
      EXPECT_EQ(b.Board.Stat("links"), static_cast<long>(row.un32Nets)) << "never linked again";
      EXPECT_EQ(b.Board.Stat("closed_by_host") + b.Board.Stat("unsent"), 0) << b.Board.Command("stats");
    }
    VQXDestroyMsgFilterEx(b.hLib, &hUnits);
  }
}

}  // namespace
