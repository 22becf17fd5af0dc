/*
 * test_filter_mt.cpp - filters: matching (every mask bit, both forms, the type mask), negative sets,
 * several takers, creation and receive checks, flush, leak watch, modify, posted callbacks, awaited
 * responses; exclusive claims (conflict table, priority, modify); destroy while
 * readers are blocked (the record outlives every reader, the last one out frees it); and the send hook
 * on reads of remote hosts' messages.
 */
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <sstream>
#include <thread>

#include "test_peer_util.h"

namespace {

constexpr u32 kDestroyId = 0x06000021u;
using Clock = std::chrono::steady_clock;

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
  _VQX_FILTER_PARAMS p = FilterSet(un32Mask, f.un32MsgId, f.hAdapter);
  p.MsgTypeMask = f.MsgType;
  p.un32SerialNumber = f.un32SerialNumber;
  p.un64UserContext1 = f.un64UserContext1;
  p.un64UserContext2 = f.un64UserContext2;
  return p;
}

/* One row per mask bit: a message differing from the reference in exactly that field. */
struct BitRow { const char* pszName; u32 un32Bit; void (*pFctDiffer)(MsgFields&); };
const BitRow kBits[] = {
    {"adapter", VQX_FILTER_MASK_ADAPTER, [](MsgFields& f) { f.hAdapter = kLocal + 1; }},
    {"type", VQX_FILTER_MASK_MSG_TYPE, [](MsgFields& f) { f.MsgType = VQX_MSG_TYPE_REQUEST; }},
    {"id", VQX_FILTER_MASK_MSG_ID, [](MsgFields& f) { f.un32MsgId = kUserId + 1; }},
    {"group", VQX_FILTER_MASK_MSG_GROUP, [](MsgFields& f) { f.un32MsgId = 0x06010010u; }},
    {"serial", VQX_FILTER_MASK_SERIAL, [](MsgFields& f) { f.un32SerialNumber = 8; }},
    {"context1", VQX_FILTER_MASK_USER_CONTEXT1, [](MsgFields& f) { f.un64UserContext1 = 0x1112; }},
    {"context2", VQX_FILTER_MASK_USER_CONTEXT2, [](MsgFields& f) { f.un64UserContext2 = 0x2223; }},
};
MsgFields Differ(const BitRow& row) {
  MsgFields f;
  row.pFctDiffer(f);
  return f;
}

