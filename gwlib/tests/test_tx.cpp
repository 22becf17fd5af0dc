/*
 * test_tx.cpp - the transmit ring of one peer, seen from inside the library
 * (an instance without threads, a peer whose two transmit sockets are
 * socket pairs): ring limits, batches of 15, path in use and dropped
 * shares, freeing after send, the redundancy ring and its trimming.
 */
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "gw_test_support.h"
#include "gwlib_internal.h"

using namespace gwtest;
using namespace vqxgw;

namespace {

struct Tx {
  Recorder rec;
  VqxGwLibContext ctx = nullptr;
  GwLibCtx* c = nullptr;
  Peer* p = nullptr;
  int far[2] = {-1, -1}; /* the remote ends of gw0 and gw1 */

  explicit Tx(u32 pollMs) {
    UseLoopbackNets(1);
    VqxGwLibParams prm = HostParams(FreeLoopbackPort(), 0, 5, "tx", rec, pollMs, 4500, 10000, nullptr);
    EXPECT_EQ(VqxGwLibAllocate(&prm, &ctx), VQX_RESULT_OK);
    c = reinterpret_cast<GwLibCtx*>(ctx);
    VQX_GW_HOST_ADV adv{0x484C5041, 0, 0, 0, 0, 1, 0, {}};
    adv.Info = {9, 0, 2, "peer", "app", 0, 0, "10.0.0.1", "10.0.1.1", kHostBuildNumber, 2, {}};
    Lock(c);
    EXPECT_EQ(CreatePeer(c, &adv, 0, 0, &p), VQX_RESULT_OK);
    for (int gw = 0; gw < 2; gw++) {
      int sv[2];
      socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv);
      p->Gw[gw].iTxSocket = sv[0];
      far[gw] = sv[1];
    }
    p->Red.un32PollDelayMs = pollMs;
    p->fTcpPolling = false; /* no polls mixed into the byte streams */
    Unlock(c);
  }
  ~Tx() {
    VqxGwLibDestroy(ctx);
    close(far[0]);
    close(far[1]);
  }
  void Write() {
    Lock(c);
    EXPECT_EQ(TxRingCheck(p), "");
    for (int gw = 0; gw < 2; gw++)
      if (PathNeedsWrite(c, p, gw)) WritePath(c, p, gw);
    EXPECT_EQ(TxRingCheck(p), "");
    Unlock(c);
  }
  std::vector<u8> Drain(int gw) {
    std::vector<u8> out;
    u8 b[65536];
    ssize_t n;
    while ((n = read(far[gw], b, sizeof(b))) > 0) out.insert(out.end(), b, b + n);
    return out;
  }
  u32 CanSend(u32* seq = nullptr) { return VqxGwLibCanSendMsg(ctx, p->hPeer, seq); }
  VQX_RESULT Send(std::vector<std::vector<u8>>& msgs, u32 first, u32 n, u8 fFree = 0) {
    std::vector<VqxGwLibSendRecord> r;
    for (u32 i = 0; i < n; i++)
      r.push_back({msgs[first + i].data(), u32(msgs[first + i].size()), first + i + 1, fFree});
    return VqxGwLibSendMsgs(ctx, p->hPeer, n, r.data(), 0);
  }
};

/* The messages of a stream of batches, or -1 when it is malformed. */
long Messages(const std::vector<u8>& s) {
  size_t pos = 0;
  long msgs = 0;
  for (u32 n; pos < s.size(); msgs += n) {
    if (s.size() - pos < kBatchHeaderSize || (n = GetBe32(&s[pos])) < 1 || n > 15) return -1;
    size_t len = kBatchHeaderSize;
    for (u32 i = 0; i < n; i++) len += GetBe32(&s[pos + 4 + 4 * i]);
    pos += len;
  }
  return pos == s.size() ? msgs : -1;
}

std::vector<std::vector<u8>> Msgs(u32 n, u32 size) {
  std::vector<std::vector<u8>> v;
  for (u32 i = 0; i < n; i++) v.push_back(std::vector<u8>(size, u8(i)));
  return v;
}

}  // namespace

TEST(GwTx, RingHoldsAtMost255) {
  Tx t(0);
  auto msgs = Msgs(300, 16);
  EXPECT_EQ(t.CanSend(), 255u);
  ASSERT_EQ(t.Send(msgs, 0, 255), VQX_RESULT_OK);
  EXPECT_EQ(t.CanSend(), 0u);
  EXPECT_EQ(t.Send(msgs, 255, 1), VQX_RESULT_OUT_OF_RESOURCE);
  t.Write();
  EXPECT_EQ(t.CanSend(), 255u);
  /* 10 records with 4 slots free: the first 4 are queued */
  ASSERT_EQ(t.Send(msgs, 0, 251), VQX_RESULT_OK);
  EXPECT_EQ(t.Send(msgs, 251, 10), VQX_RESULT_OUT_OF_RESOURCE);
  EXPECT_EQ(t.CanSend(), 0u);
  t.Write();
  EXPECT_EQ(Messages(t.Drain(0)), 255 + 255);
  EXPECT_EQ(Messages(t.Drain(1)), 255 + 255); /* poll delay 0: both paths send everything */
}

