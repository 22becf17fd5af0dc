/*
 * Compact set and blob: golden bytes from the independent encoder, every
 * short destination, refusals of blobs that claim more than they hold or more
 * than a record can take, round trips, capability sizes.
 */
#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "support/media_test.h"

namespace {

const char* const kGolden[] = {"empty.bin", "pcmu.bin", "pcmu_te.bin", "two_groups.bin"};

std::vector<u8> PackBlob(const _VQX_SDP_INFO& r, u32 un32Size = 2048) {
  std::vector<u32> buf(un32Size / 4 + 1, 0);
  EXPECT_EQ(VQXMediaLibSdpInfoCompact(&r, un32Size, reinterpret_cast<_VQX_SDP_INFO_COMPACT*>(buf.data())), VQX_RESULT_OK);
  const u8* p = reinterpret_cast<const u8*>(buf.data());
  return {p, p + VqxMediaCompactSize(p)};
}

TEST(Compact, GoldenBlobsAndRoundTrip) {
  for (const char* name : kGolden) {
    VqxRecord r = GoldenRecord(name);
    const std::vector<u8> blob = PackBlob(*r);
    EXPECT_EQ(blob, ReadGolden(name)) << name;
    VqxRecord back = NewRecord();
    std::memset(back.get(), 0xA5, sizeof *back);
    ASSERT_EQ(VqxMediaSdpInfoExpandBytes(blob.data(), blob.size(), back.get()), VQX_RESULT_OK) << name;
    EXPECT_EQ(back->aCapGroups[0].aSimultaneousCap[0].un8MediaKind, 0xA5) << name << ": not carried, kept";
    EXPECT_EQ(back->un64SessionVersion, r->un64SessionVersion) << name;
    EXPECT_TRUE(VQXMediaCapabilitiesCompare(r.get(), back.get())) << name;
    std::string conns;
    for (u32 i = 0; i < back->un8NbConnections; ++i)
      conns += std::string(back->aConnections[i].szAddress) + "/" + std::to_string(back->aConnections[i].un8AddressType) + " ";
    if (std::string(name) == "two_groups.bin") {
      /* Texts of 8 characters arrive whole; a numeric entry that is no address travels as text, not as
       * 255.255.255.255. */
      EXPECT_EQ(conns, "mx.a.org/1 host.lan/1 198.51.100.7/0 ");
      EXPECT_EQ(back->aMediaCap[2].Encoding.MediaType, 99u) << "a 24-byte type arrives with its media type";
    } else {
      EXPECT_TRUE(VQXSDPInfoCompare(r.get(), back.get())) << name;
    }
  }
}

/* Numeric connections of every byte value arrive as the text printf prints, the bytes after it kept, and
 * the first two give the header's address words (a connection whose text is no address gives 0). */
TEST(Compact, NumericConnectionsRoundTripAsPrintedText) {
  for (u32 v = 0; v < 256; ++v) {
    const u32 a[4] = {v, 255 - v, (v * 7) % 256, v / 3};
    char szWant[32];
    std::snprintf(szWant, sizeof szWant, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
    VqxRecord r = NewRecord();
    r->un8NbConnections = 3;
    const char* const apsz[3] = {szWant, "1.0.0.01", "10.0.0.1"};
    for (u32 i = 0; i < 3; ++i) std::memcpy(r->aConnections[i].szAddress, apsz[i], std::strlen(apsz[i]) + 1); /* at most 16 */
    const std::vector<u8> blob = PackBlob(*r);
    ASSERT_GE(blob.size(), VQX_MEDIA_BLOB_OFF_IPV4_1 + 4u);
    const u32 aun32Words[2] = {VqxLoad32(blob.data() + VQX_MEDIA_BLOB_OFF_IPV4_0), VqxLoad32(blob.data() + VQX_MEDIA_BLOB_OFF_IPV4_1)};
    const u32 aun32Want[2] = {inet_addr(szWant), 0};
    EXPECT_EQ(std::vector<u32>(aun32Words, aun32Words + 2), std::vector<u32>(aun32Want, aun32Want + 2)) << szWant;
    VqxRecord back = NewRecord();
    std::memset(back.get(), 0xA5, sizeof *back);
    ASSERT_EQ(VqxMediaSdpInfoExpandBytes(blob.data(), blob.size(), back.get()), VQX_RESULT_OK) << szWant;
    const _VQX_SDP_CONNECTION& c = back->aConnections[0];
    EXPECT_EQ(std::string(c.szAddress), szWant);
    for (size_t k = std::strlen(szWant) + 1; k < sizeof c.szAddress; ++k) EXPECT_EQ(static_cast<u8>(c.szAddress[k]), 0xA5) << szWant;
    EXPECT_EQ(std::string(back->aConnections[1].szAddress) + "/" + std::to_string(back->aConnections[1].un8AddressType) + " " +
                  std::string(back->aConnections[2].szAddress) + "/" + std::to_string(back->aConnections[2].un8AddressType),
              "1.0.0.01/1 10.0.0.1/0")
        << "a numeric entry that is no address travels as text";
  }
}

TEST(Compact, EveryShortDestinationFailsInsideItsBuffer) {
  for (const char* name : kGolden) {
    VqxRecord r = GoldenRecord(name);
    const u32 un32Total = static_cast<u32>(PackBlob(*r).size());
    const u32 un32Set = VqxMediaCompactSize(PackBlob(*r).data() + VQX_MEDIA_BLOB_OFF_SET);
    for (u32 n = 0; n < un32Total; ++n) {
      std::vector<u32> buf(un32Total / 4 + 4, 0xCCCCCCCCu);
      u8* p = reinterpret_cast<u8*>(buf.data());
      const VQX_RESULT res = VQXMediaLibSdpInfoCompact(r.get(), n, reinterpret_cast<_VQX_SDP_INFO_COMPACT*>(p));
      EXPECT_EQ(res, n < 84 ? VQX_RESULT_INVALID_PARAM : VQX_RESULT_BUFFER_TOO_SMALL) << name << " size " << n;
      for (u32 i = n; i < buf.size() * 4; ++i) ASSERT_EQ(p[i], 0xCC) << name << " size " << n << " wrote byte " << i;
      EXPECT_EQ(n >= 8 ? VqxMediaCompactSize(p) : 84u, 84u) << name << " size " << n;
      if (n >= un32Set) continue;
      std::fill(buf.begin(), buf.end(), 0xCCCCCCCCu);
      EXPECT_TRUE(VQX_RESULT_FAILED(VQXMediaLibCapabilitiesCompact(r.get(), n, reinterpret_cast<_VQX_MEDIA_CAPABILITIES_COMPACT*>(p))));
      for (u32 i = std::max(n, 8u); i < buf.size() * 4; ++i) ASSERT_EQ(p[i], 0xCC) << name << " set size " << n;
      EXPECT_EQ(n >= 8 ? VqxMediaCompactSize(p) : 28u, 28u) << name << " set size " << n;
    }
    std::vector<u32> buf(un32Total / 4 + 4, 0);
    EXPECT_EQ(VQXMediaLibSdpInfoCompact(r.get(), un32Total, reinterpret_cast<_VQX_SDP_INFO_COMPACT*>(reinterpret_cast<u8*>(buf.data()) + 2)),
              VQX_RESULT_INVALID_PARAM) << name << ": misaligned";
  }
}

TEST(Compact, BlobsBeyondTheRecordOrTheirLengthAreRefusedWithNothingWritten) {
  const std::vector<u8> good = ReadGolden("pcmu_te.bin");
  struct Row { const char* what; u32 off; u32 value; u32 width; VQX_RESULT res; } rows[] = {
      {"33 capabilities", 84, 33, 1, VQX_RESULT_INVALID_PARAM},
      {"3 groups", 85, 3, 1, VQX_RESULT_INVALID_PARAM},
      {"9 descriptions", 88, 9, 1, VQX_RESULT_INVALID_PARAM},
      {"33 choices", 92, 33, 1, VQX_RESULT_INVALID_PARAM},
      {"capability of 300 bytes", 108, 300, 4, VQX_RESULT_INVALID_PARAM},
      {"set larger than the blob", 60, 0x1000, 4, VQX_RESULT_BUFFER_TOO_SMALL},
      {"set too short for its capabilities", 60, 140, 4, VQX_RESULT_BUFFER_TOO_SMALL},
      {"blob without room for its connection", 4, 244, 4, VQX_RESULT_BUFFER_TOO_SMALL},
      {"blob larger than the bytes", 4, 260, 4, VQX_RESULT_BUFFER_TOO_SMALL},
  };
  for (const Row& row : rows) {
    std::vector<u8> bad = good;
    std::memcpy(&bad[row.off], &row.value, row.width);
    VqxRecord r = NewRecord(), before = NewRecord();
    std::memset(r.get(), 0x5A, sizeof *r);
    std::memcpy(before.get(), r.get(), sizeof *r);
    EXPECT_EQ(VqxMediaSdpInfoExpandBytes(bad.data(), bad.size(), r.get()), row.res) << row.what;
    EXPECT_EQ(std::memcmp(r.get(), before.get(), sizeof *r), 0) << row.what;
  }
}

TEST(Compact, PackerRefusesCountsBeyondTheRecordAndConnectionCountIsCut) {
  struct Row { const char* what; u32 off; u8 value; } rows[] = {
      {"33 capabilities", offsetof(_VQX_SDP_INFO, un8NbMediaCapabilities), 33},
      {"3 groups", offsetof(_VQX_SDP_INFO, un8NbCapabilityGroups), 3},
      {"9 descriptions", offsetof(_VQX_SDP_INFO, aCapGroups), 9},
      {"33 choices", offsetof(_VQX_SDP_INFO, aCapGroups[0].aSimultaneousCap), 33},
      {"9 connections", offsetof(_VQX_SDP_INFO, un8NbConnections), 9},
      /* A text entry holds 8 characters: "192.0.2.10" as a host name or IPv6 text, or made no address. */
      {"host-name text of 10 characters", offsetof(_VQX_SDP_INFO, aConnections[0].un8AddressType), 1},
      {"IPv6 text of 10 characters", offsetof(_VQX_SDP_INFO, aConnections[0].un8AddressType), 2},
      {"numeric entry of 10 characters that is no address", offsetof(_VQX_SDP_INFO, aConnections[0].szAddress[9]), 'x'},
  };
  for (const Row& row : rows) {
    VqxRecord r = GoldenRecord("pcmu.bin");
    reinterpret_cast<u8*>(r.get())[row.off] = row.value;
    std::vector<u32> buf(1024);
    EXPECT_EQ(VQXMediaLibSdpInfoCompact(r.get(), 4096, reinterpret_cast<_VQX_SDP_INFO_COMPACT*>(buf.data())),
              VQX_RESULT_INVALID_PARAM) << row.what;
  }
  VqxRecord r = GoldenRecord("pcmu.bin");
  for (u32 i = 1; i < 8; ++i) r->aConnections[r->un8NbConnections++] = r->aConnections[0];
  std::vector<u8> blob = PackBlob(*r);
  blob[56 + VqxMediaCompactSize(&blob[56]) + 1] = 9;
  VqxRecord back = NewRecord();
  EXPECT_EQ(VqxMediaSdpInfoExpandBytes(blob.data(), blob.size(), back.get()), VQX_RESULT_OK);
  EXPECT_EQ(back->un8NbConnections, 8);
}

/* A bare capability set is the head of a record: operations on capabilities
 * given one on the heap (exactly its size, so that a read past it traps) pack,
 * validate, search and compare it as the record it came from. */
TEST(Compact, BareCapabilitySetIsTheRecordsHead) {
  const VqxRecord r = GoldenRecord("pcmu_te.bin");
  auto set = std::make_unique<_VQX_MEDIA_CAPABILITIES>();
  std::memcpy(set.get(), r.get(), sizeof *set);
  const auto* p = reinterpret_cast<const _VQX_SDP_INFO*>(set.get());
  EXPECT_EQ(set->un8NbMediaCapabilities, 2);
  EXPECT_EQ(set->aMediaCap[1].Encoding.MediaType, VQX_MEDIA_TYPE_TELEPHONE_EVENT);
  EXPECT_EQ(PackSet(*p), PackSet(*r));
  char sz[VQX_MEDIA_VALIDATE_TEXT_SIZE];
  EXPECT_EQ(VQXMediaValidateCapabilities(p, nullptr, sz), VQX_RESULT_OK) << sz;
  EXPECT_TRUE(VQXMediaCapabilitiesCompare(p, r.get()));
  const _VQX_MEDIA_CAP* pCap = nullptr;
  EXPECT_EQ(VQXMediaFindCapByPayloadType(p, 101, &pCap), VQX_RESULT_OK);
  EXPECT_EQ(pCap, &set->aMediaCap[1]);
}

TEST(Compact, CapabilitySizes) {
  const u32 rows[][3] = {{0, 0, 32}, {119, 0, 40}, {119, 16, 56}, {768, 0, 29}, {770, 255, 284}, {0xFFFFFFFF, 0, 28}, {2, 0, 24}};
  for (const auto& [type, extra, size] : rows) {
    _VQX_MEDIA_CAP c = MakeCap(type);
    std::memset(c.Encoding.szNotParsed, type == 119 ? 0 : 'a', extra);
    c.Encoding.Mpeg4.un8ConfigLength = static_cast<u8>(type == 119 ? extra : c.Encoding.Mpeg4.un8ConfigLength);
    EXPECT_EQ(VQXMediaLibGetCapabilityStructSize(&c), size) << type << "/" << extra;
  }
}

}  // namespace
