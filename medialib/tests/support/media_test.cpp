/*
 * media_test.cpp - the shared fixtures of media_test.h.
 */
#include "support/media_test.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <tuple>

#include "vqx_msg_layout.h"

VqxRecord NewRecord() {
  VqxRecord r(new _VQX_SDP_INFO);
  std::memset(r.get(), 0, sizeof *r);
  return r;
}

std::vector<u8> ReadGolden(const std::string& name) {
  const char* dir = std::getenv("VQX_TEST_DATA");
  std::ifstream f(std::string(dir != nullptr ? dir : "medialib/tests/data") + "/" + name, std::ios::binary);
  EXPECT_TRUE(f.good()) << name;
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

_VQX_MEDIA_CAP MakeCap(u32 un32Type, u32 un32Dir, u32 un32Pt, u16 un16Frames, u16 un16Ptime) {
  _VQX_MEDIA_CAP c{};
  c.Direction = un32Dir;
  c.Transport.Type = VQX_MEDIA_TRANSPORT_RTP;
  c.Transport.Rtp.un32PayloadType = un32Pt;
  c.Transport.Rtp.un16MaxAudioFramesPerPacket = un16Frames;
  c.Transport.Rtp.un16PacketTimeMs = un16Ptime;
  c.Encoding.MediaType = un32Type;
  return c;
}

namespace {

/* A description built through the library's own calls, as the parser does:
 * its capabilities, then its connection {text, addresses, ttl, type}. */
_VQX_SIMULTANEOUS_CAP& Add(_VQX_SDP_INFO* r, std::vector<_VQX_MEDIA_CAP> caps, const char* psz, u32 n, u8 ttl, u8 type) {
  _VQX_SIMULTANEOUS_CAP* pDesc = nullptr;
  EXPECT_EQ(VQXMediaLibMediaDescCreate(r, &pDesc), VQX_RESULT_OK);
  for (const _VQX_MEDIA_CAP& c : caps) EXPECT_EQ(VQXMediaLibMediaDescCapabilityAdd(r, pDesc, &c), VQX_RESULT_OK);
  _VQX_SDP_CONNECTION conn{{}, n, ttl, type, {}};
  std::strncpy(conn.szAddress, psz, sizeof conn.szAddress - 1);
  EXPECT_EQ(VQXMediaLibMediaDescConnectionAdd(r, pDesc, &conn), VQX_RESULT_OK);
  return *pDesc;
}

}  // namespace

VqxRecord GoldenRecord(const std::string& name) {
  VqxRecord r = NewRecord();
  _VQX_MEDIA_CAP pcmu = MakeCap(VQX_MEDIA_TYPE_PCMU, 3, 0, 20, 20);
  pcmu.Encoding.aun8Params[1] = 1;
  _VQX_MEDIA_CAP te = MakeCap(VQX_MEDIA_TYPE_TELEPHONE_EVENT, 3, 101, 1, 20);
  te.Encoding.Events.un16ClockRate = 8000;
  te.Encoding.Events.aun32Events[0] = 0xFFFF;
  te.Encoding.Events.aun32Events[1] = 1;
  if (name == "pcmu.bin" || name == "pcmu_te.bin") {
    std::vector<_VQX_MEDIA_CAP> caps{pcmu};
    if (name == "pcmu_te.bin") caps.push_back(te);
    _VQX_SIMULTANEOUS_CAP& d = Add(r.get(), caps, "192.0.2.10", 1, 0, 0);
    std::tie(d.un8NbPorts, d.un16Port) = std::tuple(1, 49170);
    std::tie(r->un64SessionId, r->un64SessionVersion) = std::tuple(0x1122334455667788ull, 2);
  } else if (name == "two_groups.bin") {
    _VQX_MEDIA_CAP mp4 = MakeCap(VQX_MEDIA_TYPE_MPEG4, 2, 98, 0, 0);
    mp4.Encoding.Mpeg4.un16MaxBitRate = 0x0500;
    mp4.Encoding.Mpeg4.un8ProfileLevelId = 3;
    mp4.Encoding.Mpeg4.un8ConfigLength = 5;
    std::memcpy(mp4.Encoding.Mpeg4.aun8Config, "\x00\x00\x01\xb0\x03", 5);
    _VQX_MEDIA_CAP np = MakeCap(VQX_MEDIA_TYPE_NOT_PARSED, 3, 0, 0, 0);
    np.Transport.Type = VQX_MEDIA_TRANSPORT_OTHER;
    np.Transport.Other = {0x01020304, 0x05060708};
    std::strcpy(np.Encoding.szNotParsed, "a=foo:bar\r\na=x");
    _VQX_SIMULTANEOUS_CAP& d0 = Add(r.get(), {mp4}, "mx.a.org", 3, 0, 1);
    std::tie(d0.un8NbPorts, d0.un16Port, d0.un16SetupDirection) = std::tuple(1, 5004, 2);
    ++r->un8NbCapabilityGroups;
    _VQX_SIMULTANEOUS_CAP& d1 = Add(r.get(), {np, MakeCap(99, 1, 112, 10, 30)}, "host.lan", 1, 0, 0);
    std::tie(d1.un8RedundantConnectionIdx, d1.un8NbPorts, d1.un16Port, d1.un16SetupDirection) = std::tuple(2, 2, 6000, 3);
    r->aConnections[r->un8NbConnections++] = {"198.51.100.7", 1, 16, 0, {}};
    std::tie(r->un8ConnectionSpare, r->un64SessionId, r->un64SessionVersion) = std::tuple(7, 1, 0xFFFFFFFF00000001ull);
  }
  return r;
}

const std::vector<u32> g_aSwapTypes = [] {
  std::vector<u32> v;
  for (u32 t = 0; t <= 0xFFFF; ++t)
    if (&VqxMediaTypeLookup(t) != &VqxMediaTypeLookup(2) && t != 70 && t != 71 && t != 512) v.push_back(t);
  v.push_back(2);
  return v;
}();

_VQX_MEDIA_CAP SwapCap(u32 t) {
  _VQX_MEDIA_CAP c = MakeCap(t, 3, t & 0x7F, 20, 0x0102);
  u8* p = reinterpret_cast<u8*>(&c);
  for (u32 o = 28; o < VqxMediaTypeLookup(t).un16Size; ++o) p[o] = static_cast<u8>(o + t);
  if (t == VQX_MEDIA_TYPE_MPEG4) {
    p[33] = 8;
    for (u32 o = 40; o < 48; ++o) p[o] = static_cast<u8>(o);
  }
  if (t >= VQX_MEDIA_TYPE_AUDIO_NOT_PARSED && t <= VQX_MEDIA_TYPE_NOT_PARSED)
    std::snprintf(c.Encoding.szNotParsed, sizeof c.Encoding.szNotParsed, "a=fmtp:96 x=%u", t);
  return c;
}

namespace {
u32 Rand(u32& s) {
  s = s * 1103515245u + 12345u;
  return (s >> 8) & 0xFFFFFF;
}
const u32 kRandomTypes[] = {0, 8, 18, 13, 34, 101, 122, 769, 98, 4, 125, 70, 71, 0xFFFFFFFF};
}  // namespace

VqxRecord RandomRecord(u32 s) {
  VqxRecord r = NewRecord();
  r->un8NbMediaCapabilities = static_cast<u8>(1 + Rand(s) % 32);
  for (u32 i = 0; i < r->un8NbMediaCapabilities; ++i) {
    r->aMediaCap[i] = MakeCap(kRandomTypes[Rand(s) % std::size(kRandomTypes)], 1 + Rand(s) % 5, Rand(s) % 128);
    r->aMediaCap[i].Encoding.aun8Params[4] = static_cast<u8>(Rand(s) % 3);
  }
  r->un8NbCapabilityGroups = static_cast<u8>(1 + Rand(s) % 2);
  for (u32 g = 0; g < r->un8NbCapabilityGroups; ++g) {
    _VQX_MEDIA_CAP_GROUP& grp = r->aCapGroups[g];
    grp.un8NbSimultaneousCap = static_cast<u8>(1 + Rand(s) % 8);
    for (u32 d = 0; d < grp.un8NbSimultaneousCap; ++d) {
      _VQX_SIMULTANEOUS_CAP& desc = grp.aSimultaneousCap[d];
      desc.un8NbChoices = static_cast<u8>(Rand(s) % 33);
      desc.un16Port = static_cast<u16>(Rand(s));
      for (u32 c = 0; c < desc.un8NbChoices; ++c) desc.aMediaCapChoices[c].un8CapIdx = static_cast<u8>(Rand(s) % 34);
    }
  }
  return r;
}

std::vector<u32> PackSet(const _VQX_SDP_INFO& r) {
  std::vector<u32> buf(2048, 0);
  EXPECT_EQ(VQXMediaLibCapabilitiesCompact(&r, 8192, reinterpret_cast<_VQX_MEDIA_CAPABILITIES_COMPACT*>(buf.data())),
            VQX_RESULT_OK);
  return buf;
}

VqxTestMessage::VqxTestMessage(u32 un32Payload) : aBuf((VQX_MSG_HEADER_SIZE + un32Payload) / 8 + 1, 0) {
  u8* p = reinterpret_cast<u8*>(aBuf.data());
  VqxStore32(p + VQX_MSG_OFFSET_LENGTH, VQX_MSG_HEADER_SIZE + un32Payload);
  VqxStore32(p + VQX_MSG_OFFSET_PAYLOAD_MAX_LENGTH, un32Payload);
  VqxStore32(p + VQX_MSG_OFFSET_PAYLOAD_START, VQX_MSG_HEADER_SIZE);
}

VqxRecord BuildSet(const std::vector<u32>& types, const std::vector<std::vector<std::vector<u8>>>& groups) {
  VqxRecord r = NewRecord();
  for (u32 t : types) r->aMediaCap[r->un8NbMediaCapabilities++] = MakeCap(t);
  for (const auto& g : groups) {
    _VQX_MEDIA_CAP_GROUP& grp = r->aCapGroups[r->un8NbCapabilityGroups++];
    for (const auto& d : g) {
      _VQX_SIMULTANEOUS_CAP& desc = grp.aSimultaneousCap[grp.un8NbSimultaneousCap++];
      for (u8 i : d) desc.aMediaCapChoices[desc.un8NbChoices++].un8CapIdx = i;
    }
  }
  return r;
}
