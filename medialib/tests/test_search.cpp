/*
 * Search on both forms, comparison, rates and set difference.
 */
#include <sys/mman.h>

#include "support/media_test.h"

namespace {

u32 ExpandedIndex(const _VQX_SDP_INFO& r, const _VQX_MEDIA_CAP* c) {
  return c == nullptr ? 255 : static_cast<u32>(c - r.aMediaCap);
}
u32 CompactIndex(const void* set, const _VQX_MEDIA_CAP* c) {
  u8 i = 255;
  if (c != nullptr) VQXMediaGetCapIndex(set, c, &i);
  return i;
}

TEST(Search, BothFormsGiveTheSameCapabilityAndPosition) {
  const u32 types[] = {0, 8, 13, 70, 71, 98, 101, 122, 125, 769};
  for (u32 seed = 1; seed <= 150; ++seed) {
    VqxRecord r = RandomRecord(seed);
    const std::vector<u32> packed = PackSet(*r);
    const void* c = packed.data();
    for (u32 type : types)
      for (u32 mode = 0; mode <= 6; ++mode) {
        const _VQX_MEDIA_CAP *pe = nullptr, *pc = nullptr, *tmpl = &r->aMediaCap[type % r->un8NbMediaCapabilities];
        const u16 *porte = nullptr, *portc = nullptr;
        u32 pose = 0, posc = 1;
        VQXMediaFindFirstCap2(r.get(), type, mode, &pe, &porte, &pose);
        VQXMediaFindFirstCap2(c, type, mode, &pc, &portc, &posc);
        ASSERT_EQ(pose, posc) << "seed " << seed << " type " << type << " mode " << mode;
        ASSERT_EQ(ExpandedIndex(*r, pe), CompactIndex(c, pc)) << "seed " << seed << " type " << type;
        ASSERT_EQ(porte ? *porte : 0, portc ? *portc : 0) << "seed " << seed;
        VQXMediaFindCapWithParams(r.get(), tmpl->Encoding.MediaType, mode, tmpl, nullptr, 0, &pe, nullptr, &pose);
        VQXMediaFindCapWithParams(c, tmpl->Encoding.MediaType, mode, tmpl, nullptr, 0, &pc, nullptr, &posc);
        ASSERT_EQ(pose, posc) << "template, seed " << seed << " type " << type << " mode " << mode;
        VQXMediaFindCapByPayloadType(r.get(), type, &pe);
        VQXMediaFindCapByPayloadType(c, type, &pc);
        ASSERT_EQ(ExpandedIndex(*r, pe), CompactIndex(c, pc)) << "payload type " << type << " seed " << seed;
      }
    const _VQX_MEDIA_CAP *pe = nullptr, *pc = nullptr;
    u32 ne = 0, nc = 0;
    for (pe = VQXMediaGetNextCapability(r.get(), nullptr); pe && ne < 40; pe = VQXMediaGetNextCapability(r.get(), pe)) ++ne;
    for (pc = VQXMediaGetNextCapability(c, nullptr); pc && nc < 40; pc = VQXMediaGetNextCapability(c, pc)) ++nc;
    EXPECT_EQ(ne, r->un8NbMediaCapabilities);
    EXPECT_EQ(nc, ne);
  }
}

TEST(Search, ThreeHundredChoicesAreWalkedToTheirEnd) {
  std::vector<std::vector<u8>> g(8, std::vector<u8>(19, 0)), last = g;
  last[7][18] = 1;
  VqxRecord r = BuildSet({0, 8}, {g, last});
  r->aMediaCap[0].Direction = 2;
  r->aMediaCap[1].Direction = 1;
  const std::vector<u32> c = PackSet(*r);
  const _VQX_MEDIA_CAP* p = nullptr;
  u32 pos = 0;
  EXPECT_EQ(VQXMediaFindFirstCap2(c.data(), 70, VQX_MEDIA_MODE_RECV, &p, nullptr, &pos), VQX_RESULT_OK);
  EXPECT_EQ(pos, 303u);
  EXPECT_EQ(CompactIndex(c.data(), p), 1u);
  EXPECT_EQ(CompactIndex(c.data(), reinterpret_cast<const _VQX_MEDIA_CAP*>(reinterpret_cast<const u8*>(p) + 4)), 255u);
  const _VQX_MEDIA_CAP* q = nullptr;
  EXPECT_EQ(VQXMediaFindCapByIndex(c.data(), 1, &q), VQX_RESULT_OK);
  EXPECT_EQ(p, q);
}

TEST(Search, ClassesModesAndTemplates) {
  struct Row { u32 capType; u32 dir; u32 wanted; u32 mode; bool found; } rows[] = {
      {0, 3, 70, 0, true},   {13, 3, 70, 0, false}, {100, 3, 70, 0, false}, {101, 3, 70, 0, false},
      {122, 3, 71, 0, true}, {769, 3, 71, 0, true}, {0, 3, 0, 3, false},    {0, 3, 0, 4, false},
      {0, 3, 0, 5, false},   {0, 2, 0, 1, false},   {0, 1, 0, 2, false},    {0, 1, 0, 6, true},
      {70, 3, 70, 0, true},  {0xFFFFFFFF, 3, 0xFFFFFFFF, 0, true},
  };
  for (const Row& row : rows) {
    VqxRecord r = GoldenRecord("pcmu.bin");
    r->aMediaCap[0] = MakeCap(row.capType, row.dir);
    EXPECT_EQ(VQXMediaCapabilityExist(r.get(), row.wanted, row.mode, nullptr), row.found ? 1u : 0u)
        << row.capType << " for " << row.wanted << " mode " << row.mode;
  }
  VqxRecord r = GoldenRecord("pcmu.bin");
  r->aMediaCap[0] = MakeCap(125);
  r->aMediaCap[0].Encoding.G726.un32BitRateKbps = 24;
  _VQX_MEDIA_CAP t = MakeCap(125);
  t.Encoding.G726.un32BitRateKbps = 32;
  EXPECT_EQ(VQXMediaFindCapWithParams(r.get(), 125, 0, &t, nullptr, 0, nullptr, nullptr, nullptr), VQX_RESULT_NOT_FOUND);
  t.Encoding.G726.un32BitRateKbps = 24;
  t.Encoding.aun8Params[0] = 9; /* not in the default mask */
  EXPECT_EQ(VQXMediaFindCapWithParams(r.get(), 125, 0, &t, nullptr, 0, nullptr, nullptr, nullptr), VQX_RESULT_OK);
  /* A mask over everything: only the template's first un32Length bytes from 24 count. */
  u8 aMask[sizeof(_VQX_MEDIA_CAP)];
  std::memset(aMask, 0xFF, sizeof aMask);
  t = r->aMediaCap[0];
  reinterpret_cast<u8*>(&t)[36] ^= 1;
  for (const auto& [un32Length, res] : {std::pair{12u, VQX_RESULT_OK}, {13u, VQX_RESULT_NOT_FOUND}})
    EXPECT_EQ(VQXMediaFindCapWithParams(r.get(), 125, 0, &t, aMask, un32Length, nullptr, nullptr, nullptr), res)
        << un32Length;
}

TEST(Compare, CapabilitiesRatesAndSets) {
  _VQX_MEDIA_CAP a = MakeCap(0, 3), b = MakeCap(0, 3);
  a.un32Padding = 7;
  a.Encoding.aun8Params[2] = 1; /* byte 30: padding of PCMU */
  EXPECT_TRUE(VQXMediaCapabilityCompare(&a, &b));
  EXPECT_EQ(a.un32Padding, 7u) << "inputs are not written";
  auto* ro = static_cast<_VQX_MEDIA_CAP*>(std::aligned_alloc(4096, 4096));
  ro[0] = a;
  ro[1] = b;
  ASSERT_EQ(mprotect(ro, 4096, PROT_READ), 0);
  EXPECT_TRUE(VQXMediaCapabilityCompare(&ro[0], &ro[1])) << "read-only inputs";
  mprotect(ro, 4096, PROT_READ | PROT_WRITE);
  std::free(ro);
  for (auto [da, db] : {std::pair{1u, 3u}, {3u, 4u}, {5u, 5u}}) {
    a.Direction = da;
    b.Direction = db;
    EXPECT_FALSE(VQXMediaCapabilityCompare(&a, &b)) << da << " vs " << db;
  }
  struct Row { u32 type; u8 annex; u16 max; std::vector<u32> want; } rows[] = {
      {4, 0, 0, {5333, 20, 6400, 24}}, {4, 1, 0, {5333, 20, 6400, 24, 200, 6}},
      {104, 0, 0, {5200, 13, 6400, 16, 8400, 21, 12400, 31}}, {34, 0, 0x0500, {128000, 0}},
      {121, 0, 0xFFFF, {0, 0}}, {119, 0, 640, {64000, 0}}, {122, 0, 0xFFFF, {0, 0}}, {0, 0, 0, {0, 0}},
  };
  for (const Row& row : rows) {
    _VQX_MEDIA_CAP c = MakeCap(row.type);
    c.Encoding.aun8Params[2] = row.annex;
    VqxStore16(&c.Encoding.aun8Params[row.type == 34 || row.type == 121 ? 4 : 0], row.max);
    _VQX_MEDIA_RATES rates{};
    EXPECT_EQ(VQXMediaGetRatesFromCapability(&c, &rates), VQX_RESULT_OK);
    EXPECT_EQ(rates.un32NbRates * 2, row.want.size()) << row.type;
    for (size_t i = 0; i < row.want.size(); ++i) EXPECT_EQ((&rates.aRates[0].un32BitRate)[i], row.want[i]) << row.type << " #" << i;
  }
  VqxRecord x = GoldenRecord("pcmu_te.bin"), y = GoldenRecord("pcmu_te.bin");
  y->aCapGroups[0].aSimultaneousCap[0].un8MediaKind = 3;
  EXPECT_TRUE(VQXMediaCapabilitiesCompare(x.get(), PackSet(*y).data()));
  /* A description's port counts in every pair of forms. */
  y->aCapGroups[0].aSimultaneousCap[0].un16Port = 1;
  EXPECT_FALSE(VQXMediaCapabilitiesCompare(PackSet(*x).data(), PackSet(*y).data()));
  EXPECT_FALSE(VQXMediaCapabilitiesCompare(x.get(), y.get()));
  EXPECT_FALSE(VQXMediaCapabilitiesCompare(PackSet(*x).data(), y.get()));
  EXPECT_FALSE(VQXSDPInfoCompare(x.get(), y.get()));
}

TEST(Not, RowsIntoANewRecordAndIntoItself) {
  struct Row { std::vector<u32> types; std::vector<std::vector<std::vector<u8>>> groups; std::vector<u32> b; const char* want; } rows[] = {
      {{0, 18, 101}, {{{1, 0}, {2, 1}, {2}}}, {101}, "caps 18 0; g0 {0 1} {0}"}, /* shared G.729, moved before PCMU */
      {{0, 18}, {{{1, 0}}}, {122}, "caps 18 0; g0 {0 1}"},
      {{0, 18}, {{{1, 0}}}, {0, 18}, "caps"},
      {{0, 98}, {{{0}}, {{1}}}, {98}, "caps 0; g0 {0}"},
      {{0}, {{{0, 5}}}, {}, "caps 0; g0 {0}"},
  };
  for (const Row& row : rows) {
    VqxRecord a = BuildSet(row.types, row.groups), b = BuildSet(row.b, {}), out = NewRecord();
    EXPECT_EQ(VQXMediaCapabilitiesNot(PackSet(*a).data(), b.get(), out.get()), VQX_RESULT_OK);
    EXPECT_EQ(VqxMediaDumpSet(*out), row.want);
    EXPECT_EQ(VQXMediaCapabilitiesNot(a.get(), PackSet(*b).data(), a.get()), VQX_RESULT_OK);
    EXPECT_EQ(VqxMediaDumpSet(*a), row.want) << "into itself";
  }
}

}  // namespace
