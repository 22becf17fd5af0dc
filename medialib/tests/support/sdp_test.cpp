/*
 * sdp_test.cpp - the shared fixtures of sdp_test.h.
 */
#include "support/sdp_test.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {
std::string DataDir() {
  const char* dir = std::getenv("VQX_TEST_DATA");
  return dir != nullptr ? dir : "medialib/tests/data";
}
}  // namespace

std::string ReadText(const std::string& relative) {
  std::ifstream f(DataDir() + "/" + relative, std::ios::binary);
  EXPECT_TRUE(f.good()) << relative;
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

std::vector<SdpFile> SdpCorpus() {
  std::vector<SdpFile> v;
  for (const auto& e : std::filesystem::directory_iterator(DataDir() + "/sdp"))
    if (e.path().extension() == ".sdp") v.push_back({e.path().stem().string(), ReadText("sdp/" + e.path().filename().string())});
  std::sort(v.begin(), v.end(), [](const SdpFile& a, const SdpFile& b) { return a.name < b.name; });
  EXPECT_GE(v.size(), 15u);
  return v;
}

VqxRecord ParseSdp(const std::string& text, VQX_RESULT* pRes, std::string* pErr) {
  VqxRecord r = NewRecord();
  char szErr[2048];
  const VQX_RESULT res = VQXMediaLibSdpParse2(text.c_str(), r.get(), 0, szErr, sizeof szErr, nullptr);
  if (pRes != nullptr) *pRes = res;
  if (pErr != nullptr) *pErr = szErr;
  return r;
}

std::string GenerateSdp(const _VQX_SDP_INFO& r, u32 flags, VQX_RESULT* pRes) {
  std::vector<char> buf(0xFFFF);
  u16 len = 0xFFFF;
  const VQX_RESULT res = VQXMediaLibSdpExpandedGenerate(&r, buf.data(), &len, flags);
  if (pRes != nullptr) *pRes = res;
  return std::string(buf.data(), len);
}

std::string DumpSdp(const _VQX_SDP_INFO& r) {
  std::string s;
  auto put = [&s](const char* pszFormat, auto... args) {
    char sz[512];
    snprintf(sz, sizeof sz, pszFormat, args...);
    s += sz;
  };
  put("session %llu %llu caps %u groups %u conns %u\n", (unsigned long long)r.un64SessionId,
      (unsigned long long)r.un64SessionVersion, r.un8NbMediaCapabilities, r.un8NbCapabilityGroups, r.un8NbConnections);
  for (u32 i = 0; i < std::min<u32>(r.un8NbConnections, VQX_MEDIA_MAX_CONNECTIONS); ++i) {
    const _VQX_SDP_CONNECTION& c = r.aConnections[i];
    put("conn %u '%.16s' n %u ttl %u type %u\n", i, c.szAddress, c.un32NbAddresses, c.un8Ttl, c.un8AddressType);
  }
  for (u32 g = 0; g < VqxNbGroups(&r); ++g)
    for (u32 d = 0; d < VqxNbDescs(r.aCapGroups[g]); ++d) {
      const _VQX_SIMULTANEOUS_CAP& x = r.aCapGroups[g].aSimultaneousCap[d];
      put("desc %u.%u kind %u port %u/%u conn %u/%u setup %u choices", g, d, x.un8MediaKind, x.un16Port, x.un8NbPorts,
          x.un8ConnectionIdx, x.un8RedundantConnectionIdx, x.un16SetupDirection);
      for (u32 k = 0; k < VqxNbChoices(x); ++k) put(" %u", x.aMediaCapChoices[k].un8CapIdx);
      s += "\n";
    }
  for (u32 i = 0; i < VqxNbCaps(&r); ++i) {
    const _VQX_MEDIA_CAP& c = r.aMediaCap[i];
    put("cap %u dir %u tr %u pt %d frames %u ptime %u type %u:", i, c.Direction, c.Transport.Type,
        (int)c.Transport.Rtp.un32PayloadType, c.Transport.Rtp.un16MaxAudioFramesPerPacket,
        c.Transport.Rtp.un16PacketTimeMs, c.Encoding.MediaType);
    const u8* b = reinterpret_cast<const u8*>(&c);
    if (c.Encoding.MediaType >= VQX_MEDIA_TYPE_AUDIO_NOT_PARSED && c.Encoding.MediaType <= VQX_MEDIA_TYPE_NOT_PARSED) {
      std::string t(c.Encoding.szNotParsed, strnlen(c.Encoding.szNotParsed, 256));
      for (size_t k; (k = t.find("\r\n")) != std::string::npos;) t.replace(k, 2, "|");
      s += " '" + t + "'";
    } else {
      for (u32 k = 28; k < VQXMediaLibGetCapabilityStructSize(&c); ++k) put("%s%02x", k % 4 == 0 ? " " : "", b[k]);
    }
    s += "\n";
  }
  return s;
}

void ExpectGolden(const std::string& name, const std::string& text) {
  const char* upd = std::getenv("VQX_UPDATE_GOLDEN");
  if (upd != nullptr && std::string(upd) == "1") {
    std::ofstream(DataDir() + "/" + name, std::ios::binary) << text;
    return;
  }
  EXPECT_EQ(ReadText(name), text) << "golden " << name << " (VQX_UPDATE_GOLDEN=1 rewrites it)";
}
