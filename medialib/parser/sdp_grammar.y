/*
 * sdp_grammar.y - the SDP grammar, turned into a table-driven LALR(1) parser
 * by Lemon at build time. One line of SDP is one `line`; the driver
 * (sdp_parse.cpp) feeds the scanner's tokens and resets the engine after a
 * syntax error, so that the rest of a failed line is tried from the start
 * state and the next line starts clean. Values are views into the text.
 *
 * Known lines and attributes are checked here; the line letters u, e, p and
 * unknown attribute names take the rest of their line (`rest`) and are
 * skipped; any other line letter is a line error.
 * fmtp parameters, s=, i= and k= take any text to the end of the line; their
 * values are read again from the text by the actions.
 */
%name VqxMediaLibParse
%token_prefix VQX_SDP_TK_
%token_type { VqxSdpTokenValue }
%default_type { VqxSdpTokenValue }
%extra_argument { SdpParseContext* pCtx }
%stack_size 100
%syntax_error { (void)yymajor; (void)yyminor; VqxSdpSyntaxError(pCtx); }
%stack_overflow { VqxSdpStackOverflow(pCtx); }
%include {
#include "sdp_parse_internal.h"
}
%code {
size_t VqxMediaLibParseSize(void) { return sizeof(yyParser); }
const char* VqxMediaLibParseTokenName(int nCode) {
  if (nCode <= 0 || nCode >= (int)(sizeof yyTokenName / sizeof yyTokenName[0])) return "Unknown";
  return yyTokenName[nCode];
}
}

/* Terminals in the scanner's code order (sdp_token.h). */
%token CRLF EOM SPACE SESSKEYWORD VERSIONKEYWORD NUM ORIGKEYWORD TOK IP4ADDRESS IP6ADDRESS MATTRKEYWORD
  ATTRKEYWORD RECVONLY SENDRECV SENDONLY INACTIVE CONNECTION RTPMAP COLON SLASH FMTP NUMRANGE COMMA EQ
  SEMI PROFILE LEVEL CIF QCIF SQCIF PROFILELEVELID CONFIG HEX MODE OCTETALIGN CRC MODECHANGEPERIOD
  MODECHANGENEIGHBOR MODESET BITRATE ANNEXA ANNEXB MAXINTERLEAVE FIXEDRATE EVRC_SILENCESUPP DTXMAX
  DTXMIN HANGOVER PTIME SILENCESUPP DIRECTION FRAMESIZE FRAMERATE VIDEORES T38FAXVERSION T38MAXBITRATE
  T38FAXFILLBITREMOVAL T38FAXTRANSCODINGMMR T38FAXTRANSCODINGJBIG T38FAXRATEMANAGEMENT T38LOCALTCF
  T38TRANSFERREDTCF T38FAXMAXBUFFER T38FAXMAXDATAGRAM T38FAXUDPEC T38UDPFEC T38UDPREDUNDANCY ALT SETUP
  MEDIAKEYWORD AUDIO VIDEO IMAGE UDPTLPROTO T38FMT MCONNKEYWORD CONNKEYWORD MBWKEYWORD BWKEYWORD
  MINFOKEYWORD INFOKEYWORD STRING TIMEKEYWORD REPEATKEYWORD TYPEDTIME MINUS ZONEKEYWORD MKEYKEYWORD
  KEYKEYWORD URI DELIM FORMLINE.

