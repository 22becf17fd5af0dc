/*
 * test_entity.cpp - console names of the traced-entity types. The record
 * itself is plain data with defaulted copies: nothing of its own to test.
 */
#include <gtest/gtest.h>

#include "sigtrace_entity.h"

using namespace VQCAF;

TEST(SigTraceEntity, TypeNames) {
  struct {
    u32 un32Type;
    const char* pszName;
  } const aRows[] = {{0, "Unk"}, {1, "Unk"}, {2, "SS7"}, {3, "ISDN"}, {4, "IP"}, {5, "CASR2"}, {6, "H248"}, {7, "LAPD"}, {8, "Unk"}};
  for (const auto& row : aRows) EXPECT_STREQ(VqSigTraceEntityTypeName(row.un32Type), row.pszName) << "row " << row.un32Type;
}
