/*
 * test_rxparse.cpp - the batch framing of the receive side: any split of a
 * stream of batches yields the same messages; counts 1..15 pass and 16
 * fails; sizes 1..4194304 pass, 0 and 4194305 fail; polls, poll replies,
 * out of memory; nothing is read or kept past an error.
 */
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "gwlib_rxparse.h"

using namespace vqxgw;

namespace {

struct Sink : RxSink {
  std::vector<std::vector<u8>> msgs;
  int polls = 0, replies = 0, allocs = 0, frees = 0;
  std::vector<std::pair<RxError, u32>> errors;
  int failAllocAt = -1; /* index of the buffer that cannot be had */
  /* Per batch delivered: the bytes of its Feed still unparsed then, less the end of that Feed's bytes in the stream. */
  const RxParser* parser = nullptr;
  size_t feedEnd = 0;
  std::vector<size_t> batchEnds;

  void Alloc(u32 n, const u32* sizes, void** bufs) override {
    for (u32 i = 0; i < n; i++) {
      bufs[i] = int(i) == failAllocAt ? nullptr : std::malloc(sizes[i]);
      allocs += bufs[i] != nullptr;
    }
  }
  void Deliver(u32 n, void** bufs, const u32* sizes) override {
    if (parser != nullptr) batchEnds.push_back(feedEnd - parser->Unparsed());
    for (u32 i = 0; i < n; i++, frees++) {
      msgs.emplace_back(static_cast<const u8*>(bufs[i]), static_cast<const u8*>(bufs[i]) + sizes[i]);
      std::free(bufs[i]);
    }
  }
  void Free(u32 n, void** bufs) override {
    for (u32 i = 0; i < n; i++) frees += bufs[i] != nullptr, std::free(bufs[i]);
  }
  void Poll() override { polls++; }
  void PollReply() override { replies++; }
  void Error(RxError e, u32 v) override { errors.push_back({e, v}); }
};

void AppendBatch(std::vector<u8>& out, const std::vector<std::vector<u8>>& msgs) {
  u8 h[kBatchHeaderSize];
  u32 sizes[VQX_GW_MAX_BATCH_MSGS] = {};
  for (size_t i = 0; i < msgs.size(); i++) sizes[i] = u32(msgs[i].size());
  EncodeBatchHeader(u32(msgs.size()), sizes, h);
  out.insert(out.end(), h, h + sizeof(h));
  for (auto& m : msgs) out.insert(out.end(), m.begin(), m.end());
}

std::vector<u8> Msg(u32 size, u8 seed) {
  std::vector<u8> m(size);
  for (u32 i = 0; i < size; i++) m[i] = u8(seed + i * 7);
  return m;
}

}  // namespace

/* Also what each batch leaves unparsed of its read when it is handed over (what waits behind it). */
TEST(GwRxParse, RandomSplitsGiveTheSameMessages) {
  std::mt19937 rng(1234);
  std::vector<std::vector<u8>> all;
  std::vector<size_t> ends; /* where each batch ends in the stream */
  std::vector<u8> stream;
  u8 poll[kBatchHeaderSize];
  EncodeHostPoll(poll);
  for (int b = 0; b < 24; b++) {
    std::vector<std::vector<u8>> batch;
    u32 n = 1 + rng() % 15;
    for (u32 i = 0; i < n; i++) batch.push_back(Msg(1 + rng() % 20000, u8(b * 16 + i)));
    all.insert(all.end(), batch.begin(), batch.end());
    AppendBatch(stream, batch);
    ends.push_back(stream.size());
    if (b % 7 == 0) stream.insert(stream.end(), poll, poll + sizeof(poll));
  }
  for (int round = 0; round < 20; round++) {
    Sink s;
    RxParser p;
    s.parser = &p;
    size_t pos = 0;
    while (pos < stream.size()) {
      /* chunks from 1 byte up to a whole read of 16384 */
      size_t n = round == 0 ? 1 : 1 + rng() % (round < 10 ? 70 : 16384);
      n = std::min(n, stream.size() - pos);
      s.feedEnd = pos + n;
      ASSERT_EQ(p.Feed(stream.data() + pos, n, s), kRxOk);
      ASSERT_EQ(p.Unparsed(), 0u);
      pos += n;
    }
    EXPECT_TRUE(p.Idle());
    EXPECT_EQ(s.batchEnds, ends) << "round " << round;
    EXPECT_EQ(s.msgs, all) << "round " << round;
    EXPECT_EQ(s.polls, 4);  // after batches 0, 7, 14 and 21
    EXPECT_TRUE(s.errors.empty());
    EXPECT_EQ(s.allocs, s.frees);
  }
}

