/*
 * vqcafcfgfilexml.cpp - CVQCAFCfgFileXml: path resolution over a libxml2
 * tree held for reading. Path rules and codes in vqcafcfgfile.h.
 */
#include <errno.h>
#include <fcntl.h>
#include <libxml/SAX2.h>
#include <libxml/entities.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "vqcafcfgfile.h"
#include "vqcafdiag.h"
#include "vqcafexception.h"

namespace VQCAF {

namespace {

constexpr const char* kNotOpenedText = "Database must be opened first.";
constexpr const char* kTooLongText = "The length of the field is bigger than in_un32FieldValueMaximumLength";

bool IsNamed(xmlNodePtr p, std::string_view svName) {
  if (p->type != XML_ELEMENT_NODE) return false;
  const char* pszName = reinterpret_cast<const char*>(p->name);
  return svName == pszName;
}

/* "[n]": n decimal, at most 9 digits; false for anything else. */
bool ParseSelector(std::string_view sv, u32* pun32) {
  if (sv.size() < 3 || sv.size() > 11 || sv.front() != '[' || sv.back() != ']') return false;
  u32 v = 0;
  for (char c : sv.substr(1, sv.size() - 2)) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<u32>(c - '0');
  }
  *pun32 = v;
  return true;
}

/* The parser's question to the store's caller, and whether it stopped on its answer. */
struct GiveUp {
  const std::function<bool()>* pfnAsk;
  bool fStopped = false;
};

/*
 * libxml2 numbers an element past line 65535 by a neighbouring node, which is
 * a line off or more; the element's own line is kept in _private instead,
 * taken when its start tag is read.
 */
void StartElementKeepingLine(void* pvCtxt, const xmlChar* pszLocal, const xmlChar* pszPrefix, const xmlChar* pszUri,
                             int nNs, const xmlChar** apszNs, int nAttr, int nDefaulted, const xmlChar** apszAttr) {
  xmlSAX2StartElementNs(pvCtxt, pszLocal, pszPrefix, pszUri, nNs, apszNs, nAttr, nDefaulted, apszAttr);
  xmlParserCtxtPtr pCtxt = static_cast<xmlParserCtxtPtr>(pvCtxt);
  if (pCtxt->node != nullptr && pCtxt->input != nullptr && pCtxt->input->line > 0)
    pCtxt->node->_private = reinterpret_cast<void*>(static_cast<intptr_t>(pCtxt->input->line));
  /* The reader's caller may give a long read up (its process ends). */
  auto* pGiveUp = static_cast<GiveUp*>(pCtxt->_private);
  if (pGiveUp != nullptr && *pGiveUp->pfnAsk && (*pGiveUp->pfnAsk)()) {
    pGiveUp->fStopped = true;
    xmlStopParser(pCtxt);
  }
}

/* The line of an element: its own (StartElementKeepingLine), else libxml2's. */
u32 LineOf(xmlNodePtr pNode) {
  const long nLine = pNode->_private != nullptr ? static_cast<long>(reinterpret_cast<intptr_t>(pNode->_private))
                                                : xmlGetLineNo(pNode);
  return nLine > 0 ? static_cast<u32>(nLine) : 0;
}

/*
 * Attribute values are read with their entity references expanded, and
 * libxml2 sets no bound on that expansion when it does not substitute the
 * entities itself (which would load external ones): one entity of 100,000
 * characters used 10,000 times in an attribute of a small file makes a
 * gigabyte, in minutes. The characters the references add to the attributes
 * of a document are counted once it is parsed, each entity's length once, and
 * the document is refused past libxml2's own amplification factor over its
 * size, with a floor for small files.
 */
constexpr u64 kExpansionFactor = 10;           /* libxml2's XML_PARSER_NON_LINEAR */
constexpr u64 kExpansionFloor = 1024u * 1024u; /* characters any file may add */
constexpr int kMaxEntityDepth = 40;            /* libxml2's own nesting limit of entities */

struct EntityExpansion {
  xmlAttrPtr pAttr = nullptr; /* the attribute whose references passed the bound; null: within it */
  u64 un64Bound = 0;
};

class CEntityLengths {
 public:
  CEntityLengths(xmlDocPtr pDoc, u64 un64Cap) : mpDoc(pDoc), mun64Cap(un64Cap) {}
  /* The characters a reference to pszName expands to (as xmlNodeGetContent
   * does: the entity's children), at most the cap. */
  u64 Of(const xmlChar* pszName, int nDepth = 0) {
    xmlEntityPtr pEnt = xmlGetDocEntity(mpDoc, pszName);
    if (pEnt == nullptr) return 0;
    const auto it = mLengths.find(pEnt);
    if (it != mLengths.end()) return it->second;
    if (nDepth > kMaxEntityDepth) return mun64Cap;
    mLengths[pEnt] = mun64Cap; /* a loop (refused by the parser already) counts as past the bound */
    u64 un64 = 0;
    for (xmlNodePtr c = pEnt->children; c != nullptr && un64 < mun64Cap; c = c->next) {
      if (c->type == XML_ENTITY_REF_NODE) un64 += Of(c->name, nDepth + 1);
      else if (c->content != nullptr) un64 += static_cast<u64>(xmlStrlen(c->content));
    }
    return mLengths[pEnt] = std::min(un64, mun64Cap);
  }