TEST(FilterMatch, EveryBitBothFormsAndTheTypeMask) {
  const MsgFields ref;
  const _VQX_MSG_HEADER same = HeaderOf(ref);
  for (const BitRow& row : kBits) {
    SCOPED_TRACE(row.pszName);
    const _VQX_MSG_HEADER other = HeaderOf(Differ(row));
    const _VQX_FILTER_PARAMS match = SetOf(row.un32Bit, ref);
    const _VQX_FILTER_PARAMS notMatch = SetOf(row.un32Bit << VQX_FILTER_MASK_NOT_SHIFT, ref);
    const _VQX_FILTER_PARAMS all = SetOf(VQX_FILTER_MASK_MATCH_ALL, ref);
    const _VQX_FILTER_PARAMS none = SetOf(0, ref);
    EXPECT_TRUE(VqxFilterParamsMatch(&match, &same));
    EXPECT_FALSE(VqxFilterParamsMatch(&match, &other));
    EXPECT_FALSE(VqxFilterParamsMatch(&notMatch, &same));
    EXPECT_TRUE(VqxFilterParamsMatch(&notMatch, &other));
    EXPECT_TRUE(VqxFilterParamsMatch(&all, &same)) << "every bit selected: this field decides";
    EXPECT_FALSE(VqxFilterParamsMatch(&all, &other));
    EXPECT_TRUE(VqxFilterParamsMatch(&none, &other)) << "empty mask matches everything";
    EXPECT_FALSE(VqxFilterMaskValid(row.un32Bit | (row.un32Bit << VQX_FILTER_MASK_NOT_SHIFT))) << "bit and NOT";
    EXPECT_TRUE(VqxFilterMaskValid(row.un32Bit | VQX_FILTER_MASK_EXCLUSIVE_ALL | VQX_FILTER_MASK_NEGATIVE));
  }
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

constexpr u32 kGroup = 0x0600u;
constexpr u32 kId = 0x06000001u;

_VQX_FILTER_PARAMS Set(u32 un32Mask, u32 hAdapter = kLocal, u32 un32Group = kGroup, u64 uc1 = 0x11, u64 uc2 = 0x22) {
  _VQX_FILTER_PARAMS p = FilterSet(un32Mask, 0, hAdapter);
  p.MsgGroup = un32Group;
  p.un64UserContext1 = uc1;
  p.un64UserContext2 = uc2;
  return p;
}

constexpr u32 XA = VQX_FILTER_MASK_EXCLUSIVE_ADAPTER;
constexpr u32 XG = VQX_FILTER_MASK_EXCLUSIVE_MSG_GROUP;
constexpr u32 X1 = VQX_FILTER_MASK_EXCLUSIVE_USER_CONTEXT1;
constexpr u32 X2 = VQX_FILTER_MASK_EXCLUSIVE_USER_CONTEXT2;
constexpr u32 MA = VQX_FILTER_MASK_ADAPTER;
constexpr u32 MG = VQX_FILTER_MASK_MSG_GROUP;
constexpr u32 M1 = VQX_FILTER_MASK_USER_CONTEXT1;
constexpr u32 M2 = VQX_FILTER_MASK_USER_CONTEXT2;

/* A set of tests/data/filter_conflicts.txt: mask bits joined by '+', then optionally group, context 1, context 2. */
_VQX_FILTER_PARAMS SetOfText(const std::string& text) {
  static const std::map<std::string, u32> kBitsByName = {{"XA", XA}, {"XG", XG}, {"X1", X1}, {"X2", X2}, {"MA", MA},
                                                        {"MG", MG}, {"M1", M1}, {"M2", M2}, {"NG", VQX_FILTER_MASK_NOT_MSG_GROUP}};
  std::istringstream in(text);
  std::string mask, field;
  in >> mask;
  u32 un32Mask = 0;
  for (size_t start = 0; start < mask.size(); start += 3) un32Mask |= kBitsByName.at(mask.substr(start, 2));
  u64 aun64[3] = {kGroup, 0x11, 0x22};
  for (size_t i = 0; i < 3 && in >> field; i++) aun64[i] = DataNum(field);
  return Set(un32Mask, kLocal, static_cast<u32>(aun64[0]), aun64[1], aun64[2]);
}

/* Holds readers of one filter after their wake-up, before they take the lock back, until let go. */
class ReaderGate {
 public:
  static ReaderGate& Get() {
    static ReaderGate gate;
    return gate;
  }
  void Arm(VQX_FILTER_HANDLE hFilter) {
    std::lock_guard<std::mutex> lock(mMutex);
    mhFilter = hFilter;
    mun32Held = 0;
    mun32Passes = 0;
    VqxFilterSetReaderWokenHook(&ReaderGate::Hook);
  }
  void Disarm() {
    VqxFilterSetReaderWokenHook(nullptr);
    std::lock_guard<std::mutex> lock(mMutex);
    mhFilter = nullptr;
    mun32Passes = 1000;
    mCond.notify_all();
  }
  /* Lets n held readers go on. */
  void Let(u32 n) {
    std::lock_guard<std::mutex> lock(mMutex);
    mun32Passes += n;
    mCond.notify_all();
  }
  bool WaitHeld(u32 n) {
    std::unique_lock<std::mutex> lock(mMutex);
    return mCond.wait_for(lock, std::chrono::seconds(10), [&] { return mun32Held >= n; });
  }

 private:
  static void Hook(VQX_FILTER_HANDLE hFilter) {
    ReaderGate& g = Get();
    std::unique_lock<std::mutex> lock(g.mMutex);
    if (hFilter != g.mhFilter) return;
    g.mun32Held++;
    g.mCond.notify_all();
    g.mCond.wait_for(lock, std::chrono::seconds(10), [&] { return g.mun32Passes != 0; });
    if (g.mun32Passes != 0) g.mun32Passes--;
  }
  std::mutex mMutex;
  std::condition_variable mCond;
  VQX_FILTER_HANDLE mhFilter = nullptr;
  u32 mun32Held = 0;
  u32 mun32Passes = 0;
};

constexpr u32 kBoard = 0xCA00000Au;
constexpr u32 kHost = 0xCB00000Cu;

struct HookLog { std::vector<u32> Ids; };
void OnSendHook(void* pv, VQX_LIB_HANDLE, VQX_MSG_HANDLE hMsg) { static_cast<HookLog*>(pv)->Ids.push_back(hMsg->un32MsgId); }

/* One library per test; the peer tests' send stand-in is harmless when no peer exists. */
class FilterTest : public PeerTest {
 protected:
  void TearDown() override {
    ReaderGate::Get().Disarm();
    PeerTest::TearDown();
  }
  VQX_MSG_HANDLE Msg(const MsgFields& f, u32 un32Payload = 8) {
    VQX_MSG_HANDLE hMsg = NewMsg(f.un32MsgId, f.hAdapter, un32Payload, f.MsgType);
    hMsg->un64UserContext1 = f.un64UserContext1;
    hMsg->un64UserContext2 = f.un64UserContext2;
    return hMsg;
  }
  VQX_RESULT SendF(const MsgFields& f) {
    VQX_MSG_HANDLE hMsg = Msg(f);
    return VQXSendMsgEx(mhLib, &hMsg, nullptr);
  }
  VQX_FILTER_HANDLE Group() { return Filter({SetOf(VQX_FILTER_MASK_MSG_GROUP, MsgFields{})}); }
  VQX_FILTER_HANDLE IdFilter() { return Filter({FilterSet(VQX_FILTER_MASK_MSG_ID, kDestroyId)}); }
  VQX_FILTER_HANDLE Create(_VQX_FILTER_PARAMS set, VQX_RESULT expected = VQX_RESULT_API_OK) {
    VQX_FILTER_HANDLE h = nullptr;
    EXPECT_EQ(VQXCreateMsgFilterEx(mhLib, 1, &set, &h), expected);
    return h;
  }
  void Destroy(VQX_FILTER_HANDLE* ph) {
    if (*ph != nullptr) { EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, ph), VQX_RESULT_API_OK); }
  }
  /* A request to kLocal with an awaited-response filter. */
  VQX_FILTER_HANDLE Request(VQX_FILTER_HANDLE* phImplicit) {
    VQX_MSG_HANDLE hMsg = NewMsg(kUserId, kLocal, 8, VQX_MSG_TYPE_REQUEST);
    EXPECT_EQ(VQXSendMsgEx(mhLib, &hMsg, phImplicit), VQX_RESULT_API_OK);
    return *phImplicit;
  }
  /* The library goes on working while readers of the destroyed filter are held. */
  void UseLibrary() {
    VQX_FILTER_HANDLE h = IdFilter();
    ASSERT_EQ(Send(kDestroyId, kLocal), VQX_RESULT_API_OK);
    EXPECT_EQ(Drain(h), 1u);
    Destroy(&h);
  }
  /* A message received from a peer, handed to the filters as the receive path does. */
  VQX_RESULT Receive(u32 hFrom, u32 un32Id, u32 un32FixedTwo = 2) {
    VQX_MSG_HANDLE hMsg = NewMsg(un32Id, hFrom);
    hMsg->un32FixedTwo = un32FixedTwo;
    return Locked(mhLib, [&] { return VqxFilterApply(mhLib, &hMsg, nullptr); });
  }
};

