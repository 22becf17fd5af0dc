/*
 * test_filter.cpp - filter matching (every mask bit, both forms), negative
 * sets, several takers, filter creation checks, receive time-out 0, flush,
 * destroy results and implicit (awaited-response) filters, all through
 * local delivery.
 */
#include <gtest/gtest.h>

#include <string.h>

#include "support/hostlib_fixture.h"
#include "vqx_filter_internal.h"

namespace {

constexpr u32 kLocal = 0xDA000001u;
constexpr u32 kUserId = 0x06000010u; /* a group local delivery carries */

struct MsgFields {
  u32 un32MsgId = kUserId;
  u32 MsgType = VQX_MSG_TYPE_EVENT;
  u32 hAdapter = kLocal;
  u32 un32SerialNumber = 7;
  u64 un64UserContext1 = 0x1111;
  u64 un64UserContext2 = 0x2222;
};

_VQX_MSG_HEADER HeaderOf(const MsgFields& f) {
  _VQX_MSG_HEADER h{};
  h.un32MsgId = f.un32MsgId;
  h.MsgType = f.MsgType;
  h.hAdapter = f.hAdapter;
  h.un32SerialNumber = f.un32SerialNumber;
  h.un64UserContext1 = f.un64UserContext1;
  h.un64UserContext2 = f.un64UserContext2;
  return h;
}

_VQX_FILTER_PARAMS SetOf(u32 un32Mask, const MsgFields& f) {
  _VQX_FILTER_PARAMS p{};
  p.un32Version = 1;
  p.un32Mask = un32Mask;
  p.hAdapter = f.hAdapter;
  p.MsgTypeMask = f.MsgType;
  p.MsgId = f.un32MsgId;
  p.MsgGroup = f.un32MsgId >> 16;
  p.un32SerialNumber = f.un32SerialNumber;
  p.un64UserContext1 = f.un64UserContext1;
  p.un64UserContext2 = f.un64UserContext2;
  return p;
}

/* A message differing from the reference in exactly one field. */
MsgFields Differ(u32 un32Bit) {
  MsgFields f;
  switch (un32Bit) {
    case VQX_FILTER_MASK_ADAPTER: f.hAdapter = kLocal + 1; break;
    case VQX_FILTER_MASK_MSG_TYPE: f.MsgType = VQX_MSG_TYPE_REQUEST; break;
    case VQX_FILTER_MASK_MSG_ID: f.un32MsgId = kUserId + 1; break;
    case VQX_FILTER_MASK_MSG_GROUP: f.un32MsgId = 0x06010010u; break;
    case VQX_FILTER_MASK_SERIAL: f.un32SerialNumber = 8; break;
    case VQX_FILTER_MASK_USER_CONTEXT1: f.un64UserContext1 = 0x1112; break;
    case VQX_FILTER_MASK_USER_CONTEXT2: f.un64UserContext2 = 0x2223; break;
  }
  return f;
}

struct MatchRow {
  const char* pszName;
  u32 un32Bit;
};
const MatchRow kBits[] = {
    {"adapter", VQX_FILTER_MASK_ADAPTER},   {"type", VQX_FILTER_MASK_MSG_TYPE},
    {"id", VQX_FILTER_MASK_MSG_ID},         {"group", VQX_FILTER_MASK_MSG_GROUP},
    {"serial", VQX_FILTER_MASK_SERIAL},     {"context1", VQX_FILTER_MASK_USER_CONTEXT1},
    {"context2", VQX_FILTER_MASK_USER_CONTEXT2},
};

TEST(FilterMatch, EveryBitBothForms) {
  const MsgFields ref;
  for (const MatchRow& row : kBits) {
    const _VQX_MSG_HEADER same = HeaderOf(ref);
    const _VQX_MSG_HEADER other = HeaderOf(Differ(row.un32Bit));
    const _VQX_FILTER_PARAMS match = SetOf(row.un32Bit, ref);
    const _VQX_FILTER_PARAMS notMatch = SetOf(row.un32Bit << VQX_FILTER_MASK_NOT_SHIFT, ref);
    EXPECT_TRUE(VqxFilterParamsMatch(&match, &same)) << row.pszName;
    EXPECT_FALSE(VqxFilterParamsMatch(&match, &other)) << row.pszName;
    EXPECT_FALSE(VqxFilterParamsMatch(&notMatch, &same)) << row.pszName << " NOT";
    EXPECT_TRUE(VqxFilterParamsMatch(&notMatch, &other)) << row.pszName << " NOT";
    /* With every other bit selected too, only this field decides. */
    const _VQX_FILTER_PARAMS all = SetOf(VQX_FILTER_MASK_MATCH_ALL, ref);
    EXPECT_TRUE(VqxFilterParamsMatch(&all, &same)) << row.pszName;
    EXPECT_FALSE(VqxFilterParamsMatch(&all, &other)) << row.pszName;
    /* A bit and its NOT form together is refused at creation. */
    EXPECT_FALSE(VqxFilterMaskValid(row.un32Bit | (row.un32Bit << VQX_FILTER_MASK_NOT_SHIFT))) << row.pszName;
    EXPECT_TRUE(VqxFilterMaskValid(row.un32Bit | VQX_FILTER_MASK_EXCLUSIVE_ALL | VQX_FILTER_MASK_NEGATIVE));
  }
}

TEST(FilterMatch, TypeMaskIsAnOrOfTypes) {
  MsgFields f;
  _VQX_FILTER_PARAMS p = SetOf(VQX_FILTER_MASK_MSG_TYPE, f);
  p.MsgTypeMask = VQX_MSG_TYPE_REQUEST | VQX_MSG_TYPE_RESPONSE;
  const struct { u32 type; bool match; } rows[] = {{1, true}, {2, true}, {4, false}, {3, true}, {0, false}};
  for (const auto& r : rows) {
    f.MsgType = r.type;
    const _VQX_MSG_HEADER h = HeaderOf(f);
    EXPECT_EQ(VqxFilterParamsMatch(&p, &h), r.match) << "type " << r.type;
  }
}

TEST(FilterMatch, EmptyMaskMatchesEverything) {
  const _VQX_FILTER_PARAMS p = SetOf(0, MsgFields{});
  for (const MatchRow& row : kBits) {
    const _VQX_MSG_HEADER h = HeaderOf(Differ(row.un32Bit));
    EXPECT_TRUE(VqxFilterParamsMatch(&p, &h)) << row.pszName;
  }
}

class FilterTest : public HostLibTest {
 protected:
  VQX_MSG_HANDLE NewMsg(const MsgFields& f, u32 un32Payload = 8) {
    VQX_MSG_HANDLE hMsg = nullptr;
    EXPECT_EQ(VQXGetMsg(mhLib, un32Payload, &hMsg), VQX_RESULT_API_OK);
    hMsg->un32MsgId = f.un32MsgId;
    hMsg->MsgType = f.MsgType;
    hMsg->hAdapter = f.hAdapter;
    hMsg->un64UserContext1 = f.un64UserContext1;
    hMsg->un64UserContext2 = f.un64UserContext2;
    hMsg->un32PayloadLength = un32Payload;
    return hMsg;
  }
  VQX_RESULT Send(const MsgFields& f, u32 un32Payload = 8) {
    VQX_MSG_HANDLE hMsg = NewMsg(f, un32Payload);
    const VQX_RESULT result = VQXSendMsgEx(mhLib, &hMsg, nullptr);
    EXPECT_EQ(hMsg, nullptr);
    return result;
  }
  VQX_FILTER_HANDLE Create(std::initializer_list<_VQX_FILTER_PARAMS> sets) {
    std::vector<_VQX_FILTER_PARAMS> v(sets);
    VQX_FILTER_HANDLE h = nullptr;
    EXPECT_EQ(VQXCreateMsgFilterEx(mhLib, static_cast<u32>(v.size()), v.data(), &h), VQX_RESULT_API_OK);
    return h;
  }
  /* Number of messages the filter holds (taken and released). */
  u32 Drain(VQX_FILTER_HANDLE h) {
    u32 n = 0;
    VQX_MSG_HANDLE hMsg = nullptr;
    while (VQXReceiveMsg(mhLib, h, 0, &hMsg) == VQX_RESULT_API_OK) {
      EXPECT_EQ(VQXReleaseMsgEx(mhLib, &hMsg), VQX_RESULT_OK);
      n++;
    }
    return n;
  }
};

TEST_F(FilterTest, EachBitThroughLocalDelivery) {
  const MsgFields ref;
  for (const MatchRow& row : kBits) {
    if (row.un32Bit == VQX_FILTER_MASK_SERIAL) continue; /* the serial is the library's */
    VQX_FILTER_HANDLE hMatch = Create({SetOf(row.un32Bit, ref)});
    VQX_FILTER_HANDLE hNot = Create({SetOf(row.un32Bit << VQX_FILTER_MASK_NOT_SHIFT, ref)});
    MsgFields other = Differ(row.un32Bit);
    if (row.un32Bit == VQX_FILTER_MASK_ADAPTER) other.hAdapter = kLocal + 1;
    ASSERT_EQ(Send(ref), VQX_RESULT_API_OK) << row.pszName;
    ASSERT_EQ(Send(other), VQX_RESULT_API_OK) << row.pszName;
    EXPECT_EQ(Drain(hMatch), 1u) << row.pszName;
    EXPECT_EQ(Drain(hNot), 1u) << row.pszName;
    EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hMatch), VQX_RESULT_API_OK);
    EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hNot), VQX_RESULT_API_OK);
  }
}

