/*
 * test_entity.cpp - the traced-entity record and the trace configuration
 * that holds the configured records.
 */
#include <gtest/gtest.h>

#include "sigtrace_entity.h"

using namespace VQCAF;

TEST(SigTraceEntity, DefaultsCopiesAndConfiguration) {
  const CVQSigTraceEntityParams d;
  EXPECT_EQ(d.mun32Type, 0u);
  EXPECT_EQ(d.mun8BitMask, 0xFF);
  EXPECT_EQ(d.mun32Trunk + d.mun32TimeslotMask + d.mun32Port + d.mun32Transport + d.mun32ProviderEntityId, 0u);
  EXPECT_EQ(d.mun64EntityId, 0u);
  EXPECT_EQ(d.mfCapFile + d.mfExtended, 0);
  EXPECT_TRUE(d.mstrName.IsEmpty() && d.mstrAdapterName.IsEmpty() && d.mstrGroupName.IsEmpty());

  CVQSigTraceEntityParams src;
  src.mstrName = "SS7_LINK_0";
  src.mun32RxCount = 5;
  src.mun32TxCount = 6;
  src.mun32ExtCount = 7;
  CVQSigTraceEntityParams copy(src);
  EXPECT_EQ(copy.mun32RxCount, 5u);
  EXPECT_EQ(copy.mun32TxCount, 6u);
  EXPECT_EQ(copy.mun32ExtCount, 7u);
  copy.mstrName = "changed";
  EXPECT_EQ(src.mstrName, "SS7_LINK_0");

  CVQSigTraceParams params;
  for (int i = 0; i < 3; ++i) params.Append(src);
  EXPECT_EQ(params.Count(), 3u);
  params.Clear();
  EXPECT_EQ(params.Count(), 0u);

  struct {
    u32 un32Type;
    const char* pszName;
  } const aRows[] = {{0, "Unk"}, {1, "Unk"}, {2, "SS7"}, {3, "ISDN"}, {4, "IP"}, {5, "CASR2"}, {6, "H248"}, {7, "LAPD"}, {8, "Unk"}};
  for (const auto& row : aRows) EXPECT_STREQ(VqSigTraceEntityTypeName(row.un32Type), row.pszName) << row.un32Type;
}

/* Copy construction and assignment carry every field, counters, trace
 * context id and provider number included, and share no text. */
TEST(SigTraceEntity, CopyAndAssignEveryField) {
  CVQSigTraceEntityParams src;
  src.mun32Type = 4;
  src.mstrAdapterName = "ADAPTER1";
  src.mstrGroupName = "grp";
  src.mfCapFile = 1;
  src.mfExtended = 1;
  src.mstrName = "ip-0";
  src.mun32ProviderEntityId = 9;
  src.mun32Trunk = 3;
  src.mun32TimeslotMask = 0x80000001u;
  src.mun8BitMask = 0x0F;
  src.mstrEthPort = "voip0";
  src.mstrIpMask = "10.0.0.1";
  src.mun32Port = 5060;
  src.mun32Transport = 2;
  src.mun64EntityId = 0x100000002ull;
  src.mun32RxCount = 5;
  src.mun32TxCount = 6;
  src.mun32ExtCount = 7;
  CVQSigTraceEntityParams assigned;
  assigned = src;
  const CVQSigTraceEntityParams copy(src);
  for (const CVQSigTraceEntityParams* c : {static_cast<const CVQSigTraceEntityParams*>(&assigned), &copy}) {
    EXPECT_EQ(c->mun32Type, 4u);
    EXPECT_EQ(c->mstrAdapterName, "ADAPTER1");
    EXPECT_EQ(c->mstrGroupName, "grp");
    EXPECT_EQ(c->mfCapFile, 1);
    EXPECT_EQ(c->mfExtended, 1);
    EXPECT_EQ(c->mstrName, "ip-0");
    EXPECT_EQ(c->mun32ProviderEntityId, 9u);
    EXPECT_EQ(c->mun32Trunk, 3u);
    EXPECT_EQ(c->mun32TimeslotMask, 0x80000001u);
    EXPECT_EQ(c->mun8BitMask, 0x0F);
    EXPECT_EQ(c->mstrEthPort, "voip0");
    EXPECT_EQ(c->mstrIpMask, "10.0.0.1");
    EXPECT_EQ(c->mun32Port, 5060u);
    EXPECT_EQ(c->mun32Transport, 2u);
    EXPECT_EQ(c->mun64EntityId, 0x100000002ull);
    EXPECT_EQ(c->mun32RxCount, 5u);
    EXPECT_EQ(c->mun32TxCount, 6u);
    EXPECT_EQ(c->mun32ExtCount, 7u);
  }
  assigned.mstrEthPort = "eth1";
  assigned.mstrIpMask = "";
  assigned.mstrAdapterName = "X";
  EXPECT_EQ(src.mstrEthPort, "voip0");
  EXPECT_EQ(src.mstrIpMask, "10.0.0.1");
  EXPECT_EQ(src.mstrAdapterName, "ADAPTER1");
  /* The configuration keeps reading order. */
  CVQSigTraceParams params;
  for (u32 i = 0; i < 3; ++i) {
    src.mun32Trunk = i;
    params.Append(src);
  }
  u32 un32Expected = 0;
  for (const CVQSigTraceEntityParams& e : params) EXPECT_EQ(e.mun32Trunk, un32Expected++);
  EXPECT_EQ(un32Expected, 3u);
}
