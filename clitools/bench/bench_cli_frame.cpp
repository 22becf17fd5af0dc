/*
 * bench_cli_frame.cpp - a 200x60 console frame built (lines cut at the
 * width, escapes of no width) and written into a pseudo-terminal, against
 * writing the page's bytes raw. A reader thread drains the terminal.
 */
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "vqx_clitools_cli.h"

namespace {

struct Pty {
  int fdMaster = -1, fdSlave = -1;
  std::atomic<bool> fStop{false};
  std::thread Reader;
  Pty() {
    fdMaster = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(fdMaster);
    unlockpt(fdMaster);
    fdSlave = open(ptsname(fdMaster), O_RDWR | O_NOCTTY);
    struct termios T;
    tcgetattr(fdSlave, &T);
    cfmakeraw(&T);
    tcsetattr(fdSlave, TCSANOW, &T);
    Reader = std::thread([this] {
      char buf[65536];
      while (read(fdMaster, buf, sizeof(buf)) > 0 && !fStop) {
      }
    });
  }
  ~Pty() {
    fStop = true;
    close(fdSlave);  // the reader sees end of input
    Reader.join();
    close(fdMaster);
  }
  void Write(const char* p, size_t n) {
    while (n > 0) {
      const ssize_t w = write(fdSlave, p, n);
      if (w <= 0) return;
      p += w;
      n -= static_cast<size_t>(w);
    }
  }
};

/* 60 lines of 230 characters with colour escapes: every line is cut. */
std::string Page() {
  std::string s;
  for (int i = 0; i < 60; i++) {
    s += "\033[32m" + std::to_string(i) + "\033[m ";
    s += std::string(220, static_cast<char>('a' + i % 26)) + "\n";
  }
  return s;
}

void BM_FrameIntoPty(benchmark::State& State) {
  Pty T;
  const std::string strPage = Page();
  std::string strOut(64 * 1024, '\0');
  for (auto _ : State) {
    const u32 n = VqxCliToolsBuildFrame(strPage.c_str(), 200, 60, strOut.data(), static_cast<u32>(strOut.size()));
    T.Write(strOut.data(), n);
  }
}
BENCHMARK(BM_FrameIntoPty);

void BM_RawIntoPty(benchmark::State& State) {
  Pty T;
  const std::string strPage = Page();
  for (auto _ : State) T.Write(strPage.data(), strPage.size());
}
BENCHMARK(BM_RawIntoPty);

}  // namespace

BENCHMARK_MAIN();