TEST_F(FilterTest, ThreeTakersFirstTwoGetCopiesLastTheMessage) {
  const MsgFields ref;
  VQX_FILTER_HANDLE ah[3];
  for (auto& h : ah) h = Create({SetOf(VQX_FILTER_MASK_MSG_GROUP, ref)});
  VQX_MSG_HANDLE hMsg = NewMsg(ref, 16);
  VQXMsgPayload(hMsg)[12] = 0x5A;
  VQX_MSG_HANDLE hSent = hMsg;
  const u32 un32Serial = hMsg->un32SerialNumber;
  ASSERT_EQ(VQXSendMsgEx(mhLib, &hMsg, nullptr), VQX_RESULT_API_OK);
  VQX_MSG_HANDLE ahGot[3];
  for (int i = 0; i < 3; i++) {
    ASSERT_EQ(VQXReceiveMsg(mhLib, ah[i], 0, &ahGot[i]), VQX_RESULT_API_OK) << i;
    EXPECT_EQ(ahGot[i]->un32MsgId, kUserId);
    EXPECT_EQ(VQXMsgPayload(ahGot[i])[12], 0x5A) << i;
  }
  EXPECT_NE(ahGot[0], hSent);
  EXPECT_NE(ahGot[1], hSent);
  EXPECT_EQ(ahGot[2], hSent);
  EXPECT_NE(ahGot[0]->un32SerialNumber, un32Serial); /* copies are numbered anew */
  _VQX_LIB_STATS stats;
  ASSERT_EQ(VQXLibGetStats(mhLib, &stats), VQX_RESULT_API_OK);
  EXPECT_EQ(stats.RxMsgCopy, 2u);
  for (auto& m : ahGot) EXPECT_EQ(VQXReleaseMsgEx(mhLib, &m), VQX_RESULT_OK);
  for (auto& h : ah) EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
}

