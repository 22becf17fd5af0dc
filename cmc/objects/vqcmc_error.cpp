/*
 * vqcmc_error.cpp - the error objects and error events: code texts, copies,
 * and the texts of the media-path detail block. Each group of the block is
 * a table of {offset, flag or count, text} rows read by one routine.
 */
#include "vqcmc_error.h"

#include <cstring>
#include <initializer_list>

#include "vqx_host.h"

namespace VQCAF {

namespace {

/* One field of a detail group: its byte offset, and its text ("%d": the value, signed). */
struct DetailField {
  u32 un32Offset;
  const char* pszText;
};

const DetailField kLegToNetwork[] = {{4, "No packet sent"}, {8, "Dropped incomplete arp=%d"}};
const DetailField kLegFromNetwork[] = {{20, "No packet received"},       {40, "Excessive IP port change"},
                                       {24, "Excessive PT change"},      {28, "Sequence number errors=%d"},
                                       {32, "Invalid packets=%d"},       {36, "Buffer overflow=%d"}};
const DetailField kLegPlay[] = {{52, "No packet played"}, {56, "Sequence number errors=%d"}, {60, "Invalid packets=%d"}};
const DetailField kLegRecord[] = {{76, "No packet recorded"}, {80, "Dropped incomplete arp=%d"}};

/* Mixer fields: a u8 flag or a u32 count. */
struct MixerField {
  u32 un32Offset;
  u32 un32Width;
  const char* pszText;
};
const MixerField kMixerPlay[] = {{4, 1, "No packet played"}, {8, 4, "Sequence number errors=%d"}, {12, 4, "Invalid packets=%d"}};
const MixerField kMixerRecord[] = {{28, 1, "No packet recorded"}, {32, 4, "Dropped incomplete arp=%d"}};

u32 Word(const u8* pby, u32 un32Size, u32 un32Offset, u32 un32Width = 4) {
  if (un32Offset + un32Width > un32Size) return 0;
  if (un32Width == 1) return pby[un32Offset];
  u32 un32;
  memcpy(&un32, pby + un32Offset, sizeof(un32));
  return un32;
}

void Append(CVQCAFString& str, const char* pszText, u32 un32Value) {
  if (str.GetLength() != 0) str += "; ";
  if (strstr(pszText, "%d") != nullptr) {
    CVQCAFString strField;
    strField.Format(pszText, static_cast<int>(un32Value));
    str += strField;
  } else {
    str += pszText;
  }
}

CVQCAFString Titled(const char* pszTitle, const CVQCAFString& strFields) {
  CVQCAFString str(pszTitle);
  str += strFields;
  str += "]";
  return str;
}

template <size_t N>
CVQCAFString Group(bool fSet, const char* pszTitle, const u8* pby, u32 un32Size, const DetailField (&aFields)[N]) {
  if (!fSet) return CVQCAFString();
  CVQCAFString str;
  for (const DetailField& F : aFields) {
    if (const u32 un32 = Word(pby, un32Size, F.un32Offset)) Append(str, F.pszText, un32);
  }
  return Titled(pszTitle, str);
}

template <size_t N>
CVQCAFString Group(bool fSet, const char* pszTitle, const u8* pby, u32 un32Size, const MixerField (&aFields)[N]) {
  if (!fSet) return CVQCAFString();
  CVQCAFString str;
  for (const MixerField& F : aFields) {
    if (const u32 un32 = Word(pby, un32Size, F.un32Offset, F.un32Width)) Append(str, F.pszText, un32);
  }
  return Titled(pszTitle, str);
}

CVQCAFString CodeText(u32 un32Code) {
  char sz[127] = {};
  VQXGetErrorString(un32Code, sizeof(sz), sz);
  return CVQCAFString(sz);
}

/* The fields both error classes share, copied by their assignments. */
template <class T>
void CopyError(T& Dst, const T& Src) {
  Dst.mun32Code = Src.mun32Code;
  Dst.mstrCodeText = Src.mstrCodeText;
  Dst.mstrMessage = Src.mstrMessage;
  Dst.mpszFile = Src.mpszFile;
  Dst.mun32Line = Src.mun32Line;
  Dst.mun32MsgId = Src.mun32MsgId;
  memcpy(Dst.mabyDetail, Src.mabyDetail, sizeof(Dst.mabyDetail));
}

template <class T>
void SetError(T& Dst, u32 un32Code, const char* pszMessage, const char* pszFile, u32 un32Line) {
  Dst.mun32Code = un32Code;
  Dst.mstrCodeText = CodeText(un32Code);
  Dst.mstrMessage = pszMessage != nullptr ? pszMessage : "";
  Dst.mpszFile = pszFile != nullptr ? pszFile : "not set";
  Dst.mun32Line = un32Line;
}

}  // namespace

/* ------------------------------------------------------------------ leg error */

CVQCMCLegError::CVQCMCLegError() = default;

CVQCMCLegError::CVQCMCLegError(unsigned int un32Code, const char* pszMessage, const char* pszFile,
                               unsigned int un32Line) {
  SetError(*this, un32Code, pszMessage, pszFile, un32Line);
}

CVQCMCLegError::CVQCMCLegError(const CVQCMCLegError& Other) { *this = Other; }

CVQCMCLegError& CVQCMCLegError::operator=(const CVQCMCLegError& Other) {
  if (this != &Other) CopyError(*this, Other);
  return *this;
}

const char* CVQCMCLegError::which() {
  if (mstrCodeText.GetLength() == 0) mstrCodeText = CodeText(mun32Code);
  return mstrCodeText.c_str();
}

u32 CVQCMCLegError::DetailWord(u32 un32Offset) const { return Word(mabyDetail, sizeof(mabyDetail), un32Offset); }

CVQCAFString CVQCMCLegError::GetToNetworkErrorsStr() const {
  return Group(IsToNetworkErrors() != 0, "ToNetwork errors[", mabyDetail, sizeof(mabyDetail), kLegToNetwork);
}
CVQCAFString CVQCMCLegError::GetFromNetworkErrorsStr() const {
  return Group(IsFromNetworkErrors() != 0, "FromNetwork errors[", mabyDetail, sizeof(mabyDetail), kLegFromNetwork);
}
CVQCAFString CVQCMCLegError::GetPlayErrorsStr() const {
  return Group(IsPlayErrors() != 0, "Play errors[", mabyDetail, sizeof(mabyDetail), kLegPlay);
}
CVQCAFString CVQCMCLegError::GetRecordErrorsStr() const {
  return Group(IsRecordErrors() != 0, "Record errors[", mabyDetail, sizeof(mabyDetail), kLegRecord);
}

CVQCAFString CVQCMCLegError::GetDatapathErrorsStr() const {
  CVQCAFString str;
  if (!IsDataPathErrors()) return str;
  for (const CVQCAFString& strGroup :
       {GetToNetworkErrorsStr(), GetFromNetworkErrorsStr(), GetPlayErrorsStr(), GetRecordErrorsStr()}) {
    if (strGroup.GetLength() == 0) continue;
    if (str.GetLength() != 0) str += ", ";
    str += strGroup;
  }
  return str;
}

/* ------------------------------------------------------------------ mixer error */

CVQCMCMixerError::CVQCMCMixerError() = default;

CVQCMCMixerError::CVQCMCMixerError(unsigned int un32Code, const char* pszMessage, const char* pszFile,
                                   unsigned int un32Line) {
  SetError(*this, un32Code, pszMessage, pszFile, un32Line);
}

CVQCMCMixerError::CVQCMCMixerError(const CVQCMCMixerError& Other) { *this = Other; }

CVQCMCMixerError& CVQCMCMixerError::operator=(const CVQCMCMixerError& Other) {
  if (this != &Other) CopyError(*this, Other);
  return *this;
}

const char* CVQCMCMixerError::which() {
  if (mstrCodeText.GetLength() == 0) mstrCodeText = CodeText(mun32Code);
  return mstrCodeText.c_str();
}

CVQCAFString CVQCMCMixerError::GetPlayErrorsStr() const {
  return Group(IsPlayErrors() != 0, "Play errors[", mabyDetail, sizeof(mabyDetail), kMixerPlay);
}
CVQCAFString CVQCMCMixerError::GetRecordErrorsStr() const {
  return Group(IsRecordErrors() != 0, "Record errors[", mabyDetail, sizeof(mabyDetail), kMixerRecord);
}

/* ------------------------------------------------------------------ error events */

CVQCMCLegErrorEvent::CVQCMCLegErrorEvent(CVQCMCLegError* pError)
    : CVQCMCLegError(pError != nullptr ? pError->mun32Code : 0x02000000u, pError != nullptr ? pError->what() : nullptr,
                     pError != nullptr ? pError->mpszFile : nullptr, pError != nullptr ? pError->mun32Line : 0) {}

CVQCMCLegErrorEvent::CVQCMCLegErrorEvent(const CVQCMCLegErrorEvent& Other) : IVQCMCEvent(), CVQCMCLegError() {
  *this = Other;
}

CVQCMCLegErrorEvent& CVQCMCLegErrorEvent::operator=(const CVQCMCLegErrorEvent& Other) {
  if (this != &Other) {
    CVQCMCLegError::operator=(Other);
    mun32Cause = Other.mun32Cause;
  }
  return *this;
}

CVQCMCMixerErrorEvent::CVQCMCMixerErrorEvent(CVQCMCMixerError* pError)
    : CVQCMCMixerError(pError != nullptr ? pError->mun32Code : 0x02000000u, pError != nullptr ? pError->what() : nullptr,
                       pError != nullptr ? pError->mpszFile : nullptr, pError != nullptr ? pError->mun32Line : 0) {}

CVQCMCMixerErrorEvent::CVQCMCMixerErrorEvent(const CVQCMCMixerErrorEvent& Other) : IVQCMCEvent(), CVQCMCMixerError() {
  *this = Other;
}

CVQCMCMixerErrorEvent& CVQCMCMixerErrorEvent::operator=(const CVQCMCMixerErrorEvent& Other) {
  if (this != &Other) {
    CVQCMCMixerError::operator=(Other);
    mun32Cause = Other.mun32Cause;
  }
  return *this;
}

}  // namespace VQCAF
