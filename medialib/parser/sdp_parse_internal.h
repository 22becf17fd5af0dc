/*
 * sdp_parse_internal.h - what the SDP parser's files share: the token value
 * the grammar passes around, the parse context, the grammar actions
 * (sdp_actions.cpp) and the codec parameter parsers (sdp_codec.cpp).
 *
 * One context per parse, on the driver's stack; nothing here is global. Text
 * is never written: a token or a line is a view (pointer, length) into the
 * caller's text.
 */
#ifndef SDP_PARSE_INTERNAL_H
#define SDP_PARSE_INTERNAL_H

#include <cstddef>
#include <string_view>

#include "media_internal.h"
#include "sdp_token.h"
#include "vqx_media_parse.h"

/* Value of a terminal: a view of its bytes in the text. */
struct VqxSdpTokenValue {
  u32 un32Length;
  const char* p;
  std::string_view View() const { return p == nullptr ? std::string_view() : std::string_view(p, un32Length); }
};

/* The parts of a c= line, as the grammar saw them (empty views when absent). */
struct VqxSdpConnValue {
  VqxSdpTokenValue addrtype, address, ttl, count;
};

/* H.263 picture sizes: SQCIF, QCIF and CIF MPI and whether sizes were given
 * (the bytes 28..31 of an H.263 capability). */
struct VqxSdpH263Block {
  u8 un8Sqcif, un8Qcif, un8Cif, un8Given;
};
/* The picture sizes of the baseline profile 0 at level 10 (QCIF and SQCIF
 * at 15 frames per second): what "profile=0;level=10" reads as, and so what
 * an H.263+ profile and level line alone reads back as. */
constexpr VqxSdpH263Block kVqxSdpH263BaselineSizes = {2, 2, 0, 0};

/* Attribute values given at session or media level, for the capabilities
 * that come after them. */
struct VqxSdpDefaults {
  u32 fDirection, un32Direction;
  u32 fSetup, un32Setup;
  u32 fPtime, un32Ptime;
  u32 fSilence, un32Silence;
  u32 fFrameRate, un32FrameRate;
  u32 fRes;
  VqxSdpH263Block res;
  u32 fBandwidth;
  u16 un16Bandwidth;
};

#define VQX_SDP_MAX_PENDING 32u
#define VQX_SDP_PENDING_TEXT 126u
struct VqxSdpPendingFmtp {
  u8 fUsed;
  u8 un8PayloadType;
  char szText[VQX_SDP_PENDING_TEXT];
};

/* A common line recognised whole by the driver (sdp_line_forms.cpp) and fed
 * to the grammar as one FORMLINE token: which form, and the token values its
 * actions take. */
enum VqxSdpFormKind : u8 {
  VQX_SDP_FORM_PLAIN,      /* no action: v=, t=, an attribute the parser skips */
  VQX_SDP_FORM_ORIGIN,     /* o=: session id, version */
  VQX_SDP_FORM_CONNECTION, /* c=: address type, address, TTL, count (empty when absent) */
  VQX_SDP_FORM_BANDWIDTH,  /* b=: type, value */
  VQX_SDP_FORM_MEDIA,      /* m=: port, port count, last protocol word, numeric formats */
  VQX_SDP_FORM_RTPMAP,     /* a=rtpmap: payload type, encoding name */
  VQX_SDP_FORM_FMTP,       /* a=fmtp: format */
  VQX_SDP_FORM_PTIME,      /* a=ptime: milliseconds */
  VQX_SDP_FORM_DIRECTION,  /* a=recvonly, sendrecv, sendonly, inactive (token code in un8Kind) */
  VQX_SDP_FORM_FRAMERATE,  /* a=framerate: frames per second */
  VQX_SDP_FORM_T38_NUMBER, /* a T.38 attribute with a number: the number (offset, flag below) */
  VQX_SDP_FORM_T38_VALUE,  /* a T.38 attribute that stores un32Value at un32Offset */
};
#define VQX_SDP_FORM_VIEWS 40u
struct VqxSdpLineForm {
  VqxSdpFormKind nForm;
  u8 un8Kind;                 /* m=: 1 audio, 2 video, 3 other; a= direction: its token code */
  u32 un32Second;             /* the line's second token, blanks aside */
  const char* pFreeText;      /* a line that ends in free text: where it starts, else null */
  const char* pResume;        /* where the driver reads on: the line break or the end */
  const char* pBreakEnd;      /* the line break the form cut at pResume: its end (null: none cut) */
  VqxSdpTokenValue last;      /* the line's last token, blanks included */
  u32 un32Offset, un32Value;  /* T.38: field offset in the capability, value to store */
  bool fFlag;                 /* T.38: the number is a flag (0 or 1) */
  u32 un32NbViews;
  VqxSdpTokenValue aView[VQX_SDP_FORM_VIEWS];
};

