/*
 * Validation texts, repair, byte-order conversions against big-endian golden
 * bytes and by round trip, and the data-point copies.
 */
#include <algorithm>
#include <functional>
#include <tuple>

#include "support/media_test.h"
#include "vqx_msg_element.h"

namespace {

using Mutate = std::function<void(_VQX_SDP_INFO&)>;
constexpr VQX_RESULT S = VQX_RESULT_OUT_OF_RANGE, C = VQX_RESULT_INVALID_PARAM;

TEST(Validate, EveryMessage) {
  auto frames = [](u32 t, u16 n, u32 transport = 1) {
    return [=](_VQX_SDP_INFO& r) {
      r.aMediaCap[0] = MakeCap(t, 3, 0, transport == 2 ? 0 : n);
      r.aMediaCap[0].Transport.Type = transport;
      if (transport == 2) r.aMediaCap[0].Transport.H223.un16MaxAudioFramesPerALSdu = n;
    };
  };
  struct Row { Mutate m; VQX_RESULT res; const char* text; } rows[] = {
      {[](auto& r) { r.un8NbMediaCapabilities = 0; }, S, "un8NbMediaCapabilities is 0"},
      {[](auto& r) { r.un8NbMediaCapabilities = 33; }, S, "un8NbMediaCapabilities out of range (33, max 32)"},
      {[](auto& r) { r.un8NbCapabilityGroups = 0; }, S, "un8NbCapabilityGroups is 0"},
      {[](auto& r) { r.un8NbCapabilityGroups = 3; }, S, "un8NbCapabilityGroups out of range (3, max 2)"},
      {[](auto& r) { r.un8NbConnections = 9; }, S, "un8NbConnections out of range (9, max 8)"},
      {[](auto& r) { r.aCapGroups[0].un8NbSimultaneousCap = 0; }, S, "aCapGroups[0].un8NbSimultaneousCap is 0"},
      {[](auto& r) { r.aCapGroups[0].un8NbSimultaneousCap = 9; }, S, "aCapGroups[0].un8NbSimultaneousCap out of range (9, max 8)"},
      {[](auto& r) { r.aCapGroups[0].aSimultaneousCap[0].un8NbChoices = 0; }, S, "aCapGroups[0].aSimultaneousCap[0].un8NbChoices is 0"},
      {[](auto& r) { r.aCapGroups[0].aSimultaneousCap[0].un8NbChoices = 33; }, S, "aCapGroups[0].aSimultaneousCap[0].un8NbChoices out of range (33, max 32)"},
      {[](auto& r) { r.aCapGroups[0].aSimultaneousCap[0].un8ConnectionIdx = 5; }, S, "aCapGroups[0].aSimultaneousCap[0].un8ConnectionIdx out of range (5, max 1)"},
      {[](auto& r) { r.aCapGroups[0].aSimultaneousCap[0].un8RedundantConnectionIdx = 1; }, S, "aCapGroups[0].aSimultaneousCap[0].un8RedundantConnectionIdx out of range (1, max 1)"},
      {[](auto& r) { r.aCapGroups[0].aSimultaneousCap[0].aMediaCapChoices[1].un8CapIdx = 7; }, S, "aCapGroups[0].aSimultaneousCap[0].aMediaCapChoices[1].un8CapIdx out of range (7, max 2)"},
      {[](auto& r) { r.aMediaCap[0].Direction = 6; r.aMediaCap[0].Encoding.MediaType = 96; }, C, "aMediaCap[0].Direction is invalid (6)"},
      {frames(0, 0), C, "aMediaCap[0].Transport.Rtp.un16MaxAudioFramesPerPacket is invalid (0)"},
      {frames(0, 1500), VQX_RESULT_OK, ""},
      {frames(8, 1501), C, "aMediaCap[0].Transport.Rtp.un16MaxAudioFramesPerPacket is too big (1501)"},
      {frames(18, 255), VQX_RESULT_OK, ""},
      {frames(18, 256), C, "aMediaCap[0].Transport.Rtp.un16MaxAudioFramesPerPacket is too big (256)"},
      {frames(18, 0, 2), C, "aMediaCap[0].Transport.H223.un16MaxAudioFramesPerALSdu is invalid (0)"},
      {frames(18, 256, 2), C, "aMediaCap[0].Transport.H223.un16MaxAudioFramesPerALSdu is too big (256)"},
      {frames(0, 20, 3), C, ""},
      {frames(96, 20, 3), C, ""},
      {frames(514, 20, 3), C, ""},
      {frames(98, 0, 3), VQX_RESULT_OK, ""},
      {frames(0, 20, 7), C, "aMediaCap[0].Transport.Type is invalid (7)"},
      {frames(96, 20), C, "aMediaCap[0].Encoding.MediaType is invalid (96)"},
      {frames(514, 20), C, "aMediaCap[0].Encoding.UserIndication has no flag set"},
      {frames(768, 20), C, "aMediaCap[0].Encoding.MediaType is invalid (768)"},
  };
  for (const Row& row : rows) {
    VqxRecord r = GoldenRecord("pcmu_te.bin");
    row.m(*r);
    char sz[VQX_MEDIA_VALIDATE_TEXT_SIZE] = "stale";
    EXPECT_EQ(VQXMediaValidateCapabilities(r.get(), r.get(), sz), row.res) << row.text;
    EXPECT_STREQ(sz, row.text);
  }
}

TEST(Validate, RepairDropsInvalidCapabilities) {
  struct Row { std::vector<u32> types; std::vector<std::vector<u8>> descs; VQX_RESULT res; const char* text; const char* shape; } rows[] = {
      {{0xFFFFFFFF, 101}, {{0, 1}}, VQX_RESULT_OK, "", "caps 101; g0 {0}"},
      {{0xFFFFFFFF, 0xFFFFFFFF}, {{0, 1}}, S, "un8NbMediaCapabilities is 0", "caps"},
      {{0, 0xFFFFFFFF}, {{1}, {0}}, VQX_RESULT_OK, "", "caps 0; g0 {0}"},
  };
  for (const Row& row : rows) {
    VqxRecord r = BuildSet(row.types, {row.descs});
    std::vector<u32> compact = PackSet(*r);
    const std::vector<u32> before = compact;
    char sz[VQX_MEDIA_VALIDATE_TEXT_SIZE];
    EXPECT_EQ(VQXMediaRepairCapabilities(compact.data(), sz), row.res) << row.shape;
    EXPECT_EQ(compact, before) << "a compact set is repaired on a copy";
    EXPECT_EQ(VQXMediaRepairCapabilities(r.get(), sz), row.res) << row.shape;
    EXPECT_STREQ(sz, row.text);
    EXPECT_EQ(VqxMediaDumpSet(*r), row.shape);
  }
}

TEST(Swap, EveryTypeMatchesBigEndianGoldenAndRoundTrips) {
  const std::vector<u8> golden = ReadGolden("swap_be.bin");
  size_t off = 0;
  for (u32 t : g_aSwapTypes) {
    const _VQX_MEDIA_CAP c = SwapCap(t);
    VqxRecord r = BuildSet({}, {{{0}}});
    r->aMediaCap[r->un8NbMediaCapabilities++] = c;
    _VQX_SIMULTANEOUS_CAP& d = r->aCapGroups[0].aSimultaneousCap[0];
    std::tie(d.un16Port, d.un8NbPorts, d.un16SetupDirection) = std::tuple(0x1234, 1, 2);
    const std::vector<u32> host = PackSet(*r);
    std::vector<u32> be(host.size()), back(host.size());
    be[0] = host[0];
    ASSERT_EQ(VQXMediaCapabilitiesSwap(host.data(), be.data(), 2, 1), VQX_RESULT_OK) << t;
    ASSERT_LE(off + 4, golden.size());
    const u32 n = __builtin_bswap32(VqxLoad32(&golden[off]));
    EXPECT_EQ(std::vector<u8>(golden.begin() + off + 4, golden.begin() + off + 4 + n),
              std::vector<u8>(reinterpret_cast<u8*>(be.data()), reinterpret_cast<u8*>(be.data()) + n)) << "type " << t;
    off += 4 + n;
    EXPECT_EQ(VQXMediaCapabilitiesCompactSwap(be.data(), be.data(), 1, 2), VQX_RESULT_OK) << t;
    EXPECT_EQ(std::memcmp(be.data(), host.data(), n), 0) << t << ": in place and back";
  }
  EXPECT_EQ(off, golden.size());
  for (auto [t, res] : {std::pair{70u, C}, {71u, C}, {512u, C}, {0xFFFFFFFFu, VQX_RESULT_NOT_SUPPORTED}}) {
    _VQX_MEDIA_CAP c = MakeCap(t), out;
    EXPECT_EQ(VQXMediaCapabilitySwap(&c, &out, 2, 0), res) << t;
  }
}

TEST(Swap, WholeDescriptionsBothForms) {
  VqxRecord r = GoldenRecord("two_groups.bin");
  std::vector<u8> blob = ReadGolden("two_groups.bin"), be(blob.size()), back(blob.size());
  std::memcpy(be.data(), VQX_MEDIA_COMPACT_MAGIC, 4);
  EXPECT_EQ(VQXMediaSDPInfoSwap(r.get(), be.data(), 2, 1), VQX_RESULT_NOT_SUPPORTED);
  EXPECT_EQ(std::count(be.begin(), be.end(), 0), static_cast<long>(be.size() - 4)) << "nothing written for mixed forms";
  ASSERT_EQ(VQXMediaSDPInfoCompactSwap(blob.data(), be.data(), 2, 1), VQX_RESULT_OK);
  EXPECT_EQ(be, ReadGolden("two_groups_be.bin"));
  ASSERT_EQ(VQXMediaSDPInfoCompactSwap(be.data(), back.data(), 1, 2), VQX_RESULT_OK);
  EXPECT_EQ(back, blob);
  VqxRecord once = NewRecord(), twice = NewRecord();
  ASSERT_EQ(VQXMediaSDPInfoSwap(r.get(), once.get(), 2, 1), VQX_RESULT_OK);
  EXPECT_EQ(once->un64SessionVersion, 0x01000000FFFFFFFFull);
  // Field by field against the encoder's big-endian record (a field left as it was still comes back
  // on the way home): the offset of the first byte that differs, or the size when none does.
  const std::vector<u8> record_be = ReadGolden("two_groups_record_be.bin");
  ASSERT_EQ(record_be.size(), sizeof *r);
  auto agreeUpTo = [&](const _VQX_SDP_INFO& x, size_t n) {
    const u8* p = reinterpret_cast<const u8*>(&x);
    return static_cast<size_t>(std::mismatch(p, p + n, record_be.begin()).first - p);
  };
  EXPECT_EQ(agreeUpTo(*once, sizeof *once), sizeof *once);
  ASSERT_EQ(VQXMediaCapabilitiesExpandedSwap(r.get(), twice.get(), 2, 1), VQX_RESULT_OK);
  EXPECT_EQ(agreeUpTo(*twice, VQX_MEDIA_CAPABILITIES_SIZE), VQX_MEDIA_CAPABILITIES_SIZE);
  ASSERT_EQ(VQXMediaSDPInfoSwap(once.get(), twice.get(), 1, 2), VQX_RESULT_OK);
  EXPECT_EQ(std::memcmp(r.get(), twice.get(), sizeof *r), 0);
  r->aCapGroups[0].aSimultaneousCap[0].aMediaCapChoices[0].un8CapIdx = 9;
  EXPECT_EQ(VQXMediaCapabilitiesExpandedSwap(r.get(), once.get(), 2, 1), VQX_RESULT_INVALID_MESSAGE);
}

TEST(DataPoint, SetsAreDuplicatedAndCountsBeyondThePointRefused) {
  VqxTestMessage src(1024), dst(1024);
  ASSERT_EQ(VQXMsgElementInit(src.Msg(), VQX_MEDIA_DATA_POINT_SIZE), VQX_RESULT_OK);
  ASSERT_EQ(VQXMsgElementInit(dst.Msg(), VQX_MEDIA_DATA_POINT_SIZE), VQX_RESULT_OK);
  u8* s = src.Payload();
  VqxStore32(s, 3);
  VqxStore32(s + 28, 2);
  for (u32 off : {24u, 40u, 64u, 64u}) ASSERT_EQ(VQXMsgElementStringAdd(src.Msg(), s + off, "x"), VQX_RESULT_OK);
  EXPECT_EQ(VQXMediaServerCopyOutputDataPoint(nullptr, s, dst.Msg(), dst.Payload()), VQX_RESULT_OK);
  EXPECT_EQ(VQXMsgElementCount(dst.Payload() + 24), 1);
  EXPECT_EQ(VQXMsgElementCount(dst.Payload() + 64), 2);
  EXPECT_EQ(VQXMediaServerCopyInputDataPoint(nullptr, s, dst.Msg(), dst.Payload()), VQX_RESULT_OK);
  EXPECT_EQ(VQXMsgElementCount(dst.Payload() + 24), 1);
  VqxStore32(s + 28, 9);
  const std::vector<u64> before = dst.aBuf;
  EXPECT_EQ(VQXMediaServerCopyOutputDataPoint(nullptr, s, dst.Msg(), dst.Payload()), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(dst.aBuf, before);
}

}  // namespace
