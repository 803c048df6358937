// The command line, the log line and the dispatch of the updater.
#include "updater_options.h"

#include <gtest/gtest.h>

#include "common/wide_text.h"
#include "updater_main.h"
#include "updater_test_support.h"

namespace tallowmarch::updater {
namespace {

std::vector<std::wstring> Args(std::initializer_list<const wchar_t*> args) {
  std::vector<std::wstring> out{L"tallowmarch_updater"};
  for (const wchar_t* arg : args) out.emplace_back(arg);
  return out;
}

bool Parse(const std::vector<std::wstring>& argv, UpdaterOptions& options) {
  return ParseArgs(static_cast<int>(argv.size()), argv, options);
}

TEST(ParseArgs, DefaultsAndEveryOption) {
  UpdaterOptions options;
  ASSERT_TRUE(Parse(Args({}), options));
  EXPECT_EQ(options.mutexName, L"Global\\Tallowmarch_SingleInstance_Mutex");
  EXPECT_FALSE(options.hasWaitPid);

  ASSERT_TRUE(Parse(Args({L"--zip",
                          L"u.zip",
                          L"--sig",
                          L"u.sig",
                          L"--expected-sha256",
                          L"AB",
                          L"--target",
                          L"/t",
                          L"--relaunch",
                          L"Tallowmarch.exe",
                          L"--ready-event",
                          L"R",
                          L"--mutex-name",
                          L"M",
                          L"--log",
                          L"l.txt",
                          L"--wait-pid",
                          L"42",
                          L"--selftest",
                          L"--reconcile"}),
                    options));
  EXPECT_EQ(options.zipPath, L"u.zip");
  EXPECT_EQ(options.sigPath, L"u.sig");
  EXPECT_EQ(options.expectedSha256, L"AB");
  EXPECT_EQ(options.targetDir, L"/t");
  EXPECT_EQ(options.relaunchExe, L"Tallowmarch.exe");
  EXPECT_EQ(options.readyEventName, L"R");
  EXPECT_EQ(options.mutexName, L"M");
  EXPECT_EQ(options.logPath, L"l.txt");
  EXPECT_EQ(options.waitPid, 42);
  EXPECT_TRUE(options.hasWaitPid);
  EXPECT_TRUE(options.selfTest);
  EXPECT_TRUE(options.reconcile);
}

TEST(ParseArgs, ValuesAreTakenWhateverTheyLookLike) {
  UpdaterOptions options;
  ASSERT_TRUE(Parse(Args({L"--zip", L"--sig", L"--target"}), options));
  EXPECT_EQ(options.zipPath, L"--sig");  // consumed as the value
  EXPECT_EQ(options.targetDir, L"");     // last argument: empty value
  EXPECT_EQ(options.sigPath, L"");
}

TEST(ParseArgs, RepeatsOverwriteAndAZeroPidClearsTheWait) {
  UpdaterOptions options;
  ASSERT_TRUE(Parse(
      Args({L"--zip", L"a", L"--zip", L"b", L"--wait-pid", L"7", L"--wait-pid", L"x12"}), options));
  EXPECT_EQ(options.zipPath, L"b");
  EXPECT_EQ(options.waitPid, 0);
  EXPECT_FALSE(options.hasWaitPid);
}

TEST(ParseArgs, UnknownArgumentsStopParsing) {
  for (const wchar_t* bad : {L"--ZIP", L"--zip=x", L"--zi", L"-zip", L"zip", L""}) {
    UpdaterOptions options;
    EXPECT_FALSE(Parse(Args({L"--target", L"/t", bad, L"--zip", L"late"}), options)) << Narrow(bad);
    EXPECT_EQ(options.targetDir, L"/t");
    EXPECT_EQ(options.zipPath, L"");
  }
}

TEST(WToI, ReadsTheLeadingNumberLikeTheCRuntime) {
  EXPECT_EQ(WToI(L"1234"), 1234);
  EXPECT_EQ(WToI(L"  56abc"), 56);
  EXPECT_EQ(WToI(L"+9"), 9);
  EXPECT_EQ(WToI(L"-9"), -9);
  EXPECT_EQ(WToI(L"abc"), 0);
  EXPECT_EQ(WToI(L""), 0);
  EXPECT_EQ(WToI(L"99999999999"), 2147483647);
  EXPECT_EQ(WToI(L"-99999999999"), -2147483647 - 1);
}

TEST(LogLine, FormatsTheDocumentedLine) {
  EXPECT_EQ(FormatLogLine(L"reconcile: done", 2024, 3, 5, 7, 8, 9),
            L"2024-03-05 07:08:09 updater: reconcile: done\r\n");
}

// "YYYY-MM-DD hh:mm:ss " with digits where the letters are.
bool IsTimeStamp(const std::string& text) {
  const std::string shape = "dddd-dd-dd dd:dd:dd ";
  if (text.size() != shape.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(text[i]))
                        : text[i] != shape[i]) {
      return false;
    }
  }
  return true;
}