struct SdpParseContext {
  const char* pszText;          /* start of the SDP text (host-name offsets count from here) */
  _VQX_SDP_INFO* pRecord;
  u32 fLineError;               /* the current line failed */
  u32 fEngineReset;             /* a syntax error: the driver restarts the engine */
  _VQX_SIMULTANEOUS_CAP* pDesc; /* current media description, null outside one */
  int nCapChoice;               /* choice of the last rtpmap line in this description, -1 none */
  const char* pLineStart;       /* first token of the current line, null between lines */
  u32 fMediaSection;            /* after an m= line (also when it got no description) */
  u32 un32LineFirstToken;       /* code of the current line's first token */
  u32 un32LineSecondToken;      /* and of its next one that is not blank (an attribute's name) */
  u32 fNewNotParsed;            /* this line's rtpmap made a not-parsed capability */
  u32 fWholeLine;               /* the actions run are those of a form line, which the grammar took whole */
  u32 nSaved;                   /* what this line put aside to be put back if it is refused (VQX_SDP_SAVED_*) */
  u32 un32SavedCapMask;         /* capabilities below un32SavedCaps copied into savedRecord */
  u32 fSavedHeads;              /* rtpmap line: savedRecord holds the counts and groups too */
  VqxSdpDefaults session, media;
  u32 un32NbPending;
  u32 un32SavedCaps;            /* capabilities the record held before the line */
  int nSavedCapChoice;          /* rtpmap line: nCapChoice before it */
  u32 un32SavedPending;         /* rtpmap line: un32NbPending before it */
  _VQX_SIMULTANEOUS_CAP* pSavedDesc;  /* rtpmap line: its description, */
  _VQX_SIMULTANEOUS_CAP savedDesc;    /* as it was before the line */
  /* Not cleared at the start of a parse: entries count only below
   * un32NbPending, and savedRecord only while nSaved is set. */
  VqxSdpPendingFmtp aPending[VQX_SDP_MAX_PENDING];
  VqxSdpLineForm form;          /* the line being fed as FORMLINE */
  /* The record before an m= or rtpmap line, put back when the line is
   * refused: for an m= line all but the capabilities, for an rtpmap line its
   * description alone (the counts and groups too once a full table is
   * compacted); for both, each capability below un32SavedCaps once it is
   * about to change (those from un32SavedCaps on are zero before the line). */
  _VQX_SDP_INFO savedRecord;
};
/* What a line saved (nSaved). */
#define VQX_SDP_SAVED_MEDIA 1u
#define VQX_SDP_SAVED_RTPMAP 2u
/* Bytes of the context cleared at the start of a parse. */
#define VQX_SDP_CONTEXT_HEAD offsetof(SdpParseContext, aPending)

/* Parse flag for the tests: every line through the grammar token by token,
 * the reference the line forms are held to. */
#define VQX_SDP_PARSE_TOKENS 0x100u

/* ---- helpers (sdp_actions.cpp) ---- */

/* The line break that ends the line p is in (a CR LF pair, an LF), or pEnd. */
const char* VqxSdpLineBreak(const char* p, const char* pEnd);

/* The line that contains p, from p up to its CR, LF or NUL. */
std::string_view VqxSdpRestOfLine(const char* p);
/* Whether the text is a dotted-quad IPv4 address (four numbers 0..255). */
bool VqxSdpDottedQuad(std::string_view a);
/* Unsigned decimal of a whole token; false when it is not all digits or does
 * not fit un64Max. */
bool VqxSdpTokenNumber(const VqxSdpTokenValue& t, u64 un64Max, u64* pun64Value);

/* ---- grammar actions (sdp_actions.cpp) ---- */

void VqxSdpSyntaxError(SdpParseContext* pCtx);
void VqxSdpStackOverflow(SdpParseContext* pCtx);
/* Run at the end of every line: a refused m= line leaves nothing in the
 * record (no description, no capability), and the lines of its block then
 * change nothing, as after a ninth m= line; a refused rtpmap line leaves the
 * record and its description's current format and pending fmtp lines as they
 * were. */
