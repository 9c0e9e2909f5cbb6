// Test programs of the Windows build print their results without
// OutputDebugStringA. GoogleTest's console printer hands the text of every
// failed or skipped check to OutputDebugStringA as well, for a debugger's
// window; Wine raises an exception for each such call, and where Wine runs
// through qemu-user that exception kills the test program ("stack smashing
// detected"). This printer writes what the console printer writes, forwards
// every other event to it, and takes its place before main runs. Compiled into
// each test program of the Windows build (the gtest target's interface
// sources); a second copy in one program finds the place taken and does
// nothing.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

class PrinterWithoutDebugOutput : public testing::TestEventListener {
 public:
  explicit PrinterWithoutDebugOutput(testing::TestEventListener *printer) : printer_(printer) {}
  ~PrinterWithoutDebugOutput() override { delete printer_; }
  PrinterWithoutDebugOutput(const PrinterWithoutDebugOutput &) = delete;
  PrinterWithoutDebugOutput &operator=(const PrinterWithoutDebugOutput &) = delete;

  void OnTestPartResult(const testing::TestPartResult &result) override {
    if (result.type() == testing::TestPartResult::kSuccess) return;
    const char *kind = result.type() == testing::TestPartResult::kSkip ? "Skipped\n" : "Failure\n";
    const std::string where = testing::internal::FormatFileLocation(result.file_name(), result.line_number());
    std::printf("%s %s%s\n", where.c_str(), kind, result.message());
    std::fflush(stdout);
  }

  void OnTestProgramStart(const testing::UnitTest &u) override { printer_->OnTestProgramStart(u); }
  void OnTestIterationStart(const testing::UnitTest &u, int i) override { printer_->OnTestIterationStart(u, i); }
  void OnEnvironmentsSetUpStart(const testing::UnitTest &u) override { printer_->OnEnvironmentsSetUpStart(u); }
  void OnEnvironmentsSetUpEnd(const testing::UnitTest &u) override { printer_->OnEnvironmentsSetUpEnd(u); }
  void OnTestSuiteStart(const testing::TestSuite &s) override { printer_->OnTestSuiteStart(s); }
#ifndef GTEST_REMOVE_LEGACY_TEST_CASEAPI_
  void OnTestCaseStart(const testing::TestCase &s) override { printer_->OnTestCaseStart(s); }
#endif
  void OnTestStart(const testing::TestInfo &t) override { printer_->OnTestStart(t); }
  void OnTestDisabled(const testing::TestInfo &t) override { printer_->OnTestDisabled(t); }
  void OnTestEnd(const testing::TestInfo &t) override { printer_->OnTestEnd(t); }
  void OnTestSuiteEnd(const testing::TestSuite &s) override { printer_->OnTestSuiteEnd(s); }
#ifndef GTEST_REMOVE_LEGACY_TEST_CASEAPI_
  void OnTestCaseEnd(const testing::TestCase &s) override { printer_->OnTestCaseEnd(s); }
#endif
  void OnEnvironmentsTearDownStart(const testing::UnitTest &u) override {
    printer_->OnEnvironmentsTearDownStart(u);
  }
  void OnEnvironmentsTearDownEnd(const testing::UnitTest &u) override { printer_->OnEnvironmentsTearDownEnd(u); }
  void OnTestIterationEnd(const testing::UnitTest &u, int i) override { printer_->OnTestIterationEnd(u, i); }
  void OnTestProgramEnd(const testing::UnitTest &u) override { printer_->OnTestProgramEnd(u); }

 private:
  testing::TestEventListener *printer_;
};

const bool kInstalled = [] {
  testing::TestEventListeners &listeners = testing::UnitTest::GetInstance()->listeners();
  testing::TestEventListener *printer = listeners.default_result_printer();
  if (printer == nullptr) return false;  // taken already, or none
  listeners.Release(printer);
  listeners.Append(new PrinterWithoutDebugOutput(printer));
  return true;
}();

}  // namespace
