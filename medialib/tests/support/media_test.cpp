/*
 * media_test.cpp - the shared fixtures of media_test.h.
 */
#include "support/media_test.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

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

struct Desc {
  std::vector<_VQX_MEDIA_CAP> caps;
  u8 un8Rconn, un8Ports;
  u16 un16Port, un16Setup;
  const char* pszConn;
  u8 un8ConnType, un8Ttl;
  u32 un32NbAddr;
};

_VQX_SDP_CONNECTION Conn(const char* psz, u32 n, u8 ttl, u8 type) {
  _VQX_SDP_CONNECTION c{};
  std::strncpy(c.szAddress, psz, sizeof c.szAddress - 1);
  c.un32NbAddresses = n;
  c.un8Ttl = ttl;
  c.un8AddressType = type;
  return c;
}

/* Builds through the library's own calls, as the parser does. */
void Add(_VQX_SDP_INFO* r, const Desc& d, bool fNewGroup) {
  if (fNewGroup) ++r->un8NbCapabilityGroups;
  _VQX_SIMULTANEOUS_CAP* pDesc = nullptr;
  ASSERT_EQ(VQXMediaLibMediaDescCreate(r, &pDesc), VQX_RESULT_OK);
  for (const _VQX_MEDIA_CAP& c : d.caps) ASSERT_EQ(VQXMediaLibMediaDescCapabilityAdd(r, pDesc, &c), VQX_RESULT_OK);
  const _VQX_SDP_CONNECTION conn = Conn(d.pszConn, d.un32NbAddr, d.un8Ttl, d.un8ConnType);
  ASSERT_EQ(VQXMediaLibMediaDescConnectionAdd(r, pDesc, &conn), VQX_RESULT_OK);
  pDesc->un8RedundantConnectionIdx = d.un8Rconn;
  pDesc->un8NbPorts = d.un8Ports;
  pDesc->un16Port = d.un16Port;
  pDesc->un16SetupDirection = d.un16Setup;
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
    Desc d{{pcmu}, 0, 1, 49170, 0, "192.0.2.10", 0, 0, 1};
    if (name == "pcmu_te.bin") d.caps.push_back(te);
    Add(r.get(), d, false);
    r->un64SessionId = 0x1122334455667788ull;
    r->un64SessionVersion = 2;
  } else if (name == "two_groups.bin") {
    _VQX_MEDIA_CAP mp4 = MakeCap(VQX_MEDIA_TYPE_MPEG4, 2, 98, 0, 0);
    mp4.Encoding.Mpeg4.un16MaxBitRate = 0x0500;
    mp4.Encoding.Mpeg4.un8ProfileLevelId = 3;
    mp4.Encoding.Mpeg4.un8ConfigLength = 5;
    std::memcpy(mp4.Encoding.Mpeg4.aun8Config, "\x00\x00\x01\xb0\x03", 5);
    _VQX_MEDIA_CAP np = MakeCap(VQX_MEDIA_TYPE_NOT_PARSED, 3, 0, 0, 0);
    np.Transport.Type = VQX_MEDIA_TRANSPORT_OTHER;
    np.Transport.Other.un32Word0 = 0x01020304;
    np.Transport.Other.un32Word1 = 0x05060708;
    std::strcpy(np.Encoding.szNotParsed, "a=foo:bar\r\na=x");
    Add(r.get(), Desc{{mp4}, 0, 1, 5004, 2, "mx.example.org", 1, 0, 3}, false);
    Add(r.get(), Desc{{np, MakeCap(99, 1, 112, 10, 30)}, 2, 2, 6000, 3, "dns_off:    42", 0, 0, 1}, true);
    const _VQX_SDP_CONNECTION c2 = Conn("198.51.100.7", 1, 16, 0);
    r->aConnections[r->un8NbConnections++] = c2;
    r->un8ConnectionSpare = 7;
    r->un64SessionId = 1;
    r->un64SessionVersion = 0xFFFFFFFF00000001ull;
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
