/*
 * bench_cfg_get.cpp - one attribute of the last of 5,000 sibling elements:
 * the store's Get against libxml2's XPath on the same document and path
 * (expression compiled and evaluated per read, as a reader by path does).
 */
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>
#include <unistd.h>

#include <fstream>
#include <string>

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

}  // namespace

BENCHMARK_MAIN();