TEST_F(FilterTest, NegativeSetStoredFirstDecides) {
  const MsgFields ref;
  _VQX_FILTER_PARAMS neg = SetOf(VQX_FILTER_MASK_USER_CONTEXT1 | VQX_FILTER_MASK_NEGATIVE, ref);
  /* Given after the positive set, the negative one still wins. */
  VQX_FILTER_HANDLE h = Create({SetOf(VQX_FILTER_MASK_MSG_GROUP, ref), neg});
  ASSERT_EQ(Send(ref), VQX_RESULT_API_OK);
  MsgFields other = ref;
  other.un64UserContext1 = 0x9999;
  ASSERT_EQ(Send(other), VQX_RESULT_API_OK);
  VQX_MSG_HANDLE hMsg = nullptr;
  ASSERT_EQ(VQXReceiveMsg(mhLib, h, 0, &hMsg), VQX_RESULT_API_OK);
  EXPECT_EQ(hMsg->un64UserContext1, 0x9999u);
  EXPECT_EQ(VQXReleaseMsgEx(mhLib, &hMsg), VQX_RESULT_OK);
  EXPECT_EQ(VQXReceiveMsg(mhLib, h, 0, &hMsg), VQX_RESULT_API_TIMEOUT);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
}

TEST_F(FilterTest, CreationChecks) {
  _VQX_FILTER_PARAMS set = SetOf(VQX_FILTER_MASK_MSG_ID, MsgFields{});
  VQX_FILTER_HANDLE h = reinterpret_cast<VQX_FILTER_HANDLE>(1);
  const struct {
    const char* pszName;
    VQX_LIB_HANDLE hLib;
    u32 n;
    _VQX_FILTER_PARAMS* p;
    VQX_FILTER_HANDLE* ph;
    VQX_RESULT expected;
    const char* pszLine;
  } rows[] = {
      {"null lib", nullptr, 1, &set, &h, VQX_RESULT_API_INVALID_LIB_HANDLE, nullptr},
      {"null array", mhLib, 1, nullptr, &h, VQX_RESULT_API_NULL_PARAM, "in_aFilterParams is NULL"},
      {"null out", mhLib, 1, &set, nullptr, VQX_RESULT_API_NULL_PARAM, "out_phFilter is NULL"},
      {"count 0", mhLib, 0, &set, &h, VQX_RESULT_API_INVALID_PARAM, "No parameters in filter"},
      {"count 129", mhLib, 129, &set, &h, VQX_RESULT_API_INVALID_PARAM, "Too many parameters in filter"},
  };
  for (const auto& r : rows) {
    mLog.Clear();
    EXPECT_EQ(VQXCreateMsgFilterEx(r.hLib, r.n, r.p, r.ph), r.expected) << r.pszName;
    if (r.ph != nullptr) {
      EXPECT_EQ(*r.ph, nullptr) << r.pszName;
    }
    if (r.pszLine != nullptr) {
      EXPECT_TRUE(mLog.WaitFor(r.pszLine)) << r.pszName;
    }
  }
  for (const MatchRow& row : kBits) {
    set.un32Mask = row.un32Bit | (row.un32Bit << VQX_FILTER_MASK_NOT_SHIFT);
    EXPECT_EQ(VQXCreateMsgFilterEx(mhLib, 1, &set, &h), VQX_RESULT_API_INVALID_PARAM) << row.pszName;
  }
  EXPECT_TRUE(mLog.WaitFor("VQXCreateMsgFilter: Invalid filter mask"));
  /* 128 sets are accepted. */
  std::vector<_VQX_FILTER_PARAMS> many(128, SetOf(VQX_FILTER_MASK_MSG_ID, MsgFields{}));
  ASSERT_EQ(VQXCreateMsgFilterEx(mhLib, 128, many.data(), &h), VQX_RESULT_API_OK);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
  EXPECT_EQ(h, nullptr);
}