/* Per source: the peer's messages waiting in filters pass the watermark once (flow control asked, one
 * warning) and clear it at half the receive fifo; a flush counts as taking them. */
TEST_F(FilterTest, ReceiveWatermarkWarnsOnceAndClearsAtHalf) {
  /* A receive fifo of 6: watermark (2 x 6 + 4) / 3 = 5, cleared at 3. */
  Reopen([](_VQX_LIB_PARAMS& p) { p.un32ReceiveFifoSize = 6; });
  ASSERT_EQ(UpBoard(kBoard, "SN-A"), VQX_RESULT_API_OK);
  VQX_FILTER_HANDLE h = Group();
  const struct { u32 un32After, fRequested; } rows[] = {{1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}, {6, 1}, {7, 1}};
  for (const auto& r : rows) {
    ASSERT_EQ(Receive(kBoard, 0x06000001), VQX_RESULT_API_OK);
    VQX_PEER* pPeer = Peer(kBoard);
    ASSERT_NE(pPeer, nullptr);
    EXPECT_EQ(std::make_pair(pPeer->un32MsgsInFilters, pPeer->un32FlowLevelRequested),
              std::make_pair(r.un32After, r.fRequested)) << r.un32After;
  }
  ASSERT_TRUE(mLog.WaitFor("WARNING: High watermark passed for "));
  EXPECT_EQ(mLog.Count("(5 Rx msg pending in filters, max is 6)"), 1u);
  EXPECT_EQ(Drain(h, 3), 3u);
  EXPECT_EQ(Peer(kBoard)->un32FlowLevelRequested, 1u) << "down to 4: still asked";
  EXPECT_EQ(Drain(h, 1), 1u);
  EXPECT_EQ(Peer(kBoard)->un32FlowLevelRequested, 0u) << "down to 3: cleared";
  EXPECT_TRUE(mLog.WaitFor("NOTE: High watermark warning cleared for "));
  EXPECT_EQ(mLog.Count("(now down to 3 Rx msg pending in filters)"), 1u);
  ASSERT_EQ(VQXFlushMsgs(mhLib, h, nullptr), VQX_RESULT_API_OK);
  EXPECT_EQ(Peer(kBoard)->un32MsgsInFilters, 0u);
}

TEST_F(FilterTest, ThreeTakersFirstTwoGetCopiesLastTheMessage) {
  VQX_FILTER_HANDLE ah[3] = {Group(), Group(), Group()};
  VQX_MSG_HANDLE hMsg = Msg(MsgFields{}, 16);
  VQXMsgPayload(hMsg)[12] = 0x5A;
  VQX_MSG_HANDLE hSent = hMsg;
  const u32 un32Serial = hMsg->un32SerialNumber;
  ASSERT_EQ(VQXSendMsgEx(mhLib, &hMsg, nullptr), VQX_RESULT_API_OK);
  VQX_MSG_HANDLE ahGot[3];
  for (int i = 0; i < 3; i++) {
    ASSERT_EQ(VQXReceiveMsg(mhLib, ah[i], 0, &ahGot[i]), VQX_RESULT_API_OK) << i;
    EXPECT_EQ(VQXMsgPayload(ahGot[i])[12], 0x5A) << i;
    EXPECT_EQ(ahGot[i] == hSent, i == 2) << i;
  }
  EXPECT_NE(ahGot[0]->un32SerialNumber, un32Serial) << "copies are numbered anew";
  EXPECT_EQ(LibStats(mhLib).RxMsgCopy, 2u);
  for (auto& m : ahGot) EXPECT_EQ(VQXReleaseMsgEx(mhLib, &m), VQX_RESULT_OK);
}

TEST_F(FilterTest, NegativeSetStoredFirstDecides) {
  const MsgFields ref;
  MsgFields other = ref;
  other.un64UserContext1 = 0x9999;
  /* Given after the positive set, the negative one still wins. */
  VQX_FILTER_HANDLE h = Filter(
      {SetOf(VQX_FILTER_MASK_MSG_GROUP, ref), SetOf(VQX_FILTER_MASK_USER_CONTEXT1 | VQX_FILTER_MASK_NEGATIVE, ref)});
  ASSERT_EQ(SendF(ref), VQX_RESULT_API_OK);
  ASSERT_EQ(SendF(other), VQX_RESULT_API_OK);
  VQX_MSG_HANDLE hMsg = nullptr;
  ASSERT_EQ(VQXReceiveMsg(mhLib, h, 0, &hMsg), VQX_RESULT_API_OK);
  EXPECT_EQ(hMsg->un64UserContext1, 0x9999u);
  EXPECT_EQ(VQXReleaseMsgEx(mhLib, &hMsg), VQX_RESULT_OK);
  EXPECT_EQ(Drain(h), 0u);
}

