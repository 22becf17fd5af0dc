/*
 * Building and walking records: limits of descriptions, choices and
 * connections, shared capabilities, merges, dynamic payload types and texts.
 */
#include "support/media_test.h"

namespace {

_VQX_SIMULTANEOUS_CAP* NewDesc(_VQX_SDP_INFO* r) {
  _VQX_SIMULTANEOUS_CAP* d = nullptr;
  EXPECT_EQ(VQXMediaLibMediaDescCreate(r, &d), VQX_RESULT_OK);
  return d;
}

TEST(Desc, LimitsAreRefusedAndNewSlotsAreClean) {
  VqxRecord r = NewRecord();
  r->aCapGroups[0].aSimultaneousCap[0].un8NbChoices = 5; /* stale */
  _VQX_SIMULTANEOUS_CAP* d = NewDesc(r.get());
  EXPECT_EQ(d->un8NbChoices, 0);
  for (u32 i = 1; i < 8; ++i) NewDesc(r.get());
  EXPECT_EQ(VQXMediaLibMediaDescCreate(r.get(), &d), VQX_RESULT_OUT_OF_RESOURCE);
  EXPECT_EQ(r->aCapGroups[0].un8NbSimultaneousCap, 8);
  d = &r->aCapGroups[0].aSimultaneousCap[0];
  for (u32 i = 0; i < 32; ++i) {
    const _VQX_MEDIA_CAP c = MakeCap(0, 3, i);
    ASSERT_EQ(VQXMediaLibMediaDescCapabilityAdd(r.get(), d, &c), VQX_RESULT_OK);
  }
  const _VQX_MEDIA_CAP c33 = MakeCap(8);
  EXPECT_EQ(VQXMediaLibMediaDescCapabilityAdd(r.get(), d, &c33), VQX_RESULT_OUT_OF_RESOURCE);
  EXPECT_EQ(VQXMediaLibMediaDescCapabilityAdd(r.get(), d + 1, &c33), VQX_RESULT_OUT_OF_RESOURCE) << "table full";
  EXPECT_EQ(r->un8NbMediaCapabilities, 32);
  const _VQX_SDP_CONNECTION conn{};
  for (u32 i = 0; i < 8; ++i) ASSERT_EQ(VQXMediaLibMediaDescConnectionAdd(r.get(), d, &conn), VQX_RESULT_OK);
  EXPECT_EQ(VQXMediaLibMediaDescConnectionAdd(r.get(), d, &conn), VQX_RESULT_OUT_OF_RESOURCE);
  EXPECT_EQ(VQXMediaLibSdpSessionConnectionAdd(r.get(), &conn), VQX_RESULT_OUT_OF_RESOURCE);
  EXPECT_EQ(r->un8NbConnections, 8);
}

/* A description's connection is the entry its index names while the index is below the count, else
 * none: never the session's entry in its stead, entry 0 of an empty table or an entry past the table.
 * The session's is entry 0 while there is one. Entries are added as the parser adds them. */
TEST(Desc, ConnectionOfADescription) {
  const struct {
    const char* what;
    const char* session;  // session-level address (null: none), added first
    const char* media;    // the description's own address (null: none)
    int idx, count;       // the description's index and the count written over them (-1: as added)
    const char* want;     // the description's connection ("-": none)
    const char* wantSession;
  } rows[] = {
      {"no connection anywhere", nullptr, nullptr, -1, -1, "-", "-"},
      {"session level only", "10.0.0.1", nullptr, -1, -1, "10.0.0.1", "10.0.0.1"},
      {"media level only", nullptr, "10.0.0.2", -1, -1, "10.0.0.2", "10.0.0.2"},
      {"both levels", "10.0.0.1", "10.0.0.2", -1, -1, "10.0.0.2", "10.0.0.1"},
      {"index at the count", "10.0.0.1", "10.0.0.2", 2, -1, "-", "10.0.0.1"},
      {"index past the count", "10.0.0.1", nullptr, 7, -1, "-", "10.0.0.1"},
      {"index 0 of an empty table holding stale bytes", nullptr, nullptr, 0, 0, "-", "-"},
      {"index past a full table", "10.0.0.1", nullptr, 8, 8, "-", "10.0.0.1"},
      {"index past the table, count above it", "10.0.0.1", nullptr, 8, 9, "-", "10.0.0.1"},
  };
  for (const auto& row : rows) {
    VqxRecord r = NewRecord();
    _VQX_SIMULTANEOUS_CAP* d = NewDesc(r.get());
    _VQX_SDP_CONNECTION c{};
    if (row.session != nullptr) {
      std::strcpy(c.szAddress, row.session);
      ASSERT_EQ(VQXMediaLibSdpSessionConnectionAdd(r.get(), &c), VQX_RESULT_OK) << row.what;
    }
    if (row.media != nullptr) {
      std::strcpy(c.szAddress, row.media);
      ASSERT_EQ(VQXMediaLibMediaDescConnectionAdd(r.get(), d, &c), VQX_RESULT_OK) << row.what;
    }
    std::strcpy(r->aConnections[r->un8NbConnections].szAddress, "10.9.9.9");  // stale bytes past the count
    if (row.idx >= 0) d->un8ConnectionIdx = static_cast<u8>(row.idx);
    if (row.count >= 0) r->un8NbConnections = static_cast<u8>(row.count);
    _VQX_SDP_CONNECTION *got = &c, *session = &c;
    EXPECT_EQ(VQXMediaLibMediaDescConnectionGet(r.get(), d, &got), VQX_RESULT_OK) << row.what;
    EXPECT_EQ(VQXMediaLibSdpSessionConnectionGet(r.get(), &session), VQX_RESULT_OK) << row.what;
    EXPECT_STREQ(got == nullptr ? "-" : got->szAddress, row.want) << row.what;
    EXPECT_STREQ(session == nullptr ? "-" : session->szAddress, row.wantSession) << row.what;
  }
}

TEST(Desc, CapabilitiesAreSharedAndWalked) {
  VqxRecord r = NewRecord();
  _VQX_SIMULTANEOUS_CAP* d0 = NewDesc(r.get());
  _VQX_SIMULTANEOUS_CAP* d1 = NewDesc(r.get());
  const _VQX_MEDIA_CAP pcmu = MakeCap(0), g729 = MakeCap(18, 3, 18);
  EXPECT_EQ(VQXMediaLibMediaDescCapabilityAdd(r.get(), d0, &pcmu), VQX_RESULT_OK);
  EXPECT_EQ(VQXMediaLibMediaDescCapabilityAdd(r.get(), d0, &pcmu), VQX_RESULT_INVALID_CONFIG);
  EXPECT_EQ(VQXMediaLibMediaDescCapabilityAdd(r.get(), d0, &g729), VQX_RESULT_OK);
  EXPECT_EQ(VQXMediaLibMediaDescCapabilityAdd(r.get(), d1, &g729), VQX_RESULT_OK);
  EXPECT_EQ(VqxMediaDumpSet(*r), "caps 0 18; g0 {0 1} {1}");
  u32 n = 0, un32Walked = 0;
  _VQX_MEDIA_CAP *c = nullptr, *c2 = nullptr;
  for (; VQXMediaLibMediaDescCapabilityGetNext2(r.get(), d0, &n, &c) == VQX_RESULT_OK && c != nullptr; ++un32Walked) {
    EXPECT_EQ(VQXMediaLibMediaDescCapabilityGetNext(r.get(), d0, &c2), VQX_RESULT_OK);
    EXPECT_EQ(c, c2) << "both iterators, choice " << un32Walked;
  }
  EXPECT_EQ(un32Walked, 2u);
  EXPECT_EQ(VQXMediaLibMediaDescCapabilityGetNext2(r.get(), d0, &++n, &c), VQX_RESULT_INVALID_PARAM);
  c = reinterpret_cast<_VQX_MEDIA_CAP*>(reinterpret_cast<u8*>(&r->aMediaCap[0]) + 4);
  EXPECT_EQ(VQXMediaLibMediaDescCapabilityGetNext(r.get(), d0, &c), VQX_RESULT_INVALID_PARAM);
  _VQX_SIMULTANEOUS_CAP* cur = d0;
  EXPECT_EQ(VQXMediaLibMediaDescGetNext(r.get(), nullptr, &cur), VQX_RESULT_OK);
  EXPECT_EQ(cur, d1);
  EXPECT_EQ(VQXMediaLibMediaDescGetNext(r.get(), nullptr, &cur), VQX_RESULT_OK);
  EXPECT_EQ(cur, nullptr);
  VQXMediaLibInverseCapabilitiesDirection(r.get());
  r->aMediaCap[0].Direction = 1;
  VQXMediaLibInverseCapabilitiesDirection(r.get());
  EXPECT_EQ(r->aMediaCap[0].Direction, 2u);
  VQXMediaLibSdpDuplicateRxAsTx(r.get());
  EXPECT_EQ(r->aMediaCap[1].Direction, 3u) << "not every capability is receive only";
}

TEST(Desc, MergeAddsSameClassCapabilitiesOnce) {
  VqxRecord other = GoldenRecord("pcmu.bin"), add = BuildSet({8, 122, 0}, {{{0, 1, 2}}});
  EXPECT_EQ(VQXMediaLibMediaDescCapabilityAddAfter(add.get(), other.get()), VQX_RESULT_OK);
  EXPECT_EQ(VqxMediaDumpSet(*other), "caps 0 8; g0 {0 1}") << "PCMA added, H.264 not (video), PCMU found";
  EXPECT_EQ(other->aMediaCap[1].Direction, 4u);
  EXPECT_EQ(VQXMediaLibMediaDescCapabilityAddAfter(add.get(), NewRecord().get()), VQX_RESULT_FAIL);
}

TEST(Desc, DynamicPayloadTypes) {
  struct Row { const char* what; std::vector<std::pair<u32, u32>> caps; u32 fixed; std::vector<u32> want; } rows[] = {
      {"duplicate 96", {{0, 96}, {18, 96}}, 0, {96, 97}},
      {"event gets 101", {{101, 0xFFFFFFFF}, {104, 0xFFFFFFFF}}, 0, {101, 96}},
      {"101 taken", {{104, 101}, {101, 0xFFFFFFFF}, {100, 300}}, 0, {101, 96, 100}},
      {"static below 96 of a dynamic type", {{104, 8}, {0, 8}}, 0, {96, 8}},
      {"all fixed", {{104, 8}, {0, 200}}, 2, {8, 200}},
      {"fixed reserve", {{104, 96}, {126, 96}}, 1, {96, 97}},
  };
  for (const Row& row : rows) {
    VqxRecord r = NewRecord();
    for (auto [t, pt] : row.caps) r->aMediaCap[r->un8NbMediaCapabilities++] = MakeCap(t, 3, pt);
    EXPECT_EQ(VQXMediaLibAssignDynamicPayloadTypes(r.get(), row.fixed), VQX_RESULT_OK);
    for (size_t i = 0; i < row.want.size(); ++i) EXPECT_EQ(r->aMediaCap[i].Transport.Rtp.un32PayloadType, row.want[i]) << row.what << " #" << i;
  }
  VqxRecord r = NewRecord();
  r->un8NbMediaCapabilities = 32;
  for (u32 i = 0; i < 32; ++i) r->aMediaCap[i] = MakeCap(104, 3, 0xFFFFFFFF);
  VQXMediaLibAssignDynamicPayloadTypes(r.get(), 0);
  EXPECT_EQ(r->aMediaCap[29].Transport.Rtp.un32PayloadType, 127u);
  EXPECT_EQ(r->aMediaCap[30].Transport.Rtp.un32PayloadType, 0xFFFFFFFFu) << "none left once 127 is given";
}

TEST(Desc, Texts) {
  VqxRecord r = BuildSet({0, 18, 0xFFFFFFFF, 98}, {{{0, 1, 2}, {3}}});
  char sz[64];
  u16 n = sizeof sz;
  EXPECT_EQ(VQXMediaLibCapabilitiesFormatCodecChoices(PackSet(*r).data(), sz, &n), VQX_RESULT_OK);
  EXPECT_STREQ(sz, "( PCMU or G729AB ) / ( IFP )");
  EXPECT_EQ(n, 28);
  n = 10;
  EXPECT_EQ(VQXMediaLibCapabilitiesFormatCodecChoicesExpanded(r.get(), sz, &n), VQX_RESULT_OK);
  EXPECT_STREQ(sz, "( PCMU or");
  struct Ev { u32 bitmap[8]; u32 size; const char* text; VQX_RESULT res; } evs[] = {
      {{0xFFFF, 1}, 64, "0-15,32", VQX_RESULT_OK},
      {{0xFFFFFFFF, 0, 1}, 64, "0-31,64", VQX_RESULT_OK},
      {{~0u, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u}, 6, "0-255", VQX_RESULT_OK},
      {{0xFFFF, 1}, 7, "0-15", VQX_RESULT_FAIL},
      {{0, 0, 0, 0, 0, 0, 0, 0x80000000}, 4, "255", VQX_RESULT_OK},
  };
  for (const Ev& e : evs) {
    EXPECT_EQ(VQXMediaLibSdpFormatRFC2833EventList(e.bitmap, e.size, sz), e.res) << e.text;
    EXPECT_STREQ(sz, e.text);
  }
}

}  // namespace
