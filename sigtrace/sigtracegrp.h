/*
 * sigtracegrp.h - one trace output stream: a named group of traced entities
 * of one protocol type whose captured units are written, in arrival order,
 * to segmented pcap or text files ("<name>_<NNN>.cap" / ".log", a new
 * segment past 10 MiB) or to the process's standard output.
 *
 * Owner: the trace application. It creates a group when it attaches the
 * first entity naming it, sets the name, type and flags below directly,
 * appends the entities, and calls the writers from its main thread (console
 * thread for ForceLogRotation), all under its application mutex: the group
 * has no lock of its own.
 *
 * Every public operation returns a 32-bit result and never throws; failures
 * inside are caught and logged once in the common failure format. Writers
 * count every record (group and entity counters) even when nothing can be
 * written, and count what could not be written in mun32LostCount.
 *
 * Files: a segment is created next to the process (current directory, by
 * its absolute path as it was at the group's first open) and never
 * overwrites an existing file; a group name that would leave that
 * directory (path separators, "..") is neutralised in the file name. A
 * segment that cannot be opened is tried again by the first record a
 * second (group clock) after the failed attempt, not by every record: the
 * records in between are counted lost. A segment found removed from its
 * folder when its buffer is written out (its folder deleted) takes nothing
 * more: the buffered records go to a new segment opened by path, or are
 * counted lost while the folder is missing.
 * A failed or short write closes the segment, cut back to the last whole
 * record that reached it (removed when it holds none), and carries the
 * records not written into the next segment; only records that even a new
 * segment cannot take are lost. File headers and trailers do not count as
 * records. Each failure line (open, write, records lost before a new
 * segment) is logged once a second at most, the lines left out counted in
 * the next one or in a line of their own once the second is over
 * (WriteOut). Each kind of line gives the records lost since that kind was
 * last logged (the line of left-out lines of several kinds: since the
 * earliest of their last lines). A CAS R2 group always writes text. Only
 * one group at a time writes a pcap stream to standard output, and never
 * beside text groups there.
 */
#ifndef SIGTRACEGRP_H
#define SIGTRACEGRP_H

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "sigtrace_clock.h"
#include "sigtrace_entity.h"
#include "sigtrace_log_limit.h"
#include "sigtrace_segment.h"
#include "sigtrace_text.h"
#include "vq500_trace_types.h"
#include "vqcafstring.h"
#include "vqx_result.h"
#include "vqx_types.h"

namespace VQCAF {

/* At most this many groups per application (the owner's pool). */
constexpr u32 QUELLAN_MAX_GROUPS = 64;

/* The IPv4 header of the synthetic framings (RFC 791), network byte order. */
struct _QUELLAN_IP {
  u8 un8VersionHeaderLength; /* 0x45 */
  u8 un8TypeOfService;       /* 0 */
  u16 un16TotalLength;
  u16 un16Identification;    /* 0 */
  u16 un16FlagsFragment;     /* 0 */
  u8 un8TimeToLive;          /* 64 */
  u8 un8Protocol;
  u16 un16Checksum;
  u32 un32Source;
  u32 un32Destination;
};
static_assert(sizeof(_QUELLAN_IP) == 20);
static_assert(offsetof(_QUELLAN_IP, un16TotalLength) == 2);
static_assert(offsetof(_QUELLAN_IP, un8TimeToLive) == 8);
static_assert(offsetof(_QUELLAN_IP, un8Protocol) == 9);
static_assert(offsetof(_QUELLAN_IP, un16Checksum) == 10);
static_assert(offsetof(_QUELLAN_IP, un32Source) == 12);
static_assert(offsetof(_QUELLAN_IP, un32Destination) == 16);

class CVQSigTraceGrp {
 public:
  /* Segments rotate once larger than this (10 MiB). */
  static constexpr u64 kun64RotationSize = 10485760u;
  /* Data caps of one pcap record. */
  static constexpr u32 kun32FrameCap = 300;
  static constexpr u32 kun32IpCap = 5000;
  /* Longest interface description carried in an IUA Info String (bounds
   * one record; the parameter's length field has 16 bits). */
  static constexpr u32 kun32IuaMaxInfoString = 1024;
  /* Longest wait of a buffered record before WriteOut writes it (1 s). */
  static constexpr i64 kn64WriteOutDelayUs = 1000000;
  /* Shortest time between two attempts to open a segment while it cannot be opened (1 s). */
  static constexpr i64 kn64OpenRetryUs = 1000000;

  CVQSigTraceGrp();
  ~CVQSigTraceGrp();
  CVQSigTraceGrp(const CVQSigTraceGrp&) = delete;
  CVQSigTraceGrp& operator=(const CVQSigTraceGrp&) = delete;