TEST_F(FilterTest, CreationChecks) {
  _VQX_FILTER_PARAMS set = SetOf(VQX_FILTER_MASK_MSG_ID, MsgFields{});
  VQX_FILTER_HANDLE h = reinterpret_cast<VQX_FILTER_HANDLE>(1);
  const struct { const char* pszName; VQX_LIB_HANDLE hLib; u32 n; _VQX_FILTER_PARAMS* p; VQX_FILTER_HANDLE* ph;
                 VQX_RESULT expected; const char* pszLine; } rows[] = {
      {"null lib", nullptr, 1, &set, &h, VQX_RESULT_API_INVALID_LIB_HANDLE, nullptr},
      {"null array", mhLib, 1, nullptr, &h, VQX_RESULT_API_NULL_PARAM, "in_aFilterParams is NULL"},
      {"null out", mhLib, 1, &set, nullptr, VQX_RESULT_API_NULL_PARAM, "out_phFilter is NULL"},
      {"count 0", mhLib, 0, &set, &h, VQX_RESULT_API_INVALID_PARAM, "No parameters in filter"},
      {"count 129", mhLib, 129, &set, &h, VQX_RESULT_API_INVALID_PARAM, "Too many parameters in filter"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(VQXCreateMsgFilterEx(r.hLib, r.n, r.p, r.ph), r.expected) << r.pszName;
    if (r.ph != nullptr) { EXPECT_EQ(*r.ph, nullptr) << r.pszName; }
    if (r.pszLine != nullptr) { EXPECT_TRUE(mLog.WaitFor(r.pszLine)) << r.pszName; }
  }
  set.un32Mask = VQX_FILTER_MASK_MSG_ID | (VQX_FILTER_MASK_MSG_ID << VQX_FILTER_MASK_NOT_SHIFT);
  EXPECT_EQ(VQXCreateMsgFilterEx(mhLib, 1, &set, &h), VQX_RESULT_API_INVALID_PARAM);
  EXPECT_TRUE(mLog.WaitFor("VQXCreateMsgFilter: Invalid filter mask"));
  std::vector<_VQX_FILTER_PARAMS> many(128, SetOf(VQX_FILTER_MASK_MSG_ID, MsgFields{}));
  ASSERT_EQ(VQXCreateMsgFilterEx(mhLib, 128, many.data(), &h), VQX_RESULT_API_OK) << "128 sets";
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
  EXPECT_EQ(h, nullptr);
}

TEST_F(FilterTest, ReceiveChecksTimeoutZeroAndMultipleUpTo16) {
  VQX_FILTER_HANDLE h = Group();
  VQX_MSG_HANDLE hMsg = nullptr;
  EXPECT_EQ(VQXReceiveMsg(nullptr, h, 0, &hMsg), VQX_RESULT_API_INVALID_LIB_HANDLE);
  EXPECT_EQ(VQXReceiveMsg(mhLib, nullptr, 0, &hMsg), VQX_RESULT_API_INVALID_FIL_HANDLE);
  EXPECT_EQ(VQXReceiveMsg(mhLib, h, 0, nullptr), VQX_RESULT_API_NULL_PARAM);
  EXPECT_EQ(VQXReceiveMsg(mhLib, h, 0, &hMsg), VQX_RESULT_API_TIMEOUT);
  EXPECT_EQ(hMsg, nullptr);
  _VQX_FILTER_STATS fs;
  ASSERT_EQ(VQXLibGetFilterStats(mhLib, h, &fs), VQX_RESULT_API_OK);
  EXPECT_EQ(fs.un64RxCallsWithoutMsg, 1u);
  for (int i = 0; i < 20; i++) ASSERT_EQ(SendF(MsgFields{}), VQX_RESULT_API_OK);
  VQX_MSG_HANDLE ah[VQX_RECEIVE_MULTIPLE_MAX];
  for (u32 un32Expected : {16u, 4u}) {
    u32 n = 0;
    ASSERT_EQ(VQXReceiveMsgMultiple(mhLib, h, 0, &n, ah), VQX_RESULT_API_OK);
    EXPECT_EQ(n, un32Expected);
    for (u32 i = 0; i < n; i++) EXPECT_EQ(VQXReleaseMsgEx(mhLib, &ah[i]), VQX_RESULT_OK);
  }
  EXPECT_EQ(ah[4], nullptr);
  VQX_FILTER_HANDLE hStale = h;
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
  /* A destroyed filter is refused, not read. */
  EXPECT_EQ(VQXReceiveMsg(mhLib, hStale, 0, &hMsg), VQX_RESULT_API_INVALID_FIL_HANDLE);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hStale), VQX_RESULT_API_INVALID_FIL_HANDLE);
}

