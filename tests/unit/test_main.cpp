// Every test process gets a machine of its own: a fresh stand-in root that
// its child processes share and that is removed at the end.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ftw.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

static int removeEntry(const char *path, const struct stat *, int, struct FTW *) {
  return remove(path);
}

int main(int argc, char **argv) {
  const char *tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/velkor-machine-XXXXXX";
  char *root = mkdtemp(&pattern[0]);
  if (!root)
    return 2;
  setenv("VELKOR_STANDIN_ROOT", root, 1);
  testing::InitGoogleTest(&argc, argv);
  int result = RUN_ALL_TESTS();
  nftw(root, removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  return result;
}