  /* Segment files. */
  VQX_RESULT CreateNewFile();
  VQX_RESULT CloseFile();
  VQX_RESULT ForceLogRotation();
  /* Rotation, counters, then the record header alone (pcap lengths by the
   * group's framing of a full frame; the writers below use their own). */
  VQX_RESULT WritePacketHeader(CVQSigTraceEntityParams& Entity, u32 un32Direction, u32 un32Length,
                               _VQ500_TUCL_TRACE_TRANSPORT_TYPE Transport);
  /* Records wait in the segment's buffer (64 KiB) between writes; the owner
   * calls this on every turn of its loop so that they reach the file when
   * the loop is idle (fIdle), or once the oldest has waited
   * kn64WriteOutDelayUs on the group's clock, whatever the rate: a crash
   * loses at most that last second. It also logs the lost-records lines
   * held back (once a second at most) when their period is over.
   * 0x02000000 (failures handled as those of any write). */
  VQX_RESULT WriteOut(bool fIdle);

  /* Packet writers: pcap record with its framing, or text record. */
  VQX_RESULT WriteSs7PacketData(CVQSigTraceEntityParams& Entity, u32 un32LinkNumber, u32 fAnnexA, u32 un32Variant,
                                u32 un32PcLength, u32 un32Direction, u32 un32Length, const u8* pData);
  VQX_RESULT WriteH248PacketData(CVQSigTraceEntityParams& Entity, u32 un32Direction, u32 un32Length, const u8* pData);
  VQX_RESULT WriteTuclPacketData(CVQSigTraceEntityParams& Entity, _VQ500_TUCL_TRACE_DIRECTION_TYPE Direction,
                                 _VQ500_TUCL_TRACE_TRANSPORT_TYPE Transport, _VQ500_TUCL_TRACE_PROTOCOL_TYPE Protocol,
                                 const char* pszInterface, const char* pszRemoteAddress, const char* pszLocalAddress,
                                 u32 un32LocalPort, u32 un32RemotePort, u32 un32CapturedTimeMs, u32 un32Length,
                                 const u8* pData);
  VQX_RESULT WriteIsdnPacketData(CVQSigTraceEntityParams& Entity, u32 un32Direction, u32 un32Side, u32 un32Length,
                                 const u8* pData);
  /* Fills the header's checksum (RFC 791) from its other fields. */
  static VQX_RESULT CalculateIpHeaderChecksum(_QUELLAN_IP* pHeader);

  /* CAS R2 records (text only). Directions: 1 received, 2 sent, other neither. */
  VQX_RESULT WriteCasr2DateHeader(CVQSigTraceEntityParams& Entity, u32 un32Direction);
  VQX_RESULT WriteCasr2ExtendedStateData(CVQSigTraceEntityParams& Entity, u32 un32Timeslot, u32 un32Timestamp,
                                         _VQ500_CASR2_CALL_STATE CallState, _VQ500_CASR2_INTERNAL_CALL_STATE InternalState);
  VQX_RESULT WriteCasr2ToneData(CVQSigTraceEntityParams& Entity, u32 un32Timeslot, u32 un32Timestamp, u32 un32Direction,
                                const _VQ500_VP_DIGIT_PARAMS* pTone, u32 un32Value);
  VQX_RESULT WriteCasr2CasBitsData(CVQSigTraceEntityParams& Entity, u32 un32Timeslot, u32 un32Timestamp,
                                   u32 un32Direction, u8 un8Bit1, u8 un8Bit2, u8 un8Bit3, u8 un8Bit4, u8 un8Bit5,
                                   u8 un8Bit6, u8 un8Bit7, u8 un8Bit8, u32 un32StartTime, u32 un32EndTime, u32 un32Count);

  /* The rest of one CAS R2 line, after the time written by
   * WriteCasr2DateHeader, to the current file when it is open and records are
   * not discarded; always 0x02000000. Directions: 1 "IN  ", 2 "OUT ", other "--- ". */
  VQX_RESULT WriteFormattedCasr2ExtendedStateTrace(CVQSigTraceEntityParams& Entity, u32 un32Timeslot, u32 un32Timestamp,
                                                   u32 un32Direction, _VQ500_CASR2_CALL_STATE CallState,
                                                   _VQ500_CASR2_INTERNAL_CALL_STATE InternalState);
  VQX_RESULT WriteFormattedCasr2ToneTrace(CVQSigTraceEntityParams& Entity, u32 un32Timeslot, u32 un32Timestamp,
                                          u32 un32Direction, const _VQ500_VP_DIGIT_PARAMS* pTone, u32 un32Value);
  VQX_RESULT WriteFormattedCasr2CasBitsTrace(CVQSigTraceEntityParams& Entity, u32 un32Timeslot, u32 un32Timestamp,
                                             u32 un32Direction, u8 un8Bit1, u8 un8Bit2, u8 un8Bit3, u8 un8Bit4,
                                             u8 un8Bit5, u8 un8Bit6, u8 un8Bit7, u8 un8Bit8, u32 un32StartTime,
                                             u32 un32EndTime, u32 un32Count);

