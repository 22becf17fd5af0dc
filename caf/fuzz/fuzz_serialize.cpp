// libFuzzer target: every CVQCAFSerialize reader over arbitrary bytes. The
// first byte of each step picks the reader; the rest of the input is the
// stream. A reader must either succeed or fail cleanly (target left
// unchanged or empty), never read or write outside its buffers.
#include <cstdint>
#include <cstdlib>

#include "../tests/support/vqcaf_test_stream.h"
#include "vqcafbuffer.h"
#include "vqcafexception.h"
#include "vqcafserialize.h"

using namespace VQCAF;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pbyData, size_t nSize) {
  if (nSize < 1) return 0;
  size_t nOps = pbyData[0] % 16u + 1u;
  if (nSize < 1 + nOps) return 0;
  const u8* pbyOps = pbyData + 1;
  CVQCAFTestStream Stream(pbyData + 1 + nOps, nSize - 1 - nOps);
  CVQCAFBuffer Buffer(VQCAF_DEBUG_INFO);
  CVQCAFString strValue;
  for (size_t i = 0; i < nOps; ++i) {
    VQX_RESULT un32Result = VQX_RESULT_OK;
    switch (pbyOps[i] % 9u) {
      case 0: {
        u8 v = 0x5A;
        un32Result = Stream.Read(v);
        if (VQX_RESULT_FAILED(un32Result) && v != 0x5A) abort();
        break;
      }
      case 1: {
        u16 v = 0x5A5A;
        un32Result = Stream.Read(v);
        if (VQX_RESULT_FAILED(un32Result) && v != 0x5A5A) abort();
        break;
      }
      case 2: {
        u32 v = 0x5A5A5A5A;
        un32Result = Stream.Read(v);
        if (VQX_RESULT_FAILED(un32Result) && v != 0x5A5A5A5Au) abort();
        break;
      }
      case 3: {
        u64 v = 1;
        un32Result = Stream.Read(v);
        if (VQX_RESULT_FAILED(un32Result) && v != 1) abort();
        break;
      }
      case 4:
        un32Result = Stream.Read(strValue);
        if (VQX_RESULT_FAILED(un32Result) && !strValue.IsEmpty()) abort();
        if (!strValue.CheckInvariant()) abort();
        break;
      case 5:
        un32Result = Stream.Read(Buffer);
        if (VQX_RESULT_FAILED(un32Result) && Buffer.GetSize() != 0) abort();
        if (Buffer.GetSize() > VQCAF_SERIALIZE_MAX_BUFFER_LENGTH) abort();
        break;
      case 6:
        un32Result = Buffer.Unserialize(Stream);
        if (VQX_RESULT_FAILED(un32Result) && Buffer.GetSize() != 0) abort();
        break;
      case 7:
        try {
          (void)Stream.ReadU32();
        } catch (const CVQCAFException& e) {
          un32Result = e.Result();
        }
        break;
      default:
        un32Result = Stream.Read(static_cast<u32>(pbyOps[i] >> 4), nullptr);  // skip
        break;
    }
    if (!Buffer.CheckInvariant()) abort();
    if (Stream.GetCurrentSeek() > Stream.Bytes().size()) abort();
    if (VQX_RESULT_FAILED(un32Result)) break;
  }
  return 0;
}