/* Any token of a line but its end. */
%token_class anyt SPACE|SESSKEYWORD|VERSIONKEYWORD|NUM|ORIGKEYWORD|TOK|IP4ADDRESS|IP6ADDRESS|MATTRKEYWORD|ATTRKEYWORD|RECVONLY|SENDRECV|SENDONLY|INACTIVE|CONNECTION|RTPMAP|COLON|SLASH|FMTP|NUMRANGE|COMMA|EQ|SEMI|PROFILE|LEVEL|CIF|QCIF|SQCIF|PROFILELEVELID|CONFIG|HEX|MODE|OCTETALIGN|CRC|MODECHANGEPERIOD|MODECHANGENEIGHBOR|MODESET|BITRATE|ANNEXA|ANNEXB|MAXINTERLEAVE|FIXEDRATE|EVRC_SILENCESUPP|DTXMAX|DTXMIN|HANGOVER|PTIME|SILENCESUPP|DIRECTION|FRAMESIZE|FRAMERATE|VIDEORES|T38FAXVERSION|T38MAXBITRATE|T38FAXFILLBITREMOVAL|T38FAXTRANSCODINGMMR|T38FAXTRANSCODINGJBIG|T38FAXRATEMANAGEMENT|T38LOCALTCF|T38TRANSFERREDTCF|T38FAXMAXBUFFER|T38FAXMAXDATAGRAM|T38FAXUDPEC|T38UDPFEC|T38UDPREDUNDANCY|ALT|SETUP|MEDIAKEYWORD|AUDIO|VIDEO|IMAGE|UDPTLPROTO|T38FMT|MCONNKEYWORD|CONNKEYWORD|MBWKEYWORD|BWKEYWORD|MINFOKEYWORD|INFOKEYWORD|STRING|TIMEKEYWORD|REPEATKEYWORD|TYPEDTIME|MINUS|ZONEKEYWORD|MKEYKEYWORD|KEYKEYWORD|URI|DELIM.
/* A word of a user name: any token but blanks and the line end. */
%token_class uword SESSKEYWORD|VERSIONKEYWORD|NUM|ORIGKEYWORD|TOK|IP4ADDRESS|HEX|COLON|SLASH|EQ|COMMA|SEMI|NUMRANGE|TYPEDTIME|STRING|DELIM.
/* Tokens an address is made of: IPv4, IPv6 (hex groups, colons, an IPv4 tail)
 * or a host name. */
%token_class aword TOK|HEX|NUM|COLON|IP4ADDRESS.
%token_class word TOK|HEX.
%token_class pword TOK|HEX|UDPTLPROTO.
%token_class ttime NUM|TYPEDTIME|HEX.

%type conn_info { VqxSdpConnValue }
%type address { VqxSdpTokenValue }

sdp ::= lines eom.
sdp ::= lines.
eom ::= EOM.
lines ::= .
lines ::= lines line.

line ::= CRLF.
line ::= proto_version.
line ::= origin_field.
line ::= session_name_field.
line ::= information_field.
line ::= connection_field.
line ::= bandwidth_field.
line ::= time_field.
line ::= repeat_field.
line ::= zone_field.
line ::= key_field.
line ::= attribute_field.
line ::= other_field.
line ::= media_field.
/* A line the driver recognised whole, its break included (sdp_line_forms.cpp),
 * in one reduction; the driver runs the actions of the rule it stands for. */
lines ::= lines FORMLINE.

ws ::= .
ws ::= ws_1.
ws_1 ::= SPACE.
ws_1 ::= ws_1 SPACE.
eol ::= CRLF.
eol ::= EOM.
rest ::= .
rest ::= rest anyt.

/* ---- session lines ---- */

proto_version ::= VERSIONKEYWORD ws NUM ws eol.
session_name_field ::= SESSKEYWORD rest eol.
information_field ::= INFOKEYWORD rest eol.
information_field ::= MINFOKEYWORD rest eol.
key_field ::= KEYKEYWORD rest eol.
key_field ::= MKEYKEYWORD rest eol.
/* A line type without its own keyword: u=, e= and p= (RFC 4566) are skipped,
 * any other type is a line error. */
other_field ::= other_type rest eol.
other_type ::= word(T) EQ. { VqxSdpOtherLine(pCtx, T); }

/* Actions run before the line's end: Lemon reduces a rule that ends with the
 * line break only when the next line's first token arrives. */
origin_field ::= origin eol.
origin ::= ORIGKEYWORD ws username ws_1 NUM(I) ws_1 NUM(V) ws_1 TOK ws_1 TOK ws_1 address ws.
  { VqxMediaLibParseOrigin(pCtx, I, V); }
