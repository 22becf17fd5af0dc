/*
 * vqx_media_parse.h - SDP text to record (parser) and record to SDP text
 * (generator) for the records of vqx_media_sdp.h.
 *
 * What the parser accepts, skips and reports is written up in
 * docs/sdp-parser.md. Both directions are plain functions with no shared
 * state, except the parser's trace switch (VqxMediaLibParseTrace), which is
 * process-wide: parses may run in parallel threads while tracing is off.
 */
#ifndef VQX_MEDIA_PARSE_H
#define VQX_MEDIA_PARSE_H

#include <cstdio>

#include "vqx_media.h"

/* Flags of the parse. */
#define VQX_SDP_PARSE_PRINT_ERRORS 1u /* each error line also goes to standard output */
#define VQX_SDP_PARSE_TRACE 2u        /* engine trace to standard output, prefix "VQXMediaLib:" */

/*
 * Parses the NUL-terminated SDP text pszText into pRecord (cleared first).
 * Unknown lines and attributes are skipped; each line that fails adds
 * "SDP parsing error at line %d. Last token was '%s'\n" to pszErrText (when
 * given; un32ErrTextSize bytes, always NUL-terminated) and the parse goes on
 * with the next line. Returns 0x02000000, 0x8200000E when a line failed (the
 * record then holds what the other lines gave), 0x82000009 for a null text
 * or record, 0x82000012 when the parser cannot be allocated. pvReserved is
 * not used.
 */
VQX_RESULT VQXMediaLibSdpParse2(const char* pszText, _VQX_SDP_INFO* pRecord, u32 un32Flags, char* pszErrText,
                                u32 un32ErrTextSize, void* pvReserved);
VQX_RESULT VQXMediaLibSdpParse(const char* pszText, _VQX_SDP_INFO* pRecord, u32 un32Flags, void* pvReserved);

/* Engine trace to pFile with each line prefixed by pszPrompt; a null stream
 * or prompt turns it off. Process-wide, unguarded. */
void VqxMediaLibParseTrace(FILE* pFile, char* pszPrompt);
/* Name of a grammar symbol (terminal codes first), "Unknown" out of range. */
const char* VqxMediaLibParseTokenName(int nCode);

/* Flags of the generator. */
#define VQX_SDP_GEN_MEDIA_CONNECTIONS 1u /* no session c=, a c= line in every media block */
#define VQX_SDP_GEN_LF_ONLY 2u           /* lines end in LF alone */
#define VQX_SDP_GEN_EXPLICIT 4u          /* rtpmap of static types, parameters at their defaults */
#define VQX_SDP_GEN_H263_FRAMES 8u       /* a=framesize and a=framerate for H.263 */
#define VQX_SDP_GEN_H263_1998 16u        /* H.263+ named "H263-1998", not "H263-2000" */
#define VQX_SDP_GEN_NSE 32u              /* NSE named "NSE", not "X-NSE" */

/*
 * Writes the record as SDP text into pszText (*pun16Length bytes in; the
 * text's length out). A full buffer cuts the text (still NUL-terminated,
 * still success). 0x82000009 missing record or buffer; 0x8200000A a
 * description of group 0 without a valid main capability, or a connection it
 * would write that is not dotted IPv4 (the text up to there stays).
 * VQXMediaLibSdpGenerate also takes a compact blob (unpacked first).
 */
VQX_RESULT VQXMediaLibSdpExpandedGenerate(const _VQX_SDP_INFO* pRecord, char* pszText, u16* pun16Length,
                                          u32 un32Flags);
VQX_RESULT VQXMediaLibSdpGenerate(const void* pDescription, char* pszText, u16* pun16Length, u32 un32Flags);

#endif
