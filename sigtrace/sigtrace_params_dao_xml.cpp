/*
 * sigtrace_params_dao_xml.cpp - the ":signaling" reader: each section is a
 * row of data (its keys in reading order, each key with its failure text,
 * and its name formats); one walk reads any section from its row.
 */
#include "sigtrace_params_dao_xml.h"

#include <arpa/inet.h>
#include <string.h>

#include <functional>
#include <span>
#include <string>

#include "vqcafdiag.h"
#include "vqcafexception.h"
#include "vqx_string.h"

namespace VQCAF {

namespace {

/* What a key gives the record. */
enum class Key {
  kName,      /* sysmgr name: optional text, upper case */
  kAdapter,   /* required, not empty, upper case */
  kGroup,     /* text, may be empty */
  kCapFile,   /* boolean */
  kExtended,  /* boolean */
  kEthPort,   /* text, lower case, one of the interface names */
  kTransport, /* "udp" 1, "tcp" 2, else 0 */
  kIpMask,    /* dotted-quad IPv4 text */
  kPort,      /* number */
  kIdx,       /* trunk: number */
  kTimeslot,  /* trunk: number 0..31, its bit in the timeslot mask */
  kMask,      /* trunk: number, low 8 bits */
};

struct KeyRow {
  const char* pszAttr;
  Key key;
  /* The failure text when the value cannot be read (kAdapter: also when
   * empty, with "(%s:%u)"; kName: only when too long, an absent name stays
   * empty); each holds " value". */
  const char* pszError;
};

/* How the names of a record are made. */
enum class Names { kSysMgr, kTdm, kCas, kIp };

struct SectionRow {
  const char* pszName;
  u32 un32Type;
  std::span<const KeyRow> aKeys;
  std::span<const KeyRow> aTrunkKeys; /* empty: one record per element */
  Names names;
  /* The entity name starts with this prefix; a generated group name is the
   * adapter, "_", then the entity name. */
  const char* pszNamePrefix;
};

constexpr KeyRow kSysMgrKeys[] = {
    {"name", Key::kName, "Invalid xml file : problem with a sysmgr 'name' value"},
    {"grpname", Key::kGroup, "Invalid xml file : problem with a sysmgr 'grpname' value"},
    {"capfile", Key::kCapFile, "Invalid xml file : problem with a sysmgr 'capfile' value"},
};
constexpr KeyRow kSs7Keys[] = {
    {"adapter", Key::kAdapter, "Invalid xml file : ss7 'adapter' value missing (%s:%u)"},
    {"grpname", Key::kGroup, "Invalid xml file : problem with a ss7 'grpname' value"},
    {"capfile", Key::kCapFile, "Invalid xml file : problem with a ss7 'capfile' value"},
};
constexpr KeyRow kSs7TrunkKeys[] = {
    {"idx", Key::kIdx, "Invalid xml file : problem with a ss7:trunk 'idx' value"},
    {"timeslot", Key::kTimeslot, "Invalid xml file : problem with a ss7:trunk 'timeslot' value"},
    {"mask", Key::kMask, "Invalid xml file : problem with a ss7:trunk 'mask' value"},
};
constexpr KeyRow kIsdnKeys[] = {
    {"adapter", Key::kAdapter, "Invalid xml file : isdn 'adapter' value missing (%s:%u)"},
    {"grpname", Key::kGroup, "Invalid xml file : problem with a isdn 'grpname' value"},
};
constexpr KeyRow kIsdnTrunkKeys[] = {
    {"idx", Key::kIdx, "Invalid xml file : problem with a isdn:trunk 'idx' value"},
    {"timeslot", Key::kTimeslot, "Invalid xml file : problem with a isdn:trunk 'timeslot' value"},
    {"mask", Key::kMask, "Invalid xml file : problem with a isdn:trunk 'mask' value"},
};
constexpr KeyRow kCasr2Keys[] = {
    {"adapter", Key::kAdapter, "Invalid xml file : casr2 'adapter' value missing (%s:%u)"},
    {"grpname", Key::kGroup, "Invalid xml file : problem with a casr2 'grpname' value"},
    {"extended", Key::kExtended, "Invalid xml file : problem with a casr2 'extended' value"},
};
constexpr KeyRow kCasr2TrunkKeys[] = {
    {"idx", Key::kIdx, "Invalid xml file : problem with a casr2:trunk 'idx' value"},
};
constexpr KeyRow kLapdKeys[] = {
    {"adapter", Key::kAdapter, "Invalid xml file : lapd 'adapter' value missing (%s:%u)"},
    {"grpname", Key::kGroup, "Invalid xml file : problem with a lapd 'grpname' value"},
    {"capfile", Key::kCapFile, "Invalid xml file : problem with a lapd 'capfile' value"},
};
constexpr KeyRow kLapdTrunkKeys[] = {
    {"idx", Key::kIdx, "Invalid xml file : problem with a lapd:trunk 'idx' value"},
    {"timeslot", Key::kTimeslot, "Invalid xml file : problem with a lapd:trunk 'timeslot' value"},
    {"mask", Key::kMask, "Invalid xml file : problem with a lapd:trunk 'mask' value"},
};
/* The ip and sip sections share their texts. */
constexpr KeyRow kIpKeys[] = {
    {"adapter", Key::kAdapter, "Invalid xml file : sip 'adapter' value missing (%s:%u)"},
    {"grpname", Key::kGroup, "Invalid xml file : problem with a ip 'grpname' value"},
    {"ethport", Key::kEthPort, "Invalid xml file : problem with a sip 'ethport' value"},
    {"transport", Key::kTransport, "Invalid xml file : problem with a sip 'transport' value"},
    {"ipmask", Key::kIpMask, "Invalid xml file : problem with a sip 'ipmask' value"},
    {"port", Key::kPort, "Invalid xml file : problem with a sip 'port' value"},
    {"capfile", Key::kCapFile, "Invalid xml file : problem with a sip 'capfile' value"},
};

/* In reading order; ip and sip are read by GetIpParams between lapd and h248. */
const SectionRow kSections[] = {
    {"sysmgr", VQ_SIGTRACE_TYPE_BY_NAME, kSysMgrKeys, {}, Names::kSysMgr, nullptr},
    {"ss7", VQ_SIGTRACE_TYPE_SS7, kSs7Keys, kSs7TrunkKeys, Names::kTdm, "ss7_trk_"},
    {"isdn", VQ_SIGTRACE_TYPE_ISDN, kIsdnKeys, kIsdnTrunkKeys, Names::kTdm, "isdn_trk_"},
    {"casr2", VQ_SIGTRACE_TYPE_CASR2, kCasr2Keys, kCasr2TrunkKeys, Names::kCas, "casr2_trk_"},
    {"lapd", VQ_SIGTRACE_TYPE_LAPD, kLapdKeys, kLapdTrunkKeys, Names::kTdm, "lapd_trk_"},
};
const SectionRow kIpSection = {"ip", VQ_SIGTRACE_TYPE_IP, kIpKeys, {}, Names::kIp, "sip_"};

constexpr const char* kEthPorts[] = {"eth0", "eth1", "voip0", "voip1", "any"};
constexpr u32 kMaxTimeslot = 31;
constexpr u32 kMaxPort = 65535;

/* The line of this thread's last failure of a read, for GivenUp. */
thread_local std::string t_strLastFailure;

/* A failure of the read: logged, and kept as the last one. */
VQX_RESULT Report(const char* pszOperation, const char* pszText, VQX_RESULT r, int nLine) {
  t_strLastFailure = VqcafFormatFailureLine(pszOperation, pszText, r, __FILE__, nLine).c_str();
  if (!t_strLastFailure.empty() && t_strLastFailure.back() == '\n') t_strLastFailure.pop_back();
  return VqcafReportFailure(pszOperation, pszText, r, __FILE__, nLine);
}

/* ASCII letters only, byte by byte, as the string's own case change. */
void ChangeCase(char* psz, char cFrom, char cTo) {
  for (; *psz != 0; ++psz)
    if (*psz >= cFrom && *psz <= static_cast<char>(cFrom + 25)) *psz = static_cast<char>(*psz - cFrom + cTo);
}

/* A generated name composed in place, without printf: texts, "%u" / "%02u"
 * decimals, "%08X" and "%02x" hex. Room for the prefix, three texts of a
 * store value each and the numbers. */
class CNameText {
 public:
  void Text(const char* psz) {
    const size_t n = strnlen(psz, VQCAF_CFG_VALUE_SIZE);
    memcpy(macText + mnLength, psz, n);
    mnLength += n;
  }
  void Char(char c) { macText[mnLength++] = c; }
  /* Decimal, at least un32Width digits (zero padded). */
  void Decimal(u32 un32, u32 un32Width) {
    char acDigits[10];
    u32 n = 0;
    do {
      acDigits[n++] = static_cast<char>('0' + un32 % 10);
      un32 /= 10;
    } while (un32 != 0);
    for (; n < un32Width; --un32Width) macText[mnLength++] = '0';
    while (n > 0) macText[mnLength++] = acDigits[--n];
  }
  /* Exactly un32Digits hex digits of the low bits (the values fit them). */
  void Hex(u32 un32, u32 un32Digits, const char* pszDigits) {
    for (u32 i = un32Digits; i > 0; --i) macText[mnLength++] = pszDigits[(un32 >> ((i - 1) * 4)) & 0xF];
  }
  size_t Length() const { return mnLength; }
  /* The text from nFrom on, terminated. */
  const char* From(size_t nFrom) {
    macText[mnLength] = 0;
    return macText + nFrom;
  }

