/*
 * vqcafcfgfile.h - IVQCAFCfgFile, the path-addressed configuration store,
 * and CVQCAFCfgFileXml, its reading implementation over libxml2.
 *
 * Model. A path names elements from the document root down, by element name,
 * separated by colons: "quellan:signaling:ss7". The first segment is the root
 * element's name; an empty first segment (":params:log") stands for the root
 * whatever its name. A segment "[n]" (n decimal, 0-based) after a name keeps
 * only the elements that are the n-th of that name among their siblings
 * ("quellan:signaling:ss7:[2]:trunk"). The whole path names a list of
 * elements in document order; the index argument picks one of them (0-based)
 * and the field argument names one of its attributes.
 *
 * The store only reads: no editing, saving, DTD or catalog. Only a regular
 * file is read, opened without blocking (a fifo or a device is refused at
 * once). It is parsed without network access and without loading or
 * substituting external entities; the internal entities that attribute values
 * use may add at most 10 times the file's size (1 MiB at least) to them, the
 * document is refused otherwise; line numbers past 65535 are kept.
 *
 * Threads: every call takes the store's own mutex.
 */
#ifndef VQCAFCFGFILE_H
#define VQCAFCFGFILE_H

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "vqcafmutex.h"
#include "vqcafstring.h"
#include "vqx_result.h"
#include "vqx_types.h"

namespace VQCAF {

/* Room for a text value in the readers of the store: 255 characters and the NUL. */
constexpr u32 VQCAF_CFG_VALUE_SIZE = 256u;

class IVQCAFCfgFile {
 public:
  virtual ~IVQCAFCfgFile() = default;
  /* Opens and parses the file given at construction. 0x8200000F when already
   * open; 0x82000005 when the system refuses to open it (permissions);
   * 0x8200000E when it cannot be opened otherwise (the system's reason logged),
   * is not a regular file, is not well-formed (the parser's reason logged) or
   * its entities expand its attributes past the bound. */
  virtual VQX_RESULT Open() = 0;
  /* Drops the document; 0x02000000 also when nothing was open. */
  virtual VQX_RESULT Close() = 0;
  /*
   * Text of the attribute into pszValue (un32Size bytes, NUL included);
   * pszValue emptied first. 0x82000015 when the element or attribute is
   * absent; 0x8200001A (logged) when the text's length is not smaller than
   * un32Size: nothing is cut; 0x82000011 (logged) when no document is open;
   * 0x82000009 for a null argument.
   */
  virtual VQX_RESULT Get(const char* pszPath, u32 un32Index, char* pszField, u32 un32Size, char* pszValue) = 0;
  /* Boolean: "false", "off", "no", "0" (any case) give 0, any other text 1.
   * *pbyValue set to 0 first. Failures as the text Get, without the size one. */
  virtual VQX_RESULT Get(const char* pszPath, u32 un32Index, char* pszField, u8* pbyValue) = 0;
  /* Unsigned 32-bit number: blanks around it skipped, "0x" hexadecimal,
   * leading "0" octal, else decimal. A text that is not wholly such a number
   * ("", "abc", "3x", "-1", "08", "0x") or a value above 0xFFFFFFFF is
   * refused with 0x8200000A (logged), the value staying 0. Otherwise as the
   * boolean Get. */
  virtual VQX_RESULT Get(const char* pszPath, u32 un32Index, char* pszField, u32* pun32Value) = 0;
  /* Number of elements the path names; 0 when it resolves to none or no
   * document is open. 0x02000000 (0x82000009 for a null argument). */
  virtual VQX_RESULT GetCount(const char* pszPath, u32* pun32Count) = 0;
  /* Line in the file of the un32Index-th element of the path (pszField is not
   * used); 0 and 0x82000015 when there is none, 0x82000011 when not open. */
  virtual VQX_RESULT GetLineNumber(const char* pszPath, u32 un32Index, char* pszField, u32* pun32Line) = 0;
  /* The file name the store was made with; owned by the store. */
  virtual const char* GetDbName() = 0;
  /* Non-zero while a document is open. */
  virtual u32 IsOpened() = 0;
};

class CVQCAFCfgFileXml : public IVQCAFCfgFile {
 public:
  explicit CVQCAFCfgFileXml(const char* pszFileName);
  ~CVQCAFCfgFileXml() override;
  CVQCAFCfgFileXml(const CVQCAFCfgFileXml&) = delete;
  CVQCAFCfgFileXml& operator=(const CVQCAFCfgFileXml&) = delete;