class LogFileTest : public ::testing::Test {
 protected:
  void TearDown() override { CloseLogFile(); }
  test::TempDir dir_;
};

TEST_F(LogFileTest, AppendsUtf8LinesAndCutsLongMessages) {
  const auto path = dir_ / "log.txt";
  test::WriteFile(path, "earlier\n");
  OpenLogFile(Widen(path.string()));
  LogLine(L"value %d and %lu: %ls", -3, 7ul, L"\u00e9t\u00e9 \U0001F600");
  const std::wstring longText(5000, L'x');
  LogLine(L"%ls", longText.c_str());
  CloseLogFile();

  const std::string content = test::ReadFile(path);
  ASSERT_EQ(content.rfind("earlier\n", 0), 0u);
  const std::string first = "updater: value -3 and 7: \xc3\xa9t\xc3\xa9 \xf0\x9f\x98\x80\r\n";
  const std::string second = "updater: " + std::string(2047, 'x') + "\r\n";
  const size_t stamp = 20;  // "YYYY-MM-DD hh:mm:ss "
  ASSERT_EQ(content.size(), 8 + stamp + first.size() + stamp + second.size());
  EXPECT_TRUE(IsTimeStamp(content.substr(8, stamp)));
  EXPECT_EQ(content.substr(8 + stamp, first.size()), first);
  EXPECT_TRUE(IsTimeStamp(content.substr(8 + stamp + first.size(), stamp)));
  EXPECT_EQ(content.substr(8 + 2 * stamp + first.size()), second);
}

TEST_F(LogFileTest, UnopenableLogChangesNothing) {
  // A folder cannot be opened as the log: lines go to standard error only, the exit code stays.
  EXPECT_EQ(UpdaterMain(Args({L"--log", Widen(dir_.path().string()).c_str()})), 2);
  EXPECT_EQ(UpdaterMain(Args({L"--reconcile", L"--target"})), 2);
}

TEST_F(LogFileTest, DispatchWritesUsageButNotUnknownArgumentsToTheLog) {
  const auto path = dir_ / "log.txt";
  const std::wstring log = Widen(path.string());
  EXPECT_EQ(UpdaterMain(Args({L"--log", log.c_str()})), 2);
  EXPECT_NE(test::ReadFile(path).find("updater: usage: tallowmarch_updater --zip PATH --sig PATH "
                                      "--expected-sha256 HEX --target DIR [--wait-pid N] "
                                      "[--relaunch Tallowmarch.exe] [--ready-event NAME] "
                                      "[--mutex-name NAME] [--log PATH]\r\n"),
            std::string::npos);
  std::filesystem::remove(path);
  EXPECT_EQ(UpdaterMain(Args({L"--log", log.c_str(), L"--zip=x"})), 2);
  EXPECT_FALSE(std::filesystem::exists(path));
  // Apply options without a target: the usage line again.
  EXPECT_EQ(UpdaterMain(Args({L"--log", log.c_str(), L"--zip", L"z", L"--sig", L"s",
                              L"--expected-sha256", L"h", L"--target"})),
            2);
  EXPECT_NE(test::ReadFile(path).find("usage:"), std::string::npos);
}

}  // namespace
}  // namespace tallowmarch::updater
