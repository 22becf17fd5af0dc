/*
 * bench_cfg_get.cpp - one attribute of the last of 5,000 sibling elements:
 * the store's Get against libxml2's XPath on the same document and path
 * (expression compiled and evaluated per read, as a reader by path does).
 * The first pair repeats one path (the store's path cache answers); the
 * paired one reads a path not read before in every call, "ss7:[n]" against
 * ss7[n+1], n walking the 5,000 elements, so that the store resolves it.
 */
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <vector>

#include "bench_ratio.h"
#include "vqcafcfgfile.h"

namespace {

constexpr int kElements = 5000;

const std::string& File() {
  static const std::string s = [] {
    const std::string strPath = "/tmp/bench_cfg_get_" + std::to_string(getpid()) + ".xml";
    std::ofstream Out(strPath);
    Out << "<quellan><signaling>\n";
    for (int i = 0; i < kElements; i++) Out << "<ss7 adapter='tb" << i << "' capfile='1'/>\n";
    Out << "</signaling></quellan>\n";
    return strPath;
  }();
  return s;
}

void BM_StoreGet(benchmark::State& State) {
  VQCAF::CVQCAFCfgFileXml Store(File().c_str());
  Store.Open();
  char sz[VQCAF::VQCAF_CFG_VALUE_SIZE];
  for (auto _ : State) {
    Store.Get("quellan:signaling:ss7", kElements - 1, const_cast<char*>("adapter"), sizeof(sz), sz);
    benchmark::DoNotOptimize(sz);
  }
}
BENCHMARK(BM_StoreGet);

void BM_LibXml2XPath(benchmark::State& State) {
  xmlDocPtr pDoc = xmlReadFile(File().c_str(), nullptr, XML_PARSE_NONET);
  xmlXPathContextPtr pCtx = xmlXPathNewContext(pDoc);
  const std::string strXPath = "/quellan/signaling/ss7[" + std::to_string(kElements) + "]/@adapter";
  for (auto _ : State) {
    xmlXPathObjectPtr pObj = xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(strXPath.c_str()), pCtx);
    xmlChar* psz = xmlXPathCastToString(pObj);
    benchmark::DoNotOptimize(psz);
    xmlFree(psz);
    xmlXPathFreeObject(pObj);
  }
  xmlXPathFreeContext(pCtx);
  xmlFreeDoc(pDoc);
}
BENCHMARK(BM_LibXml2XPath);

/* First read of each path: candidate the store, baseline XPath. */
void BM_FirstReadPaired(benchmark::State& State) {
  VQCAF::CVQCAFCfgFileXml Store(File().c_str());
  Store.Open();
  xmlDocPtr pDoc = xmlReadFile(File().c_str(), nullptr, XML_PARSE_NONET);
  xmlXPathContextPtr pCtx = xmlXPathNewContext(pDoc);
  std::vector<std::string> aStorePaths, aXPaths;
  for (int i = 0; i < kElements; i++) {
    aStorePaths.push_back("quellan:signaling:ss7:[" + std::to_string(i) + "]");
    aXPaths.push_back("/quellan/signaling/ss7[" + std::to_string(i + 1) + "]/@adapter");
  }
  constexpr int kBatch = 50;
  int nBase = 0; /* first path of the batch; moves on every batch so no path repeats soon */
  char sz[VQCAF::VQCAF_CFG_VALUE_SIZE];
  bool fOk = true;
  VqxBenchPaired(
      State, kBatch,
      [&](int i) {
        const std::string& strPath = aStorePaths[(nBase + i) % kElements];
        fOk &= Store.Get(strPath.c_str(), 0, const_cast<char*>("adapter"), sizeof(sz), sz) == VQX_RESULT_OK;
        benchmark::DoNotOptimize(sz);
      },
      [&](int i) {
        const std::string& strXPath = aXPaths[(nBase + i) % kElements];
        xmlXPathObjectPtr pObj = xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(strXPath.c_str()), pCtx);
        xmlChar* psz = xmlXPathCastToString(pObj);
        benchmark::DoNotOptimize(psz);
        xmlFree(psz);
        xmlXPathFreeObject(pObj);
      },
      [&] { nBase = (nBase + kBatch) % kElements; });
  if (!fOk) State.SkipWithError("a path was not found");
  xmlXPathFreeContext(pCtx);
  xmlFreeDoc(pDoc);
}
BENCHMARK(BM_FirstReadPaired);

}  // namespace

int main(int argc, char** argv) {
  return VqxBenchRunWithRatios(argc, argv, {{"BM_LibXml2XPath", "BM_StoreGet", 1.0}}, {},
                               {{"BM_FirstReadPaired", 1.0}});
}