 private:
  xmlDocPtr mpDoc;
  u64 mun64Cap;
  std::unordered_map<xmlEntityPtr, u64> mLengths;
};

EntityExpansion AttributeEntityExpansion(xmlDocPtr pDoc, u64 un64FileSize) {
  EntityExpansion Result;
  Result.un64Bound = std::max(kExpansionFloor, kExpansionFactor * un64FileSize);
  CEntityLengths Lengths(pDoc, Result.un64Bound + 1);
  u64 un64Total = 0;
  /* Every element in document order, without recursion. */
  for (xmlNodePtr n = xmlDocGetRootElement(pDoc); n != nullptr;) {
    if (n->type == XML_ELEMENT_NODE) {
      for (xmlAttrPtr a = n->properties; a != nullptr; a = a->next)
        for (xmlNodePtr c = a->children; c != nullptr; c = c->next) {
          if (c->type != XML_ENTITY_REF_NODE) continue;
          un64Total += Lengths.Of(c->name);
          if (un64Total <= Result.un64Bound) continue;
          Result.pAttr = a;
          return Result;
        }
      if (n->children != nullptr) {
        n = n->children;
        continue;
      }
    }
    while (n != nullptr && n->next == nullptr)
      n = n->parent != nullptr && n->parent->type == XML_ELEMENT_NODE ? n->parent : nullptr;
    if (n != nullptr) n = n->next;
  }
  return Result;
}

void InitParserOnce() {
  static std::once_flag s_Once;
  std::call_once(s_Once, [] { xmlInitParser(); });
}

}  // namespace

VQX_RESULT VqcafCfgParseU32(const char* pszText, u32* pun32Value) {
  *pun32Value = 0;
  const auto IsBlank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  const char* p = pszText;
  while (IsBlank(*p)) p++;
  u32 un32Base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    un32Base = 16;
    p += 2;
  } else if (p[0] == '0') {
    un32Base = 8;
  }
  /* Every character up to the trailing blanks is a digit of the base: a
   * value read only up to its first stray character ("3x", "08", "-1")
   * would configure another number than the one written. */
  u64 v = 0;
  u32 un32Digits = 0;
  for (; *p != '\0' && !IsBlank(*p); p++, un32Digits++) {
    u32 d = 16;
    if (*p >= '0' && *p <= '9') d = static_cast<u32>(*p - '0');
    else if (*p >= 'a' && *p <= 'f') d = static_cast<u32>(*p - 'a' + 10);
    else if (*p >= 'A' && *p <= 'F') d = static_cast<u32>(*p - 'A' + 10);
    if (d >= un32Base) return VQX_RESULT_INVALID_PARAM;
    v = v * un32Base + d;
    if (v > 0xFFFFFFFFull) return VQX_RESULT_INVALID_PARAM;
  }
  while (IsBlank(*p)) p++;
  if (un32Digits == 0 || *p != '\0') return VQX_RESULT_INVALID_PARAM;
  *pun32Value = static_cast<u32>(v);
  return VQX_RESULT_OK;
}

u8 VqcafCfgParseBool(const char* pszText) {
  static constexpr const char* kFalse[] = {"false", "off", "no", "0"};
  for (const char* psz : kFalse) {
    if (strcasecmp(pszText, psz) == 0) return 0;
  }
  return 1;
}

