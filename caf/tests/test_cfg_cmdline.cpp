// The framework command line: each option, its failure texts and codes, the
// first and last help lines, "-db" last and unknown words, as the rows of
// data/cfg_cmdline_rows.txt.
#include <iterator>

#include "support/vqcaf_test_support.h"
#include "vqcafcfgcmdline.h"

namespace {

TEST(CfgCmdLine, RowsSetFieldsAndLogTexts) {
  ExpectRows("cfg_cmdline_rows.txt", 15, [](std::vector<std::string>& a) {
    CDiagCapture Diag;
    CCaptureListener Listener;
    AddLogTraceListener(&Listener);
    std::istringstream In(a[0]);
    std::vector<std::string> aArgs{std::istream_iterator<std::string>(In), {}};
    std::vector<char*> argv;
    for (std::string& s : aArgs) argv.push_back(s.data());
    CVQCAFCfgCmdLine C;
    a[1] = Hex(C.ParseCmdLineArgs(static_cast<int>(argv.size()), argv.data()));
    RemoveLogTraceListener(&Listener);
    std::string strLog, strAdapters;
    for (const std::string& s : Diag.Texts()) strLog += s;
    for (const std::string& s : Listener.Texts()) strLog += s;
    for (const CVQCAFString& s : C.mAdapterList) strAdapters += std::string(s.c_str()) + ",";
    a = {a[0],
         a[1],
         strLog.find(a[2]) != std::string::npos ? a[2] : strLog,
         C.mAppName.c_str(),
         std::to_string(C.mun32DaemonMode),
         std::to_string(C.mun32DbMode),
         C.mCfgFile.c_str(),
         C.mCfgPath.c_str(),
         std::to_string(C.mun32GwPort),
         C.mGwAddr0.c_str(),
         C.mGwAddr1.c_str(),
         std::to_string(C.mun32Port),
         C.mAdapterName.c_str(),
         C.mPid.c_str(),
         strAdapters};
  });
}

}  // namespace