TEST_F(FilterTest, FlushOnePeerKeepsTheOthersInOrder) {
  VQX_FILTER_HANDLE h = Group();
  for (u32 i = 0; i < 6; i++) {
    MsgFields f;
    f.hAdapter = kLocal + (i % 2);
    f.un64UserContext1 = i;
    ASSERT_EQ(SendF(f), VQX_RESULT_API_OK);
  }
  u32 n = 0;
  ASSERT_EQ(Locked(mhLib, [&] { return VqxFilterFlush(mhLib, h, &n, kLocal + 1); }), VQX_RESULT_API_OK);
  EXPECT_EQ(n, 3u);
  for (u64 expected : {0u, 2u, 4u}) {
    VQX_MSG_HANDLE hMsg = nullptr;
    ASSERT_EQ(VQXReceiveMsg(mhLib, h, 0, &hMsg), VQX_RESULT_API_OK);
    EXPECT_EQ(hMsg->un64UserContext1, expected);
    EXPECT_EQ(VQXReleaseMsgEx(mhLib, &hMsg), VQX_RESULT_OK);
  }
  ASSERT_EQ(SendF(MsgFields{}), VQX_RESULT_API_OK);
  ASSERT_EQ(VQXFlushMsgs(mhLib, h, &n), VQX_RESULT_API_OK);
  EXPECT_EQ(n, 1u);
  /* Across filters: the adapter's messages go from every active filter. */
  ASSERT_EQ(SendF(MsgFields{}), VQX_RESULT_API_OK);
  MsgFields other;
  other.hAdapter = kLocal + 1;
  ASSERT_EQ(SendF(other), VQX_RESULT_API_OK);
  Locked(mhLib, [&] { EXPECT_EQ(VqxFiltersFlushAdapter(mhLib, kLocal, VqxFilterLib(mhLib)->pActiveFirst), VQX_RESULT_API_OK); });
  VQX_MSG_HANDLE hGot = nullptr;
  ASSERT_EQ(VQXReceiveMsg(mhLib, h, 0, &hGot), VQX_RESULT_API_OK);
  EXPECT_EQ(hGot->hAdapter, kLocal + 1);
  VQXReleaseMsgEx(mhLib, &hGot);
  EXPECT_EQ(Drain(h), 0u);
}

/* Messages left unread: fresh ones are freed quietly; unread for 5 s they warn once, then on destroy. */
TEST_F(FilterTest, UnreadMessagesLeakWatchAndDestroyResult) {
  VQX_FILTER_HANDLE hFresh = Group();
  ASSERT_EQ(SendF(MsgFields{}), VQX_RESULT_API_OK);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hFresh), VQX_RESULT_API_OK);
  EXPECT_EQ(LibStats(mhLib).FilterFreed, 1u);
  EXPECT_EQ(LibStats(mhLib).FilterOwned, 0u);
  VQX_FILTER_HANDLE h = Group();
  ASSERT_EQ(SendF(MsgFields{}), VQX_RESULT_API_OK);
  Locked(mhLib, [&] { h->un64LastReadTick -= 6000; }); /* as if unread for 6 s */
  ASSERT_EQ(SendF(MsgFields{}), VQX_RESULT_API_OK);
  ASSERT_EQ(SendF(MsgFields{}), VQX_RESULT_API_OK);
  ASSERT_TRUE(mLog.WaitFor("Possible leak (1) Msg waiting in filter"));
  EXPECT_EQ(mLog.Count("Possible leak"), 1u);
  EXPECT_EQ(mLog.Count("Use VQX_API_DEBUG to know which file/line"), 1u);
  Locked(mhLib, [&] { h->un64LastReadTick -= 6000; });
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_FILTER_FREED_W_MSG_IN_Q);
}

/* Once the close of the library or of its process has begun, what waits unread is drained or freed by the close:
   no "Possible leak" line, and the "Freed" line only traced. While the application runs both are errors; a clock
   read before the last read is no wait. */
TEST_F(FilterTest, UnreadAtTheCloseIsNoLeak) {
  const struct {
    const char* pszName;
    void (*pFctBegin)(VQX_LIB_HANDLE); /* the close's beginning; null: the application runs */
    i64 n64Unread;                     /* ms the messages have waited unread, as the last-read tick tells */
    bool fAppDestroys;                 /* else the library's close frees the filter */
    bool fLeak, fFreedError;           /* the leak line; the "Freed" line on the error stream, else traced */
  } rows[] = {
      {"running", nullptr, 6000, true, true, true},
      {"clock behind the last read", nullptr, -6000, true, false, true},
      {"process closing", [](VQX_LIB_HANDLE h) { EXPECT_EQ(VQXEndSendWaits(h), VQX_RESULT_API_OK); }, 6000, true, false,
       false},
      {"library closing", [](VQX_LIB_HANDLE h) { VqxLib(h)->fClosing.store(1); }, 6000, false, false, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.pszName);
    CapturedLog errors;
    mLog.Clear();
    Reopen([&](_VQX_LIB_PARAMS& p) { p.pvErrorContext = &errors; });
    _VQX_FILTER_PARAMS set = SetOf(VQX_FILTER_MASK_MSG_GROUP, MsgFields{});
    VQX_FILTER_HANDLE h = nullptr;
    ASSERT_EQ(VQXCreateMsgFilterDbg(mhLib, 1, &set, &h, "app.cpp", 7), VQX_RESULT_API_OK);
    ASSERT_EQ(SendF(MsgFields{}), VQX_RESULT_API_OK);
    if (row.pFctBegin != nullptr) row.pFctBegin(mhLib);
    Locked(mhLib, [&] { h->un64LastReadTick -= row.n64Unread; });
    ASSERT_EQ(SendF(MsgFields{}), VQX_RESULT_API_OK);
    if (row.fAppDestroys) { /* unread for more than 5 s: the warning code, unless a leak line restarted the 5 s */
      EXPECT_EQ(VQXDestroyMsgFilterDbg(mhLib, &h, "app.cpp", 9),
                row.n64Unread > 0 && !row.fLeak ? VQX_RESULT_API_FILTER_FREED_W_MSG_IN_Q : VQX_RESULT_API_OK);
    }
    ASSERT_EQ(VQXCloseLibEx(&mhLib), VQX_RESULT_API_OK); /* every line queued before is printed */
    EXPECT_EQ(errors.Count("Possible leak (1) Msg waiting in filter"), row.fLeak ? 1u : 0u);
    EXPECT_EQ(errors.Count("Filter LastTick="), row.fLeak ? 1u : 0u);
    EXPECT_EQ(mLog.Count("Possible leak"), 0u);
    EXPECT_EQ(errors.Count("Freed 2 messages waiting on filter"), row.fFreedError ? 1u : 0u);
    EXPECT_EQ(mLog.Count("Freed 2 messages waiting on filter"), row.fFreedError ? 0u : 1u);
  }
}