username ::= uword.
username ::= username uword.

address(X) ::= aword(A). { X = A; }
address(X) ::= address(A) aword(B). { X.p = A.p; X.un32Length = (u32)(B.p + B.un32Length - A.p); }

connection_field ::= CONNKEYWORD conn_info(C) eol. { (void)C; }
connection_field ::= MCONNKEYWORD conn_info(C) eol. { (void)C; }
conn_info(X) ::= ws TOK ws_1 TOK(T) ws_1 address(A) ws.
  { X = VqxSdpConnValue{T, A, {0, nullptr}, {0, nullptr}}; VqxSdpConnection(pCtx, X); }
conn_info(X) ::= ws TOK ws_1 TOK(T) ws_1 address(A) ws SLASH ws NUM(L) ws.
  { X = VqxSdpConnValue{T, A, L, {0, nullptr}}; VqxSdpConnection(pCtx, X); }
conn_info(X) ::= ws TOK ws_1 TOK(T) ws_1 address(A) ws SLASH ws NUM(L) ws SLASH ws NUM(N) ws.
  { X = VqxSdpConnValue{T, A, L, N}; VqxSdpConnection(pCtx, X); }

bandwidth_field ::= BWKEYWORD bw_info ws eol.
bandwidth_field ::= MBWKEYWORD bw_info ws eol.
bw_info ::= ws word(T) ws COLON ws NUM(V). { VQXMediaLibParseBandwidth(pCtx, T, V); }

time_field ::= TIMEKEYWORD ws NUM ws_1 NUM ws eol.
repeat_field ::= REPEATKEYWORD ws ttime ws_1 ttime_list ws eol.
ttime_list ::= ttime.
ttime_list ::= ttime_list ws_1 ttime.
zone_field ::= ZONEKEYWORD ws adjustments ws eol.
adjustments ::= NUM ws_1 ttime.
adjustments ::= adjustments ws_1 NUM ws_1 ttime.

/* ---- attributes ---- */

attribute_field ::= ATTRKEYWORD ws attribute eol.
attribute_field ::= MATTRKEYWORD ws attribute eol.

attribute ::= RECVONLY ws. { VqxMediaLibParseReceiveOnly(pCtx); }
attribute ::= SENDRECV ws. { VqxMediaLibParseSendReceive(pCtx); }
attribute ::= SENDONLY ws. { VqxMediaLibParseSendOnly(pCtx); }
attribute ::= INACTIVE ws. { VqxMediaLibParseInactive(pCtx); }
attribute ::= CONNECTION rest.
attribute ::= ALT.
attribute ::= SETUP ws.
attribute ::= word rest.

attribute ::= RTPMAP ws COLON ws NUM(P) ws_1 word(E) ws SLASH ws NUM ws rtpmap_tail.
  { VqxMediaLibParseRtpMap(pCtx, P, E); }
rtpmap_tail ::= .
rtpmap_tail ::= SLASH ws enc_params ws.
enc_params ::= NUM.
enc_params ::= enc_params ws_1 NUM.

attribute ::= FMTP ws COLON ws NUM(F) rest. { VqxMediaLibParseFmtpGeneric(pCtx, F); }
attribute ::= PTIME ws COLON ws NUM(N) ws. { VqxMediaLibParsePTime(pCtx, N); }
attribute ::= SILENCESUPP ws COLON ws sword(A) ws sword ws sword ws sword ws sword ws.
  { VqxMediaLibParseSilenceSuppOff(pCtx, A); }
sword(X) ::= TOK(A). { X = A; }
sword(X) ::= HEX(A). { X = A; }
sword(X) ::= NUM(A). { X = A; }
attribute ::= DIRECTION ws COLON ws TOK(T) ws. { VqxMediaLibParseAttributeDirection(pCtx, T); }
attribute ::= FRAMESIZE ws COLON ws NUM(F) ws_1 NUMRANGE(R) ws. { VqxMediaLibParseFrameSize(pCtx, F, R); }
attribute ::= FRAMERATE ws COLON ws NUM(N) ws. { VqxMediaLibParseFrameRate(pCtx, N); }
attribute ::= VIDEORES(K) ws COLON ws picture ws EQ ws NUM ws. { VqxMediaLibParseVideoResolution(pCtx, K); }
picture ::= CIF.
picture ::= QCIF.
picture ::= SQCIF.