TEST_F(FilterTest, ReceiveChecksAndTimeoutZero) {
  VQX_FILTER_HANDLE h = Create({SetOf(VQX_FILTER_MASK_MSG_ID, MsgFields{})});
  VQX_MSG_HANDLE hMsg = nullptr;
  EXPECT_EQ(VQXReceiveMsg(nullptr, h, 0, &hMsg), VQX_RESULT_API_INVALID_LIB_HANDLE);
  EXPECT_EQ(VQXReceiveMsg(mhLib, nullptr, 0, &hMsg), VQX_RESULT_API_INVALID_FIL_HANDLE);
  EXPECT_EQ(VQXReceiveMsg(mhLib, h, 0, nullptr), VQX_RESULT_API_NULL_PARAM);
  EXPECT_EQ(VQXReceiveMsg(mhLib, h, 0, &hMsg), VQX_RESULT_API_TIMEOUT);
  EXPECT_EQ(hMsg, nullptr);
  _VQX_FILTER_STATS stats;
  ASSERT_EQ(VQXLibGetFilterStats(mhLib, h, &stats), VQX_RESULT_API_OK);
  EXPECT_EQ(stats.un64RxCallsWithoutMsg, 1u);
  VQX_FILTER_HANDLE hStale = h;
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
  /* A destroyed filter is refused, not read. */
  EXPECT_EQ(VQXReceiveMsg(mhLib, hStale, 0, &hMsg), VQX_RESULT_API_INVALID_FIL_HANDLE);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hStale), VQX_RESULT_API_INVALID_FIL_HANDLE);
}