TEST(GwTx, PathInUseSendsAndTheOtherDropsItsShare) {
  Tx t(2000);
  auto msgs = Msgs(40, 32);
  ASSERT_EQ(t.Send(msgs, 0, 1), VQX_RESULT_OK);
  /* both paths send until one message has fully gone */
  t.Write();
  EXPECT_EQ(t.p->un8PathInUse, kPathUndecided);
  std::vector<u8> s0 = t.Drain(0), s1 = t.Drain(1);
  EXPECT_EQ(s0.size(), kBatchHeaderSize + 32);
  EXPECT_EQ(s1.size(), kBatchHeaderSize + 32);
  std::vector<VqxGwLibSendRecord> recs;
  for (u32 i = 0; i < 30; i++) recs.push_back({std::malloc(32), 32, 100 + i, 1});
  ASSERT_EQ(VqxGwLibSendMsgs(t.ctx, t.p->hPeer, 30, recs.data(), 0), VQX_RESULT_OK);
  t.Write();
  EXPECT_EQ(t.p->un8PathInUse, 0u); /* preferred gw0, its socket open */
  EXPECT_EQ(Messages(t.Drain(0)), 30);
  EXPECT_TRUE(t.Drain(1).empty());
  EXPECT_EQ(t.CanSend(), 255u); /* gw1's share was dropped, entries released */
  EXPECT_EQ(t.rec.nFreed, 30);
  /* a closed path drops its share too */
  Lock(t.c);
  close(t.p->Gw[1].iTxSocket);
  t.p->Gw[1].iTxSocket = -1;
  t.p->Red.un32PollDelayMs = 0; /* both paths would send */
  Unlock(t.c);
  ASSERT_EQ(t.Send(msgs, 0, 10), VQX_RESULT_OK);
  t.Write();
  EXPECT_EQ(t.CanSend(), 255u);
  EXPECT_EQ(Messages(t.Drain(0)), 10);
}

TEST(GwTx, RedundancyRingSkipsPureAcksAndTrims) {
  Tx t(0);
  auto msgs = Msgs(4, 96);
  const u8 ack[4] = {0x02, 0x0D, 0x00, 0x12};
  std::memcpy(msgs[1].data(), ack, 4);
  ASSERT_EQ(t.Send(msgs, 0, 4), VQX_RESULT_OK);
  t.Write();
  t.Drain(0);
  t.Drain(1);
  EXPECT_EQ(t.p->Red3000.un32Count, 3u);
  EXPECT_EQ(t.p->Red3000.un64Bytes, 3u * 96u);
  /* 8 messages of 40000 bytes against the 4 x 65535 + 2048 byte budget */
  auto big = Msgs(8, 40000);
  for (u32 i = 0; i < 8; i++) {
    std::vector<VqxGwLibSendRecord> r = {{big[i].data(), 40000, 1000 + i, 0}};
    ASSERT_EQ(VqxGwLibSendMsgs(t.ctx, t.p->hPeer, 1, r.data(), 0), VQX_RESULT_OK);
    for (int k = 0; k < 20 && t.CanSend() != 255; k++) t.Write(), t.Drain(0), t.Drain(1);
  }
  /* the oldest is dropped while the rest alone would exceed 264188 */
  EXPECT_EQ(t.p->Red3000.un64Bytes, 7u * 40000u);
  EXPECT_LE(t.p->Red3000.un64Bytes - 40000u, 4ull * 65535 + 2048);
  u32 seq = 0;
  t.CanSend(&seq);
  EXPECT_EQ(seq, 1000u);
  EXPECT_EQ(t.p->Red3000.un32Count, 7u);
  /* Links started afresh: the host library numbers from 1 again, the old links' mark stands for nothing. */
  Lock(t.c);
  RedRingReset(t.p);
  Unlock(t.c);
  t.CanSend(&seq);
  EXPECT_EQ(seq, 0u);
  EXPECT_EQ(t.p->Red3000.un32Count, 0u);
}

TEST(GwTx, RingCheckFindsBrokenAccounts) {
  Tx t(0);
  auto msgs = Msgs(3, 40);
  ASSERT_EQ(t.Send(msgs, 0, 3), VQX_RESULT_OK);
  Lock(t.c);
  EXPECT_EQ(TxRingCheck(t.p), "");
  t.p->Gw[1].un64Pending += 1;
  EXPECT_EQ(TxRingCheck(t.p), "gw1: 121 bytes pending, entries hold 120");
  t.p->Gw[1].un64Pending -= 1;
  Unlock(t.c);
  t.Write();
  Lock(t.c);
  EXPECT_EQ(TxRingCheck(t.p), "");
  t.p->aRing[0].pMsg = msgs[0].data(); /* released entry still holding a message */
  EXPECT_EQ(TxRingCheck(t.p), "entry 0 done by both paths still holds a message");
  t.p->aRing[0].pMsg = nullptr;
  Unlock(t.c);
}

TEST(GwTx, OnePollReplyAtATime) {
  Tx t(0);
  Lock(t.c);
  PreparePollReply(t.c, t.p, 0);
  PreparePollReply(t.c, t.p, 0); /* a poll while the reply is pending */
  Unlock(t.c);
  t.Write();
  std::vector<u8> s = t.Drain(0);
  EXPECT_EQ(s, std::vector<u8>(kBatchHeaderSize, 0xFF));
  EXPECT_TRUE(t.Drain(1).empty());
  /* a reply goes out between batches, never inside one */
  auto msgs = Msgs(20, 30);
  ASSERT_EQ(t.Send(msgs, 0, 20), VQX_RESULT_OK);
  Lock(t.c);
  PreparePollReply(t.c, t.p, 0);
  Unlock(t.c);
  t.Write();
  s = t.Drain(0);
  ASSERT_EQ(s.size(), 3 * kBatchHeaderSize + 20 * 30);
  EXPECT_EQ(std::vector<u8>(s.begin(), s.begin() + 64), std::vector<u8>(kBatchHeaderSize, 0xFF));
  EXPECT_EQ(Messages(std::vector<u8>(s.begin() + 64, s.end())), 20);
}