TEST_F(FilterTest, ImplicitFilterTakesTheResponseOnlyOnce) {
  MsgFields req;
  req.MsgType = VQX_MSG_TYPE_REQUEST;
  VQX_FILTER_HANDLE hServer = Filter({SetOf(VQX_FILTER_MASK_MSG_TYPE, req)});
  VQX_FILTER_HANDLE hImplicit = nullptr;
  ASSERT_NE(Request(&hImplicit), nullptr);
  VQX_MSG_HANDLE hReq = nullptr;
  ASSERT_EQ(VQXReceiveMsg(mhLib, hServer, 0, &hReq), VQX_RESULT_API_OK);
  /* Two responses carrying the request's serial: the second is dropped and recorded. */
  for (int i = 0; i < 2; i++) {
    VQX_MSG_HANDLE hRsp = NewMsg(kUserId, kLocal, 8, VQX_MSG_TYPE_RESPONSE);
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
  EXPECT_EQ(Drain(hImplicit), 1u);
  EXPECT_EQ(Drain(hServer), 0u) << "the server's filter (requests) saw no response";
  VQX_FILTER_HANDLE hStale = hImplicit;
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hImplicit), VQX_RESULT_API_OK);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hStale), VQX_RESULT_API_INVALID_FIL_HANDLE);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hServer), VQX_RESULT_API_OK);
  const _VQX_LIB_STATS lib = LibStats(mhLib);
  EXPECT_EQ(lib.ImpFilterAlloc, 1u);
  EXPECT_EQ(lib.ImpFilterFreed, 1u);
  EXPECT_EQ(lib.RxMsgDroppedFilter, 1u);
  /* The stale handle was refused, not freed twice: two awaited responses get two filters. */
  VQX_FILTER_HANDLE ah[2] = {};
  for (auto& hI : ah) ASSERT_NE(Request(&hI), nullptr);
  EXPECT_NE(ah[0], ah[1]);
  /* The awaited peer gone: the reader wakes with "not ready". */
  Locked(mhLib, [&] { VqxHostAwakeImplictitFilters(mhLib, kLocal); });
  VQX_MSG_HANDLE hRsp = nullptr;
  EXPECT_EQ(VQXReceiveMsg(mhLib, ah[0], 1000, &hRsp), VQX_RESULT_API_ADA_NOT_READY);
}

TEST_F(FilterTest, ModifyReplacesSetsKeepsQueueAndChecksItsArguments) {
  MsgFields a, b;
  b.un64UserContext1 = 0xBBBB;
  VQX_FILTER_HANDLE h = Filter({SetOf(VQX_FILTER_MASK_USER_CONTEXT1, a)});
  ASSERT_EQ(SendF(a), VQX_RESULT_API_OK);
  _VQX_FILTER_PARAMS set = SetOf(VQX_FILTER_MASK_USER_CONTEXT1, b);
  ASSERT_EQ(VQXModifyMsgFilter(mhLib, h, 1, &set, nullptr), VQX_RESULT_API_OK);
  ASSERT_EQ(SendF(a), VQX_RESULT_API_OK);
  ASSERT_EQ(SendF(b), VQX_RESULT_API_OK);
  EXPECT_EQ(Drain(h), 2u) << "the queued one of a, the new one of b";
  EXPECT_EQ(VQXModifyMsgFilter(mhLib, h, 1, nullptr, nullptr), VQX_RESULT_API_INVALID_PARAM);
  EXPECT_EQ(VQXModifyMsgFilter(mhLib, h, 129, &set, nullptr), VQX_RESULT_API_INVALID_PARAM);
  EXPECT_EQ(VQXModifyMsgFilter(mhLib, nullptr, 0, nullptr, nullptr), VQX_RESULT_API_NULL_PARAM);
  _VQX_FILTER_CALLBACK_PARAMS cb{};
  cb.pFctFilterMsgReceived = [](void*, VQX_LIB_HANDLE, VQX_FILTER_HANDLE, u32*, VQX_MSG_HANDLE*) {};
  for (u32 un32Max : {0u, 1025u}) {
    cb.un32FilterMaxMsgPerCallback = un32Max;
    EXPECT_EQ(VQXModifyMsgFilter(mhLib, h, 0, nullptr, &cb), VQX_RESULT_API_INVALID_PARAM) << un32Max;
  }
  /* A posted callback hears the messages already queued, then the new ones. */
  ASSERT_EQ(SendF(b), VQX_RESULT_API_OK);
  std::vector<u64> seen;
  _VQX_FILTER_CALLBACK_PARAMS posted{};
  posted.pFctFilterMsgPosted = [](void* pv, VQX_LIB_HANDLE, VQX_FILTER_HANDLE, const _VQX_FILTER_POSTED_INFO* p) {
    static_cast<std::vector<u64>*>(pv)->push_back(p->un64UserContext2);
  };
  posted.pvFilterMsgPostedContext = &seen;
  ASSERT_EQ(VQXModifyMsgFilter(mhLib, h, 0, nullptr, &posted), VQX_RESULT_API_OK);
  b.un64UserContext2 = 3;
  ASSERT_EQ(SendF(b), VQX_RESULT_API_OK);
  EXPECT_EQ(seen, (std::vector<u64>{0x2222, 3}));
  EXPECT_EQ(Drain(h), 2u);
}