TEST_F(FilterTest, ReceiveMultipleTakesUpTo16) {
  VQX_FILTER_HANDLE h = Create({SetOf(VQX_FILTER_MASK_MSG_ID, MsgFields{})});
  for (int i = 0; i < 20; i++) ASSERT_EQ(Send(MsgFields{}), VQX_RESULT_API_OK);
  VQX_MSG_HANDLE ah[VQX_RECEIVE_MULTIPLE_MAX];
  u32 n = 0;
  ASSERT_EQ(VQXReceiveMsgMultiple(mhLib, h, 0, &n, ah), VQX_RESULT_API_OK);
  EXPECT_EQ(n, 16u);
  for (u32 i = 0; i < n; i++) EXPECT_EQ(VQXReleaseMsgEx(mhLib, &ah[i]), VQX_RESULT_OK);
  ASSERT_EQ(VQXReceiveMsgMultiple(mhLib, h, 0, &n, ah), VQX_RESULT_API_OK);
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(ah[4], nullptr);
  for (u32 i = 0; i < n; i++) EXPECT_EQ(VQXReleaseMsgEx(mhLib, &ah[i]), VQX_RESULT_OK);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
}

TEST_F(FilterTest, FlushKeepsOtherPeersInOrder) {
  VQX_FILTER_HANDLE h = Create({SetOf(VQX_FILTER_MASK_MSG_GROUP, MsgFields{})});
  for (u32 i = 0; i < 6; i++) {
    MsgFields f;
    f.hAdapter = kLocal + (i % 2);
    f.un64UserContext1 = i;
    ASSERT_EQ(Send(f), VQX_RESULT_API_OK);
  }
  u32 n = 0;
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
  ASSERT_EQ(VqxFilterFlush(mhLib, h, &n, kLocal + 1), VQX_RESULT_API_OK);
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
  EXPECT_EQ(n, 3u);
  for (u64 expected : {0u, 2u, 4u}) {
    VQX_MSG_HANDLE hMsg = nullptr;
    ASSERT_EQ(VQXReceiveMsg(mhLib, h, 0, &hMsg), VQX_RESULT_API_OK);
    EXPECT_EQ(hMsg->un64UserContext1, expected);
    EXPECT_EQ(VQXReleaseMsgEx(mhLib, &hMsg), VQX_RESULT_OK);
  }
  ASSERT_EQ(Send(MsgFields{}), VQX_RESULT_API_OK);
  ASSERT_EQ(VQXFlushMsgs(mhLib, h, &n), VQX_RESULT_API_OK);
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
}

TEST_F(FilterTest, DestroyWithFreshMessagesIsSuccess) {
  VQX_FILTER_HANDLE h = Create({SetOf(VQX_FILTER_MASK_MSG_GROUP, MsgFields{})});
  ASSERT_EQ(Send(MsgFields{}), VQX_RESULT_API_OK);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
  _VQX_LIB_STATS stats;
  ASSERT_EQ(VQXLibGetStats(mhLib, &stats), VQX_RESULT_API_OK);
  EXPECT_EQ(stats.FilterAlloc, 1u);
  EXPECT_EQ(stats.FilterFreed, 1u);
  EXPECT_EQ(stats.FilterOwned, 0u);
}

TEST_F(FilterTest, DestroyWithStaleMessagesWarns) {
  VQX_FILTER_HANDLE h = Create({SetOf(VQX_FILTER_MASK_MSG_GROUP, MsgFields{})});
  ASSERT_EQ(Send(MsgFields{}), VQX_RESULT_API_OK);
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
  h->un64LastReadTick -= 6000; /* as if unread for 6 s */
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_FILTER_FREED_W_MSG_IN_Q);
}

