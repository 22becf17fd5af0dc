/*
 * sigtracegrp.cpp - the trace group's segment files: names, opening, file
 * headers and trailer, rotation, record prefixes, counters and the handling
 * of open and write failures. The framings are in sigtracegrp_pcap.cpp, the
 * text records in sigtracegrp_text.cpp.
 *
 * Called by the trace application on its main (or console) thread under its
 * application mutex.
 */
#include "sigtracegrp.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>
#include <unistd.h>

#include "sigtrace_text.h"
#include "vqcafdiag.h"
#include "vqcafexception.h"
#include "vqx_string.h"

namespace VQCAF {
namespace {

constexpr SVQSigTraceName s_aTypeName[] = {
    {0, 1, "Unk"}, {2, "SS7"}, {3, "ISDN"}, {4, "SIP"}, {5, "CASR2"}, {6, "H248"}, {7, "LAPD"},
};

/* pcap link types (tcpdump.org LINKTYPE_...). */
constexpr u32 kun32LinkEthernet = 1;
constexpr u32 kun32LinkMtp2WithPhdr = 139;
constexpr u32 kun32LinkLinuxLapd = 177;

/* pcap global header (big-endian file). */
constexpr u32 kun32PcapMagic = 0xA1B2C3D4u;
constexpr u16 kun16PcapMajor = 2;
constexpr u16 kun16PcapMinor = 4;
constexpr u32 kun32PcapSnapLength = 65535;
constexpr u32 kun32PcapGlobalHeaderSize = 24;
constexpr u32 kun32PcapRecordHeaderSize = 16;

/* Names tried after an existing one before giving up. */
constexpr u32 kun32MaxSegmentProbes = 100000;

/* The group that writes the pcap stream of the standard output, if any,
 * and the number of text groups writing to it: a pcap stream has room for
 * neither another pcap header nor a line of text. */
std::atomic<const CVQSigTraceGrp*> s_pStdoutPcapOwner{nullptr};
std::atomic<u32> s_un32StdoutTextGroups{0};

void PutBe16(u8* p, u32 v) {
  p[0] = static_cast<u8>(v >> 8);
  p[1] = static_cast<u8>(v);
}
void PutBe32(u8* p, u32 v) {
  p[0] = static_cast<u8>(v >> 24);
  p[1] = static_cast<u8>(v >> 16);
  p[2] = static_cast<u8>(v >> 8);
  p[3] = static_cast<u8>(v);
}
u32 RoundUp4(u32 v) { return (v + 3u) & ~3u; }

}  // namespace

bool VqSigTraceCaughtForeign() noexcept {
  try {
    throw;
  } catch (const CVQCAFException&) {
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  } catch (const std::out_of_range&) {
  } catch (...) {
    return true;
  }
  return false;
}

VQX_RESULT VqSigTraceReportException(const char* pszOperation, const char* pszFile, int nLine) noexcept {
  if (VqSigTraceCaughtForeign())
    VqcafDiagPrintf(VQCAF_DIAG_LEVEL_ERROR, "%s: Un-handled exception: %s:%u\n", pszOperation,
                    VqxFileNameFromPath(pszFile), static_cast<unsigned>(nLine));
  return VqcafReportCurrentException(pszOperation, pszFile, nLine);
}

CVQSigTraceGrp::CVQSigTraceGrp()
    : mun32Type(0),
      mfPcap(0),
      mfStdout(0),
      mfOldIsdnFraming(0),
      mfOpenFailed(0),
      mfCaptureOff(0),
      mun32RxCount(0),
      mun32TxCount(0),
      mun32ExtCount(0),
      mun32NextSegment(0),
      mun32LostCount(0),
      mun32UnseenCount(0),
      mfOpenFailureShown(0),
      mfDiscard(0),
      mfFirstLossShown(0),
      mpClock(&VqSigTraceWallClock()),
      mn64BufferedSinceUs(-1),
      mn64OpenFailedUs(0),
      mfStdoutRefused(false),
      mfStdoutText(false) {}

CVQSigTraceGrp::~CVQSigTraceGrp() {
  try {
    CloseFile();
    ReleaseStdout();
  } catch (...) {
    VqSigTraceReportException("CVQSigTraceGrp::~CVQSigTraceGrp", __FILE__, __LINE__);
  }
}

const char* CVQSigTraceGrp::GetTypeName() const { return VqSigTraceLookup(s_aTypeName, mun32Type, "Unk"); }

u32 CVQSigTraceGrp::GetLinkType() const {
  switch (mun32Type) {
    case VQ_SIGTRACE_TYPE_SS7: return kun32LinkMtp2WithPhdr;
    case VQ_SIGTRACE_TYPE_ISDN:
    case VQ_SIGTRACE_TYPE_LAPD: return mfOldIsdnFraming ? kun32LinkLinuxLapd : kun32LinkEthernet;
    default: return kun32LinkEthernet;
  }
}

bool CVQSigTraceGrp::IsPcap() const { return mfPcap != 0 && mun32Type != VQ_SIGTRACE_TYPE_CASR2; }

std::string CVQSigTraceGrp::SegmentPath(u32 un32Number) const {
  /* The name comes from a board or a remote provider: keep the file in the
   * trace directory whatever it holds. */
  std::string strBase(mstrName.c_str(), mstrName.GetLength());
  for (char& c : strBase) {
    if (c == '/' || c == '\\') c = '_';
  }
  for (size_t i = strBase.find(".."); i != std::string::npos; i = strBase.find("..", i)) strBase.replace(i, 2, "__");
  constexpr size_t kun64MaxBase = 200; /* room for "_NNN.cap" within NAME_MAX */
  if (strBase.size() > kun64MaxBase) strBase.resize(kun64MaxBase);
  char acSuffix[32];
  snprintf(acSuffix, sizeof(acSuffix), "_%03u.%s", un32Number, IsPcap() ? "cap" : "log");
  return strBase + acSuffix;
}

void CVQSigTraceGrp::NoteLost(u32 un32Count) {
  mun32LostCount += un32Count;
  for (SLossLine* pLine : {&mLostLine, &mOpenLine, &mWriteLine}) pLine->un32Lost += un32Count;
}

bool CVQSigTraceGrp::SLossLine::Allow(u64 un64NowMs, u32& un32LeftOut, u32& un32LostOut) {
  if (!Limit.Allow(un64NowMs, un32LeftOut)) return false;
  un32LostOut = un32Lost;
  un32Lost = 0;
  return true;
}

VQX_RESULT CVQSigTraceGrp::CreateNewFile() {
  try {
    if (mfStdoutRefused) return VQX_RESULT_ACCESS_DENIED;
    /* A missing folder or no descriptor left: one open() a second, not one
     * per record (the records in between are counted lost by the writers). */
    if (mfOpenFailed && Within(mn64OpenFailedUs, kn64OpenRetryUs)) return VQX_RESULT_FAIL;
    if (mfStdout) {
      if (IsPcap()) {
        const CVQSigTraceGrp* pNone = nullptr;
        if (s_un32StdoutTextGroups.load() != 0) {
          mfStdoutRefused = true;
          return VQCAF_REPORT_FAILURE("CVQSigTraceGrp::CreateNewFile",
                                      "Other groups already write text to the standard output", VQX_RESULT_ACCESS_DENIED);
        }
        if (!s_pStdoutPcapOwner.compare_exchange_strong(pNone, this) && pNone != this) {
          mfStdoutRefused = true;
          return VQCAF_REPORT_FAILURE("CVQSigTraceGrp::CreateNewFile",
                                      "Another group already writes a pcap stream to the standard output",
                                      VQX_RESULT_ACCESS_DENIED);
        }
      } else {
        if (s_pStdoutPcapOwner.load() != nullptr) {
          mfStdoutRefused = true;
          return VQCAF_REPORT_FAILURE("CVQSigTraceGrp::CreateNewFile",
                                      "Another group already writes a pcap stream to the standard output",
                                      VQX_RESULT_ACCESS_DENIED);
        }
        if (!mfStdoutText) {
          mfStdoutText = true;
          ++s_un32StdoutTextGroups;
        }
      }
      mFile.AttachStdout();
    } else {
      VQX_RESULT r = VQX_RESULT_FAIL;
      std::string strPath;
      u32 un32Number = mun32NextSegment;
      if (mstrDirectory.empty()) {
        /* Later segments are opened by the directory's path, so that a
         * folder removed and made again takes them (not the process's
         * working directory, which would stay the removed one). */
        char acDir[4096];
        if (::getcwd(acDir, sizeof(acDir)) != nullptr && acDir[0] == '/') mstrDirectory = std::string(acDir) + "/";
      }
      for (u32 n = 0; n < kun32MaxSegmentProbes; ++n, ++un32Number) {
        strPath = SegmentPath(un32Number);
        r = mFile.CreateExclusive(mstrDirectory.c_str(), strPath.c_str());
        if (r != VQX_RESULT_ACCESS_DENIED) break; /* taken: an earlier run's file is never overwritten */
      }
      if (VQX_RESULT_FAILED(r)) {
        mfOpenFailed = 1;
        mstrFailedFile = strPath.c_str();
        mn64OpenFailedUs = NowUs();
        u32 un32LeftOut = 0, un32Lost = 0;
        if (mOpenLine.Allow(NowMs(), un32LeftOut, un32Lost)) {
          CVQCAFString strText;
          strText.Format("Failed to open %s file.%s", strPath.c_str(), LeftOutText(un32LeftOut).c_str());
          VQCAF_REPORT_FAILURE("CVQSigTraceGrp::CreateNewFile", strText.c_str(), VQX_RESULT_FAIL);
          if (un32Lost != 0)
            VqcafDiagPrintf(VQCAF_DIAG_LEVEL_MESSAGE, "Group %s: %u record(s) lost, file not writable\n", mstrName.c_str(),
                            un32Lost);
        }
        return VQX_RESULT_FAIL;
      }
      mun32NextSegment = un32Number + 1;
    }
    if (mfOpenFailed || mLostLine.un32Lost != 0) {
      /* A full disk reopens a segment at every flush: once a second at most. */
      u32 un32LeftOut = 0, un32Lost = 0;
      if (mLostLine.Allow(NowMs(), un32LeftOut, un32Lost))
        VqcafDiagPrintf(VQCAF_DIAG_LEVEL_MESSAGE, "Group %s: writing to %s, %u record(s) lost before%s\n", mstrName.c_str(),
                        mFile.GetCurrentPath().c_str(), un32Lost, LeftOutText(un32LeftOut).c_str());
      mfOpenFailed = 0;
    }
    mstrCurrentFile = mFile.GetCurrentPath().c_str();
    WriteFileHeader();
    if (mfStdout) mFile.Flush();
    return VQX_RESULT_OK;
  }
  VQ_SIGTRACE_CATCH_RETURN("CVQSigTraceGrp::CreateNewFile")
}

void CVQSigTraceGrp::WriteFileHeader() {
  mFile.BeginRecord();
  if (IsPcap()) {
    u8 aun8Header[kun32PcapGlobalHeaderSize] = {};
    PutBe32(aun8Header + 0, kun32PcapMagic);
    PutBe16(aun8Header + 4, kun16PcapMajor);
    PutBe16(aun8Header + 6, kun16PcapMinor);
    PutBe32(aun8Header + 16, kun32PcapSnapLength);
    PutBe32(aun8Header + 20, GetLinkType());
    mFile.Append(aun8Header, sizeof(aun8Header));
  } else {
    char acCreation[kun32TimeTextSize];
    VqSigTraceFormatCreation(mpClock->Now(), acCreation);
    std::string str = "// Creation date: ";
    str += acCreation;
    str += "\n// Group name: ";
    str += mstrName.c_str();
    str += ", type: ";
    str += GetTypeName();
    str += "\n";
    for (const CVQSigTraceEntityParams& e : mvEntities) {
      str += "//               ";
      if (mun32Type != VQ_SIGTRACE_TYPE_H248) {
        str += e.mstrAdapterName.c_str();
        str += ":";
      }
      str += e.mstrName.c_str();
      str += "\n";
    }
    str += "\n\n\n";
    mFile.Append(str);
  }
  mFile.EndRecord(CVQSigTraceSegment::EPiece::Frame);
}

VQX_RESULT CVQSigTraceGrp::CloseFile() {
  try {
    if (mFile.IsOpened()) {
      /* Every record reaches a segment (this one or the next ones) or is
       * counted as lost before the trailer goes. */
      if (!mFile.Flush()) HandleWriteFailure();
    }
    if (mFile.IsOpened()) {
      if (!IsPcap()) {
        mFile.BeginRecord();
        mFile.Append("\n\n[END]\n", 8);
        mFile.EndRecord(CVQSigTraceSegment::EPiece::Frame);
      }
      const bool fStdout = mFile.IsStdout();
      const std::string strPath = mFile.GetCurrentPath();
      /* Only the trailer can fail here; the file is cut back before it. */
      if (!mFile.Close()) ReportWriteFailure(strPath, fStdout ? "output released" : "segment closed", mFile.GetLastError());
      if (fStdout) ReleaseStdout();
    }
    return VQX_RESULT_OK;
  }
  VQ_SIGTRACE_CATCH_RETURN("CVQSigTraceGrp::CloseFile")
}

VQX_RESULT CVQSigTraceGrp::ForceLogRotation() {
  try {
    if (mfStdout || !mFile.IsOpened()) return VQX_RESULT_OK;
    VqcafDiagPrintf(VQCAF_DIAG_LEVEL_MESSAGE, "Close log file %s for group=%s ", mFile.GetCurrentPath().c_str(), mstrName.c_str());
    mstrCurrentFile.Clear();
    CloseFile();
    return VQX_RESULT_OK;
  }
  VQ_SIGTRACE_CATCH_RETURN("CVQSigTraceGrp::ForceLogRotation")
}

void CVQSigTraceGrp::ReleaseStdout() {
  const CVQSigTraceGrp* pSelf = this;
  s_pStdoutPcapOwner.compare_exchange_strong(pSelf, nullptr);
  if (mfStdoutText) {
    mfStdoutText = false;
    --s_un32StdoutTextGroups;
  }
}

void CVQSigTraceGrp::ReportWriteFailure(const std::string& strPath, const char* pszOutcome, int nErrno) {
  NoteLost(static_cast<u32>(mFile.TakeLostRecords()));
  const bool fLost = mWriteLine.un32Lost != 0;
  CVQCAFString strText;
  strText.Format("Failed to write %s file (%s), %s, %u record(s) lost.", strPath.c_str(), strerror(nErrno), pszOutcome,
                 mWriteLine.un32Lost);
  /* The owner shows the group's first loss beside the log (a full disk). */
  if (fLost && mstrFirstLoss.IsEmpty()) mstrFirstLoss.Format("Group %s: %s", mstrName.c_str(), strText.c_str());
  u32 un32LeftOut = 0, un32Lost = 0; /* the count is in the text already */
  if (mWriteLine.Allow(NowMs(), un32LeftOut, un32Lost)) {
    strText += LeftOutText(un32LeftOut).c_str();
    VQCAF_REPORT_FAILURE("CVQSigTraceGrp::WriteRecord", strText.c_str(), VQX_RESULT_FAIL);
  }
}

void CVQSigTraceGrp::DropEmptySegment(const std::string& strFullPath) {
  /* Nothing but the file header made it: do not leave a trail of empty
   * segments behind a full disk, reuse the number. */
  ::unlink(strFullPath.c_str());
  if (mun32NextSegment > 0) --mun32NextSegment;
}

void CVQSigTraceGrp::HandleWriteFailure() {
  if (mFile.IsStdout()) {
    /* A pipe cannot be cut back; the owner watches it. */
    ReportWriteFailure(mFile.GetCurrentPath(), "output kept", mFile.GetLastError());
    return;
  }
  /* The segment keeps the whole records that reached it; the others go to
   * the next segment, and so on while a segment takes at least one record.
   * A segment removed from its folder is replaced once, by its path: the
   * folder may be back. Bounded: every round either writes a record or ends. */
  bool fReplaced = false;
  while (mFile.IsOpened()) {
    const std::string strPath = mFile.GetCurrentPath(), strFullPath = mFile.GetFullPath();
    const int nErrno = mFile.GetLastError();
    const bool fUnlinked = mFile.IsUnlinked();
    const bool fTookRecords = mFile.GetSegmentRecords() != 0;
    CVQSigTraceSegment::SUnwritten Rest = mFile.TakeUnwritten();
    mFile.Close();
    mstrCurrentFile.Clear();
    if (!fTookRecords && !fUnlinked) DropEmptySegment(strFullPath);
    const bool fTry = fTookRecords || (fUnlinked && !fReplaced);
    fReplaced = fReplaced || fUnlinked;
    const bool fCarry = fTry && !Rest.vEnds.empty() && !VQX_RESULT_FAILED(CreateNewFile());
    if (!fCarry) {
      /* Not even an empty segment could take the first of them. */
      NoteLost(static_cast<u32>(Rest.vEnds.size()));
      ReportWriteFailure(strPath, fUnlinked ? "segment removed" : "segment closed", nErrno);
      return;
    }
    ReportWriteFailure(strPath, "rest carried to the next segment", nErrno);
    mFile.AppendRecords(Rest);
    if (mFile.Flush()) return;
  }
}

void CVQSigTraceGrp::EndRecord(bool fFlushStdout, bool fCountAsRecord) {
  bool fOk = mFile.EndRecord(fCountAsRecord ? CVQSigTraceSegment::EPiece::Record : CVQSigTraceSegment::EPiece::Continuation);
  if (fOk && fFlushStdout && mFile.IsStdout()) fOk = mFile.Flush();
  if (!fOk) HandleWriteFailure();
  if (!mFile.HasBuffered()) mn64BufferedSinceUs = -1;
  else if (mn64BufferedSinceUs < 0) mn64BufferedSinceUs = NowUs();
}

i64 CVQSigTraceGrp::NowUs() const {
  const SVQSigTraceTime t = mpClock->Now();
  return t.n64Seconds * 1000000 + t.un32Microseconds;
}

u64 CVQSigTraceGrp::NowMs() const {
  const i64 n64Us = NowUs();
  return n64Us > 0 ? static_cast<u64>(n64Us / 1000) : 0;
}

bool CVQSigTraceGrp::Within(i64 n64SinceUs, i64 n64DelayUs) const {
  const i64 n64Passed = NowUs() - n64SinceUs;
  return n64Passed >= 0 && n64Passed < n64DelayUs;
}

std::string CVQSigTraceGrp::LeftOutText(u32 un32LeftOut) {
  if (un32LeftOut == 0) return std::string();
  char ac[64];
  snprintf(ac, sizeof(ac), " (%u similar line(s) left out)", un32LeftOut);
  return ac;
}

void CVQSigTraceGrp::ReportLeftOut() {
  /* The lines of every kind left out, in one line; it counts the records
   * lost since the earliest last line of those kinds, so that none of the
   * lines it stands for goes without its records. */
  u32 un32LeftOut = 0, un32Lost = 0;
  for (SLossLine* pLine : {&mLostLine, &mOpenLine, &mWriteLine}) {
    if (pLine->Limit.LeftOut() == 0) continue; /* no clock read on the common path */
    const u32 un32Due = pLine->Limit.TakeDue(NowMs());
    if (un32Due == 0) continue;
    un32LeftOut += un32Due;
    un32Lost = std::max(un32Lost, pLine->un32Lost);
    pLine->un32Lost = 0;
  }
  if (un32LeftOut == 0) return;
  VqcafDiagPrintf(VQCAF_DIAG_LEVEL_MESSAGE, "Group %s: %u record(s) lost since the last line%s\n", mstrName.c_str(),
                  un32Lost, LeftOutText(un32LeftOut).c_str());
}

VQX_RESULT CVQSigTraceGrp::WriteOut(bool fIdle) {
  try {
    ReportLeftOut();
    if (!mFile.IsOpened() || !mFile.HasBuffered()) {
      mn64BufferedSinceUs = -1;
      return VQX_RESULT_OK;
    }
    if (!fIdle) {
      if (mn64BufferedSinceUs < 0) {
        mn64BufferedSinceUs = NowUs(); /* only a file header so far */
        return VQX_RESULT_OK;
      }
      if (Within(mn64BufferedSinceUs, kn64WriteOutDelayUs)) return VQX_RESULT_OK;
    }
    if (!mFile.Flush()) HandleWriteFailure();
    mn64BufferedSinceUs = mFile.HasBuffered() ? NowUs() : -1;
    return VQX_RESULT_OK;
  }
  VQ_SIGTRACE_CATCH_RETURN("CVQSigTraceGrp::WriteOut")
}

bool CVQSigTraceGrp::PrepareRecord() {
  if (mfDiscard != 0) return false;
  if (!mFile.IsOpened()) {
    CreateNewFile();
  } else if (!mFile.IsStdout() && mFile.GetSize() > kun64RotationSize) {
    CloseFile();
    /* A failed last write may have carried records into a new segment already. */
    if (!mFile.IsOpened()) CreateNewFile();
  }
  return mFile.IsOpened();
}

void CVQSigTraceGrp::CountPacket(CVQSigTraceEntityParams& Entity, u32 un32Direction) {
  if (un32Direction == 0) {
    ++mun32RxCount;
    ++Entity.mun32RxCount;
  } else {
    ++mun32TxCount;
    ++Entity.mun32TxCount;
  }
}

void CVQSigTraceGrp::AppendPrefixLine(CVQSigTraceText& text, const CVQSigTraceEntityParams& Entity, u32 un32Direction,
                                      u32 un32Length) {
  /* "<date>_<time>  // <name, right-aligned in 40> <arrow>  length=<n>". */
  constexpr size_t kun64NameWidth = 40;
  const std::string_view name(Entity.mstrName.c_str());
  text.Put(mStamp.Stamp(mpClock->Now()), "  // ");
  if (name.size() < kun64NameWidth) text.Str().append(kun64NameWidth - name.size(), ' ');
  text.Put(name, ' ', un32Direction == 0 ? "<-----" : "----->", "  length=", SVQSigTraceDec{un32Length}, '\n');
}

void CVQSigTraceGrp::PutPcapRecordHeader(u8* pHeader, const SVQSigTraceTime& t, u32 un32Captured, u32 un32Wire) {
  static_assert(kun32PcapRecordHeaderBytes == kun32PcapRecordHeaderSize);
  PutBe32(pHeader + 0, static_cast<u32>(t.n64Seconds));
  PutBe32(pHeader + 4, t.un32Microseconds);
  PutBe32(pHeader + 8, un32Captured);
  PutBe32(pHeader + 12, un32Wire);
}

VQX_RESULT CVQSigTraceGrp::WritePacketHeader(CVQSigTraceEntityParams& Entity, u32 un32Direction, u32 un32Length,
                                             _VQ500_TUCL_TRACE_TRANSPORT_TYPE Transport) {
  try {
    const bool fOpen = PrepareRecord();
    CountPacket(Entity, un32Direction);
    if (!fOpen) {
      NoteLost(1);
      return VQX_RESULT_OK;
    }
    mFile.BeginRecord();
    if (IsPcap()) {
      /* Lengths of the group's framing around a full frame of un32Length. */
      const u32 S = RoundUp4(std::min(Entity.mstrEthPort.GetLength(), kun32IuaMaxInfoString));
      u32 un32Framing = 0, un32Cap = 0xFFFFFFFFu;
      u32 un32Captured = un32Length, un32Wire = un32Length;
      switch (mun32Type) {
        case VQ_SIGTRACE_TYPE_SS7: un32Framing = 4; un32Cap = kun32FrameCap; break;
        case VQ_SIGTRACE_TYPE_ISDN:
        case VQ_SIGTRACE_TYPE_LAPD:
          if (mfOldIsdnFraming) {
            un32Framing = 16;
            un32Cap = kun32FrameCap;
          } else {
            un32Framing = 90 + S;
            un32Captured = un32Length > 4 ? RoundUp4(std::min(un32Length, kun32FrameCap)) : 0;
            un32Wire = un32Length > 4 ? RoundUp4(un32Length) : 0;
          }
          break;
        case VQ_SIGTRACE_TYPE_IP: un32Framing = Transport == VQ500_TUCL_TRACE_TRANSPORT_RAW ? 34 : 42; un32Cap = kun32IpCap; break;
        case VQ_SIGTRACE_TYPE_H248: un32Framing = 42; un32Cap = kun32IpCap; break;
        default: break;
      }
      if (un32Cap != 0xFFFFFFFFu) un32Captured = std::min(un32Length, un32Cap);
      u8 aun8Header[kun32PcapRecordHeaderSize];
      const SVQSigTraceTime t = mpClock->Now();
      PutBe32(aun8Header + 0, static_cast<u32>(t.n64Seconds));
      PutBe32(aun8Header + 4, t.un32Microseconds);
      PutBe32(aun8Header + 8, un32Framing + un32Captured);
      PutBe32(aun8Header + 12, un32Framing + un32Wire);
      mFile.Append(aun8Header, sizeof(aun8Header));
    } else {
      mText.Clear();
      AppendPrefixLine(mText, Entity, un32Direction, un32Length);
      mFile.Append(mText.Str());
    }
    EndRecord(false);
    return VQX_RESULT_OK;
  }
  VQ_SIGTRACE_CATCH_RETURN("CVQSigTraceGrp::WritePacketHeader")
}

VQX_RESULT CVQSigTraceGrp::CalculateIpHeaderChecksum(_QUELLAN_IP* pHeader) {
  if (pHeader == nullptr) return VQX_RESULT_NULL_PARAM;
  pHeader->un16Checksum = 0;
  u8 aun8Bytes[sizeof(_QUELLAN_IP)];
  memcpy(aun8Bytes, pHeader, sizeof(aun8Bytes));
  u32 un32Sum = 0;
  for (size_t i = 0; i < sizeof(aun8Bytes); i += 2) un32Sum += (static_cast<u32>(aun8Bytes[i]) << 8) | aun8Bytes[i + 1];
  while (un32Sum >> 16) un32Sum = (un32Sum & 0xFFFFu) + (un32Sum >> 16);
  const u16 un16Checksum = static_cast<u16>(~un32Sum);
  u8* pChecksum = reinterpret_cast<u8*>(pHeader) + offsetof(_QUELLAN_IP, un16Checksum);
  PutBe16(pChecksum, un16Checksum);
  return VQX_RESULT_OK;
}

}  // namespace VQCAF
