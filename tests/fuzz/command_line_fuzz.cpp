// Fuzz target: main's argument handling. Each input is split at NUL bytes
// into the arguments after the program name (at most 16), and runCommand
// runs them as the program installed in a scratch installation, on the
// stand-in machine of the fuzz run. That machine's service database and
// registry are emptied after every input, so one input's service never
// changes what the next one sees.
//
// After every run: no process-wide path is left set, no stand-in handle is
// open, the exit code is one main can return, and the debug log (in the
// installation's logs directory) holds the run's closing line.
#include "cli/commands.h"
#include "diag/event_log.h"
#include "instance/instance_paths.h"
#include "platform/posix/standin.h"
#include "platform/posix/standin_scm_store.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ftw.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
void check(bool condition) {
  if (!condition)
    abort();
}

std::string installRoot; // POSIX
std::string programWin;  // <install>\lib\velkor_service.exe, Windows form

int removeEntry(const char *path, const struct stat *, int, struct FTW *) { return remove(path); }

void setUp() {
  const char *tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/velkor-fuzz-XXXXXX";
  check(mkdtemp(&pattern[0]) != nullptr);
  installRoot = pattern + "/install";
  for (const char *sub : {"", "/lib", "/logs", "/inst", "/inst/locks"})
    check(mkdir((installRoot + sub).c_str(), 0777) == 0);
  FILE *file = fopen((installRoot + "/inst/locks/server.lock").c_str(), "w");
  check(file && fclose(file) == 0);
  char windows[4200];
  standinToWindowsPath((installRoot + "/lib/velkor_service.exe").c_str(), windows, sizeof windows);
  programWin = windows;
  standinSetModuleFileName(programWin.c_str());
  standinSetTimeScale(0.001); // a removal's wait for a stop takes no real time
  // The subcommands' answers are not what is checked here.
  check(freopen("/dev/null", "w", stdout) != nullptr);
  // Relative directory arguments resolve against the installation.
  check(chdir(installRoot.c_str()) == 0);
}

// Empties the stand-in machine's service database and registry.
void forgetServices() {
  for (const std::string &key : standinScmKeys())
    standinScmErase(key.c_str());
  std::string registry = std::string(standinRoot()) + "/registry";
  nftw(registry.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

bool logEndsWith(const std::string &text) {
  FILE *file = fopen((installRoot + "/logs/native-windows.out").c_str(), "rb");
  if (!file)
    return false;
  std::string tail(text.size() + 2, 0);
  bool ok = fseek(file, -(long)tail.size(), SEEK_END) == 0 &&
            fread(&tail[0], 1, tail.size(), file) == tail.size();
  fclose(file);
  return ok && tail == text + "\r\n";
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 4096)
    return 0;
  if (installRoot.empty())
    setUp();

  // "<program>\0arg1\0arg2..."; an input with no byte has no subcommand.
  std::vector<std::string> arguments = {programWin};
  size_t start = 0;
  while (start < size && arguments.size() < 17) {
    const uint8_t *end = static_cast<const uint8_t *>(memchr(data + start, 0, size - start));
    size_t length = end ? (size_t)(end - (data + start)) : size - start;
    arguments.emplace_back(reinterpret_cast<const char *>(data + start), length);
    start += length + 1;
  }
  std::vector<char *> argv;
  for (std::string &argument : arguments)
    argv.push_back(&argument[0]);
  argv.push_back(nullptr);

  debugOption = 0;
  int exitCode = runCommand((int)arguments.size(), argv.data());

  check(exitCode >= -1 && exitCode <= 3);
  check(instanceDir == nullptr && instanceRoot.load() == nullptr);
  check(eventSource == nullptr);
  check(standinOpenHandleCount(kStandinAnyKind) == 0);
  check(logEndsWith("main returning " + std::to_string(exitCode) + "."));
  forgetServices();
  return 0;
}