TEST_F(FilterTest, LeakWatchWarnsAtMostOncePerFiveSeconds) {
  VQX_FILTER_HANDLE h = Create({SetOf(VQX_FILTER_MASK_MSG_GROUP, MsgFields{})});
  ASSERT_EQ(Send(MsgFields{}), VQX_RESULT_API_OK);
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
  h->un64LastReadTick -= 6000;
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
  ASSERT_EQ(Send(MsgFields{}), VQX_RESULT_API_OK);
  ASSERT_EQ(Send(MsgFields{}), VQX_RESULT_API_OK);
  ASSERT_TRUE(mLog.WaitFor("Possible leak (1) Msg waiting in filter"));
  EXPECT_EQ(mLog.Count("Possible leak"), 1u);
  EXPECT_EQ(mLog.Count("Use VQX_API_DEBUG to know which file/line"), 1u);
  EXPECT_EQ(Drain(h), 3u);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
}

TEST_F(FilterTest, ImplicitFilterTakesTheResponseOnlyOnce) {
  /* A request to a local destination with an awaited-response filter. */
  MsgFields req;
  req.MsgType = VQX_MSG_TYPE_REQUEST;
  VQX_FILTER_HANDLE hServer = Create({SetOf(VQX_FILTER_MASK_MSG_TYPE, req)});
  VQX_MSG_HANDLE hMsg = NewMsg(req);
  VQX_FILTER_HANDLE hImplicit = nullptr;
  ASSERT_EQ(VQXSendMsgEx(mhLib, &hMsg, &hImplicit), VQX_RESULT_API_OK);
  ASSERT_NE(hImplicit, nullptr);
  VQX_MSG_HANDLE hReq = nullptr;
  ASSERT_EQ(VQXReceiveMsg(mhLib, hServer, 0, &hReq), VQX_RESULT_API_OK);
  /* Two responses carrying the request's serial: the second is dropped and recorded. */
  for (int i = 0; i < 2; i++) {
    VQX_MSG_HANDLE hRsp = NewMsg(MsgFields{});
    hRsp->MsgType = VQX_MSG_TYPE_RESPONSE;
    hRsp->un32SerialNumber = hReq->un32SerialNumber;
    ASSERT_EQ(VQXSendMsgEx(mhLib, &hRsp, nullptr), VQX_RESULT_API_OK);
  }
  EXPECT_EQ(VQXReleaseMsgEx(mhLib, &hReq), VQX_RESULT_OK);
  _VQX_FILTER_STATS stats;
  ASSERT_EQ(VQXLibGetFilterStats(mhLib, hImplicit, &stats), VQX_RESULT_API_OK);
  EXPECT_EQ(stats.un32NbMsgWaiting, 1u);
  EXPECT_EQ(stats.fLostMessages, 1u);
  EXPECT_EQ(stats.LossResult, VQX_RESULT_API_RXFIFO_OVERFLOW);
  EXPECT_TRUE(mLog.WaitFor("ERROR: VQX_FIFO_PUT: fifo is FULL. Dropping message 0x6000010"));
  VQX_MSG_HANDLE hRsp = nullptr;
  ASSERT_EQ(VQXReceiveMsg(mhLib, hImplicit, 0, &hRsp), VQX_RESULT_API_OK);
  EXPECT_EQ(hRsp->MsgType, static_cast<u32>(VQX_MSG_TYPE_RESPONSE));
  EXPECT_EQ(VQXReleaseMsgEx(mhLib, &hRsp), VQX_RESULT_OK);
  /* The server's ordinary filter (type: requests) saw no response. */
  EXPECT_EQ(Drain(hServer), 0u);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hImplicit), VQX_RESULT_API_OK);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hServer), VQX_RESULT_API_OK);
  _VQX_LIB_STATS lib;
  ASSERT_EQ(VQXLibGetStats(mhLib, &lib), VQX_RESULT_API_OK);
  EXPECT_EQ(lib.ImpFilterAlloc, 1u);
  EXPECT_EQ(lib.ImpFilterFreed, 1u);
  EXPECT_EQ(lib.RxMsgDroppedFilter, 1u);
}

