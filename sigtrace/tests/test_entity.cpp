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
