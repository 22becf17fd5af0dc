/*
 * vqcafhashkey.h - the keys of the framework's pools and tables: a text key
 * (compared with or without case) and an unsigned 64-bit key.
 */
#ifndef VQCAFHASHKEY_H
#define VQCAFHASHKEY_H

#include <cstring>

#include "vqcafstring.h"
#include "vqx_types.h"

namespace VQCAF {

/* ASCII lower case of one character (other bytes unchanged): how keys that
 * ignore case are compared, hashed and indexed. */
inline char VqcafAsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

class CVQCAFHashKeyString {
 public:
  CVQCAFHashKeyString() = default;
  /* A copy of the text (null: ""). */
  CVQCAFHashKeyString(const char* pszKey) : mstrKey(pszKey) {}
  CVQCAFHashKeyString(const CVQCAFString& strKey) : mstrKey(strKey) {}

  const CVQCAFString& GetString() const { return mstrKey; }
  const char* c_str() const { return mstrKey.c_str(); }

  /* Equality of the texts, byte for byte or ignoring ASCII case. */
  bool Equals(const CVQCAFHashKeyString& Other, bool fCaseSensitive) const;
  /* A hash of the text consistent with Equals for the same flag (FNV-1a). */
  u64 Hash(bool fCaseSensitive) const;

  bool operator==(const CVQCAFHashKeyString& Other) const { return Equals(Other, true); }

 private:
  CVQCAFString mstrKey;
};

class CVQCAFHashKeyUInt64 {
 public:
  CVQCAFHashKeyUInt64() = default;
  CVQCAFHashKeyUInt64(u64 un64Key) : mun64Key(un64Key) {}
  u64 Get() const { return mun64Key; }
  void Set(u64 un64Key) { mun64Key = un64Key; }
  bool operator==(const CVQCAFHashKeyUInt64& Other) const { return mun64Key == Other.mun64Key; }

 private:
  u64 mun64Key = 0;
};

inline bool CVQCAFHashKeyString::Equals(const CVQCAFHashKeyString& Other, bool fCaseSensitive) const {
  u32 n = mstrKey.GetLength();
  if (n != Other.mstrKey.GetLength()) return false;
  const char* a = mstrKey.c_str();
  const char* b = Other.mstrKey.c_str();
  if (fCaseSensitive) return memcmp(a, b, n) == 0;
  for (u32 i = 0; i < n; ++i) {
    if (VqcafAsciiLower(a[i]) != VqcafAsciiLower(b[i])) return false;
  }
  return true;
}

inline u64 CVQCAFHashKeyString::Hash(bool fCaseSensitive) const {
  u64 un64Hash = 0xCBF29CE484222325ull;
  const char* p = mstrKey.c_str();
  for (u32 i = 0; i < mstrKey.GetLength(); ++i) {
    char c = fCaseSensitive ? p[i] : VqcafAsciiLower(p[i]);
    un64Hash ^= static_cast<u8>(c);
    un64Hash *= 0x100000001B3ull;
  }
  return un64Hash;
}

}  // namespace VQCAF

#endif