  /* Text decoders writing one body to the current file (sigtrace_decode.h). */
  static VQX_RESULT GetBinaryString(u8 un8Value, CVQCAFString& strOut, u8 un8Mask);
  VQX_RESULT WriteRawBuffer(const char* pszPrefix, u32 un32Length, const u8* pData, u32 fWithOffsets);
  VQX_RESULT WriteFormattedSs7Trace(u32 un32Variant, u32 un32PcLength, u32 fAnnexA, u32 un32Length, const u8* pData);
  VQX_RESULT WriteFormattedMtp3Trace(u32 un32Variant, u32 un32PcLength, u32 un32Length, const u8* pData);
  VQX_RESULT WriteFormattedIsupTrace(u32 un32Variant, u32 un32Length, const u8* pData);
  VQX_RESULT WriteFormattedIsupOptions(u32 un32Length, const u8* pData);
  VQX_RESULT WriteFormattedSccpTrace(u32 un32Variant, u32 un32Length, const u8* pData);
  VQX_RESULT WriteFormattedIsdnTrace(u32 un32Length, const u8* pData);
  VQX_RESULT WriteFormattedIsdnMaintenance(u32 un32Length, const u8* pData);
  VQX_RESULT WriteFormattedIsdnQ931(u32 un32Length, const u8* pData);

  /* un32Count units of the group that never reached it (a provider's link
   * closed within a batch): counted as its units, and lost. */
  void CountUnseenLost(u32 un32Count) {
    mun32UnseenCount += un32Count;
    mun32LostCount += un32Count;
  }
  /* Takes back what CountUnseenLost counted (at most what it counted). */
  void UncountUnseenLost(u32 un32Count) {
    un32Count = std::min(un32Count, std::min(mun32UnseenCount, mun32LostCount));
    mun32UnseenCount -= un32Count;
    mun32LostCount -= un32Count;
  }
  /* Its units: records counted, and units that never reached it. */
  u32 Units() const { return mun32RxCount + mun32TxCount + mun32ExtCount + mun32UnseenCount; }

  /* The clock of the record time stamps (null: the wall clock). */
  void SetClock(const IVQSigTraceClock* pClock) { mpClock = pClock ? pClock : &VqSigTraceWallClock(); }
  /* Text name and pcap link type of the group's type. */
  const char* GetTypeName() const;
  u32 GetLinkType() const;
  /* True when records are pcap: the pcap flag, except for CAS R2 groups. */
  bool IsPcap() const;

  /* Plain data the owner reads and sets directly. */
  CVQCAFString mstrName;            /* group name: pool key, file name base, text header */
  u32 mun32Type;                    /* protocol type of every entity (VQ_SIGTRACE_TYPE_...) */
  u8 mfPcap;                        /* 1: pcap records, 0: decoded text */
  u8 mfStdout;                      /* 1: write to standard output */
  u8 mfOldIsdnFraming;              /* 1: ISDN/LAPD pcap with the 16-byte LAPD pseudo-header */
  u8 mfOpenFailed;                  /* the last attempt to open a segment failed */
  u8 mfCaptureOff;                  /* kept for the owner (H.248 provider capture off) */
  CVQCAFString mstrCurrentFile;     /* path of the open segment, ":STDOUT:", or empty */
  std::vector<CVQSigTraceEntityParams> mvEntities; /* attached entities; 1-based position = SS7 link number */
  u32 mun32RxCount;                 /* records of received units */
  u32 mun32TxCount;                 /* records of sent units */
  u32 mun32ExtCount;                /* CAS R2 records of neither direction */
  CVQSigTraceSegment mFile;         /* the open segment or the standard output */
  u32 mun32NextSegment;             /* number of the next segment; 0 before the first */
  u32 mun32LostCount;               /* records counted but not written (open or write failures), mun32UnseenCount included */
  u32 mun32UnseenCount;             /* units of the group that never reached it (CountUnseenLost) */
  CVQCAFString mstrFailedFile;      /* the last segment path that could not be opened */
  u8 mfOpenFailureShown;            /* kept for the owner: it showed this group's first open failure */
  u8 mfDiscard;                     /* set by the owner: records are counted, and counted lost, not written */
  CVQCAFString mstrFirstLoss;       /* the first write failure that lost records ("Group <name>: <line>"), or empty */
  u8 mfFirstLossShown;              /* kept for the owner: it showed mstrFirstLoss */