 private:
  char macText[3 * VQCAF_CFG_VALUE_SIZE + 64];
  size_t mnLength = 0;
};

/* One element (or trunk) of a path, read key by key into a record. */
class CElementReader {
 public:
  CElementReader(IVQCAFCfgFile& Store, const char* pszOperation, const std::string& strPath, u32 un32Index)
      : mStore(Store), mpszOperation(pszOperation), mstrPath(strPath), mun32Index(un32Index) {}

  VQX_RESULT ReadKeys(std::span<const KeyRow> aKeys, CVQSigTraceEntityParams& R) {
    for (const KeyRow& K : aKeys) {
      const VQX_RESULT r = ReadKey(K, R);
      if (VQX_RESULT_FAILED(r)) return r;
    }
    return VQX_RESULT_OK;
  }

 private:
  /* The store takes the attribute name as a writable text. */
  static void AttrName(const KeyRow& K, char (&szAttr)[32]) {
    const size_t n = strnlen(K.pszAttr, sizeof(szAttr) - 1);
    memcpy(szAttr, K.pszAttr, n);
    szAttr[n] = '\0';
  }

  VQX_RESULT ReadKey(const KeyRow& K, CVQSigTraceEntityParams& R) {
    char szAttr[32];
    AttrName(K, szAttr);
    char szText[VQCAF_CFG_VALUE_SIZE];
    u32 un32 = 0;
    VQX_RESULT r = VQX_RESULT_OK;
    switch (K.key) {
      case Key::kName:
        /* Optional; but a name too long to read is refused, not dropped. */
        r = mStore.Get(mstrPath.c_str(), mun32Index, szAttr, sizeof(szText), szText);
        if (r == VQX_RESULT_BUFFER_TOO_SMALL) return FailTooLong(K);
        if (VQX_RESULT_FAILED(r)) szText[0] = 0;
        ChangeCase(szText, 'a', 'A');
        R.mstrName = szText;
        return VQX_RESULT_OK;
      case Key::kCapFile:
      case Key::kExtended:
        r = mStore.Get(mstrPath.c_str(), mun32Index, szAttr, K.key == Key::kCapFile ? &R.mfCapFile : &R.mfExtended);
        return VQX_RESULT_FAILED(r) ? Fail(K.pszError, r) : r;
      case Key::kPort:
        /* "any" (any case) is every port, 0; anything else is a number. */
        if (VQX_RESULT_SUCCEEDED(mStore.Get(mstrPath.c_str(), mun32Index, szAttr, sizeof(szText), szText)) &&
            Stricmp(szText, "any") == 0)
          return SetNumber(K, 0, R);
        [[fallthrough]];
      case Key::kIdx:
      case Key::kTimeslot:
      case Key::kMask:
        r = mStore.Get(mstrPath.c_str(), mun32Index, szAttr, &un32);
        if (r == VQX_RESULT_INVALID_PARAM) return FailWritten(K, " \"%s\" is not an unsigned 32-bit number (%s:%u)", r);
        if (VQX_RESULT_FAILED(r)) return Fail(K.pszError, r);
        return SetNumber(K, un32, R);
      default:
        break;
    }
    r = mStore.Get(mstrPath.c_str(), mun32Index, szAttr, sizeof(szText), szText);
    if (r == VQX_RESULT_BUFFER_TOO_SMALL) return FailTooLong(K);
    if (K.key == Key::kAdapter) {
      if (VQX_RESULT_FAILED(r) || szText[0] == 0) return FailAt(K.pszError, nullptr, VQX_RESULT_FAIL);
      ChangeCase(szText, 'a', 'A');
      R.mstrAdapterName = szText;
      return VQX_RESULT_OK;
    }
    if (VQX_RESULT_FAILED(r)) return Fail(K.pszError, r);
    switch (K.key) {
      case Key::kGroup:
        R.mstrGroupName = szText;
        break;
      case Key::kEthPort: {
        ChangeCase(szText, 'A', 'a');
        R.mstrEthPort = szText;
        bool fKnown = false;
        for (const char* psz : kEthPorts) fKnown = fKnown || R.mstrEthPort == psz;
        if (!fKnown) return FailAt("Invalid xml file : sip 'ethport' value invalid (%s:%u)", nullptr, VQX_RESULT_FAIL);
        break;
      }
      case Key::kTransport:
        R.mun32Transport = Stricmp(szText, "udp") == 0 ? 1u : Stricmp(szText, "tcp") == 0 ? 2u : 0u;
        break;
      case Key::kIpMask: {
        /* The board filters on a dotted-quad address and takes 15 characters
         * of it: anything else would trace another address than configured. */
        struct in_addr Addr;
        if (inet_pton(AF_INET, szText, &Addr) != 1) return Fail(K.pszError, VQX_RESULT_INVALID_PARAM);
        R.mstrIpMask = szText;
        break;
      }
      default:
        break;
    }
    return VQX_RESULT_OK;
  }