CVQCAFCfgFileXml::CVQCAFCfgFileXml(const char* pszFileName) : mDbName(pszFileName ? pszFileName : ""), mpDoc(nullptr) {
  InitParserOnce();
}

CVQCAFCfgFileXml::~CVQCAFCfgFileXml() { Close(); }

VQX_RESULT CVQCAFCfgFileXml::Open() {
  static constexpr const char* kOp = "CVQCAFCfgFileXml::Open";
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  if (mpDoc != nullptr) return VQCAF_REPORT_FAILURE(kOp, "Already opened", VQX_RESULT_INVALID_STATE);
  /* A regular file only, opened without waiting for a writer (a fifo) or a
   * device: the store must never block its caller. */
  CVQCAFString strText;
  const int fd = open(mDbName.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    const int nErr = errno;
    strText.Format("Cannot open '%s': %s", mDbName.c_str(), strerror(nErr));
    return VQCAF_REPORT_FAILURE(kOp, strText.c_str(),
                                nErr == EACCES || nErr == EPERM ? VQX_RESULT_ACCESS_DENIED : VQX_RESULT_INVALID_CONFIG);
  }
  struct stat St {};
  if (fstat(fd, &St) != 0 || !S_ISREG(St.st_mode)) {
    close(fd);
    strText.Format("Cannot read '%s': not a regular file", mDbName.c_str());
    return VQCAF_REPORT_FAILURE(kOp, strText.c_str(), VQX_RESULT_INVALID_CONFIG);
  }
  xmlParserCtxtPtr pCtxt = xmlNewParserCtxt();
  if (pCtxt == nullptr) {
    close(fd);
    return VQCAF_REPORT_FAILURE(kOp, "xmlNewParserCtxt", VQX_RESULT_NOT_ENOUGH_MEMORY);
  }
  pCtxt->sax->startElementNs = StartElementKeepingLine;
  GiveUp Stop{&mfnGiveUp};
  pCtxt->_private = &Stop;
  /* No network, no DTD loading, no entity substitution; long files numbered right. */
  const int nOptions = XML_PARSE_NONET | XML_PARSE_BIG_LINES | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
  xmlDocPtr pDoc = xmlCtxtReadFd(pCtxt, fd, mDbName.c_str(), nullptr, nOptions);
  close(fd);
  if (Stop.fStopped || (mfnGiveUp && mfnGiveUp())) {
    /* A stopped parser may hand back what it read so far: none of it is kept. */
    if (pDoc != nullptr) xmlFreeDoc(pDoc);
    xmlFreeParserCtxt(pCtxt);
    /* The caller asked for it (its process is ending): a message, not an error of the file. */
    strText.Format("Reading '%s' given up", mDbName.c_str());
    VqcafDiagPrintf(VQCAF_DIAG_LEVEL_MESSAGE, "%s",
                    VqcafFormatFailureLine(kOp, strText.c_str(), VQX_RESULT_INVALID_STATE, __FILE__, __LINE__).c_str());
    return VQX_RESULT_INVALID_STATE;
  }
  if (pDoc == nullptr) {
    const xmlError* pErr = xmlCtxtGetLastError(pCtxt);
    strText.Format("Cannot read '%s' (line %d): %s", mDbName.c_str(), pErr ? pErr->line : 0,
                   pErr && pErr->message ? pErr->message : "unknown error\n");
    xmlFreeParserCtxt(pCtxt);
    return VQCAF_REPORT_FAILURE(kOp, strText.c_str(), VQX_RESULT_INVALID_CONFIG);
  }
  xmlFreeParserCtxt(pCtxt);
  const EntityExpansion Expansion = AttributeEntityExpansion(pDoc, static_cast<u64>(St.st_size));
  if (Expansion.pAttr != nullptr) {
    strText.Format("Cannot read '%s' (line %u): its entities expand the attribute values past %llu characters "
                   "(attribute '%s')",
                   mDbName.c_str(), LineOf(Expansion.pAttr->parent), static_cast<unsigned long long>(Expansion.un64Bound),
                   reinterpret_cast<const char*>(Expansion.pAttr->name));
    xmlFreeDoc(pDoc);
    return VQCAF_REPORT_FAILURE(kOp, strText.c_str(), VQX_RESULT_INVALID_CONFIG);
  }
  mpDoc = pDoc;
  return VQX_RESULT_OK;
}