attribute ::= T38FAXVERSION ws COLON ws NUM(N) ws. { VqxSdpT38SetNumber(pCtx, 28, N, false); }
attribute ::= T38MAXBITRATE ws COLON ws NUM(N) ws. { VqxSdpT38SetNumber(pCtx, 32, N, false); }
attribute ::= T38FAXFILLBITREMOVAL ws. { VqxSdpT38Set(pCtx, 36, 1); }
attribute ::= T38FAXFILLBITREMOVAL ws COLON ws NUM(N) ws. { VqxSdpT38SetNumber(pCtx, 36, N, true); }
attribute ::= T38FAXTRANSCODINGMMR ws. { VqxSdpT38Set(pCtx, 40, 1); }
attribute ::= T38FAXTRANSCODINGMMR ws COLON ws NUM(N) ws. { VqxSdpT38SetNumber(pCtx, 40, N, true); }
attribute ::= T38FAXTRANSCODINGJBIG ws. { VqxSdpT38Set(pCtx, 44, 1); }
attribute ::= T38FAXTRANSCODINGJBIG ws COLON ws NUM(N) ws. { VqxSdpT38SetNumber(pCtx, 44, N, true); }
attribute ::= T38FAXRATEMANAGEMENT ws COLON ws T38LOCALTCF ws. { VqxSdpT38Set(pCtx, 48, 1); }
attribute ::= T38FAXRATEMANAGEMENT ws COLON ws T38TRANSFERREDTCF ws. { VqxSdpT38Set(pCtx, 48, 2); }
attribute ::= T38FAXMAXBUFFER ws COLON ws NUM(N) ws. { VqxSdpT38SetNumber(pCtx, 52, N, false); }
attribute ::= T38FAXMAXDATAGRAM ws COLON ws NUM(N) ws. { VqxSdpT38SetNumber(pCtx, 56, N, false); }
attribute ::= T38FAXUDPEC ws COLON ws T38UDPFEC ws. { VqxSdpT38Set(pCtx, 60, 2); }
attribute ::= T38FAXUDPEC ws COLON ws T38UDPREDUNDANCY ws. { VqxSdpT38Set(pCtx, 60, 1); }

/* ---- media descriptions ---- */

media_field ::= mediakeyword media_port ws_1 proto ws_1 fmt_list ws eol.
mediakeyword ::= MEDIAKEYWORD ws AUDIO ws_1. { VqxSdpMediaKeyword(pCtx, 1); }
mediakeyword ::= MEDIAKEYWORD ws VIDEO ws_1. { VqxSdpMediaKeyword(pCtx, 2); }
mediakeyword ::= MEDIAKEYWORD ws IMAGE ws_1. { VqxSdpMediaKeyword(pCtx, 3); }
mediakeyword ::= MEDIAKEYWORD ws TOK ws_1. { VqxSdpMediaKeyword(pCtx, 3); }
media_port ::= NUM(P). { VqxSdpMediaPort(pCtx, P, nullptr); }
media_port ::= NUM(P) SLASH NUM(N). { VqxSdpMediaPort(pCtx, P, &N); }
proto ::= proto_words(W). { VqxSdpMediaProto(pCtx, W); }
proto_words(X) ::= pword(A). { X = A; }
proto_words(X) ::= proto_words SLASH pword(A). { X = A; }
fmt_list ::= fmt.
fmt_list ::= fmt_list ws_1 fmt.
fmt ::= NUM(F). { VqxMediaLibParsePTAdd(pCtx, F); }
fmt ::= T38FMT.
fmt ::= word.
