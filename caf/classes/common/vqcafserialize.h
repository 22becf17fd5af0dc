/*
 * vqcafserialize.h - big-endian byte streams and the objects that write
 * themselves into them.
 *
 * CVQCAFSerialize is the base of every stream. A derived class supplies the
 * byte level (Read, Write, Clear, Seek, GetCurrentSeek); the typed
 * operations on top write and read big-endian (network order) integers,
 * strings, buffers, serialisable objects and id-tagged members:
 *
 *   u8 / u16 / u32 / u64    1 / 2 / 4 / 8 bytes, most significant first
 *   string                  u32 length, then the bytes (no terminator)
 *   CVQCAFBuffer            u32 length, then the bytes; the length is at
 *                           most 0x1000000 (longer buffers are cut there on
 *                           writing, refused with 0x82000006 on reading)
 *   serialisable            whatever its Serialize writes
 *   member                  u32 id, u32 size, then the value as above
 *                           (size = the value's own serialised size)
 *
 * (A CVQCAFBuffer written as a serialisable object, through its own
 * Serialize, uses a u64 length instead: see vqcafbuffer.h.)
 * docs/serialize.md has the byte layouts.
 *
 * Every operation returns the result code of the byte-level call that
 * failed (negative), or 0x02000000. Readers leave their target unchanged on
 * failure, except the string and buffer readers, which leave it empty. The
 * value-returning readers (ReadU32 ...) throw CVQCAFException on failure.
 *
 * Virtual slots, in order: destructor; Read(u32, void*), Write(u32, const
 * void*), Clear(), Seek(u64), GetCurrentSeek(); then the typed operations
 * as declared below.
 */
#ifndef VQCAFSERIALIZE_H
#define VQCAFSERIALIZE_H

#include "vqcafstring.h"
#include "vqx_result.h"
#include "vqx_types.h"

namespace VQCAF {

class CVQCAFBuffer;
class CVQCAFSerialize;

/* Largest CVQCAFBuffer length in the u32-length encoding. */
constexpr u32 VQCAF_SERIALIZE_MAX_BUFFER_LENGTH = 0x1000000u;

/* An object that writes itself into a stream and reads itself back. */
class IVQCAFSerializable {
 public:
  virtual ~IVQCAFSerializable() = default;
  virtual VQX_RESULT Serialize(CVQCAFSerialize& Stream) = 0;
  virtual VQX_RESULT Unserialize(CVQCAFSerialize& Stream) = 0;
  /* Bytes that Serialize writes. */
  virtual u32 SerializeSize() = 0;
};

class CVQCAFSerialize {
 public:
  virtual ~CVQCAFSerialize() = default;

  /* ---- byte level, supplied by the derived stream ---- */
  /* Reads un32Count bytes into pvDest; a null pvDest skips them. */
  virtual VQX_RESULT Read(u32 un32Count, void* pvDest) = 0;
  virtual VQX_RESULT Write(u32 un32Count, const void* pvSource) = 0;
  virtual VQX_RESULT Clear() = 0;
  virtual VQX_RESULT Seek(u64 un64Position) = 0;
  /* The current position in bytes. */
  virtual u64 GetCurrentSeek() = 0;

  /* ---- typed operations (big-endian) ---- */
  virtual VQX_RESULT Read(u8& un8Value);
  virtual u8 ReadU8();
  virtual VQX_RESULT Write(const u8& un8Value);
  virtual VQX_RESULT Read(u16& un16Value);
  virtual u16 ReadU16();
  virtual VQX_RESULT Write(const u16& un16Value);
  virtual VQX_RESULT Read(u32& un32Value);
  virtual u32 ReadU32();
  virtual VQX_RESULT Write(const u32& un32Value);
  virtual VQX_RESULT Read(u64& un64Value);
  virtual u64 ReadU64();
  virtual VQX_RESULT Write(const u64& un64Value);

  /* String: u32 length, bytes. A length past VQCAF_STRING_MAX_LENGTH is
   * refused with 0x82000006. */
  virtual VQX_RESULT Read(CVQCAFString& strValue);
  virtual VQX_RESULT Write(const CVQCAFString& strValue);

  /* Buffer: u32 length (at most 0x1000000), bytes. */
  virtual VQX_RESULT Read(CVQCAFBuffer& Buffer);
  virtual VQX_RESULT Write(CVQCAFBuffer& Buffer);

  /* Serialisable: its own Unserialize / Serialize. */
  virtual VQX_RESULT Read(IVQCAFSerializable& Object);
  virtual VQX_RESULT Write(IVQCAFSerializable& Object);

  /* Members: u32 id, u32 size, value. */
  virtual VQX_RESULT WriteWithIdAndSize(u32 un32Id, IVQCAFSerializable& Object);
  virtual VQX_RESULT WriteWithIdAndSize(u32 un32Id, const u8& un8Value);
  virtual VQX_RESULT WriteWithIdAndSize(u32 un32Id, const u16& un16Value);
  virtual VQX_RESULT WriteWithIdAndSize(u32 un32Id, const u32& un32Value);
  virtual VQX_RESULT WriteWithIdAndSize(u32 un32Id, const u64& un64Value);
  virtual VQX_RESULT WriteWithIdAndSize(u32 un32Id, const CVQCAFString& strValue);
  virtual VQX_RESULT WriteWithIdAndSize(u32 un32Id, CVQCAFBuffer& Buffer);
  virtual VQX_RESULT WriteWithIdAndSize(u32 un32Id, u32 un32Size, const void* pvData);

  /* ---- sizes of what the typed writers produce ---- */
  static u32 SerializeSize(const u8&) { return 1; }
  static u32 SerializeSize(const u16&) { return 2; }
  static u32 SerializeSize(const u32&) { return 4; }
  static u32 SerializeSize(const u64&) { return 8; }
  static u32 SerializeSize(const CVQCAFString& strValue) { return 4 + strValue.GetLength(); }
  static u32 SerializeSize(CVQCAFBuffer& Buffer);
  static u32 SerializeSize(IVQCAFSerializable& Object) { return Object.SerializeSize(); }
  /* Raw bytes: the size itself. */
  static u32 SerializeSize(unsigned int un32Size, const void*) { return un32Size; }
  /* A member: 8 + the value's size (12 for a u32). */
  template <class T>
  static u32 SerializeSizeWithIdAndSize(u32, T& Value) {
    return 8 + SerializeSize(Value);
  }
  static u32 SerializeSizeWithIdAndSize(u32, u32 un32Size, const void*) { return 8 + un32Size; }

 protected:
  /* Reads un64Count bytes into a growing string (chunk by chunk, so that a
   * length field past the data never reserves memory for it). */
  VQX_RESULT ReadIntoString(u64 un64Count, CVQCAFString& strValue);
  friend class CVQCAFBuffer;
  /* The same for a buffer. */
  VQX_RESULT ReadIntoBuffer(u64 un64Count, CVQCAFBuffer& Buffer);
};

}  // namespace VQCAF

#endif