TEST(GwRxParse, CountsAndSizesAtTheirLimits) {
  struct Row {
    const char* what;
    u32 count;
    u32 size;
    RxError expect;
  } const rows[] = {{"15 messages", 15, 10, kRxOk},
                    {"16 messages", 16, 10, kRxBadCount},
                    {"count 0x10000", 0x10000, 10, kRxBadCount},
                    {"count 0xFFFFFFFE", 0xFFFFFFFE, 10, kRxBadCount},
                    {"size 1", 1, 1, kRxOk},
                    {"size 0", 1, 0, kRxSizeZero},
                    {"size 4194304", 1, VQX_GW_MAX_MSG_SIZE, kRxOk},
                    {"size 4194305", 1, VQX_GW_MAX_MSG_SIZE + 1, kRxSizeTooBig},
                    {"size 0xFFFFFFFF", 1, 0xFFFFFFFF, kRxSizeTooBig}};
  for (const Row& r : rows) {
    u8 h[kBatchHeaderSize] = {};
    PutBe32(h, r.count);
    for (u32 i = 0; i < 15; i++) PutBe32(h + 4 + 4 * i, r.size);
    Sink s;
    RxParser p;
    RxError e = p.Feed(h, sizeof(h), s);
    EXPECT_EQ(e, r.expect) << r.what;
    if (r.expect == kRxOk) {
      EXPECT_EQ(p.GetState(), RxParser::kReadMessages) << r.what;
      EXPECT_EQ(s.allocs, int(r.count)) << r.what;
      p.Reset(s);
      EXPECT_EQ(s.frees, s.allocs) << r.what;
    } else {
      EXPECT_EQ(p.GetState(), RxParser::kDiscard) << r.what;
      ASSERT_EQ(s.errors.size(), 1u) << r.what;
      EXPECT_EQ(s.allocs, 0) << r.what; /* nothing allocated from a bad header */
      /* whatever follows is dropped until the path is reset */
      std::vector<u8> more;
      AppendBatch(more, {Msg(3, 0)});
      EXPECT_EQ(p.Feed(more.data(), more.size(), s), kRxOk);
      EXPECT_TRUE(s.msgs.empty()) << r.what;
      p.Reset(s);
      EXPECT_EQ(p.Feed(more.data(), more.size(), s), kRxOk);
      EXPECT_EQ(s.msgs.size(), 1u) << r.what;
    }
  }
}

TEST(GwRxParse, PollsRepliesNoMemoryAndReset) {
  std::vector<u8> pollThenReply(kBatchHeaderSize, 0);
  pollThenReply.resize(2 * kBatchHeaderSize, 0xFF);
  Sink s;
  RxParser p;
  p.Feed(pollThenReply.data(), pollThenReply.size(), s);
  EXPECT_EQ(s.polls, 1);
  EXPECT_EQ(s.replies, 1);
  EXPECT_TRUE(p.Idle());

  std::vector<u8> stream;
  AppendBatch(stream, {Msg(10, 0), Msg(10, 1), Msg(10, 2)});
  Sink t;
  t.failAllocAt = 1;
  RxParser q;
  EXPECT_EQ(q.Feed(stream.data(), stream.size(), t), kRxNoMemory);
  EXPECT_EQ(q.GetState(), RxParser::kDiscard);
  EXPECT_EQ(t.allocs, 2);
  EXPECT_EQ(t.frees, 2); /* the buffers already had are given back */
  EXPECT_TRUE(t.msgs.empty());
  /* a reset in the middle of a batch frees its buffers */
  Sink u;
  RxParser r;
  stream.clear();
  AppendBatch(stream, {Msg(100, 0), Msg(100, 1)});
  r.Feed(stream.data(), 64 + 150, u);
  EXPECT_EQ(u.allocs, 2);
  r.Reset(u);
  EXPECT_EQ(u.frees, 2);
  EXPECT_TRUE(r.Idle());
}