TEST_F(FilterTest, ConflictTable) {
  for (const auto& row : DataRows("filter_conflicts.txt")) {
    ASSERT_EQ(row.size(), 4u);
    const std::string& name = row[0];
    const bool fRefused = row[3] != "-";
    mLog.Clear();
    VQX_FILTER_HANDLE hFirst = Create(SetOfText(row[1]));
    ASSERT_NE(hFirst, nullptr) << name;
    VQX_FILTER_HANDLE hSecond = Create(SetOfText(row[2]), fRefused ? VQX_RESULT_API_ACCESS_DENIED : VQX_RESULT_API_OK);
    EXPECT_EQ(hSecond == nullptr, fRefused) << name;
    if (fRefused) {
      EXPECT_TRUE(mLog.WaitFor(row[3].c_str())) << name;
      EXPECT_TRUE(mLog.WaitFor("VqxFilterCreate: Filter exclusivity conflict")) << name;
    }
    Destroy(&hSecond);
    Destroy(&hFirst);
  }
  /* Every claim was removed with its filter. */
  Locked(mhLib, [&] {
    for (const VQX_EXCL_LIST& list : VqxFilterLib(mhLib)->aExcl) EXPECT_EQ(list.un32Count, 0u);
  });
}

TEST_F(FilterTest, ModifyWithOwnClaimsSucceeds) {
  VQX_FILTER_HANDLE h = Create(Set(XG));
  _VQX_FILTER_PARAMS sets[2] = {Set(XG), Set(XA)};
  EXPECT_EQ(VQXModifyMsgFilter(mhLib, h, 2, sets, nullptr), VQX_RESULT_API_OK);
  EXPECT_EQ(Create(Set(XA), VQX_RESULT_API_ACCESS_DENIED), nullptr);
  /* A refused modification leaves the filter as it was. */
  ASSERT_NE(Create(Set(MG, kLocal, 0x0700)), nullptr);
  _VQX_FILTER_PARAMS grab = Set(XG, kLocal, 0x0700);
  EXPECT_EQ(VQXModifyMsgFilter(mhLib, h, 1, &grab, nullptr), VQX_RESULT_API_ACCESS_DENIED);
  EXPECT_TRUE(mLog.WaitFor("VqxFilterModify: Filter exclusivity conflict"));
  ASSERT_EQ(Send(kId, 0xDA000077u), VQX_RESULT_API_OK);
  EXPECT_EQ(Drain(h), 1u);
}

TEST_F(FilterTest, ListPriorityContextBeforeAdapterBeforeGroup) {
  VQX_FILTER_HANDLE hCtx = Create(Set(X1, kLocal, kGroup, 0x77));
  VQX_FILTER_HANDLE hAdapter = Create(Set(XA, 0xDA000005u));
  /* The group claim's own set wants id 0: the claim delivers whatever its owner's sets say. */
  VQX_FILTER_HANDLE hGroup = Create(Set(XG | VQX_FILTER_MASK_MSG_ID));
  VQX_FILTER_HANDLE hOrdinary = Create(Set(VQX_FILTER_MASK_MSG_ID, kLocal, kGroup));
  hOrdinary->aParams[0].MsgId = kId;
  const struct { u64 uc1; u32 hAdapter; VQX_FILTER_HANDLE hExpected; } rows[] = {
      {0x77, 0xDA000005u, hCtx},   /* context claim beats adapter and group claims */
      {0x78, 0xDA000005u, hAdapter},
      {0x78, kLocal, hGroup},
  };
  for (const auto& r : rows) {
    ASSERT_EQ(Send(kId, r.hAdapter, 8, VQX_MSG_TYPE_EVENT, r.uc1), VQX_RESULT_API_OK);
    for (VQX_FILTER_HANDLE h : {hCtx, hAdapter, hGroup, hOrdinary}) {
      EXPECT_EQ(Drain(h), h == r.hExpected ? 1u : 0u) << r.uc1 << " " << r.hAdapter;
    }
  }
  /* A group nobody claims reaches the ordinary filter. */
  ASSERT_EQ(Send(0x07000001u, kLocal), VQX_RESULT_API_OK);
  hOrdinary->aParams[0].MsgId = 0x07000001u;
  ASSERT_EQ(Send(0x07000001u, kLocal), VQX_RESULT_API_OK);
  EXPECT_EQ(Drain(hOrdinary), 1u);
}

