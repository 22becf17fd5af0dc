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
#include "vqcafexception.h"

namespace VQCAF {

namespace {

using NodeList = std::vector<xmlNodePtr>;

constexpr const char* kNotOpenedText = "Database must be opened first.";
constexpr const char* kTooLongText = "The length of the field is bigger than in_un32FieldValueMaximumLength";

bool IsNamed(xmlNodePtr p, std::string_view svName) {
  if (p->type != XML_ELEMENT_NODE) return false;
  const char* pszName = reinterpret_cast<const char*>(p->name);
  return svName == pszName;
}

/* 0-based rank of p among its parent's element children of the same name. */
u32 SiblingRank(xmlNodePtr p) {
  u32 un32Rank = 0;
  for (xmlNodePtr q = p->prev; q != nullptr; q = q->prev) {
    if (q->type == XML_ELEMENT_NODE && xmlStrEqual(q->name, p->name)) un32Rank++;
  }
  return un32Rank;
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

/*
 * Visits the elements a path names, in document order, until f returns true.
 * Only the sets above the last segment are collected; the last is streamed,
 * so that picking one of many siblings builds no list.
 */
template <class F>
void ForEachNode(xmlDocPtr pDoc, const char* pszPath, F f) {
  xmlNodePtr pRoot = xmlDocGetRootElement(pDoc);
  if (pRoot == nullptr) return;
  std::vector<std::string> aSegs;
  for (std::string_view sv(pszPath);;) {
    const size_t colon = sv.find(':');
    aSegs.emplace_back(sv.substr(0, colon));
    if (colon == std::string_view::npos) break;
    sv.remove_prefix(colon + 1);
  }
  if (!aSegs[0].empty() && !IsNamed(pRoot, aSegs[0])) return;
  NodeList Nodes{pRoot};
  if (aSegs.size() == 1) {
    f(pRoot);
    return;
  }
  for (size_t i = 1; i < aSegs.size() && !Nodes.empty(); i++) {
    const std::string& strSeg = aSegs[i];
    u32 un32Nth = 0;
    const bool fSelector = ParseSelector(strSeg, &un32Nth);
    NodeList Next;
    /* A name followed by "[n]" keeps at most one child per parent: the walk
     * counts the named children and stops at the n-th, instead of listing
     * every one and ranking each among its siblings. */
    u32 un32Pick = 0;
    if (!fSelector && i + 1 < aSegs.size() && ParseSelector(aSegs[i + 1], &un32Pick)) {
      const bool fLastPair = i + 2 == aSegs.size();
      for (xmlNodePtr p : Nodes) {
        if (strSeg.empty()) break;
        u32 un32Seen = 0;
        for (xmlNodePtr c = p->children; c != nullptr; c = c->next) {
          if (c->type != XML_ELEMENT_NODE || strcmp(reinterpret_cast<const char*>(c->name), strSeg.c_str()) != 0)
            continue;
          if (un32Seen++ != un32Pick) continue;
          if (!fLastPair) Next.push_back(c);
          else if (f(c)) return;
          break;
        }
      }
      Nodes.swap(Next);
      i++;
      continue;
    }
    const bool fLast = i + 1 == aSegs.size();
    for (xmlNodePtr p : Nodes) {
      if (fSelector) {
        if (p == pRoot || SiblingRank(p) != un32Nth) continue;
        if (!fLast) Next.push_back(p);
        else if (f(p)) return;
        continue;
      }
      if (strSeg.empty()) continue;
      for (xmlNodePtr c = p->children; c != nullptr; c = c->next) {
        if (c->type != XML_ELEMENT_NODE || strcmp(reinterpret_cast<const char*>(c->name), strSeg.c_str()) != 0) continue;
        if (!fLast) Next.push_back(c);
        else if (f(c)) return;
      }
    }
    Nodes.swap(Next);
  }
}

/* Every element a path names, in document order. */
NodeList CollectNodes(xmlDocPtr pDoc, const char* pszPath) {
  NodeList Nodes;
  ForEachNode(pDoc, pszPath, [&](xmlNodePtr p) {
    Nodes.push_back(p);
    return false;
  });
  return Nodes;
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
    strText.Format("Reading '%s' given up", mDbName.c_str());
    return VQCAF_REPORT_FAILURE(kOp, strText.c_str(), VQX_RESULT_INVALID_STATE);
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

const std::vector<void*>& CVQCAFCfgFileXml::Lookup(const char* pszPath) {
  /* Readers ask for one path value after value: the entry of the last hit is
   * tried first, so that a repeated path costs one comparison. */
  if (mun32LastHit < maCache.size() && maCache[mun32LastHit].strPath == pszPath) return maCache[mun32LastHit].aNodes;
  const std::string_view svPath(pszPath);
  const size_t nHash = std::hash<std::string_view>{}(svPath);
  for (u32 i = 0; i < maCache.size(); i++) {
    if (maCache[i].nHash == nHash && maCache[i].strPath == svPath) {
      mun32LastHit = i;
      return maCache[i].aNodes;
    }
  }
  u32 un32Slot = static_cast<u32>(maCache.size());
  if (un32Slot < kCacheSize) maCache.emplace_back();
  else un32Slot = mun32NextSlot++ % kCacheSize;
  PathNodes& e = maCache[un32Slot];
  e.strPath = svPath;
  e.nHash = nHash;
  const NodeList Nodes = CollectNodes(static_cast<xmlDocPtr>(mpDoc), pszPath);
  e.aNodes.assign(Nodes.begin(), Nodes.end());
  mun32LastHit = un32Slot;
  return e.aNodes;
}

VQX_RESULT CVQCAFCfgFileXml::Close() {
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  maCache.clear();
  mun32NextSlot = 0;
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

const char* CVQCAFCfgFileXml::GetDbName() { return mDbName.c_str(); }

u32 CVQCAFCfgFileXml::IsOpened() {
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  return mpDoc != nullptr ? 1u : 0u;
}

}  // namespace VQCAF