void VqxSdpLineEnd(SdpParseContext* pCtx, bool fRefused);
/* A line whose type has no keyword (`type` is the word before its "="). */
void VqxSdpOtherLine(SdpParseContext* pCtx, const VqxSdpTokenValue& type);
void VqxMediaLibParseOrigin(SdpParseContext* pCtx, const VqxSdpTokenValue& id, const VqxSdpTokenValue& version);
/* A c= line: the session's before the first m= line, else the description's. */
void VqxSdpConnection(SdpParseContext* pCtx, const VqxSdpConnValue& c);
void VqxSdpMediaKeyword(SdpParseContext* pCtx, u8 un8Kind);
void VqxMediaLibParseMediaDescAdded(SdpParseContext* pCtx);
void VqxSdpMediaPort(SdpParseContext* pCtx, const VqxSdpTokenValue& port, const VqxSdpTokenValue* pCount);
void VqxSdpMediaProto(SdpParseContext* pCtx, const VqxSdpTokenValue& lastWord);
void VqxMediaLibParsePTAdd(SdpParseContext* pCtx, const VqxSdpTokenValue& format);
void VqxMediaLibParseUdptlAdd(SdpParseContext* pCtx);
void VqxMediaLibParseRtpMap(SdpParseContext* pCtx, const VqxSdpTokenValue& pt, const VqxSdpTokenValue& name);
void VqxMediaLibParseFmtpGeneric(SdpParseContext* pCtx, const VqxSdpTokenValue& format);
void VqxSdpDirection(SdpParseContext* pCtx, u32 un32Direction);
inline void VqxMediaLibParseReceiveOnly(SdpParseContext* c) { VqxSdpDirection(c, VQX_MEDIA_DIR_RECV_ONLY); }
inline void VqxMediaLibParseSendReceive(SdpParseContext* c) { VqxSdpDirection(c, VQX_MEDIA_DIR_SEND_RECV); }
inline void VqxMediaLibParseSendOnly(SdpParseContext* c) { VqxSdpDirection(c, VQX_MEDIA_DIR_SEND_ONLY); }
inline void VqxMediaLibParseInactive(SdpParseContext* c) { VqxSdpDirection(c, VQX_MEDIA_DIR_INACTIVE); }
void VqxMediaLibParseAttributeDirection(SdpParseContext* pCtx, const VqxSdpTokenValue& value);
void VqxMediaLibParsePTime(SdpParseContext* pCtx, const VqxSdpTokenValue& ms);
void VqxMediaLibParseSilenceSuppOff(SdpParseContext* pCtx, const VqxSdpTokenValue& first);
void VqxMediaLibParseFrameRate(SdpParseContext* pCtx, const VqxSdpTokenValue& fps);
void VqxMediaLibParseFrameSize(SdpParseContext* pCtx, const VqxSdpTokenValue& format, const VqxSdpTokenValue& size);
void VqxMediaLibParseVideoResolution(SdpParseContext* pCtx, const VqxSdpTokenValue& keyword);
void VQXMediaLibParseBandwidth(SdpParseContext* pCtx, const VqxSdpTokenValue& type, const VqxSdpTokenValue& value);
/* T.38 fields by their offset in the capability. */
void VqxSdpT38Set(SdpParseContext* pCtx, u32 un32Offset, u32 un32Value);
void VqxSdpT38SetNumber(SdpParseContext* pCtx, u32 un32Offset, const VqxSdpTokenValue& n, bool fFlag);
/* Run after each line: keeps an a= line that parsed as text of the current
 * not-parsed capability. */
void VqxMediaLibStoreNotParsedAttribute(SdpParseContext* pCtx, const char* pLineEnd);

/* ---- line forms (sdp_line_forms.cpp) ---- */

/* Whether the line whose first token is `first` (code nFirst) is one of the
 * forms, read through the scanner up to its line break or pEnd; fills
 * *pForm when it is. A line that is not a form is left to the grammar. */
bool VqxSdpMatchLineForm(int nFirst, const VqxSdpTokenValue& first, const char* pEnd, VqxSdpLineForm* pForm);
/* VqxMedialibSdpTokenise with the plainest tokens (a colon, a slash, digits
 * that end a token, a line keyword, a single line break) cut without the
 * automaton: the same codes and lengths. */
int VqxSdpCutToken(const char** ppCursor, const char* pEnd, const char** ppStart);
/* The actions of a form line's rule, in its order (run by the driver once
 * the grammar took the line). */
void VqxSdpFormLine(SdpParseContext* pCtx);

/* ---- codec parameter parsers (sdp_codec.cpp) ---- */

/* Reads the fmtp parameter text of one format into its capability, by media
 * type; types without parameters are left alone. An empty text empties an
 * event list and changes nothing else. */
void VqxSdpCodecParse(std::string_view params, _VQX_MEDIA_CAP* pCap);
void VqxMediaLibParseAttributeH263FrameRate(u32 un32Fps, VqxSdpH263Block* pBlock);
VQX_RESULT VqxMediaLibParseAttributeH263FrameSize(std::string_view size, u32 un32Mpi, VqxSdpH263Block* pBlock);
VQX_RESULT VqxMediaLibParseAttributeH263VideoResolution(std::string_view line, VqxSdpH263Block* pBlock);
/* b=AS in kbit/s to units of 100 bit/s, saturated at 0xFFFE. */
u16 VqxSdpBandwidthUnits(u64 un64Kbps);
/* Media type of an rtpmap encoding name (whole name, case-blind), with the
 * row's parameter; 0xFFFFFFFF when no row matches. */
u32 VqxMediaStringToType(std::string_view name, u32* pun32Param);

#endif
