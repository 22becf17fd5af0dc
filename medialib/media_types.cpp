/*
 * media_types.cpp - the media type table: code, display name, class, m= word
 * and significant size of every capability type, and the lookups on it that
 * the search, text and packing code share.
 */
#include <algorithm>
#include <iterator>

#include "media_internal.h"

namespace {

constexpr VqxMediaClass A = VQX_MEDIA_CLASS_AUDIO;
constexpr VqxMediaClass V = VQX_MEDIA_CLASS_VIDEO;
constexpr VqxMediaClass N = VQX_MEDIA_CLASS_NONE;

/* Sorted by code. Size of 119 is 40 + configuration length, of 768..770
 * 29 + text length: the rows hold the fixed part. */
constexpr VqxMediaTypeRow s_aTypes[] = {
    {0, "PCMU", A, "audio", 32},
    {3, "GSM (FR)", A, "audio", 28},
    {4, "G723_1", A, "audio", 32},
    {5, "DVI4", A, "audio", 32},
    {6, "DVI4_16", A, "audio", 24},
    {7, "LPC", A, "audio", 32},
    {8, "PCMA", A, "audio", 32},
    {9, "G722", A, "audio", 32},
    {10, "L16", A, "audio", 32},
    {11, "L16_1", A, "audio", 24},
    {12, "QCELP", A, "audio", 40},
    {13, "CN", N, "audio", 32},
    {14, "MPA", A, "audio", 32},
    {15, "G728", A, "audio", 28},
    {16, "DVI4_11", A, "audio", 24},
    {17, "DVI4_22", A, "audio", 24},
    {18, "G729AB", A, "audio", 32},
    {25, "Video-CELB", V, "video", 32},
    {26, "Video-JPEG", V, "video", 32},
    {28, "Video-NV", V, "video", 32},
    {31, "Video-H261", V, "video", 32},
    {32, "Video-MPV", V, "video", 32},
    {33, "Video-MP2T", V, "video", 32},
    {34, "Video-H263", V, "video", 56},
    {70, "Audio (any)", A, "audio", 28},
    {71, "Video (any)", V, "video", 28},
    {96, "DTMF", A, "audio", 24},
    {97, "DTMF_AAL2", A, "audio", 24},
    {98, "IFP", N, "image", 64},
    {99, "G726_40", A, "audio", 24},
    {100, "NSE", N, "audio", 64},
    {101, "Telephony Event", N, "audio", 64},
    {102, "G726_16", A, "audio", 24},
    {103, "G729E", A, "audio", 40},
    {104, "AMR", A, "audio", 40},
    {105, "EFR", A, "audio", 28},
    {106, "PASSTHRU_ULAW", N, "application", 32},
    {107, "PASSTHRU_ALAW", N, "application", 32},
    {108, "CLEAR_CHANNEL", A, "audio", 32},
    {109, "SECONDARY_SID", N, "application", 32},
    {110, "SMV", A, "audio", 40},
    {111, "EVRC", A, "audio", 40},
    {112, "QCELP8", A, "audio", 24},
    {113, "QCELP13", A, "audio", 24},
    {115, "H223", N, "application", 32},
    {116, "ILBC_13K", A, "audio", 24},
    {117, "ILBC_15K", A, "audio", 24},
    {118, "G726_32", A, "audio", 24},
    {119, "Video-MPEG4", V, "video", 40},
    {120, "RED", N, "application", 36},
    {121, "Video-H263+", V, "video", 56},
    {122, "Video-H264", V, "video", 32},
    {123, "G726_24", A, "audio", 24},
    {124, "ILBC", A, "audio", 32},
    {125, "G726", A, "audio", 40},
    {126, "G722.2 (AMR-WB)", A, "audio", 48},
    {512, "App(Any)", N, "application", 28},
    {513, "App-data", N, "application", 32},
    {514, "App-user indication", N, "application", 40},
    {768, "Audio-not-parsed", A, "audio", 29},
    {769, "Video-not-parsed", V, "video", 29},
    {770, "Not-parsed", N, "application", 29},
    {0xFFFFFFFFu, "", N, "application", 28},
};
constexpr VqxMediaTypeRow s_unknown = {0, "Unknown", N, "application", 24};

static_assert(std::is_sorted(std::begin(s_aTypes), std::end(s_aTypes),
                             [](const VqxMediaTypeRow& a, const VqxMediaTypeRow& b) { return a.un32Code < b.un32Code; }));

}  // namespace

const VqxMediaTypeRow& VqxMediaTypeLookup(u32 un32Code) {
  const auto* it = std::lower_bound(std::begin(s_aTypes), std::end(s_aTypes), un32Code,
                                    [](const VqxMediaTypeRow& r, u32 c) { return r.un32Code < c; });
  return (it != std::end(s_aTypes) && it->un32Code == un32Code) ? *it : s_unknown;
}

bool VqxMediaTypeMatches(u32 un32Wanted, u32 un32Code) {
  if (un32Wanted == VQX_MEDIA_TYPE_AUDIO_ANY) return VqxMediaIsAudio(un32Code);
  if (un32Wanted == VQX_MEDIA_TYPE_VIDEO_ANY) return VqxMediaIsVideo(un32Code);
  return un32Wanted == un32Code;
}

bool VqxMediaModeAccepts(u32 un32Mode, u32 un32Direction) {
  switch (un32Mode) {
    case VQX_MEDIA_MODE_ANY:
    case VQX_MEDIA_MODE_ANY2:
      return true;
    case VQX_MEDIA_MODE_RECV:
      return un32Direction != VQX_MEDIA_DIR_SEND_ONLY;
    case VQX_MEDIA_MODE_SEND:
      return un32Direction != VQX_MEDIA_DIR_RECV_ONLY;
    default:
      return false;
  }
}

u32 VQXMediaLibGetCapabilityStructSize(const _VQX_MEDIA_CAP* pCap) {
  if (pCap == nullptr) return 0;
  const u32 un32Type = pCap->Encoding.MediaType;
  const u32 un32Fixed = VqxMediaTypeLookup(un32Type).un16Size;
  if (un32Type == VQX_MEDIA_TYPE_MPEG4) return un32Fixed + pCap->Encoding.Mpeg4.un8ConfigLength;
  if (un32Type >= VQX_MEDIA_TYPE_AUDIO_NOT_PARSED && un32Type <= VQX_MEDIA_TYPE_NOT_PARSED) {
    /* The text with its NUL; an unterminated array counts whole. */
    return un32Fixed + static_cast<u32>(strnlen(pCap->Encoding.szNotParsed, sizeof pCap->Encoding.szNotParsed));
  }
  return un32Fixed;
}
