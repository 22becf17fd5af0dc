/*
 * test_peer_util.h - what the peer tests share: advertisements as the
 * transport hands them, path changes under the library lock, a catch-all
 * filter reader, and a stand-in for the send path that records what the
 * library sends to peers.
 */
#ifndef TEST_PEER_UTIL_H
#define TEST_PEER_UTIL_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/hostlib_fixture.h"
#include "filter/vqx_filter_internal.h"
#include "vqx_gwlib.h"
#include "vqx_host_filter.h"
#include "peer/vqx_host_peer_internal.h"

inline u32 Rd32(const u8* pby, size_t off) {
  u32 v;
  memcpy(&v, pby + off, 4);
  return v;
}
inline void Wr32(u8* pby, size_t off, u32 v) { memcpy(pby + off, &v, 4); }

inline VQX_GW_ADAPTER_ADV AdapterAdv(const char* pszSerial, const char* pszName, const char* pszGw0,
                                     const char* pszGw1, u32 un32Build = 0x00600000) {
  VQX_GW_ADAPTER_ADV adv{};
  adv.un32Id = 0x47575041;
  adv.un8NewInfo = 1;
  adv.Info.aun32Info[0] = 0x11111111;
  adv.Info.aun32Info[1] = 0x22222222;
  adv.Info.aun32Info[2] = 0x33333333;
  adv.Info.un32Info280 = 0x44444444;
  snprintf(adv.Info.szSerialNumber, sizeof(adv.Info.szSerialNumber), "%s", pszSerial);
  snprintf(adv.Info.szAdapterName, sizeof(adv.Info.szAdapterName), "%s", pszName);
  snprintf(adv.Info.szIpAddress0, sizeof(adv.Info.szIpAddress0), "%s", pszGw0);
  snprintf(adv.Info.szIpAddress1, sizeof(adv.Info.szIpAddress1), "%s", pszGw1);
  snprintf(reinterpret_cast<char*>(adv.Info.aun8Remainder), sizeof(adv.Info.aun8Remainder), "more-%s", pszSerial);
  adv.Info.un32BuildNumber = un32Build;
  return adv;
}

inline VQX_GW_HOST_ADV HostAdv(const char* pszHost, const char* pszApp, u64 un64Id, u32 un32Build,
                               const char* pszGw0 = "10.0.0.7", const char* pszGw1 = "10.1.0.7") {
  VQX_GW_HOST_ADV adv{};
  adv.un32Id = 0x484C5041;
  adv.un8Kind = 1;
  adv.un8NewInfo = 1;
  adv.Info.un64UniqueId = un64Id;
  adv.Info.un32InfoVersion = 2;
  snprintf(adv.Info.szHostName, sizeof(adv.Info.szHostName), "%s", pszHost);
  snprintf(adv.Info.szAppName, sizeof(adv.Info.szAppName), "%s", pszApp);
  adv.Info.un64HostCtx1 = 0x0102030405060708ull;
  adv.Info.un64HostCtx2 = 0x1112131415161718ull;
  snprintf(adv.Info.szIpAddress0, sizeof(adv.Info.szIpAddress0), "%s", pszGw0);
  snprintf(adv.Info.szIpAddress1, sizeof(adv.Info.szIpAddress1), "%s", pszGw1);
  adv.Info.un32BuildNumber = un32Build;
  adv.Info.un8Two = 2;
  return adv;
}

/* A path of a peer up (as the transport reports it) and a peer record, each under the library lock. */
inline VQX_RESULT PathUp(VQX_LIB_HANDLE hLib, u32 h, const VQX_GW_ADAPTER_ADV* pA, const VQX_GW_HOST_ADV* pH = nullptr,
                         u32 fGw0 = 1) {
  return Locked(hLib, [&] { return VqxHostAdapterPathAdd(hLib, h, pA, pH, fGw0); });
}
inline VQX_PEER* PeerOf(VQX_LIB_HANDLE hLib, u32 h) {
  return Locked(hLib, [&] { return VqxHostAdapterOrHostByHandle(hLib, h); });
}

/* Golden notification payloads (tests/data/peer_notifications.hex, from byte 8 of the payload). */
inline std::map<std::string, std::vector<u8>> GoldenNotifications() {
  std::map<std::string, std::vector<u8>> rows;
  std::ifstream in(DataPath("peer_notifications.hex"));
  std::string line;
  while (std::getline(in, line)) {
    const size_t colon = line.find(": ");
    if (colon == std::string::npos) continue;
    std::vector<u8> bytes;
    for (size_t i = colon + 2; i + 1 < line.size(); i += 2) {
      bytes.push_back(static_cast<u8>(std::stoul(line.substr(i, 2), nullptr, 16)));
    }
    rows[line.substr(0, colon)] = bytes;
  }
  return rows;
}

