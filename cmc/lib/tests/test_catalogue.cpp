/* The message catalogue: the named rows, their groups, entities and keys. */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/cmc_fixture.h"
#include "vqcmc_msg_catalogue.h"

namespace {

TEST(Catalogue, SixtyOnePublicAndTwelveLibraryNamesOnceEach) {
  const _VQCMC_CATALOGUE_ROW* pRows = VqCmcCatalogueRows();
  u32 un32Public = 0, un32Lib = 0, un32Unnamed = 0;
  for (u32 i = 0; i < VQCMC_CATALOGUE_NB_ROWS; i++) {
    const _VQCMC_CATALOGUE_ROW& r = pRows[i];
    SCOPED_TRACE(r.pszName);
    if (std::string(r.pszName) == "(no name)") {
      un32Unnamed++;
      continue;
    }
    if ((r.un32Id >> 16) == VQCMC_MSG_GROUP_PUBLIC) {
      un32Public++;
      EXPECT_LE(r.un32Id, 0x0A010108u);
    } else {
      EXPECT_EQ(r.un32Id >> 16, VQCMC_MSG_GROUP_LIB);
      EXPECT_TRUE(r.un32Id >= 0x0A020001u && r.un32Id <= 0x0A02000Cu);
      /* Library notifications: kind 4, fixed size, no dispatcher. */
      EXPECT_EQ(r.un8Kinds, VQCMC_MSG_KIND_NOTIFICATION);
      EXPECT_NE(r.un16Size, 0u);
      EXPECT_EQ(r.un8Entities, 0u);
      un32Lib++;
    }
    /* Commands travel as kind 1 with a response of kind 2 and a fixed size. */
    if (r.Direction == VqCmcDirection::Command) {
      EXPECT_EQ(r.un8Kinds, VQCMC_MSG_KIND_COMMAND | VQCMC_MSG_KIND_RESPONSE);
      EXPECT_GE(r.un16Size, VQCMC_PAYLOAD_HEAD_SIZE);
      EXPECT_EQ(r.Key, VqCmcEntityKey::Context);
    }
  }
  EXPECT_EQ(un32Public, 61u);
  EXPECT_EQ(un32Lib, 12u);
  EXPECT_EQ(un32Unnamed, 2u);
  EXPECT_EQ(un32Public + un32Lib, VQCMC_CATALOGUE_NB_NAMED);  /* names are unique: each is a constant */
}

/* Each id of tests/data/catalogue_rows.txt rendered from the catalogue as its golden line (the id names the
 * row): name, size, dispatcher bits (1 leg, 2 mixer), entity key, minimum payload of a notification; ids in
 * the gaps are unknown. */
TEST(Catalogue, LookupsByRowAndGapsUnknown) {
  const char* const apszKeys[] = {"None", "Context", "Word7", "Word8", "Creates"};
  const std::map<std::string, std::string> golden = CmcGolden("catalogue_rows.txt");
  ASSERT_EQ(golden.size(), 18u);
  for (const auto& [strId, strExpected] : golden) {
    const u32 un32Id = static_cast<u32>(std::stoul(strId, nullptr, 16));
    const _VQCMC_CATALOGUE_ROW* pRow = VqCmcCatalogueFind(un32Id);
    std::string strLine = VqCmcCatalogueName(un32Id);
    if (pRow != nullptr) {
      EXPECT_STREQ(pRow->pszName, VqCmcCatalogueName(un32Id)) << strId;
      strLine += " size " + std::to_string(pRow->un16Size) + " entities " + std::to_string(pRow->un8Entities);
      strLine += std::string(" key ") + apszKeys[static_cast<u8>(pRow->Key)];
      strLine += " notif " + std::to_string(VqCmcCatalogueMinPayload(un32Id, VQCMC_MSG_KIND_NOTIFICATION));
    }
    EXPECT_EQ(strLine, strExpected) << strId;
  }
  /* A response is keyed by the context: its result at 28 is the last word read. */
  EXPECT_EQ(VqCmcCatalogueMinPayload(VQCMC_MSG_NOTIF_JOIN_DONE, VQCMC_MSG_KIND_RESPONSE), 32u);
}

/* A fixed text field as the protocol fills it: at most N-1 characters, then NUL. */
template <size_t N>
void Text(char (&dst)[N], const char* src) {
  const size_t n = std::min(std::strlen(src), N - 1);
  std::memcpy(dst, src, n);
  std::memset(dst + n, 0, N - n);
}
/* The hex of a zeroed record of type T (head marked as the library's when fLib) after fill. */
template <class T>
std::string Filled(bool fLib, const std::function<void(T&)>& fill) {
  T r;
  std::memset(static_cast<void*>(&r), 0, sizeof r);
  if constexpr (requires { r.Head; }) r.Head.un32LibBuilt = fLib ? VQCMC_PAYLOAD_LIB_BUILT_MARK : 0;
  fill(r);
  return CmcHex(&r, sizeof r);
}

/* Records filled field by field against tests/data/payload_records.txt, written by the
 * stand-in's independent encoder (testing/cmcsim/cmcsim_wire.py records). */
TEST(PayloadRecords, FilledByFieldMatchTheEncoder) {
  const std::map<std::string, std::string> golden = CmcGolden("payload_records.txt");
  _VQCMC_MEDIA_PROFILE profile{};
  std::memset(profile.abyMediaDescription, 0x11, sizeof profile.abyMediaDescription);
  profile.setProfileElements = 0x48;
  const u8 aJoin[8] = {1, 2, 3, 4, 5, 6, 7, 8}, aJoin2[8] = {0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28};
  using LegSync = _VQCMC_LIB_MSG_NOTIF_LEG_SYNC;
  const std::pair<const char*, std::string> aRows[] = {
      {"Leg sync notification, call leg", Filled<LegSync>(true, [&](LegSync& r) {
         r.Head.un32MappingId = 0x5001, r.Head.aun32Reserved1[0] = 0x0C, r.Head.aun32Reserved1[2] = 0x14;
         r.Leg.un32LegId = 0x1234, r.Leg.un32LegType = VQCMC_LEG_TYPE_CALL;
         _VQCMC_CALL_LEG_ATTRIBUTE& a = r.Leg.CallLeg;
         Text(a.szCalledNumber, "0123456789012345678901234567890123456789012345678901234567890123456789");
         a.un32CalledNoa = 3, a.un32CalledNpi = 1, a.un32CallingDisplayType = 2, a.un32CallingCategory = 10;
         Text(a.szCallingNumber, "5550100"), Text(a.szCallingDisplay, "Front desk");
         a.un32CallingNoa = 4, a.un32CallingNpi = 9, a.un32CallingPresentation = 1, a.un32CallingScreening = 3;
         a.un32PrivateDisplayType = 5, a.un8OliPresent = 1, a.un8Oli = 62;
         Text(a.szPrivateDisplay, "Private");
         Text(a.szPrivateAddress, "sip:a@b");
         Text(a.szNetworkAccessPoint, "nap-7");
         a.MediaProfile = profile, a.un32ProtocolType = VQCMC_PROTOCOL_SIP;
         r.Leg.CallLegUpdate = {2, 7, 1, 1, {}};
         r.setPlayAttributes = 0x300, r.setRecordAttributes = 0x388;
       })},
      {"Leg sync notification, media-only leg", Filled<LegSync>(true, [&](LegSync& r) {
         r.Head.un32MappingId = 0x5002, r.Leg.un32LegId = 0x1235, r.Leg.un32LegType = VQCMC_LEG_TYPE_MEDIA_ONLY;
         Text(r.Leg.MediaOnlyLeg.szNetworkAccessPoint, "media-nap-0123456789-0123456789-overflow");
         r.Leg.MediaOnlyLeg.MediaProfile = profile;
       })},
      {"Leg terminated notification",
       Filled<_VQCMC_LIB_MSG_NOTIF_LEG_TERMINATED>(true, [](auto& r) { r.un32EntityId = 0x1234; })},
      {"Link sync notification", Filled<_VQCMC_LIB_MSG_NOTIF_LINK_SYNC>(true, [&](auto& r) {
         r.un32SrcLegId = 0x1234, r.un32DstLegId = 0x1235;
         std::memcpy(&r.JoinAttribute, aJoin, 8);
       })},
      {"Mixer sync notification", Filled<_VQCMC_LIB_MSG_NOTIF_MIXER_SYNC>(true, [](auto& r) {
         r.Head.un32MappingId = 0x6001, r.Head.un32Word7 = 0x2222;
         r.Mixer.un8ReserveListenerSlot = 1, r.Mixer.un8ReserveIvrSlot = 1;
         r.Mixer.un32ReservedActiveSpeakerSlots = 2, r.Mixer.un32NbDominantSpeakers = 3;
         r.Mixer.n32NoiseFloor = -30, r.Mixer.n32NoiseSuppressionLimit = 30;
         r.Mixer.n32TargetPower = -5, r.Mixer.n32LossLimit = -10, r.Mixer.n32GainLimit = 5;
         r.setPlayAttributes = 0x80, r.setRecordAttributes = 0x90;
       })},
      {"Mixer link sync notification", Filled<_VQCMC_LIB_MSG_NOTIF_MIXER_LINK_SYNC>(true, [&](auto& r) {
         r.un32MixerId = 0x2222, r.un32EntityId = 0x2223;
         std::memcpy(&r.MixerMixerJoin, aJoin2, 8);
       })},
      {"Protocol attribute, SIP 183", Filled<_VQCMC_PROTOCOL_ATTRIBUTE>(false, [](auto& r) {
         r.un8Present = 1, r.un32ProtocolType = VQCMC_PROTOCOL_SIP, r.setGenericHeaders = 0x10;
         r.setProtocolData = 0x20, r.SipBody.eBodyType = 2;  /* single part */
         r.un16SipStatusCode = 183, r.un8SipStatusArg = 1, r.un32SipSuppInfoTransId = 0xC0000001u;
       })},
      {"Server NotifLinkSync", Filled<_VQCMC_SRV_NOTIF_LINK_SYNC>(false, [&](auto& r) {
         r.un32SrcLegId = 0x1234, r.un32DstLegId = 0x1235, r.un32SrcMappingId = 0x5001, r.un32DstMappingId = 0x5002;
         std::memcpy(&r.JoinAttribute, aJoin, 8);
       })},
      {"Server NotifMixerLinkSync", Filled<_VQCMC_SRV_NOTIF_MIXER_LINK_SYNC>(false, [&](auto& r) {
         r.un32MixerId = 0x2222, r.un32EntityId = 0x1234, r.un32MixerMappingId = 0x6001, r.un32EntityMappingId = 0x5001;
         std::memcpy(&r.MixerLegJoin, aJoin, 8), std::memcpy(&r.MixerMixerJoin, aJoin2, 8);
       })},
  };
  ASSERT_EQ(golden.size(), std::size(aRows));
  for (const auto& [pszName, hex] : aRows) EXPECT_EQ(hex, golden.at(pszName)) << pszName;
}

/* The stand-in's resynchronisation payloads (tests/data/server_sync_payloads.txt, its independent
 * encoder) pass the element check on each set, the play and record sets' inner sets included, with
 * the counts the encoder wrote; the call offer carries mapping id, leg id 0 and its sequence. */
TEST_F(CmcTest, ServerSyncPayloadsPassTheElementCheck) {
  const std::map<std::string, std::string> golden = CmcGolden("server_sync_payloads.txt");
  struct Row {
    const char* pszName;
    u32 un32Mapping, un32ProfileSet, un32PlaySet, un32RecordSet;  /* payload offsets; 0 none */
  };
  const Row aRows[] = {{"NotifLegSync call leg 0x1234 map 0x5001", 0x5001, 700, 744, 748},
                       {"NotifLegSync media-only leg id 0 map 0x5002", 0x5002, 180, 744, 748},
                       {"NotifMixerSync mixer 0x2222 map 0x6001", 0x6001, 0, 128, 132},
                       {"Call offer leg 0 map 0x5003", 0x5003, 0, 0, 0}};
  ASSERT_EQ(golden.size(), std::size(aRows));
  for (const Row& r : aRows) {
    SCOPED_TRACE(r.pszName);
    const std::string& hex = golden.at(r.pszName);
    VQX_MSG_HANDLE h = Msg(0, 0, VQX_MSG_TYPE_EVENT, static_cast<u32>(hex.size() / 2));
    u8* p = VQXMsgPayload(h);
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
      p[i / 2] = static_cast<u8>(std::stoul(hex.substr(i, 2), nullptr, 16));
    }
    /* The set at pSet checks and counts un16Count; returns its first element's data (an attribute's own set). */
    auto set = [&](const u8* pSet, u16 un16Count) {
      EXPECT_EQ(VqxMsgElementCheckSet(h, pSet), VQX_RESULT_OK) << "set at " << pSet - p;
      EXPECT_EQ(VQXMsgElementCount(pSet), un16Count) << "set at " << pSet - p;
      u16 un16Size = 0;
      const u8* pData = static_cast<const u8*>(VQXMsgElementGet(pSet, 0, &un16Size));
      return pData != nullptr ? pData : p;
    };
    u32 aun32Words[3];
    std::memcpy(aun32Words, p + 8, 4);
    std::memcpy(aun32Words + 1, p + 32, 8);
    EXPECT_EQ(aun32Words[0], r.un32Mapping);
    if (r.un32ProfileSet != 0) set(p + r.un32ProfileSet, 1);
    if (r.un32PlaySet != 0) set(set(p + r.un32PlaySet, 1), 2);
    if (r.un32RecordSet != 0) set(set(p + r.un32RecordSet, 1), 1);
    if (r.un32PlaySet == 0) {
      EXPECT_EQ(std::make_pair(aun32Words[1], aun32Words[2]), std::make_pair(0u, 1u));
    }
    VQXReleaseMsgEx(mhVqx, &h);
  }
}

}  // namespace