CVQCAFCfgFileXml::PathNodes* CVQCAFCfgFileXml::Cached(std::string_view svPath, size_t nHash) {
  for (PathNodes& e : maCache)
    if (e.nHash == nHash && e.strPath == svPath) return &e;
  return nullptr;
}

CVQCAFCfgFileXml::PathNodes& CVQCAFCfgFileXml::FreeEntry(const PathNodes* pKeep) {
  if (maCache.size() < kCacheSize) return maCache.emplace_back();  // room reserved: no entry moves
  PathNodes* pOldest = nullptr;
  for (PathNodes& e : maCache)
    if (&e != pKeep && (pOldest == nullptr || e.un64Used < pOldest->un64Used)) pOldest = &e;
  return *pOldest;
}

/*
 * A path is resolved one segment at a time from its longest prefix already
 * resolved (the root otherwise). A name takes the named children of each
 * element, parent by parent, so that a child's rank among its same-named
 * siblings is its offset in its parent's run; "[n]" then takes the n-th of
 * each run without walking a sibling. The list a "[n]" indexes is kept, so
 * that reading "ss7:[i]:trunk" for every i costs the ss7 list once and each
 * element's own children, not a walk of the siblings before it each time.
 */
const std::vector<void*>& CVQCAFCfgFileXml::Lookup(const char* pszPath) {
  const std::string_view svPath(pszPath);
  /* Readers ask for one path value after value: the entry of the last hit is
   * tried first, so that a repeated path costs one comparison. */
  if (mun32LastHit < maCache.size() && maCache[mun32LastHit].strPath == svPath) {
    maCache[mun32LastHit].un64Used = ++mun64Clock;
    return maCache[mun32LastHit].aNodes;
  }
  const auto Hit = [this](PathNodes& e) -> const std::vector<void*>& {
    e.un64Used = ++mun64Clock;
    mun32LastHit = static_cast<u32>(&e - maCache.data());
    return e.aNodes;
  };
  const size_t nHash = std::hash<std::string_view>{}(svPath);
  if (PathNodes* p = Cached(svPath, nHash)) return Hit(*p);
  maCache.reserve(kCacheSize);

  /* Where each segment ends in the path. */
  std::vector<size_t> aEnds;
  for (size_t i = svPath.find(':'); i != std::string_view::npos; i = svPath.find(':', i + 1)) aEnds.push_back(i);
  aEnds.push_back(svPath.size());
  const auto Segment = [&](size_t i) {
    const size_t nBegin = i == 0 ? 0 : aEnds[i - 1] + 1;
    return svPath.substr(nBegin, aEnds[i] - nBegin);
  };

  /* The starting list: the longest cached prefix, else the root. */
  PathNodes* pFrom = nullptr;
  size_t nNext = aEnds.size() - 1;
  for (; nNext >= 1 && pFrom == nullptr; nNext--) {
    const std::string_view svPrefix = svPath.substr(0, aEnds[nNext - 1]);
    pFrom = Cached(svPrefix, std::hash<std::string_view>{}(svPrefix));
  }
  PathNodes Work; /* the list being resolved, until it is stored */
  const PathNodes* pList = &Work;
  if (pFrom != nullptr) {
    nNext += 1;  // the loop went one past the prefix's last segment
    pFrom->un64Used = ++mun64Clock;
    pList = pFrom;
  } else {
    nNext = 1;
    xmlNodePtr pRoot = xmlDocGetRootElement(static_cast<xmlDocPtr>(mpDoc));
    if (pRoot != nullptr && (Segment(0).empty() || IsNamed(pRoot, Segment(0)))) Work.aNodes.push_back(pRoot);
  }

  for (size_t i = nNext; i < aEnds.size(); i++) {
    const std::string_view svSeg = Segment(i);
    PathNodes Next;
    u32 un32Nth = 0;
    if (ParseSelector(svSeg, &un32Nth)) {
      Next.eRanks = Ranks::kOne;
      Next.un32Rank = un32Nth;
      const std::vector<void*>& aFrom = pList->aNodes;
      if (pList->eRanks == Ranks::kOne && pList->un32Rank == un32Nth) {
        Next.aNodes = aFrom;
        mun64Visited += aFrom.size();
      } else if (pList->eRanks == Ranks::kRuns) {
        const std::vector<u32>& aStarts = pList->aRunStarts;
        for (size_t r = 0; r < aStarts.size(); r++) {
          const size_t nEnd = r + 1 < aStarts.size() ? aStarts[r + 1] : aFrom.size();
          if (aStarts[r] + static_cast<size_t>(un32Nth) < nEnd) Next.aNodes.push_back(aFrom[aStarts[r] + un32Nth]);
        }
        mun64Visited += aStarts.size();
      }
    } else {
      Next.eRanks = Ranks::kRuns;
      for (void* pv : pList->aNodes) {
        if (svSeg.empty()) break;  // an empty name names nothing
        bool fRun = false;
        for (xmlNodePtr c = static_cast<xmlNodePtr>(pv)->children; c != nullptr; c = c->next) {
          mun64Visited++;
          if (!IsNamed(c, svSeg)) continue;
          if (!fRun) Next.aRunStarts.push_back(static_cast<u32>(Next.aNodes.size()));
          fRun = true;
          Next.aNodes.push_back(c);
        }
      }
    }
    /* The list a "[n]" indexes is kept for the next element's read. */
    const bool fIndexed = i + 1 < aEnds.size() && ParseSelector(Segment(i + 1), &un32Nth) && Next.eRanks == Ranks::kRuns;
    if (fIndexed) {
      PathNodes& e = FreeEntry(pFrom);
      e = std::move(Next);
      e.strPath = svPath.substr(0, aEnds[i]);
      e.nHash = std::hash<std::string_view>{}(e.strPath);
      e.un64Used = ++mun64Clock;
      pFrom = &e;
      pList = &e;
    } else {
      Work = std::move(Next);
      pList = &Work;
    }
  }
  /* The last segment is never a kept list (only a list a "[n]" follows is): the result is in Work. */
  PathNodes& e = FreeEntry(pFrom);
  e = std::move(Work);
  e.strPath = svPath;
  e.nHash = nHash;
  return Hit(e);
}

