/*
 * media_test.h - what the media description tests share: records built as
 * the golden encoder (tests/data/gen_media_golden.py) describes them, the
 * golden files, generated records for the search rows, and a stand-in host
 * message for the data-point copies.
 */
#ifndef MEDIA_TEST_H
#define MEDIA_TEST_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "media_internal.h"
#include "vqx_msg_layout.h"

using VqxRecord = std::unique_ptr<_VQX_SDP_INFO>;

/* A zeroed record on the heap. */
VqxRecord NewRecord();
std::vector<u8> ReadGolden(const std::string& name);
_VQX_MEDIA_CAP MakeCap(u32 un32Type, u32 un32Dir = 3, u32 un32Pt = 0, u16 un16Frames = 20, u16 un16Ptime = 0);
/* The records of gen_media_golden.py, by golden file name. */
VqxRecord GoldenRecord(const std::string& name);
/* The capability gen_media_golden.py's swap_cap builds for a type, and the
 * types it covers, in its order. */
_VQX_MEDIA_CAP SwapCap(u32 un32Type);
extern const std::vector<u32> g_aSwapTypes;
/* A record from a seed: groups, descriptions and choices of varied types and
 * directions, some choices naming no capability. */
VqxRecord RandomRecord(u32 un32Seed);
/* A capability set of those media types with those choice indexes per
 * description per group. */
VqxRecord BuildSet(const std::vector<u32>& types, const std::vector<std::vector<std::vector<u8>>>& groups);
/* Packs the capability set of r (aligned buffer of 8 KiB). */
std::vector<u32> PackSet(const _VQX_SDP_INFO& r);

/* A host message whose payload holds a data point and element sets. */
struct VqxTestMessage {
  explicit VqxTestMessage(u32 un32Payload);
  void* Msg() { return aBuf.data(); }
  u8* Payload() { return reinterpret_cast<u8*>(aBuf.data()) + VQX_MSG_HEADER_SIZE; }
  std::vector<u64> aBuf;
};

#endif