 private:
  enum class EKind { Packet, Casr2 };
  /* Rotation and opening before a record; true when the file is open. */
  bool PrepareRecord();
  /* The rest of a record begun by WritePacketHeader or WriteCasr2DateHeader
   * goes to the file: it is open and records are not discarded (a discarded
   * record was counted lost whole by its first part). */
  bool TakesRest() const { return mfDiscard == 0 && mFile.IsOpened(); }
  /* Counters of a record by the packet writers' direction rule. */
  void CountPacket(CVQSigTraceEntityParams& Entity, u32 un32Direction);
  /* The text prefix line of a packet record, appended to text. */
  void AppendPrefixLine(CVQSigTraceText& text, const CVQSigTraceEntityParams& Entity, u32 un32Direction, u32 un32Length);
  /* Size of a pcap record header. */
  static constexpr u32 kun32PcapRecordHeaderBytes = 16;
  /* Fills the pcap record header at pHeader: the time t and these lengths. */
  static void PutPcapRecordHeader(u8* pHeader, const SVQSigTraceTime& t, u32 un32Captured, u32 un32Wire);
  /* Ends the record being built; on a failed write closes the segment. */
  void EndRecord(bool fFlushStdout, bool fCountAsRecord = true);
  /* One packet record: rotation, counters, then the pcap framing built by
   * fnFrame (returns the wire length) or the prefix line and the text body
   * built by fnText. */
  template <class FFrame, class FText>
  VQX_RESULT WritePacket(CVQSigTraceEntityParams& Entity, u32 un32HeaderDirection, u32 un32Length, FFrame&& fnFrame,
                         FText&& fnText);
  /* The record built in mText (a body counted by WritePacketHeader). */
  VQX_RESULT WriteTextRecord();
  void WriteFileHeader();
  void HandleWriteFailure();
  /* Counts the records a failed write lost and logs it (at most once a second). */
  void ReportWriteFailure(const std::string& strPath, const char* pszOutcome, int nErrno);
  /* Removes a segment that holds no record and gives its number back. */
  void DropEmptySegment(const std::string& strFullPath);
  /* Gives up this group's share of the standard output. */
  void ReleaseStdout();
  void NoteLost(u32 un32Count);
  std::string SegmentPath(u32 un32Number) const;
  /* The group's clock in microseconds, in milliseconds. */
  i64 NowUs() const;
  u64 NowMs() const;
  /* True while less than n64DelayUs has passed on the group's clock since
   * n64SinceUs (a clock set back counts as passed). */
  bool Within(i64 n64SinceUs, i64 n64DelayUs) const;
  /* " (N similar line(s) left out)", or nothing for 0. */
  static std::string LeftOutText(u32 un32LeftOut);
  /* One line for the failure lines left out whose second is over. */
  void ReportLeftOut();

  /* One kind of failure line, logged once a second at most, and the records
   * lost since it was last logged. Each kind counts for itself: a line of
   * one kind never takes the count that another kind's lines left out are
   * to give. */
  struct SLossLine {
    CVQSigTraceLogLimit Limit;
    u32 un32Lost = 0;
    /* The limit's Allow; when the line may be logged, un32LostOut takes the count. */
    bool Allow(u64 un64NowMs, u32& un32LeftOut, u32& un32LostOut);
  };

  std::string mstrDirectory;         /* absolute folder of the segments, "/"-ended (taken at the first open; "" unknown) */
  const IVQSigTraceClock* mpClock;
  CVQSigTraceText mText;             /* text of the record being written, its storage reused */
  CVQSigTraceStampText mStamp;       /* date and time texts of the records */
  i64 mn64BufferedSinceUs;           /* clock when the oldest buffered record was ended (-1: none) */
  i64 mn64OpenFailedUs;              /* clock of the last failed attempt to open a segment */
  SLossLine mLostLine;               /* "writing to <file>, N record(s) lost before" */
  SLossLine mOpenLine;               /* the open failure line */
  SLossLine mWriteLine;              /* the write failure line */
  bool mfStdoutRefused;              /* the standard output carries a stream this group cannot join */
  bool mfStdoutText;                 /* counted among the text groups writing to the standard output */
};

/* Inside a catch block: true when the exception is of no known kind (not a
 * framework exception, bad_alloc, length_error or out_of_range). */
bool VqSigTraceCaughtForeign() noexcept;
/* The catch clause of every group operation: the mapping and the one
 * failure line of vqcafexception.h; an exception of no known kind is
 * preceded by "<operation>: Un-handled exception: <file>:<line>". Must be
 * called from inside a catch block; returns the code. */
VQX_RESULT VqSigTraceReportException(const char* pszOperation, const char* pszFile, int nLine) noexcept;
#define VQ_SIGTRACE_CATCH_RETURN(pszOperation) \
  catch (...) { return ::VQCAF::VqSigTraceReportException((pszOperation), __FILE__, __LINE__); }

}  // namespace VQCAF

#endif