VQX_RESULT CVQCAFCfgFileXml::Close() {
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  maCache.clear();
  mun32LastHit = 0;
  if (mpDoc != nullptr) xmlFreeDoc(static_cast<xmlDocPtr>(mpDoc));
  mpDoc = nullptr;
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCAFCfgFileXml::GetAttribute(const char* pszOperation, const char* pszPath, u32 un32Index,
                                          const char* pszField, AttrText* pText) {
  if (mpDoc == nullptr) return VQCAF_REPORT_FAILURE(pszOperation, kNotOpenedText, VQX_RESULT_INVALID_OPERATION);
  const std::vector<void*>& Nodes = Lookup(pszPath);
  if (un32Index >= Nodes.size()) return VQX_RESULT_NOT_FOUND;
  xmlNodePtr pNode = static_cast<xmlNodePtr>(Nodes[un32Index]);
  xmlAttrPtr pAttr = xmlHasProp(pNode, reinterpret_cast<const xmlChar*>(pszField));
  if (pAttr == nullptr || pAttr->type != XML_ATTRIBUTE_NODE) return VQX_RESULT_NOT_FOUND;
  /* The usual attribute holds one text node: its text is read in place (the
   * tree is not changed while open, and the caller holds mMutex). Anything
   * else (entity references) is joined into a copy, as libxml2 does. */
  xmlNodePtr pChild = pAttr->children;
  if (pChild == nullptr) {
    pText->psz = "";
    return VQX_RESULT_OK;
  }
  if (pChild->next == nullptr && (pChild->type == XML_TEXT_NODE || pChild->type == XML_CDATA_SECTION_NODE)) {
    pText->psz = pChild->content != nullptr ? reinterpret_cast<const char*>(pChild->content) : "";
    return VQX_RESULT_OK;
  }
  xmlChar* pszCopy = xmlNodeGetContent(reinterpret_cast<xmlNodePtr>(pAttr));
  if (pszCopy == nullptr) pszCopy = xmlStrdup(reinterpret_cast<const xmlChar*>(""));
  if (pszCopy == nullptr) return VQX_RESULT_NOT_ENOUGH_MEMORY;
  pText->pOwned = pszCopy;
  pText->psz = reinterpret_cast<const char*>(pszCopy);
  return VQX_RESULT_OK;
}

CVQCAFCfgFileXml::AttrText::~AttrText() {
  if (pOwned != nullptr) xmlFree(pOwned);
}

VQX_RESULT CVQCAFCfgFileXml::Get(const char* pszPath, u32 un32Index, char* pszField, u32 un32Size, char* pszValue) {
  if (pszPath == nullptr || pszField == nullptr || pszValue == nullptr || un32Size == 0) return VQX_RESULT_NULL_PARAM;
  pszValue[0] = '\0';
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  AttrText Text;
  const VQX_RESULT r = GetAttribute("CVQCAFCfgFileXml::Get", pszPath, un32Index, pszField, &Text);
  if (VQX_RESULT_FAILED(r)) return r;
  const size_t len = strlen(Text.psz);
  if (len >= un32Size) {
    return VQCAF_REPORT_FAILURE("CVQCAFCfgFileXml::Get", kTooLongText, VQX_RESULT_BUFFER_TOO_SMALL);
  }
  memcpy(pszValue, Text.psz, len + 1);
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCAFCfgFileXml::Get(const char* pszPath, u32 un32Index, char* pszField, u8* pbyValue) {
  if (pszPath == nullptr || pszField == nullptr || pbyValue == nullptr) return VQX_RESULT_NULL_PARAM;
  *pbyValue = 0;
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  AttrText Text;
  const VQX_RESULT r = GetAttribute("CVQCAFCfgFileXml::Get", pszPath, un32Index, pszField, &Text);
  if (VQX_RESULT_FAILED(r)) return r;
  *pbyValue = VqcafCfgParseBool(Text.psz);
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCAFCfgFileXml::Get(const char* pszPath, u32 un32Index, char* pszField, u32* pun32Value) {
  if (pszPath == nullptr || pszField == nullptr || pun32Value == nullptr) return VQX_RESULT_NULL_PARAM;
  *pun32Value = 0;
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  AttrText Text;
  const VQX_RESULT r = GetAttribute("CVQCAFCfgFileXml::Get", pszPath, un32Index, pszField, &Text);
  if (VQX_RESULT_FAILED(r)) return r;
  const VQX_RESULT rNum = VqcafCfgParseU32(Text.psz, pun32Value);
  if (VQX_RESULT_FAILED(rNum)) {
    CVQCAFString strText;
    strText.Format("Value \"%.64s\" of '%s' at '%s'[%u] is not an unsigned 32-bit number", Text.psz, pszField, pszPath,
                   un32Index);
    return VQCAF_REPORT_FAILURE("CVQCAFCfgFileXml::Get", strText.c_str(), rNum);
  }
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCAFCfgFileXml::GetCount(const char* pszPath, u32* pun32Count) {
  if (pszPath == nullptr || pun32Count == nullptr) return VQX_RESULT_NULL_PARAM;
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  *pun32Count = mpDoc == nullptr ? 0 : static_cast<u32>(Lookup(pszPath).size());
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCAFCfgFileXml::GetLineNumber(const char* pszPath, u32 un32Index, char*, u32* pun32Line) {
  if (pszPath == nullptr || pun32Line == nullptr) return VQX_RESULT_NULL_PARAM;
  *pun32Line = 0;
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  if (mpDoc == nullptr)
    return VQCAF_REPORT_FAILURE("CVQCAFCfgFileXml::GetLineNumber", kNotOpenedText, VQX_RESULT_INVALID_OPERATION);
  const std::vector<void*>& Nodes = Lookup(pszPath);
  if (un32Index >= Nodes.size()) return VQX_RESULT_NOT_FOUND;
  *pun32Line = LineOf(static_cast<xmlNodePtr>(Nodes[un32Index]));
  return VQX_RESULT_OK;
}

u64 CVQCAFCfgFileXml::GetNodesVisited() {
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  return mun64Visited;
}

const char* CVQCAFCfgFileXml::GetDbName() { return mDbName.c_str(); }

u32 CVQCAFCfgFileXml::IsOpened() {
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  return mpDoc != nullptr ? 1u : 0u;
}

}  // namespace VQCAF