TEST_F(FilterTest, AwaitedPeerGoneWakesImplicitFilter) {
  VQX_MSG_HANDLE hMsg = NewMsg(MsgFields{});
  hMsg->MsgType = VQX_MSG_TYPE_REQUEST;
  VQX_FILTER_HANDLE hImplicit = nullptr;
  ASSERT_EQ(VQXSendMsgEx(mhLib, &hMsg, &hImplicit), VQX_RESULT_API_OK);
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
  VqxHostAwakeImplictitFilters(mhLib, kLocal);
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
  VQX_MSG_HANDLE hRsp = nullptr;
  EXPECT_EQ(VQXReceiveMsg(mhLib, hImplicit, 1000, &hRsp), VQX_RESULT_API_ADA_NOT_READY);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hImplicit), VQX_RESULT_API_OK);
}

TEST_F(FilterTest, ModifyReplacesSetsKeepsQueue) {
  MsgFields a;
  VQX_FILTER_HANDLE h = Create({SetOf(VQX_FILTER_MASK_USER_CONTEXT1, a)});
  ASSERT_EQ(Send(a), VQX_RESULT_API_OK);
  MsgFields b;
  b.un64UserContext1 = 0xBBBB;
  _VQX_FILTER_PARAMS set = SetOf(VQX_FILTER_MASK_USER_CONTEXT1, b);
  ASSERT_EQ(VQXModifyMsgFilter(mhLib, h, 1, &set, nullptr), VQX_RESULT_API_OK);
  ASSERT_EQ(Send(a), VQX_RESULT_API_OK);
  ASSERT_EQ(Send(b), VQX_RESULT_API_OK);
  EXPECT_EQ(Drain(h), 2u);
  const struct { u32 n; _VQX_FILTER_PARAMS* p; u32 max; VQX_RESULT expected; } rows[] = {
      {1, nullptr, 0, VQX_RESULT_API_INVALID_PARAM},
      {129, &set, 0, VQX_RESULT_API_INVALID_PARAM},
  };
  for (const auto& r : rows) EXPECT_EQ(VQXModifyMsgFilter(mhLib, h, r.n, r.p, nullptr), r.expected);
  _VQX_FILTER_CALLBACK_PARAMS cb{};
  cb.pFctFilterMsgReceived = [](void*, VQX_LIB_HANDLE, VQX_FILTER_HANDLE, u32*, VQX_MSG_HANDLE*) {};
  cb.un32FilterMaxMsgPerCallback = 0;
  EXPECT_EQ(VQXModifyMsgFilter(mhLib, h, 0, nullptr, &cb), VQX_RESULT_API_INVALID_PARAM);
  cb.un32FilterMaxMsgPerCallback = 1025;
  EXPECT_EQ(VQXModifyMsgFilter(mhLib, h, 0, nullptr, &cb), VQX_RESULT_API_INVALID_PARAM);
  EXPECT_EQ(VQXModifyMsgFilter(mhLib, nullptr, 0, nullptr, nullptr), VQX_RESULT_API_NULL_PARAM);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
}

TEST_F(FilterTest, PostedCallbackHearsQueuedMessagesThenNewOnes) {
  VQX_FILTER_HANDLE h = Create({SetOf(VQX_FILTER_MASK_MSG_GROUP, MsgFields{})});
  for (u64 i = 1; i <= 2; i++) {
    MsgFields f;
    f.un64UserContext2 = i;
    ASSERT_EQ(Send(f), VQX_RESULT_API_OK);
  }
  std::vector<u64> seen;
  _VQX_FILTER_CALLBACK_PARAMS cb{};
  cb.pFctFilterMsgPosted = [](void* pv, VQX_LIB_HANDLE, VQX_FILTER_HANDLE, const _VQX_FILTER_POSTED_INFO* p) {
    static_cast<std::vector<u64>*>(pv)->push_back(p->un64UserContext2);
  };
  cb.pvFilterMsgPostedContext = &seen;
  ASSERT_EQ(VQXModifyMsgFilter(mhLib, h, 0, nullptr, &cb), VQX_RESULT_API_OK);
  MsgFields f;
  f.un64UserContext2 = 3;
  ASSERT_EQ(Send(f), VQX_RESULT_API_OK);
  EXPECT_EQ(seen, (std::vector<u64>{1, 2, 3}));
  EXPECT_EQ(Drain(h), 3u);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
}

}  // namespace

