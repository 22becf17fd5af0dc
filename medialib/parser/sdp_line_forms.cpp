/*
 * sdp_line_forms.cpp - the line forms: the common SDP lines (v=, o=, s=, i=,
 * k=, c=, t=, b=, m=, a=rtpmap, a=fmtp, a=ptime, a=framerate, the direction,
 * setup, alt and T.38 attributes, and attributes the parser skips) recognised by the driver on the scanner's own tokens, so
 * that the grammar takes such a line, its break included, as one FORMLINE
 * token instead of every token, blank and empty `ws` of it.
 *
 * A form is the grammar's rule for that line written out over token codes:
 * a line matches only when the grammar would accept its tokens without a
 * syntax error, and the form keeps the token values the rule's actions take,
 * which VqxSdpFormLine then calls in the rule's order. Any other line (a
 * token the form does not expect, more formats than it keeps) is not a
 * form: the driver feeds it token by token as before. Called by the driver
 * at a line's first token, on the caller's thread.
 */
#include "sdp_parse_internal.h"

namespace {

bool IsBlank(char ch) { return ch == ' ' || ch == '\t' || ch == '\f'; }
/* The scanner's token characters: [A-z0-9!%'*+\-.~]. */
bool IsTokenChar(char ch) {
  return (ch >= 'A' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '!' || ch == '%' || ch == '\'' || ch == '*' ||
         ch == '+' || ch == '-' || ch == '.' || ch == '~';
}

/* Line keywords by letter (either case), 0 for the other bytes. */
struct LineKeys {
  u8 a[256] = {};
  constexpr LineKeys() {
    const struct {
      char ch;
      u8 code;
    } rows[] = {{'v', VQX_SDP_VERSIONKEYWORD}, {'o', VQX_SDP_ORIGKEYWORD}, {'s', VQX_SDP_SESSKEYWORD},
                {'i', VQX_SDP_INFOKEYWORD},    {'c', VQX_SDP_CONNKEYWORD}, {'b', VQX_SDP_BWKEYWORD},
                {'t', VQX_SDP_TIMEKEYWORD},    {'r', VQX_SDP_REPEATKEYWORD}, {'z', VQX_SDP_ZONEKEYWORD},
                {'k', VQX_SDP_KEYKEYWORD},     {'a', VQX_SDP_ATTRKEYWORD}, {'m', VQX_SDP_MEDIAKEYWORD}};
    for (const auto& r : rows) a[u8(r.ch)] = a[u8(r.ch - 'a' + 'A')] = r.code;
  }
};
constexpr LineKeys s_lineKeys;

/* Blanks before a token: allowed (`ws`), required (`ws_1`), not allowed. */
enum Blank { kMay, kMust, kNot };

/* The scanner over one line: the current token (blanks skipped and noted),
 * and the line's last token, blanks included, for the error text. */
struct FormCursor {
  const char* p;
  const char* pEnd;
  int nCode = VQX_SDP_END;
  int nSecond = 0; /* the first token after the line's first, blanks aside */
  bool fBlank = false;
  VqxSdpTokenValue tok{0, nullptr}, last{0, nullptr};

  /* Inlined at every use: a call per token cost more than the larger code. */
  [[gnu::always_inline]] void Next() {
    const char* s = p;
    fBlank = p < pEnd && *p == ' ' && !IsBlank(p[1]);
    if (fBlank) {
      ++p;
    } else {
      nCode = Cut(&s);
      fBlank = nCode == VQX_SDP_SPACE;
    }
    if (fBlank) {
      last = VqxSdpTokenValue{static_cast<u32>(p - s), s};
      nCode = Cut(&s);
    }
    tok = VqxSdpTokenValue{static_cast<u32>(p - s), s};
    if (nSecond == 0) nSecond = nCode;
    if (nCode != VQX_SDP_END && nCode != VQX_SDP_CRLF) last = tok;
  }
  int Cut(const char** ppStart) { return VqxSdpCutToken(&p, pEnd, ppStart); }
  bool BlankOk(Blank b) const { return b == kMay || (b == kMust) == fBlank; }
  /* Takes the next token when it has that code and its blanks fit. */
  bool Take(int nWant, Blank b, VqxSdpTokenValue* pValue = nullptr) {
    Next();
    if (nCode != nWant || !BlankOk(b)) return false;
    if (pValue != nullptr) *pValue = tok;
    return true;
  }
  /* The line ends here (blanks allowed before its break or the end). */
  bool TakeEnd() {
    Next();
    return nCode == VQX_SDP_CRLF || nCode == VQX_SDP_END;
  }
};


bool IsWord(int n) { return n == VQX_SDP_TOK || n == VQX_SDP_HEX; }
bool IsUserWord(int n) {
  switch (n) {
    case VQX_SDP_SESSKEYWORD: case VQX_SDP_VERSIONKEYWORD: case VQX_SDP_NUM: case VQX_SDP_ORIGKEYWORD:
    case VQX_SDP_TOK: case VQX_SDP_IP4ADDRESS: case VQX_SDP_HEX: case VQX_SDP_COLON: case VQX_SDP_SLASH:
    case VQX_SDP_EQ: case VQX_SDP_COMMA: case VQX_SDP_SEMI: case VQX_SDP_NUMRANGE: case VQX_SDP_TYPEDTIME:
    case VQX_SDP_STRING: case VQX_SDP_DELIM: return true;
    default: return false;
  }
}
bool IsAddressWord(int n) {
  return n == VQX_SDP_TOK || n == VQX_SDP_HEX || n == VQX_SDP_NUM || n == VQX_SDP_COLON || n == VQX_SDP_IP4ADDRESS;
}

/* address: address words, the first after blanks, the others joined. Leaves
 * the token after it current. */
bool Address(FormCursor& c, VqxSdpTokenValue* pValue) {
  c.Next();
  if (!c.fBlank || !IsAddressWord(c.nCode)) return false;
  const char* pStart = c.tok.p;
  const char* pStop;
  do {
    pStop = c.tok.p + c.tok.un32Length;
    c.Next();
  } while (!c.fBlank && IsAddressWord(c.nCode));
  *pValue = VqxSdpTokenValue{static_cast<u32>(pStop - pStart), pStart};
  return true;
}

/* o=: ws username ws_1 NUM ws_1 NUM ws_1 TOK ws_1 TOK ws_1 address ws. */
bool Origin(FormCursor& c, VqxSdpLineForm& f) {
  c.Next();
  if (!IsUserWord(c.nCode)) return false;
  do c.Next();
  while (!c.fBlank && IsUserWord(c.nCode));
  if (c.nCode != VQX_SDP_NUM || !c.fBlank) return false;
  f.aView[0] = c.tok;
  VqxSdpTokenValue addr;
  if (!c.Take(VQX_SDP_NUM, kMust, &f.aView[1]) || !c.Take(VQX_SDP_TOK, kMust) || !c.Take(VQX_SDP_TOK, kMust) ||
      !Address(c, &addr))
    return false;
  return c.nCode == VQX_SDP_CRLF || c.nCode == VQX_SDP_END;
}

/* c=: ws TOK ws_1 TOK ws_1 address ws [SLASH ws NUM ws [SLASH ws NUM ws]]. */
bool Connection(FormCursor& c, VqxSdpLineForm& f) {
  for (u32 i = 0; i < 4; ++i) f.aView[i] = VqxSdpTokenValue{0, nullptr};
  if (!c.Take(VQX_SDP_TOK, kMay) || !c.Take(VQX_SDP_TOK, kMust, &f.aView[0]) || !Address(c, &f.aView[1])) return false;
  for (u32 i = 2; i < 4 && c.nCode == VQX_SDP_SLASH; ++i) {
    if (!c.Take(VQX_SDP_NUM, kMay, &f.aView[i])) return false;
    c.Next();
  }
  return c.nCode == VQX_SDP_CRLF || c.nCode == VQX_SDP_END;
}

/* m=: ws kind ws_1 NUM [SLASH NUM] ws_1 pword (SLASH pword)* (ws_1 fmt)+ ws.
 * Views: port, port count (empty when absent), last protocol word, then the
 * numeric formats. */
bool Media(FormCursor& c, VqxSdpLineForm& f) {
  c.Next();
  switch (c.nCode) {
    case VQX_SDP_AUDIO: f.un8Kind = 1; break;
    case VQX_SDP_VIDEO: f.un8Kind = 2; break;
    case VQX_SDP_IMAGE: case VQX_SDP_TOK: f.un8Kind = 3; break;
    default: return false;
  }
  if (!c.Take(VQX_SDP_NUM, kMust, &f.aView[0])) return false;
  f.aView[1] = VqxSdpTokenValue{0, nullptr};
  c.Next();
  if (c.nCode == VQX_SDP_SLASH && !c.fBlank) {
    if (!c.Take(VQX_SDP_NUM, kNot, &f.aView[1])) return false;
    c.Next();
  }
  for (bool fFirst = true;; fFirst = false) {
    if ((fFirst ? !c.fBlank : c.fBlank) || (!IsWord(c.nCode) && c.nCode != VQX_SDP_UDPTLPROTO)) return false;
    f.aView[2] = c.tok;
    c.Next();
    if (c.nCode != VQX_SDP_SLASH || c.fBlank) break;
    c.Next();
  }
  f.un32NbViews = 3;
  for (u32 n = 0;; ++n) {
    if (c.nCode == VQX_SDP_CRLF || c.nCode == VQX_SDP_END) return n != 0;
    if (!c.fBlank) return false;
    if (c.nCode == VQX_SDP_NUM) {
      if (f.un32NbViews == VQX_SDP_FORM_VIEWS) return false;
      f.aView[f.un32NbViews++] = c.tok;
    } else if (c.nCode != VQX_SDP_T38FMT && !IsWord(c.nCode)) {
      return false;
    }
    c.Next();
  }
}

/* a=rtpmap: ws COLON ws NUM ws_1 word ws SLASH ws NUM ws [SLASH ws NUM (ws_1 NUM)* ws]. */
bool RtpMap(FormCursor& c, VqxSdpLineForm& f) {
  if (!c.Take(VQX_SDP_COLON, kMay) || !c.Take(VQX_SDP_NUM, kMay, &f.aView[0])) return false;
  c.Next();
  if (!c.fBlank || !IsWord(c.nCode)) return false;
  f.aView[1] = c.tok;
  if (!c.Take(VQX_SDP_SLASH, kMay) || !c.Take(VQX_SDP_NUM, kMay)) return false;
  c.Next();
  if (c.nCode == VQX_SDP_SLASH) {
    if (!c.Take(VQX_SDP_NUM, kMay)) return false;
    for (c.Next(); c.nCode == VQX_SDP_NUM && c.fBlank; c.Next()) {
    }
  }
  return c.nCode == VQX_SDP_CRLF || c.nCode == VQX_SDP_END;
}

/* The T.38 attributes: field offset in the capability, whether the value is
 * a flag (the bare name sets it), and for a word value the two words and the
 * values they store. */
struct T38Row {
  u8 un8Name;
  u8 un8Offset;
  bool fFlag;
  u8 un8Word1, un8Value1, un8Word2, un8Value2;
};
const T38Row s_aT38[] = {
    {VQX_SDP_T38FAXVERSION, 28, false, 0, 0, 0, 0},
    {VQX_SDP_T38MAXBITRATE, 32, false, 0, 0, 0, 0},
    {VQX_SDP_T38FAXFILLBITREMOVAL, 36, true, 0, 0, 0, 0},
    {VQX_SDP_T38FAXTRANSCODINGMMR, 40, true, 0, 0, 0, 0},
    {VQX_SDP_T38FAXTRANSCODINGJBIG, 44, true, 0, 0, 0, 0},
    {VQX_SDP_T38FAXRATEMANAGEMENT, 48, false, VQX_SDP_T38LOCALTCF, 1, VQX_SDP_T38TRANSFERREDTCF, 2},
    {VQX_SDP_T38FAXMAXBUFFER, 52, false, 0, 0, 0, 0},
    {VQX_SDP_T38FAXMAXDATAGRAM, 56, false, 0, 0, 0, 0},
    {VQX_SDP_T38FAXUDPEC, 60, false, VQX_SDP_T38UDPFEC, 2, VQX_SDP_T38UDPREDUNDANCY, 1},
};

/* a=T38...: NAME ws [COLON ws value ws], the bare name only for a flag. */
bool T38(FormCursor& c, VqxSdpLineForm& f) {
  const T38Row* pRow = nullptr;
  for (const T38Row& r : s_aT38)
    if (r.un8Name == c.nCode) pRow = &r;
  if (pRow == nullptr) return false;
  f.un32Offset = pRow->un8Offset;
  f.fFlag = pRow->fFlag;
  c.Next();
  if (c.nCode == VQX_SDP_CRLF || c.nCode == VQX_SDP_END) {
    f.nForm = VQX_SDP_FORM_T38_VALUE;
    f.un32Value = 1;
    return pRow->fFlag;
  }
  if (c.nCode != VQX_SDP_COLON) return false;
  c.Next();
  if (pRow->un8Word1 == 0) {
    f.nForm = VQX_SDP_FORM_T38_NUMBER;
    f.aView[0] = c.tok;
    if (c.nCode != VQX_SDP_NUM) return false;
  } else {
    f.nForm = VQX_SDP_FORM_T38_VALUE;
    if (c.nCode == pRow->un8Word1) f.un32Value = pRow->un8Value1;
    else if (c.nCode == pRow->un8Word2) f.un32Value = pRow->un8Value2;
    else return false;
  }
  return c.TakeEnd();
}

/* a= lines. The name is the line's second token. */
bool Attribute(FormCursor& c, VqxSdpLineForm& f) {
  c.Next();
  switch (c.nCode) {
    case VQX_SDP_RTPMAP:
      f.nForm = VQX_SDP_FORM_RTPMAP;
      return RtpMap(c, f);
    case VQX_SDP_FMTP:
      /* FMTP ws COLON ws NUM, then free text (read again by the action). */
      f.nForm = VQX_SDP_FORM_FMTP;
      if (!c.Take(VQX_SDP_COLON, kMay) || !c.Take(VQX_SDP_NUM, kMay, &f.aView[0])) return false;
      f.pFreeText = c.p;
      return true;
    case VQX_SDP_TOK: case VQX_SDP_HEX: case VQX_SDP_CONNECTION:
      /* An attribute the parser skips: its name, then free text. */
      f.nForm = VQX_SDP_FORM_PLAIN;
      f.pFreeText = c.p;
      return true;
    case VQX_SDP_RECVONLY: case VQX_SDP_SENDRECV: case VQX_SDP_SENDONLY: case VQX_SDP_INACTIVE:
      f.nForm = VQX_SDP_FORM_DIRECTION;
      f.un8Kind = static_cast<u8>(c.nCode);
      return c.TakeEnd();
    case VQX_SDP_PTIME:
      f.nForm = VQX_SDP_FORM_PTIME;
      return c.Take(VQX_SDP_COLON, kMay) && c.Take(VQX_SDP_NUM, kMay, &f.aView[0]) && c.TakeEnd();
    case VQX_SDP_FRAMERATE:
      f.nForm = VQX_SDP_FORM_FRAMERATE;
      return c.Take(VQX_SDP_COLON, kMay) && c.Take(VQX_SDP_NUM, kMay, &f.aView[0]) && c.TakeEnd();
    case VQX_SDP_SETUP:
      /* SETUP ws; ALT runs to the line break itself. */
      f.nForm = VQX_SDP_FORM_PLAIN;
      return c.TakeEnd();
    case VQX_SDP_ALT:
      f.nForm = VQX_SDP_FORM_PLAIN;
      c.Next();
      return (c.nCode == VQX_SDP_CRLF || c.nCode == VQX_SDP_END) && !c.fBlank;
    default:
      return T38(c, f);
  }
}

}  // namespace

int VqxSdpCutToken(const char** ppCursor, const char* pEnd, const char** ppStart) {
  const char* p = *ppCursor;
  *ppStart = p;
  if (p < pEnd) {
    const char ch = *p;
    if (ch == ':' || ch == '/') {
      *ppCursor = p + 1;
      return ch == ':' ? VQX_SDP_COLON : VQX_SDP_SLASH;
    }
    /* Digits that no token character follows (no dot, minus or letter):
     * NUM, and no longer token starts with them. */
    const char* q = p;
    while (*q >= '0' && *q <= '9') ++q;
    if (q != p && !IsTokenChar(*q)) {
      *ppCursor = q;
      return VQX_SDP_NUM;
    }
    /* A line keyword letter and "=": "=" is no token character. */
    if (p[1] == '=' && s_lineKeys.a[u8(ch)] != 0) {
      *ppCursor = p + 2;
      return s_lineKeys.a[u8(ch)];
    }
    /* One line break that neither another break nor a blank follows. */
    if (ch == '\r' && p[1] == '\n' && p[2] != '\r' && !IsBlank(p[2])) {
      *ppCursor = p + 2;
      return VQX_SDP_CRLF;
    }
    if (ch == '\n' && p[1] != '\n' && !IsBlank(p[1])) {
      *ppCursor = p + 1;
      return VQX_SDP_CRLF;
    }
  }
  return VqxMedialibSdpTokenise(ppCursor, pEnd, ppStart);
}

bool VqxSdpMatchLineForm(int nFirst, const VqxSdpTokenValue& first, const char* pEnd, VqxSdpLineForm* pForm) {
  VqxSdpLineForm& f = *pForm;
  const char* p = first.p + first.un32Length;
  FormCursor c{p, pEnd};
  c.last = first;
  f.un32NbViews = 0;
  f.pFreeText = nullptr;
  bool fMatch;
  switch (nFirst) {
    case VQX_SDP_VERSIONKEYWORD:
      /* v=: ws NUM ws. */
      f.nForm = VQX_SDP_FORM_PLAIN;
      fMatch = c.Take(VQX_SDP_NUM, kMay) && c.TakeEnd();
      break;
    case VQX_SDP_TIMEKEYWORD:
      /* t=: ws NUM ws_1 NUM ws. */
      f.nForm = VQX_SDP_FORM_PLAIN;
      fMatch = c.Take(VQX_SDP_NUM, kMay) && c.Take(VQX_SDP_NUM, kMust) && c.TakeEnd();
      break;
    case VQX_SDP_SESSKEYWORD: case VQX_SDP_INFOKEYWORD: case VQX_SDP_KEYKEYWORD:
      /* s=, i=, k=: free text. */
      f.nForm = VQX_SDP_FORM_PLAIN;
      f.pFreeText = p;
      fMatch = true;
      break;
    case VQX_SDP_ORIGKEYWORD:
      f.nForm = VQX_SDP_FORM_ORIGIN;
      fMatch = Origin(c, f);
      break;
    case VQX_SDP_CONNKEYWORD:
      f.nForm = VQX_SDP_FORM_CONNECTION;
      fMatch = Connection(c, f);
      break;
    case VQX_SDP_BWKEYWORD:
      /* b=: ws word ws COLON ws NUM ws. */
      f.nForm = VQX_SDP_FORM_BANDWIDTH;
      c.Next();
      f.aView[0] = c.tok;
      fMatch = IsWord(c.nCode) && c.Take(VQX_SDP_COLON, kMay) && c.Take(VQX_SDP_NUM, kMay, &f.aView[1]) && c.TakeEnd();
      break;
    case VQX_SDP_MEDIAKEYWORD:
      f.nForm = VQX_SDP_FORM_MEDIA;
      fMatch = Media(c, f);
      break;
    case VQX_SDP_ATTRKEYWORD:
      fMatch = Attribute(c, f);
      break;
    default:
      return false;
  }
  if (!fMatch) return false;
  f.un32Second = static_cast<u32>(c.nSecond);
  f.last = c.last;
  f.pBreakEnd = nullptr;
  if (f.pFreeText != nullptr) {
    f.pResume = VqxSdpLineBreak(f.pFreeText, pEnd);
  } else {
    /* Back to the line break (or the end); a break is handed over as cut. */
    f.pResume = c.tok.p;
    if (c.nCode == VQX_SDP_CRLF) f.pBreakEnd = c.tok.p + c.tok.un32Length;
  }
  return true;
}

void VqxSdpFormLine(SdpParseContext* pCtx) {
  const VqxSdpLineForm& f = pCtx->form;
  const VqxSdpTokenValue* v = f.aView;
  pCtx->fWholeLine = 1;
  switch (f.nForm) {
    case VQX_SDP_FORM_ORIGIN: VqxMediaLibParseOrigin(pCtx, v[0], v[1]); break;
    case VQX_SDP_FORM_CONNECTION: VqxSdpConnection(pCtx, VqxSdpConnValue{v[0], v[1], v[2], v[3]}); break;
    case VQX_SDP_FORM_BANDWIDTH: VQXMediaLibParseBandwidth(pCtx, v[0], v[1]); break;
    case VQX_SDP_FORM_MEDIA:
      VqxSdpMediaKeyword(pCtx, f.un8Kind);
      VqxSdpMediaPort(pCtx, v[0], v[1].p != nullptr ? &v[1] : nullptr);
      VqxSdpMediaProto(pCtx, v[2]);
      for (u32 i = 3; i < f.un32NbViews; ++i) VqxMediaLibParsePTAdd(pCtx, v[i]);
      break;
    case VQX_SDP_FORM_RTPMAP: VqxMediaLibParseRtpMap(pCtx, v[0], v[1]); break;
    case VQX_SDP_FORM_FMTP: VqxMediaLibParseFmtpGeneric(pCtx, v[0]); break;
    case VQX_SDP_FORM_PTIME: VqxMediaLibParsePTime(pCtx, v[0]); break;
    case VQX_SDP_FORM_FRAMERATE: VqxMediaLibParseFrameRate(pCtx, v[0]); break;
    case VQX_SDP_FORM_T38_NUMBER: VqxSdpT38SetNumber(pCtx, f.un32Offset, v[0], f.fFlag); break;
    case VQX_SDP_FORM_T38_VALUE: VqxSdpT38Set(pCtx, f.un32Offset, f.un32Value); break;
    case VQX_SDP_FORM_DIRECTION:
      if (f.un8Kind == VQX_SDP_RECVONLY) VqxMediaLibParseReceiveOnly(pCtx);
      else if (f.un8Kind == VQX_SDP_SENDRECV) VqxMediaLibParseSendReceive(pCtx);
      else if (f.un8Kind == VQX_SDP_SENDONLY) VqxMediaLibParseSendOnly(pCtx);
      else VqxMediaLibParseInactive(pCtx);
      break;
    default: break;
  }
  pCtx->fWholeLine = 0;
}
