/*
 * The unit index alone: keys of each unit family, the first entity of a key
 * kept, adapters by handle and entities by their adapter's name, and every
 * row still found after the table grew many times over. Then the unit path
 * of the application, lookup and group writer together, allocates nothing
 * per unit once its buffers reached their size (this program counts what
 * operator new hands out).
 */
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "sigtrace_app.h"
#include "sigtrace_unit_index.h"
#include "sigtracegrp.h"
#include "support/sigtrace_test_app.h"
#include "support/sigtrace_test_support.h"

namespace {
thread_local u64 t_un64News = 0; /* operator new calls of this thread */
void* CountedNew(size_t n) {
  t_un64News++;
  return malloc(n != 0 ? n : 1);
}
void* CountedNewOrThrow(size_t n) {
  if (void* p = CountedNew(n)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(size_t n) { return CountedNewOrThrow(n); }
void* operator new[](size_t n) { return CountedNewOrThrow(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept { return CountedNew(n); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return CountedNew(n); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { free(p); }

namespace {

using namespace VQCAF;

CVQSigTraceEntityParams Entity(u32 un32Type, const char* pszAdapter, u32 un32Trunk, u32 un32Mask, u64 un64Id = 0) {
  CVQSigTraceEntityParams E;
  E.mun32Type = un32Type, E.mstrAdapterName = pszAdapter, E.mun32Trunk = un32Trunk, E.mun32TimeslotMask = un32Mask;
  E.mun64EntityId = un64Id;
  return E;
}

TEST(SigTraceUnitIndex, KeysAdaptersAndFirstEntityOfAKey) {
  CVQSigTraceGrp G1, G2;
  CVQSigTraceUnitIndex Index;
  EXPECT_TRUE(Index.IsStale());
  Index.Reset(0);
  EXPECT_TRUE(Index.AddAdapter(0x11, "B1"));
  EXPECT_TRUE(Index.AddAdapter(0x22, "B2"));
  EXPECT_FALSE(Index.AddAdapter(0x11, "B3")) << "the first adapter of a handle keeps it";
  EXPECT_STREQ(Index.FindAdapter(0x11), "B1");
  EXPECT_EQ(Index.FindAdapter(0x33), nullptr);

  /* Entity -> its key (or none), filed at position 1 of G1 when it has one. */
  const struct {
    CVQSigTraceEntityParams E;
    bool fKeyed;
    SVQUnitKey Key;
  } aRows[] = {
      {Entity(VQ_SIGTRACE_TYPE_SS7, "B1", 5, 0x2), true, VqBoardUnitKey(VQ_SIGTRACE_TYPE_SS7, 0x11, 5, 0x2)},
      {Entity(VQ_SIGTRACE_TYPE_LAPD, "B2", 5, 0x2), true, VqBoardUnitKey(VQ_SIGTRACE_TYPE_LAPD, 0x22, 5, 0x2)},
      {Entity(VQ_SIGTRACE_TYPE_ISDN, "B2", 0xFFFFFFFF, 0xFFFFFFFF), true, VqBoardUnitKey(VQ_SIGTRACE_TYPE_ISDN, 0x22, 0xFFFFFFFF, 0xFFFFFFFF)},
      /* CAS R2 units carry no mask: any unit of the trunk. */
      {Entity(VQ_SIGTRACE_TYPE_CASR2, "B1", 3, 0xFFFF), true, VqBoardUnitKey(VQ_SIGTRACE_TYPE_CASR2, 0x11, 3, 0x1)},
      /* IP by its board and its context id. */
      {Entity(VQ_SIGTRACE_TYPE_IP, "B2", 0, 0, 0x100000002ull), true, VqIpUnitKey(0x22, 0x100000002ull)},
      {Entity(VQ_SIGTRACE_TYPE_IP, "GONE", 0, 0, 0x100000003ull), false, {}}, /* its adapter is not filed */
      {Entity(VQ_SIGTRACE_TYPE_SS7, "b1", 5, 0x4), false, {}}, /* adapter names are case-sensitive */
      {Entity(VQ_SIGTRACE_TYPE_SS7, "B3", 5, 0x8), false, {}}, /* its adapter is not filed */
      {Entity(VQ_SIGTRACE_TYPE_H248, "B1", 0, 0), false, {}},
      {Entity(VQ_SIGTRACE_TYPE_BY_NAME, "B1", 5, 0x10), false, {}},
  };
  for (const auto& r : aRows) {
    SVQUnitKey Key;
    ASSERT_EQ(Index.KeyOf(r.E, Key), r.fKeyed) << r.E.mstrAdapterName.c_str() << " type " << r.E.mun32Type;
    if (!r.fKeyed) continue;
    EXPECT_TRUE(Key == r.Key) << "type " << r.E.mun32Type;
    EXPECT_TRUE(Index.AddEntity(Key, &G1, 1)) << "type " << r.E.mun32Type;
    EXPECT_FALSE(Index.AddEntity(Key, &G2, 7)) << "the first entity of a key keeps it";
  }
  EXPECT_EQ(Index.EntityCount(), 5u);
  for (const SVQUnitKey& Key : {VqBoardUnitKey(VQ_SIGTRACE_TYPE_SS7, 0x22, 5, 0x2) /* the other board */,
                                VqBoardUnitKey(VQ_SIGTRACE_TYPE_LAPD, 0x11, 5, 0x2) /* the other family */,
                                VqBoardUnitKey(VQ_SIGTRACE_TYPE_SS7, 0x11, 5, 0x3) /* another mask */,
                                VqBoardUnitKey(VQ_SIGTRACE_TYPE_CASR2, 0x11, 4, 0),
                                VqIpUnitKey(0x11, 0x100000002ull) /* another board's unit of that context id */,
                                VqIpUnitKey(0x22, 0x2), VqIpUnitKey(0x22, 0)})
    EXPECT_EQ(Index.FindEntity(Key).pGroup, nullptr) << Index.Dump();
  EXPECT_EQ(Index.FindEntity(VqBoardUnitKey(VQ_SIGTRACE_TYPE_CASR2, 0x11, 3, 0xABCD)).pGroup, &G1);
  EXPECT_TRUE(Index.CheckInvariant()) << Index.Dump();

  /* Beyond the adapter rows; then a reset empties everything. */
  for (u32 h = 0x100; h < 0x100 + VQ_SIGTRACE_INDEX_MAX_ADAPTERS - 2; h++) EXPECT_TRUE(Index.AddAdapter(h, "X"));
  EXPECT_FALSE(Index.AddAdapter(0x999, "FULL"));
  Index.Invalidate();
  EXPECT_TRUE(Index.IsStale());
  Index.Reset(1);
  EXPECT_FALSE(Index.IsStale());
  EXPECT_EQ(Index.FindAdapter(0x11), nullptr);
  EXPECT_EQ(Index.FindEntity(VqIpUnitKey(0x22, 0x100000002ull)).pGroup, nullptr);
  EXPECT_EQ(Index.EntityCount(), 0u);
}

/* 32 boards x 2048 trunk/timeslot pairs, sized for none of them: every
 * row is found at its position after the table grew, its neighbours not;
 * the invariant holds after every row of the first 4096 (nine growths),
 * so that a table growing one row late is seen. */
TEST(SigTraceUnitIndex, ManyLinksAfterGrowing) {
  CVQSigTraceGrp G;
  CVQSigTraceUnitIndex Index;
  Index.Reset(0);
  constexpr u32 kBoards = 32, kLinks = 2048;
  u32 un32Position = 0;
  for (u32 b = 0; b < kBoards; b++)
    for (u32 l = 0; l < kLinks; l++) {
      ASSERT_TRUE(Index.AddEntity(VqBoardUnitKey(VQ_SIGTRACE_TYPE_SS7, b + 1, l / 32, 1u << (l % 32)), &G, ++un32Position));
      if (un32Position <= 4096) {
        ASSERT_TRUE(Index.CheckInvariant()) << "after row " << un32Position << "\n" << Index.Dump();
      }
    }
  EXPECT_EQ(Index.EntityCount(), kBoards * kLinks);
  EXPECT_TRUE(Index.CheckInvariant());
  un32Position = 0;
  u32 un32Wrong = 0;
  for (u32 b = 0; b < kBoards; b++)
    for (u32 l = 0; l < kLinks; l++) {
      un32Position++;
      un32Wrong += Index.FindEntity(VqBoardUnitKey(VQ_SIGTRACE_TYPE_SS7, b + 1, l / 32, 1u << (l % 32))).un32Position != un32Position;
      un32Wrong += Index.FindEntity(VqBoardUnitKey(VQ_SIGTRACE_TYPE_SS7, b + 1, l / 32, (1u << (l % 32)) | (1u << ((l + 1) % 32)))).pGroup != nullptr;
    }
  EXPECT_EQ(un32Wrong, 0u);
}

/* Each family's unit dispatched to its entity as the main loop does (the
 * groups' turn every 16 units): after 4096 units, 1024 more allocate nothing.
 * The groups' clock stands still, so that their buffers are written when
 * full, never by the time a loaded machine takes. */
TEST(SigTraceUnitIndex, NoAllocationPerUnit) {
  sigtest::CScratchDir Dir;
  const CVQSigTraceFixedClock Clock(sigtest::FixedTime());
  CVQSigTraceCfgCmdLine CmdLine;
  CVQSigTrace App(CmdLine);
  CVQSigTraceAdapter* pAdapter = App.mAdapters.Alloc(CVQCAFDebugInfo(__FILE__, __LINE__), CVQCAFHashKeyString("B1"));
  const struct {
    u32 un32Type, un32Id;
    const char* pszSeed;
    const char* pszGroup;
    u8 fPcap;
    u32 un32Trunk; /* SS7: in place of the seed's */
  } aRows[] = {
      {VQ_SIGTRACE_TYPE_SS7, 0x04210031, "ss7_ok", "SS7_PCAP", 1, 5},   {VQ_SIGTRACE_TYPE_SS7, 0x04210031, "ss7_ok", "SS7_TEXT", 0, 6},
      {VQ_SIGTRACE_TYPE_LAPD, 0x04540031, "lapd_ok", "LAPD", 1, 0},    {VQ_SIGTRACE_TYPE_ISDN, 0x04080031, "isdn_ok", "ISDN", 0, 0},
      {VQ_SIGTRACE_TYPE_CASR2, 0x04510031, "casr2_state", "R2", 0, 0}, {VQ_SIGTRACE_TYPE_IP, 0x04390031, "ip_ok", "IP", 1, 0},
  };
  for (const auto& r : aRows) {
    std::vector<u8> Unit = sigtest::DispatchSeed(r.pszSeed);
    ASSERT_GE(Unit.size(), 0x20u) << r.pszSeed;
    if (r.un32Type == VQ_SIGTRACE_TYPE_SS7) Unit = sigtest::Patched(Unit, 0x18, r.un32Trunk);
    CVQSigTraceEntityParams E;
    E.mun32Type = r.un32Type, E.mstrGroupName = r.pszGroup, E.mstrName = r.pszGroup, E.mfCapFile = r.fPcap;
    memcpy(&E.mun32Trunk, &Unit[0x18], 4), memcpy(&E.mun32TimeslotMask, &Unit[0x1C], 4);
    ASSERT_EQ(App.AttachEntityToGroup(*pAdapter, E), VQX_RESULT_OK) << r.pszGroup;
    CVQSigTraceGrp* pGroup = App.mGroups.Find(CVQCAFHashKeyString(r.pszGroup));
    pGroup->SetClock(&Clock);
    if (r.un32Type == VQ_SIGTRACE_TYPE_IP) Unit = sigtest::Patched(Unit, 0x18, pGroup->mvEntities[0].mun64EntityId, 8);
    std::vector<u32> Msg = sigtest::ReceivedMsg(r.un32Id, Unit);
    u32 un32Failed = 0;
    u64 un64News = 0;
    for (u32 i = 0; i < 4096 + 1024; i++) {
      if (i == 4096) un64News = t_un64News;
      un32Failed += App.DispatchMsg(Msg.data()) != VQX_RESULT_OK;
      if (i % 16 == 15) App.OnLoopTurn(false);
    }
    EXPECT_EQ(un32Failed, 0u) << r.pszGroup;
    EXPECT_EQ(t_un64News - un64News, 0u) << r.pszGroup << ": allocations in 1024 units";
  }
}

}  // namespace