namespace {

class FilterStaleTest : public HostLibTest {};

TEST_F(FilterStaleTest, StaleImplicitHandleIsRefusedNotChainedTwice) {
  VQX_MSG_HANDLE hMsg = nullptr;
  ASSERT_EQ(VQXGetMsg(mhLib, 8, &hMsg), VQX_RESULT_API_OK);
  hMsg->un32MsgId = 0x06000001u;
  hMsg->MsgType = VQX_MSG_TYPE_REQUEST;
  hMsg->hAdapter = 0xDA000001u;
  VQX_FILTER_HANDLE hImplicit = nullptr;
  ASSERT_EQ(VQXSendMsgEx(mhLib, &hMsg, &hImplicit), VQX_RESULT_API_OK);
  VQX_FILTER_HANDLE hStale = hImplicit;
  ASSERT_EQ(VQXDestroyMsgFilterEx(mhLib, &hImplicit), VQX_RESULT_API_OK);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hStale), VQX_RESULT_API_INVALID_FIL_HANDLE);
  /* The free list holds it once: two awaited responses get two different filters. */
  VQX_FILTER_HANDLE ah[2] = {};
  for (auto& h : ah) {
    ASSERT_EQ(VQXGetMsg(mhLib, 8, &hMsg), VQX_RESULT_API_OK);
    hMsg->un32MsgId = 0x06000001u;
    hMsg->MsgType = VQX_MSG_TYPE_REQUEST;
    hMsg->hAdapter = 0xDA000001u;
    ASSERT_EQ(VQXSendMsgEx(mhLib, &hMsg, &h), VQX_RESULT_API_OK);
  }
  EXPECT_NE(ah[0], ah[1]);
  for (auto& h : ah) EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
}

TEST_F(FilterStaleTest, FlushAdapterFreesOnePeersMessages) {
  _VQX_FILTER_PARAMS sets[2] = {};
  sets[0].un32Mask = VQX_FILTER_MASK_MSG_ID;
  sets[0].MsgId = 0x06000001u;
  sets[1].un32Mask = VQX_FILTER_MASK_MSG_ID;
  sets[1].MsgId = 0x06000002u;
  VQX_FILTER_HANDLE h = nullptr;
  ASSERT_EQ(VQXCreateMsgFilterEx(mhLib, 2, sets, &h), VQX_RESULT_API_OK);
  for (u32 i = 0; i < 4; i++) {
    VQX_MSG_HANDLE hMsg = nullptr;
    ASSERT_EQ(VQXGetMsg(mhLib, 8, &hMsg), VQX_RESULT_API_OK);
    hMsg->un32MsgId = 0x06000001u + (i % 2);
    hMsg->MsgType = VQX_MSG_TYPE_EVENT;
    hMsg->hAdapter = 0xDA000001u + (i / 2);
    ASSERT_EQ(VQXSendMsgEx(mhLib, &hMsg, nullptr), VQX_RESULT_API_OK);
  }
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
  EXPECT_EQ(VqxFiltersFlushAdapter(mhLib, 0xDA000001u, VqxFilterLib(mhLib)->pActiveFirst), VQX_RESULT_API_OK);
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
  VQX_MSG_HANDLE hGot = nullptr;
  for (int i = 0; i < 2; i++) {
    ASSERT_EQ(VQXReceiveMsg(mhLib, h, 0, &hGot), VQX_RESULT_API_OK);
    EXPECT_EQ(hGot->hAdapter, 0xDA000002u);
    VQXReleaseMsgEx(mhLib, &hGot);
  }
  EXPECT_EQ(VQXReceiveMsg(mhLib, h, 0, &hGot), VQX_RESULT_API_TIMEOUT);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
}

}  // namespace