  VQX_RESULT SetNumber(const KeyRow& K, u32 un32, CVQSigTraceEntityParams& R) {
    switch (K.key) {
      case Key::kPort:
        /* The board takes a 16-bit port: a larger number would trace another one. */
        if (un32 > kMaxPort) return FailWritten(K, " %s above 65535 (%s:%u)", VQX_RESULT_INVALID_PARAM);
        R.mun32Port = un32;
        break;
      case Key::kIdx:
        R.mun32Trunk = un32;
        break;
      case Key::kTimeslot: {
        /* A mask bit exists for timeslots 0..31 only; a larger number would
         * trace another timeslot (n mod 32) than the one configured. */
        if (un32 > kMaxTimeslot) return FailWritten(K, " %s above 31 (%s:%u)", VQX_RESULT_INVALID_PARAM);
        R.mun32TimeslotMask = 1u << un32;
        break;
      }
      case Key::kMask:
        R.mun8BitMask = static_cast<u8>(un32 & 0xFF);
        break;
      default:
        break;
    }
    return VQX_RESULT_OK;
  }

  VQX_RESULT Fail(const char* pszText, VQX_RESULT r) { return Report(mpszOperation, pszText, r, __LINE__); }

  /* K's failure text followed by pszTail, which takes the value as written,
   * the file name and the element's line. */
  VQX_RESULT FailWritten(const KeyRow& K, const char* pszTail, VQX_RESULT r) {
    char szAttr[32], szText[VQCAF_CFG_VALUE_SIZE];
    AttrName(K, szAttr);
    if (VQX_RESULT_FAILED(mStore.Get(mstrPath.c_str(), mun32Index, szAttr, sizeof(szText), szText)))
      Snprintf(szText, sizeof(szText), "(%u characters or more)", VQCAF_CFG_VALUE_SIZE);
    return FailAt((std::string(K.pszError) + pszTail).c_str(), szText, r);
  }