  VQX_RESULT Open() override;
  VQX_RESULT Close() override;
  VQX_RESULT Get(const char* pszPath, u32 un32Index, char* pszField, u32 un32Size, char* pszValue) override;
  VQX_RESULT Get(const char* pszPath, u32 un32Index, char* pszField, u8* pbyValue) override;
  VQX_RESULT Get(const char* pszPath, u32 un32Index, char* pszField, u32* pun32Value) override;
  VQX_RESULT GetCount(const char* pszPath, u32* pun32Count) override;
  VQX_RESULT GetLineNumber(const char* pszPath, u32 un32Index, char* pszField, u32* pun32Line) override;
  const char* GetDbName() override;
  u32 IsOpened() override;
  /* Before Open: fnGiveUp is asked at every element the parser reads; once
   * it answers true Open stops and fails with 0x8200000F ("Reading 'FILE'
   * given up"), keeping nothing (a caller that ends gives up a long read). */
  void SetGiveUp(std::function<bool()> fnGiveUp) { mfnGiveUp = std::move(fnGiveUp); }
  /* The elements the path resolution has looked at since this store was
   * made: a measure of its work, which tests and benchmarks compare between
   * documents of different sizes. */
  u64 GetNodesVisited();

 private:
  /* An attribute's text: a view into the tree, or a libxml2 copy it frees. */
  struct AttrText {
    const char* psz = "";
    unsigned char* pOwned = nullptr;
    AttrText() = default;
    AttrText(const AttrText&) = delete;
    AttrText& operator=(const AttrText&) = delete;
    ~AttrText();
  };
  /* The attribute's text (valid while mMutex is held) or a code. Under mMutex. */
  VQX_RESULT GetAttribute(const char* pszOperation, const char* pszPath, u32 un32Index, const char* pszField,
                          AttrText* pText);

  /* The elements of a path (xmlNode*), from a small cache of the latest
   * paths: the document never changes while open, and readers walk one path
   * index by index. Under mMutex. */
  const std::vector<void*>& Lookup(const char* pszPath);
  /* How a list's elements rank among their same-named siblings, which is
   * what a "[n]" segment after it asks. */
  enum class Ranks : u8 {
    kNone, /* the root: a "[n]" after it names nothing */
    kRuns, /* made by a name: each parent's children in a run, ranked by their offset in it */
    kOne,  /* made by "[n]": every element is the n-th (un32Rank) */
  };
  struct PathNodes {
    std::string strPath;
    size_t nHash = 0; /* of strPath, compared first */
    std::vector<void*> aNodes;
    Ranks eRanks = Ranks::kNone;
    u32 un32Rank = 0;
    std::vector<u32> aRunStarts; /* kRuns: where each parent's run begins in aNodes */
    u64 un64Used = 0;            /* when last asked, for the choice of the entry to reuse */
  };
  /* The cached entry of a path, or null. Under mMutex. */
  PathNodes* Cached(std::string_view svPath, size_t nHash);
  /* An entry to fill (a new one, else the least recently used other than pKeep). Under mMutex. */
  PathNodes& FreeEntry(const PathNodes* pKeep);
  /* Room for a section's element paths and the trunk paths under them, which
   * a reader counts in one pass and reads in the next. A path is resolved
   * from its longest cached prefix, and the list a "[n]" indexes is kept:
   * reading every element of a list by "[n]" costs its length once. */
  static constexpr u32 kCacheSize = 32;
  std::vector<PathNodes> maCache;
  u64 mun64Clock = 0;
  u32 mun32LastHit = 0;
  u64 mun64Visited = 0;

  CVQCAFMutex mMutex;
  std::function<bool()> mfnGiveUp;
  CVQCAFString mDbName;
  void* mpDoc; /* xmlDoc*, kept opaque so that users need no libxml2 header */
};

/* The number rule of the numeric Get, for its callers' own texts: 0x02000000
 * with *pun32Value, or 0x8200000A (*pun32Value 0) when the text is not such a
 * number or passes 32 bits. */
VQX_RESULT VqcafCfgParseU32(const char* pszText, u32* pun32Value);
/* The boolean rule of the boolean Get. */
u8 VqcafCfgParseBool(const char* pszText);

}  // namespace VQCAF

#endif
