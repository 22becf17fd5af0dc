/*
 * test_sdp_parse_mt.cpp - parses and generations running at once on four
 * threads (tracing off, the only shared state) give what one thread gives:
 * run under ThreadSanitizer by the tsan preset.
 */
#include <thread>

#include "support/sdp_test.h"

namespace {

TEST(SdpParseMt, ParallelParsesAgreeWithOneThread) {
  const std::vector<SdpFile> corpus = SdpCorpus();
  std::vector<std::string> expected;
  for (const SdpFile& f : corpus) {
    const VqxRecord r = ParseSdp(f.text);
    expected.push_back(DumpSdp(*r) + GenerateSdp(*r));
  }
  std::vector<std::vector<std::string>> got(4, std::vector<std::string>(corpus.size()));
  std::vector<std::thread> threads;
  for (size_t t = 0; t < got.size(); ++t)
    threads.emplace_back([&, t] {
      for (int round = 0; round < 5; ++round)
        for (size_t i = 0; i < corpus.size(); ++i) {
          const size_t k = (i + t) % corpus.size(); /* each thread in its own order */
          const VqxRecord r = ParseSdp(corpus[k].text);
          got[t][k] = DumpSdp(*r) + GenerateSdp(*r);
        }
    });
  for (std::thread& th : threads) th.join();
  for (size_t t = 0; t < got.size(); ++t) EXPECT_EQ(got[t], expected) << "thread " << t;
}

}  // namespace
