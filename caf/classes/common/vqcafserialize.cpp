/*
 * vqcafserialize.cpp - the typed big-endian operations of every stream,
 * built on the derived stream's byte level.
 */
#include "vqcafserialize.h"

#include "vqcafbuffer.h"
#include "vqcafdiag.h"
#include "vqcafexception.h"

namespace VQCAF {

namespace {

/* Bytes read per byte-level call when filling a string or buffer whose
 * length came from the stream. */
constexpr u32 READ_CHUNK = 0x10000u;

template <class T>
void ToBigEndian(T Value, u8* pbyOut) {
  for (size_t i = 0; i < sizeof(T); ++i) pbyOut[i] = static_cast<u8>(Value >> (8 * (sizeof(T) - 1 - i)));
}

template <class T>
T FromBigEndian(const u8* pbyIn) {
  T Value = 0;
  for (size_t i = 0; i < sizeof(T); ++i) Value = static_cast<T>((Value << 8) | pbyIn[i]);
  return Value;
}

template <class T>
VQX_RESULT WriteInteger(CVQCAFSerialize& Stream, T Value) {
  u8 aby[sizeof(T)];
  ToBigEndian(Value, aby);
  return Stream.Write(static_cast<u32>(sizeof(T)), aby);
}

template <class T>
VQX_RESULT ReadInteger(CVQCAFSerialize& Stream, T& Value) {
  u8 aby[sizeof(T)];
  VQX_RESULT un32Result = Stream.Read(static_cast<u32>(sizeof(T)), aby);
  if (VQX_RESULT_SUCCEEDED(un32Result)) Value = FromBigEndian<T>(aby);
  return un32Result;
}

template <class T>
T ReadOrThrow(CVQCAFSerialize& Stream) {
  T Value = 0;
  VQX_RESULT un32Result = ReadInteger(Stream, Value);
  if (VQX_RESULT_FAILED(un32Result)) throw CVQCAFException("CVQCAFSerialize: read past the data", un32Result);
  return Value;
}

}  // namespace

VQX_RESULT CVQCAFSerialize::Read(u8& un8Value) { return ReadInteger(*this, un8Value); }
u8 CVQCAFSerialize::ReadU8() { return ReadOrThrow<u8>(*this); }
VQX_RESULT CVQCAFSerialize::Write(const u8& un8Value) { return WriteInteger(*this, un8Value); }
VQX_RESULT CVQCAFSerialize::Read(u16& un16Value) { return ReadInteger(*this, un16Value); }
u16 CVQCAFSerialize::ReadU16() { return ReadOrThrow<u16>(*this); }
VQX_RESULT CVQCAFSerialize::Write(const u16& un16Value) { return WriteInteger(*this, un16Value); }
VQX_RESULT CVQCAFSerialize::Read(u32& un32Value) { return ReadInteger(*this, un32Value); }
u32 CVQCAFSerialize::ReadU32() { return ReadOrThrow<u32>(*this); }
VQX_RESULT CVQCAFSerialize::Write(const u32& un32Value) { return WriteInteger(*this, un32Value); }
VQX_RESULT CVQCAFSerialize::Read(u64& un64Value) { return ReadInteger(*this, un64Value); }
u64 CVQCAFSerialize::ReadU64() { return ReadOrThrow<u64>(*this); }
VQX_RESULT CVQCAFSerialize::Write(const u64& un64Value) { return WriteInteger(*this, un64Value); }

VQX_RESULT CVQCAFSerialize::Read(CVQCAFString& strValue) {
  strValue.Clear();
  u32 un32Length = 0;
  VQX_RESULT un32Result = Read(un32Length);
  if (VQX_RESULT_FAILED(un32Result)) return un32Result;
  if (un32Length > VQCAF_STRING_MAX_LENGTH) return VQX_RESULT_OUT_OF_RANGE;
  return ReadIntoString(un32Length, strValue);
}

VQX_RESULT CVQCAFSerialize::Write(const CVQCAFString& strValue) {
  u32 un32Length = strValue.GetLength();
  VQX_RESULT un32Result = Write(un32Length);
  if (VQX_RESULT_FAILED(un32Result) || un32Length == 0) return un32Result;
  return Write(un32Length, static_cast<const void*>(strValue.c_str()));
}

VQX_RESULT CVQCAFSerialize::Read(CVQCAFBuffer& Buffer) {
  {
    CVQCAFMutexAutoGetGive Lock(&Buffer.mMutex);
    if (Buffer.mun32LendCount != 0) return VQX_RESULT_INVALID_STATE;
    Buffer.FreeLocked();
  }
  u32 un32Length = 0;
  VQX_RESULT un32Result = Read(un32Length);
  if (VQX_RESULT_FAILED(un32Result)) return un32Result;
  if (un32Length > VQCAF_SERIALIZE_MAX_BUFFER_LENGTH) return VQX_RESULT_OUT_OF_RANGE;
  return ReadIntoBuffer(un32Length, Buffer);
}

VQX_RESULT CVQCAFSerialize::Write(CVQCAFBuffer& Buffer) {
  CVQCAFMutexAutoGetGive Lock(&Buffer.mMutex);
  u64 un64Length = Buffer.mun64Size;
  if (un64Length > VQCAF_SERIALIZE_MAX_BUFFER_LENGTH) {
    VqcafDiagPrintf(VQCAF_DIAG_LEVEL_ERROR,
                    "CVQCAFSerialize::Write(CVQCAFBuffer&) buffer length too big, not supported (by protection). "
                    "Will truncate\n");
    un64Length = VQCAF_SERIALIZE_MAX_BUFFER_LENGTH;
  }
  u32 un32Length = static_cast<u32>(un64Length);
  VQX_RESULT un32Result = Write(un32Length);
  if (VQX_RESULT_FAILED(un32Result) || un32Length == 0) return un32Result;
  return Write(un32Length, static_cast<const void*>(Buffer.mpbyData));
}

VQX_RESULT CVQCAFSerialize::Read(IVQCAFSerializable& Object) { return Object.Unserialize(*this); }
VQX_RESULT CVQCAFSerialize::Write(IVQCAFSerializable& Object) { return Object.Serialize(*this); }

namespace {

template <class T>
VQX_RESULT WriteMember(CVQCAFSerialize& Stream, u32 un32Id, u32 un32Size, T& Value) {
  VQX_RESULT un32Result = Stream.Write(un32Id);
  if (VQX_RESULT_SUCCEEDED(un32Result)) un32Result = Stream.Write(un32Size);
  if (VQX_RESULT_SUCCEEDED(un32Result)) un32Result = Stream.Write(Value);
  return un32Result;
}

}  // namespace

VQX_RESULT CVQCAFSerialize::WriteWithIdAndSize(u32 un32Id, IVQCAFSerializable& Object) {
  return WriteMember(*this, un32Id, Object.SerializeSize(), Object);
}
VQX_RESULT CVQCAFSerialize::WriteWithIdAndSize(u32 un32Id, const u8& un8Value) {
  return WriteMember(*this, un32Id, 1u, un8Value);
}
VQX_RESULT CVQCAFSerialize::WriteWithIdAndSize(u32 un32Id, const u16& un16Value) {
  return WriteMember(*this, un32Id, 2u, un16Value);
}
VQX_RESULT CVQCAFSerialize::WriteWithIdAndSize(u32 un32Id, const u32& un32Value) {
  return WriteMember(*this, un32Id, 4u, un32Value);
}
VQX_RESULT CVQCAFSerialize::WriteWithIdAndSize(u32 un32Id, const u64& un64Value) {
  return WriteMember(*this, un32Id, 8u, un64Value);
}
VQX_RESULT CVQCAFSerialize::WriteWithIdAndSize(u32 un32Id, const CVQCAFString& strValue) {
  return WriteMember(*this, un32Id, SerializeSize(strValue), strValue);
}
VQX_RESULT CVQCAFSerialize::WriteWithIdAndSize(u32 un32Id, CVQCAFBuffer& Buffer) {
  return WriteMember(*this, un32Id, SerializeSize(Buffer), Buffer);
}

VQX_RESULT CVQCAFSerialize::WriteWithIdAndSize(u32 un32Id, u32 un32Size, const void* pvData) {
  if (pvData == nullptr && un32Size != 0) return VQX_RESULT_NULL_PARAM;
  VQX_RESULT un32Result = Write(un32Id);
  if (VQX_RESULT_SUCCEEDED(un32Result)) un32Result = Write(un32Size);
  if (VQX_RESULT_SUCCEEDED(un32Result) && un32Size != 0) un32Result = Write(un32Size, pvData);
  return un32Result;
}

u32 CVQCAFSerialize::SerializeSize(CVQCAFBuffer& Buffer) {
  u64 un64Size = Buffer.GetSize();
  if (un64Size > VQCAF_SERIALIZE_MAX_BUFFER_LENGTH) un64Size = VQCAF_SERIALIZE_MAX_BUFFER_LENGTH;
  return 4u + static_cast<u32>(un64Size);
}

VQX_RESULT CVQCAFSerialize::ReadIntoString(u64 un64Count, CVQCAFString& strValue) {
  u8 abyChunk[4096];
  u64 un64Done = 0;
  while (un64Done < un64Count) {
    u64 un64Left = un64Count - un64Done;
    u32 un32Chunk = un64Left > sizeof(abyChunk) ? static_cast<u32>(sizeof(abyChunk)) : static_cast<u32>(un64Left);
    VQX_RESULT un32Result = Read(un32Chunk, abyChunk);
    if (VQX_RESULT_FAILED(un32Result)) {
      strValue.Clear();
      return un32Result;
    }
    strValue.AppendData(abyChunk, un32Chunk);
    un64Done += un32Chunk;
  }
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCAFSerialize::ReadIntoBuffer(u64 un64Count, CVQCAFBuffer& Buffer) {
  u64 un64Done = 0;
  while (un64Done < un64Count) {
    u64 un64Left = un64Count - un64Done;
    u32 un32Chunk = un64Left > READ_CHUNK ? READ_CHUNK : static_cast<u32>(un64Left);
    VQX_RESULT un32Result;
    {
      CVQCAFMutexAutoGetGive Lock(&Buffer.mMutex);
      un32Result = Buffer.ResizeLocked(un64Done + un32Chunk, true);
      if (VQX_RESULT_SUCCEEDED(un32Result)) un32Result = Read(un32Chunk, Buffer.mpbyData + un64Done);
      if (VQX_RESULT_FAILED(un32Result)) {
        if (Buffer.mun32LendCount == 0) Buffer.FreeLocked();
        return un32Result;
      }
    }
    un64Done += un32Chunk;
  }
  return VQX_RESULT_OK;
}

}  // namespace VQCAF
