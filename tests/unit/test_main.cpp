// Every test process gets a machine of its own: a fresh stand-in root that
// its child processes share and that is removed at the end. The children's
// sanitizers report into that machine; after each test the program's
// processes on it (services the stand-in SCM started) are waited for and any
// report a child wrote fails the run.
#include "support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ftw.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

static int removeEntry(const char *path, const struct stat *, int, struct FTW *) {
  return remove(path);
}

namespace {
class ChildWatch : public testing::EmptyTestEventListener {
public:
  explicit ChildWatch(std::string root) : root_(std::move(root)) {}
  bool failed = false;

private:
  void OnTestEnd(const testing::TestInfo &test) override {
    if (!waitForProgramProcesses(root_, 60000)) {
      failed = true;
      fprintf(stderr, "%s.%s: a process of the program still runs a minute after the test\n",
              test.test_suite_name(), test.name());
    }
    std::string reports = takeChildSanitizerReports(root_);
    if (!reports.empty()) {
      failed = true;
      fprintf(stderr, "%s.%s: a child process's sanitizer reported:\n%s\n",
              test.test_suite_name(), test.name(), reports.c_str());
    }
  }
  std::string root_;
};
} // namespace

int main(int argc, char **argv) {
  const char *tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/velkor-machine-XXXXXX";
  char *root = mkdtemp(&pattern[0]);
  if (!root)
    return 2;
  setenv("VELKOR_STANDIN_ROOT", root, 1);
  routeChildSanitizerReports(root);
  testing::InitGoogleTest(&argc, argv);
  ChildWatch *watch = new ChildWatch(root);
  testing::UnitTest::GetInstance()->listeners().Append(watch); // owned by gtest
  int result = RUN_ALL_TESTS();
  if (watch->failed)
    result = 1;
  nftw(root, removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  return result;
}