/* Messages handed to the send path, as bytes (header in host order). */
struct SentLog {
  std::mutex Mutex;
  std::vector<std::vector<u8>> Msgs;
};
inline SentLog& Sent() {
  static SentLog s_Log;
  return s_Log;
}
inline VQX_RESULT CaptureSend(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg) {
  {
    std::lock_guard<std::mutex> guard(Sent().Mutex);
    const u8* pby = reinterpret_cast<const u8*>(hMsg);
    Sent().Msgs.emplace_back(pby, pby + hMsg->un32Length);
  }
  VqxMsgReleaseInternal(hLib, hMsg);
  return VQX_RESULT_API_OK;
}
inline std::vector<std::vector<u8>> TakeSent() {
  std::lock_guard<std::mutex> guard(Sent().Mutex);
  std::vector<std::vector<u8>> out;
  out.swap(Sent().Msgs);
  return out;
}
inline u32 MsgId(const std::vector<u8>& m) { return Rd32(m.data(), 0); }
/*
 * One line for a message handed to the send path, for golden files: destination, id, type, length,
 * serial number, the fixed 2, then the payload words from byte 8 (the first un32Words of them; a
 * CLEAR's words past 12 carry this machine's names and are left out).
 */
inline std::string SentLine(const std::vector<u8>& m, u32 un32Words = 16) {
  const auto* h = reinterpret_cast<const _VQX_MSG_HEADER*>(m.data());
  if (h->un32MsgId == 0x020D0100u && un32Words > 2) un32Words = 2;
  char sz[64];
  snprintf(sz, sizeof(sz), "to %08X id %08X type %u len %u serial %u two %u |", h->hAdapter, h->un32MsgId, h->MsgType,
           h->un32Length, h->un32SerialNumber, h->un32FixedTwo);
  std::string line = sz;
  for (u32 i = 0; i < un32Words && 8 + 4 * i + 4 <= h->un32PayloadLength; i++) {
    snprintf(sz, sizeof(sz), " %08X", Rd32(m.data() + VQX_MSG_HEADER_SIZE, 8 + 4 * i));
    line += sz;
  }
  return line + "\n";
}
inline const u8* Payload(const std::vector<u8>& m) { return m.data() + VQX_MSG_HEADER_SIZE; }
/* "# step" and one line per message handed to the send path since the last step, for golden files. */
inline std::string SentStep(const char* pszStep) {
  std::string text = std::string("# ") + pszStep + "\n";
  for (const auto& m : TakeSent()) text += SentLine(m);
  return text;
}

/* A library with no transport, a catch-all filter and the send path recorded. */
class PeerTest : public HostLibTest {
 protected:
  void SetUp() override {
    HostLibTest::SetUp();
    VqxHostLibSetPeerSend(CaptureSend);
    TakeSent();
  }
  void TearDown() override {
    if (mhAll != nullptr) { EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &mhAll), VQX_RESULT_API_OK); }
    HostLibTest::TearDown();
    VqxHostLibSetPeerSend(nullptr);
    TakeSent();
  }
  /* Every notification of the library's own group. */
  void CatchNotifications() { mhAll = Filter({FilterSet(VQX_FILTER_MASK_MSG_GROUP, 0x02010000)}); }
  VQX_RESULT Up(u32 h, const VQX_GW_ADAPTER_ADV* pA, const VQX_GW_HOST_ADV* pH, u32 fGw0) {
    return PathUp(mhLib, h, pA, pH, fGw0);
  }
  /* A board whose serial number and name are pszSerial (addresses 10.0.0.9 and 10.1.0.9) up on one path. */
  VQX_RESULT UpBoard(u32 h, const char* pszSerial, u32 fGw0 = 1, u32 un32Build = 0x00600000) {
    const VQX_GW_ADAPTER_ADV adv = AdapterAdv(pszSerial, pszSerial, "10.0.0.9", "10.1.0.9", un32Build);
    return Up(h, &adv, nullptr, fGw0);
  }
  void Down(u32 h, u32 fGw0, u32 un32Cause) {
    Locked(mhLib, [&] { VqxHostAdapterDown(mhLib, h, fGw0, un32Cause); });
  }
  /* The next message on a filter (copied out and released), empty when none. */
  std::vector<u8> Take(VQX_FILTER_HANDLE hFilter = nullptr) {
    VQX_MSG_HANDLE hMsg = nullptr;
    VQXReceiveMsg(mhLib, hFilter != nullptr ? hFilter : mhAll, 0, &hMsg);
    if (hMsg == nullptr) return {};
    std::vector<u8> out(hMsg->un32Length);
    memcpy(out.data(), hMsg, out.size());
    VQXReleaseMsgEx(mhLib, &hMsg);
    return out;
  }
  std::vector<u32> TakeIds(VQX_FILTER_HANDLE hFilter = nullptr) {
    std::vector<u32> ids;
    for (int i = 0; i < 64; i++) {
      std::vector<u8> m = Take(hFilter);
      if (m.empty()) break;
      ids.push_back(MsgId(m));
    }
    return ids;
  }
  VQX_PEER* Peer(u32 h) { return PeerOf(mhLib, h); }
  /* A received message of the gateway-operation family from hFrom, header in host order, version 5. */
  VQX_MSG_HANDLE GwOp(u32 un32Id, u32 MsgType, u32 un32Payload, u32 hFrom) {
    VQX_MSG_HANDLE hMsg = NewMsg(un32Id, hFrom, un32Payload, MsgType);
    memset(VQXMsgPayload(hMsg), 0, un32Payload);
    Wr32(VQXMsgPayload(hMsg), 8, 5);
    return hMsg;
  }
  VQX_FILTER_HANDLE mhAll = nullptr;
};

#endif
