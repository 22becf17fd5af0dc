// Hex conversion both ways on random text, bytes and room sizes: nothing may
// be written beyond the room given, the counts must agree with the text, and
// bytes -> hex -> bytes must give the bytes back.
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "vqx_string.h"

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void Check(bool f) {
  if (!f) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8* pbyData, size_t size) {
  if (size < 1) return 0;
  const u64 un64Room = pbyData[0];  // 0..255 bytes of room
  const std::vector<char> text(pbyData + 1, pbyData + size);
  std::vector<char> sz(text);
  sz.push_back('\0');

  // Text -> bytes, into exactly the room given (the sanitizer catches overruns).
  std::vector<u8> out(un64Room);
  u64 un64Count = un64Room;
  const u64 un64Digits = HexStringToByteArray(sz.data(), out.data(), &un64Count);
  Check(un64Count <= un64Room);
  Check(un64Digits <= strlen(sz.data()));
  Check(un64Count == (un64Digits + 1) / 2);
  for (u64 i = 0; i < un64Digits; ++i) Check(HexValue(sz[i]) >= 0);
  // Stopped for a reason: end of text, bad character, or room full.
  Check(sz[un64Digits] == '\0' || HexValue(sz[un64Digits]) < 0 || un64Count == un64Room);
  for (u64 i = 0; i < un64Count; ++i) {
    const int hi = HexValue(sz[2 * i]);
    const int lo = (2 * i + 1 < un64Digits) ? HexValue(sz[2 * i + 1]) : 0;
    Check(out[i] == static_cast<u8>((hi << 4) | lo));
  }

  // Bytes -> text -> bytes round trip over the raw input.
  const u64 un64Bytes = size - 1;
  std::vector<char> hex(2 * un64Bytes + 1);
  Check(ByteArrayToHexString(pbyData + 1, un64Bytes, hex.data()) == un64Bytes);
  Check(strlen(hex.data()) == 2 * un64Bytes);
  std::vector<u8> back(un64Bytes);
  u64 un64Back = un64Bytes;
  Check(HexStringToByteArray(hex.data(), back.data(), &un64Back) == 2 * un64Bytes);
  Check(un64Back == un64Bytes);
  Check(un64Bytes == 0 || memcmp(back.data(), pbyData + 1, un64Bytes) == 0);
  return 0;
}