  /* A text of 256 characters or more: K's failure text up to its "value",
   * and where it stands. */
  VQX_RESULT FailTooLong(const KeyRow& K) {
    std::string strFormat(K.pszError);
    strFormat.resize(strFormat.find(" value") + 6);
    strFormat += " longer than 255 characters (%s:%u)";
    return FailAt(strFormat.c_str(), nullptr, VQX_RESULT_BUFFER_TOO_SMALL);
  }

  /* pszFormat takes the file name and the element's line ("(%s:%u)"),
   * after pszValue when one is given. */
  VQX_RESULT FailAt(const char* pszFormat, const char* pszValue, VQX_RESULT r) {
    u32 un32Line = 0;
    char szUnused[] = "";
    mStore.GetLineNumber(mstrPath.c_str(), mun32Index, szUnused, &un32Line);
    const char* pszFile = mStore.GetDbName() ? mStore.GetDbName() : "";
    CVQCAFString strText;
    if (pszValue != nullptr) strText.Format(pszFormat, pszValue, pszFile, un32Line);
    else strText.Format(pszFormat, pszFile, un32Line);
    return Fail(strText.c_str(), r);
  }

  IVQCAFCfgFile& mStore;
  const char* mpszOperation;
  const std::string& mstrPath;
  u32 mun32Index;
};

/* The generated group (when grpname was empty) and entity names: the group
 * is the adapter, "_" and the entity name, composed once. */
void NameRecord(const SectionRow& S, CVQSigTraceEntityParams& R) {
  if (S.names == Names::kSysMgr) {
    if (R.mstrGroupName.IsEmpty()) R.mstrGroupName = R.mstrName;
    return;
  }
  static constexpr char kUpperHex[] = "0123456789ABCDEF";
  static constexpr char kLowerHex[] = "0123456789abcdef";
  CNameText T;
  T.Text(R.mstrAdapterName.c_str());
  T.Char('_');
  const size_t nEntity = T.Length();
  T.Text(S.pszNamePrefix);
  if (S.names == Names::kIp) {
    T.Text(R.mstrEthPort.c_str());
    T.Char('_');
    T.Text(R.mstrIpMask.c_str());
    T.Char('_');
    T.Decimal(R.mun32Port, 1);
  } else {
    T.Decimal(R.mun32Trunk, 2);
    if (S.names == Names::kTdm) {
      T.Char('_');
      T.Hex(R.mun32TimeslotMask, 8, kUpperHex);
      T.Char('_');
      T.Hex(R.mun8BitMask, 2, kLowerHex);
    }
  }
  if (R.mstrGroupName.IsEmpty()) R.mstrGroupName = T.From(0);
  R.mstrName = T.From(nEntity);
}

VQX_RESULT CountAt(IVQCAFCfgFile& Store, const char* pszOperation, const std::string& strPath, u32* pun32Count) {
  *pun32Count = 0;
  const VQX_RESULT r = Store.GetCount(strPath.c_str(), pun32Count);
  return VQX_RESULT_FAILED(r) ? Report(pszOperation, "Can't read in xml file", r, __LINE__) : r;
}

/* Appends the records of every element of one section path; gives up (0x8200000F) once fnGiveUp says so. */
VQX_RESULT ReadSection(IVQCAFCfgFile& Store, const char* pszOperation, const SectionRow& S, const std::string& strPath,
                       CVQSigTraceParams& Params, const std::function<bool()>& fnGiveUp) {
  u32 un32Count = 0;
  VQX_RESULT r = CountAt(Store, pszOperation, strPath, &un32Count);
  if (VQX_RESULT_FAILED(r)) return r;
  for (u32 i = 0; i < un32Count; i++) {
    if (fnGiveUp && fnGiveUp()) {
      /* Its caller asked for it (the process is ending): a message, not an error of the file. */
      VqcafDiagPrintf(VQCAF_DIAG_LEVEL_MESSAGE, "%s",
                      VqcafFormatFailureLine(pszOperation, "Reading the section given up", VQX_RESULT_INVALID_STATE,
                                             __FILE__, __LINE__).c_str());
      return VQX_RESULT_INVALID_STATE;
    }
    CVQSigTraceEntityParams R;
    R.mun32Type = S.un32Type;
    r = CElementReader(Store, pszOperation, strPath, i).ReadKeys(S.aKeys, R);
    if (VQX_RESULT_FAILED(r)) return r;
    if (S.aTrunkKeys.empty()) {
      NameRecord(S, R);
      Params.Append(R);
      continue;
    }
    const std::string strTrunks = strPath + ":[" + std::to_string(i) + "]:trunk";
    u32 un32Trunks = 0;
    r = CountAt(Store, pszOperation, strTrunks, &un32Trunks);
    if (VQX_RESULT_FAILED(r)) return r;
    for (u32 j = 0; j < un32Trunks; j++) {
      r = CElementReader(Store, pszOperation, strTrunks, j).ReadKeys(S.aTrunkKeys, R);
      if (VQX_RESULT_FAILED(r)) return r;
      NameRecord(S, R); /* the group named at the first trunk stays for the others */
      Params.Append(R);
    }
  }
  return VQX_RESULT_OK;
}

/* The records the section will append, counted through the store without
 * reading a value or logging (a count that cannot be read adds nothing; the
 * read reports it): the container grows once, not once per doubling of
 * thousands of records. Stops early once fnGiveUp says so (the read then
 * gives up at its first element), asked every kCountsPerGiveUpAsk elements:
 * a count costs far less than a read, the question more. */
constexpr u32 kCountsPerGiveUpAsk = 1024;

size_t CountRecords(IVQCAFCfgFile& Store, const std::string& strBase, const std::function<bool()>& fnGiveUp) {
  size_t nRecords = 0;
  auto Count = [&Store](const std::string& strPath) {
    u32 un32Count = 0;
    return VQX_RESULT_FAILED(Store.GetCount(strPath.c_str(), &un32Count)) ? 0u : un32Count;
  };
  for (const SectionRow& S : kSections) {
    const std::string strPath = strBase + S.pszName;
    const u32 un32Elements = Count(strPath);
    for (u32 i = 0; i < un32Elements; i++) {
      if (i % kCountsPerGiveUpAsk == kCountsPerGiveUpAsk - 1 && fnGiveUp && fnGiveUp()) return nRecords;
      nRecords += S.aTrunkKeys.empty() ? 1u : Count(strPath + ":[" + std::to_string(i) + "]:trunk");
    }
  }
  return nRecords + Count(strBase + "ip") + Count(strBase + "sip") + 1;
}

}  // namespace

CVQSigTraceParamsDaoXml::CVQSigTraceParamsDaoXml(CVQCAFPtr<IVQCAFCfgFile> in_pConfigFile, const char* pszRootName)
    : mptrConfigFile(in_pConfigFile) {
  if (mptrConfigFile.Get() != nullptr && pszRootName != nullptr) mstrRootName = pszRootName;
}

VQX_RESULT CVQSigTraceParamsDaoXml::CheckStore(const char* pszOperation) {
  if (mptrConfigFile.Get() == nullptr)
    return VQCAF_REPORT_FAILURE(pszOperation, "NULL in_pConfigFile passed to constructor!", VQX_RESULT_INVALID_STATE);
  if (mptrConfigFile->IsOpened() == 0)
    return VQCAF_REPORT_FAILURE(pszOperation, "in_pConfigFile from constructor has not been opened",
                                VQX_RESULT_INVALID_STATE);
  return VQX_RESULT_OK;
}

VQX_RESULT CVQSigTraceParamsDaoXml::Init() {
  try {
    return CheckStore("CVQSigTraceParamsDaoXml::Init");
  }
  VQCAF_CATCH_RETURN("CVQSigTraceParamsDaoXml::Init")
}

VQX_RESULT CVQSigTraceParamsDaoXml::Uninit() { return VQX_RESULT_OK; }
VQX_RESULT CVQSigTraceParamsDaoXml::Reload() { return VQX_RESULT_OK; }

VQX_RESULT CVQSigTraceParamsDaoXml::GetParams(CVQSigTraceParams& Params) {
  try {
    mvGivenUp.clear();
    VQX_RESULT r = CheckStore("GetParams");
    if (VQX_RESULT_FAILED(r)) return r;
    IVQCAFCfgFile& Store = *mptrConfigFile;
    const std::string strBase = std::string(mstrRootName.c_str()) + ":signaling:";
    Params.mvEntities.reserve(Params.Count() + CountRecords(Store, strBase, mfnGiveUp));
    for (const SectionRow& S : kSections) {
      r = ReadSection(Store, "GetParams", S, strBase + S.pszName, Params, mfnGiveUp);
      if (VQX_RESULT_FAILED(r)) return r;
    }
    for (const char* pszSection : {"ip", "sip"}) {
      if (VQX_RESULT_SUCCEEDED(GetIpParams(CVQCAFString((strBase + pszSection).c_str()), Params))) continue;
      if (mfnGiveUp && mfnGiveUp()) return VQX_RESULT_INVALID_STATE; /* the whole read is given up */
      mvGivenUp.push_back(t_strLastFailure);
    }

    const std::string strH248 = strBase + "h248";
    u32 un32Count = 0;
    r = CountAt(Store, "GetParams", strH248, &un32Count);
    if (VQX_RESULT_FAILED(r)) return r;
    if (un32Count == 1) {
      CVQSigTraceEntityParams R;
      R.mun32Type = VQ_SIGTRACE_TYPE_H248;
      char szAttr[] = "capfile";
      r = Store.Get(strH248.c_str(), 0, szAttr, &R.mfCapFile);
      if (VQX_RESULT_FAILED(r))
        return VQCAF_REPORT_FAILURE("GetParams", "Invalid xml file : problem with a h248 'capfile' value", r);
      Params.Append(R);
    }
    return VQX_RESULT_OK;
  }
  VQCAF_CATCH_RETURN("GetParams")
}

VQX_RESULT CVQSigTraceParamsDaoXml::GetIpParams(CVQCAFString strPath, CVQSigTraceParams& Params) {
  try {
    VQX_RESULT r = CheckStore("GetIpParams");
    if (VQX_RESULT_FAILED(r)) return r;
    return ReadSection(*mptrConfigFile, "GetIpParams", kIpSection, strPath.c_str(), Params, mfnGiveUp);
  }
  VQCAF_CATCH_RETURN("GetIpParams")
}

}  // namespace VQCAF
