/* The message catalogue: the named rows, their groups, entities and keys. */
#include <gtest/gtest.h>

#include <string>

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

/* Rows named in the failure message: id, name, size, dispatchers, key, minimum payload of a notification. */
TEST(Catalogue, LookupsByRowAndGapsUnknown) {
  struct Row {
    u32 un32Id;
    const char* pszName;
    u16 un16Size;
    u8 un8Entities;
    VqCmcEntityKey Key;
    u32 un32MinNotif;
  };
  const u8 kLeg = VQCMC_CATALOGUE_LEG, kMix = VQCMC_CATALOGUE_MIXER, kBoth = kLeg | kMix;
  const Row aRows[] = {
      {0x0A010001u, "VQCMC_MSG_CMD_JOIN", 56, kLeg, VqCmcEntityKey::Context, 32},
      {0x0A010003u, "(no name)", 0, kLeg, VqCmcEntityKey::Context, 32},
      {0x0A010004u, "VQCMC_MSG_NOTIF_JOIN_DONE", 0, kLeg, VqCmcEntityKey::Word8, 36},
      {0x0A010011u, "VQCMC_MSG_NOTIF_CALL_LEG_PRESENT", 0, kLeg, VqCmcEntityKey::Creates, 36},
      {0x0A01001Fu, "VQCMC_MSG_NOTIF_STATS_UPDATED", 0, kLeg, VqCmcEntityKey::Word7, 32},
      {0x0A010020u, "VQCMC_MSG_CMD_MIXER_CREATE", 152, kMix, VqCmcEntityKey::Context, 32},
      {0x0A010051u, "VQCMC_MSG_CMD_PLAY", 56, kBoth, VqCmcEntityKey::Context, 32},
      {0x0A010076u, "VQCMC_MSG_NOTIF_EVENT_PLAYING_DONE", 0, kBoth, VqCmcEntityKey::Word7, 32},
      {0x0A010108u, "VQCMC_MSG_CMD_CALL_TRANSFER_RESPONSE", 184, kLeg, VqCmcEntityKey::Context, 32},
      {0x0A020001u, "VQCMC_APP_MSG_NOTIF_READY", 64, 0, VqCmcEntityKey::None, 0},
      {0x0A02000Cu, "VQCMC_LIB_MSG_NOTIF_MIXER_LINK_SYNC", 56, 0, VqCmcEntityKey::None, 0},
  };
  for (const Row& row : aRows) {
    SCOPED_TRACE(row.pszName);
    const _VQCMC_CATALOGUE_ROW* pRow = VqCmcCatalogueFind(row.un32Id);
    ASSERT_NE(pRow, nullptr);
    EXPECT_STREQ(pRow->pszName, row.pszName);
    EXPECT_STREQ(VqCmcCatalogueName(row.un32Id), row.pszName);
    EXPECT_EQ(pRow->un16Size, row.un16Size);
    EXPECT_EQ(pRow->un8Entities, row.un8Entities);
    EXPECT_EQ(pRow->Key, row.Key);
    EXPECT_EQ(VqCmcCatalogueMinPayload(row.un32Id, VQCMC_MSG_KIND_NOTIFICATION), row.un32MinNotif);
  }
  for (u32 un32Id : {0x0A010000u, 0x0A010006u, 0x0A010022u, 0x0A010043u, 0x0A010109u, 0x0A02000Du, 0x0A020300u}) {
    EXPECT_EQ(VqCmcCatalogueFind(un32Id), nullptr) << un32Id;
    EXPECT_STREQ(VqCmcCatalogueName(un32Id), "(unknown)");
  }
  /* A response is keyed by the context: its result at 28 is the last word read. */
  EXPECT_EQ(VqCmcCatalogueMinPayload(VQCMC_MSG_NOTIF_JOIN_DONE, VQCMC_MSG_KIND_RESPONSE), 32u);
}

}  // namespace