/* Two readers (a receive and a wait) held after their wake-up: the destroy does not wait for them, the
   handle is refused at once, and the record lives until the last one is out. */
TEST_F(FilterTest, DestroyDoesNotWaitForItsReadersAndTheLastOneOutFreesTheRecord) {
  VQX_FILTER_HANDLE h = IdFilter();
  ReaderGate::Get().Arm(h);
  std::atomic<VQX_RESULT> aResult[2] = {{0}, {0}};
  std::thread receiver([&, hFilter = h] {
    VQX_MSG_HANDLE hGot = nullptr;
    aResult[0] = VQXReceiveMsg(mhLib, hFilter, 20000, &hGot);
  });
  std::thread waiter([&, hFilter = h] {
    u32 n = 0;
    aResult[1] = VQXWaitMsg(mhLib, hFilter, 20000, &n);
  });
  ASSERT_TRUE(WaitBlocked(h, 2));
  VQX_FILTER_HANDLE hKept = h;
  const auto t0 = Clock::now();
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2));
  EXPECT_EQ(h, nullptr);
  ASSERT_TRUE(ReaderGate::Get().WaitHeld(2));
  EXPECT_EQ(VQXWakeMsgFilter(mhLib, hKept), VQX_RESULT_API_INVALID_FIL_HANDLE);
  UseLibrary();
  EXPECT_EQ(aResult[0].load() + aResult[1].load(), 0u) << "both still held";
  ReaderGate::Get().Let(1);
  /* One reader leaves; the other is still held, inside the record. */
  EXPECT_TRUE(WaitUntil([&] { return aResult[0].load() != 0 || aResult[1].load() != 0; }, 10000));
  EXPECT_TRUE(aResult[0].load() == 0 || aResult[1].load() == 0);
  UseLibrary();
  ReaderGate::Get().Let(1);
  receiver.join();
  waiter.join();
  EXPECT_EQ(aResult[0].load(), VQX_RESULT_API_INVALID_FIL_HANDLE);
  EXPECT_EQ(aResult[1].load(), VQX_RESULT_API_INVALID_FIL_HANDLE);
}

TEST_F(FilterTest, ReaderAboutToPollOrSleepWhileDestroysRepeat) {
  /* Destroys land at any point of a reader's poll, sleep or lock retake. */
  for (int round = 0; round < 200; round++) {
    VQX_FILTER_HANDLE h = IdFilter();
    std::atomic<VQX_RESULT> result{0};
    std::thread reader([&, hFilter = h] {
      VQX_MSG_HANDLE hGot = nullptr;
      result = VQXReceiveMsg(mhLib, hFilter, 20000, &hGot);
    });
    std::this_thread::sleep_for(std::chrono::microseconds((round % 10) * 20));
    EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
    reader.join();
    ASSERT_EQ(result.load(), VQX_RESULT_API_INVALID_FIL_HANDLE) << "round " << round;
  }
}

TEST_F(FilterTest, SendHookSeesWhatReadersTakeFromRemoteHosts) {
  HookLog log;
  Reopen([&](_VQX_LIB_PARAMS& p) {
    p.pFctSendHook = OnSendHook;
    p.pvSendHookContext = &log;
  });
  const VQX_GW_HOST_ADV hostAdv = HostAdv("hostn", "appn", 0x0A00000900000009ull, 0x02070B04);
  ASSERT_EQ(UpBoard(kBoard, "SN-A"), VQX_RESULT_API_OK);
  ASSERT_EQ(Up(kHost, nullptr, &hostAdv, 1), VQX_RESULT_API_OK);
  VQX_FILTER_HANDLE h = Group();
  VQX_FILTER_HANDLE hLibGroup = Filter({FilterSet(VQX_FILTER_MASK_MSG_GROUP, 0x02010000)});
  const struct { const char* pszName; u32 hFrom, un32Id, un32FixedTwo; bool fHook; } rows[] = {
      {"host, other value", kHost, 0x06000001, 3, true},
      {"host, value 2", kHost, 0x06000002, 2, false},
      {"board, other value", kBoard, 0x06000003, 3, false},
      {"host, library group", kHost, 0x02010099, 3, false},
      {"local", 0xDA000001, 0x06000004, 3, false},
  };
  for (const auto& r : rows) {
    log.Ids.clear();
    ASSERT_EQ(Receive(r.hFrom, r.un32Id, r.un32FixedTwo), VQX_RESULT_API_OK) << r.pszName;
    EXPECT_EQ(Drain(r.un32Id >> 16 == 0x0201 ? hLibGroup : h, 1), 1u) << r.pszName;
    EXPECT_EQ(log.Ids, r.fHook ? std::vector<u32>{r.un32Id} : std::vector<u32>{}) << r.pszName;
  }
  /* A flush is not a read: no hook. */
  log.Ids.clear();
  ASSERT_EQ(Receive(kHost, 0x06000005, 3), VQX_RESULT_API_OK);
  ASSERT_EQ(VQXFlushMsgs(mhLib, h, nullptr), VQX_RESULT_API_OK);
  EXPECT_TRUE(log.Ids.empty());
}

}  // namespace
