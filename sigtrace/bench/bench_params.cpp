/*
 * bench_params.cpp - the ":signaling" reader's GetParams over a section of
 * 2,000 trunks against its baseline in the same run: a plain libxml2 walk
 * of the same parsed document reading the same attributes (adapter, grpname,
 * capfile or extended, and each trunk's idx, timeslot and mask). Both start
 * from a document already parsed (the application opens the store once per
 * load). The XML is generated into a scratch file under /tmp, removed
 * afterwards. Target: GetParams at most 3x the walk.
 */
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "sigtrace_params_dao_xml.h"

using namespace VQCAF;

namespace {

constexpr unsigned kTrunks = 2000;
constexpr unsigned kTrunksPerElement = 100;

/* The sections with trunks, their element-level attributes after "adapter"
 * and "grpname", and whether the trunk carries timeslot and mask. */
struct SSection {
  const char* pszName;
  const char* pszFlag;  /* capfile or extended */
  bool fTimeslots;
};
constexpr SSection kSections[] = {
    {"ss7", "capfile", true}, {"isdn", nullptr, true}, {"casr2", "extended", false}, {"lapd", "capfile", true}};

/* 20 elements of 100 trunks, spread over the four sections; half of the
 * elements with an empty grpname (generated names). */
std::string Document() {
  std::string s = "<?xml version=\"1.0\"?>\n<quellan>\n<signaling>\n";
  unsigned un32Element = 0;
  for (const SSection& S : kSections) {
    for (unsigned e = 0; e < kTrunks / kTrunksPerElement / 4; e++, un32Element++) {
      s += "<" + std::string(S.pszName) + " adapter=\"board" + std::to_string(un32Element % 4) + "\" grpname=\"" +
           (un32Element % 2 == 0 ? "" : "grp" + std::to_string(un32Element)) + "\"";
      if (S.pszFlag != nullptr) s += " " + std::string(S.pszFlag) + "=\"yes\"";
      s += ">\n";
      for (unsigned t = 0; t < kTrunksPerElement; t++) {
        s += "  <trunk idx=\"" + std::to_string(t) + "\"";
        if (S.fTimeslots) s += " timeslot=\"" + std::to_string(t % 32) + "\" mask=\"0x" + std::to_string(t % 10) + "F\"";
        s += "/>\n";
      }
      s += "</" + std::string(S.pszName) + ">\n";
    }
  }
  return s + "</signaling>\n</quellan>\n";
}

class CScratchFile {
 public:
  CScratchFile() {
    char ac[] = "/tmp/sigtrace_bench_params_XXXXXX";
    const int fd = mkstemp(ac);
    if (fd < 0) abort();
    close(fd);
    mstr = ac;
    std::ofstream(mstr) << Document();
  }
  ~CScratchFile() { unlink(mstr.c_str()); }
  const char* Path() const { return mstr.c_str(); }

 private:
  std::string mstr;
};

void BM_GetParams2000Trunks(benchmark::State& state) {
  CScratchFile File;
  CVQCAFPtr<IVQCAFCfgFile> pStore(new CVQCAFCfgFileXml(File.Path()));
  if (VQX_RESULT_FAILED(pStore->Open())) {
    state.SkipWithError("store not opened");
    return;
  }
  CVQSigTraceParamsDaoXml Dao(pStore, "quellan");
  size_t nRecords = 0;
  for (auto _ : state) {
    CVQSigTraceParams Params;
    if (Dao.GetParams(Params) != VQX_RESULT_OK) state.SkipWithError("GetParams failed");
    nRecords = Params.Count();
    benchmark::DoNotOptimize(nRecords);
  }
  if (nRecords != kTrunks) state.SkipWithError("not every trunk read");
  state.counters["records"] = static_cast<double>(nRecords);
}
BENCHMARK(BM_GetParams2000Trunks)->Unit(benchmark::kMicrosecond);

/* The baseline: every attribute the reader reads, as text (xmlGetProp) and,
 * for the numbers, converted. */
unsigned long Number(xmlNode* p, const char* pszAttr, unsigned* pun32Sum) {
  xmlChar* psz = xmlGetProp(p, reinterpret_cast<const xmlChar*>(pszAttr));
  if (psz == nullptr) return 0;
  const unsigned long ul = strtoul(reinterpret_cast<const char*>(psz), nullptr, 0);
  *pun32Sum += static_cast<unsigned>(ul);
  xmlFree(psz);
  return ul;
}
void Text(xmlNode* p, const char* pszAttr, unsigned* pun32Sum) {
  xmlChar* psz = xmlGetProp(p, reinterpret_cast<const xmlChar*>(pszAttr));
  if (psz == nullptr) return;
  *pun32Sum += static_cast<unsigned>(strlen(reinterpret_cast<const char*>(psz)));
  xmlFree(psz);
}

void BM_LibXml2Walk2000Trunks(benchmark::State& state) {
  CScratchFile File;
  xmlDoc* pDoc = xmlReadFile(File.Path(), nullptr, 0);
  if (pDoc == nullptr) {
    state.SkipWithError("document not parsed");
    return;
  }
  unsigned un32Trunks = 0;
  for (auto _ : state) {
    unsigned un32Sum = 0;
    un32Trunks = 0;
    xmlNode* pRoot = xmlDocGetRootElement(pDoc);
    for (xmlNode* pSig = pRoot->children; pSig != nullptr; pSig = pSig->next) {
      if (pSig->type != XML_ELEMENT_NODE || strcmp(reinterpret_cast<const char*>(pSig->name), "signaling") != 0) continue;
      for (xmlNode* pEl = pSig->children; pEl != nullptr; pEl = pEl->next) {
        if (pEl->type != XML_ELEMENT_NODE) continue;
        Text(pEl, "adapter", &un32Sum);
        Text(pEl, "grpname", &un32Sum);
        Text(pEl, "capfile", &un32Sum);
        Text(pEl, "extended", &un32Sum);
        for (xmlNode* pT = pEl->children; pT != nullptr; pT = pT->next) {
          if (pT->type != XML_ELEMENT_NODE) continue;
          Number(pT, "idx", &un32Sum);
          Number(pT, "timeslot", &un32Sum);
          Number(pT, "mask", &un32Sum);
          un32Trunks++;
        }
      }
    }
    benchmark::DoNotOptimize(un32Sum);
  }
  xmlFreeDoc(pDoc);
  if (un32Trunks != kTrunks) state.SkipWithError("not every trunk walked");
}
BENCHMARK(BM_LibXml2Walk2000Trunks)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
