#include "support.h"

#include "platform/posix/standin.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <thread>
#include <ftw.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

static int removeEntry(const char *path, const struct stat *, int, struct FTW *) {
  chmod(path, 0700);
  return remove(path);
}

ScratchDir::ScratchDir() {
  const char *tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/velkor-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back(0);
  if (!mkdtemp(buffer.data()))
    throw std::runtime_error("mkdtemp failed");
  root_ = buffer.data();
}

ScratchDir::~ScratchDir() { nftw(root_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS); }

std::string ScratchDir::path(const std::string &sub) const {
  return sub.empty() ? root_ : root_ + "/" + sub;
}

std::string ScratchDir::win(const std::string &sub) const { return toWindowsPath(path(sub)); }

void ScratchDir::makeDir(const std::string &sub) const {
  std::string full = path(sub);
  for (size_t i = root_.size() + 1; i <= full.size(); ++i)
    if (i == full.size() || full[i] == '/')
      mkdir(full.substr(0, i).c_str(), 0777);
}

void ScratchDir::writeFile(const std::string &sub, const std::string &content) const {
  writeWholeFile(path(sub), content);
}

std::string ScratchDir::readFile(const std::string &sub) const { return readWholeFile(path(sub)); }

bool ScratchDir::exists(const std::string &sub) const {
  struct stat info;
  return stat(path(sub).c_str(), &info) == 0;
}

std::string readWholeFile(const std::string &posixPath) {
  std::ifstream in(posixPath, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

void writeWholeFile(const std::string &posixPath, const std::string &content) {
  std::ofstream out(posixPath, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string toWindowsPath(const std::string &posixPath) {
  char windows[4200];
  standinToWindowsPath(posixPath.c_str(), windows, sizeof windows);
  return windows;
}

bool registryKeyExists(const std::string &path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

std::string eventSourceKey(const std::string &service) {
  return "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + service;
}

std::vector<std::string> logMessages(const std::string &posixLogPath) {
  std::vector<std::string> messages;
  std::string content = readWholeFile(posixLogPath);
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find("\r\n", start);
    if (end == std::string::npos)
      end = content.size();
    std::string line = content.substr(start, end - start);
    size_t prefix = line.find(")  ");
    messages.push_back(prefix == std::string::npos ? line : line.substr(prefix + 3));
    start = end + 2;
  }
  return messages;
}

bool logHas(const std::vector<std::string> &messages, const std::string &message) {
  return std::find(messages.begin(), messages.end(), message) != messages.end();
}

Installation::Installation(const ScratchDir &scratch, const std::string &sub, bool withLogs) {
  scratch.makeDir(sub + "/lib");
  if (withLogs)
    scratch.makeDir(sub + "/logs");
  root = scratch.path(sub);
  rootWin = toWindowsPath(root);
  program = root + "/lib/velkor_service";
  writeWholeFile(program, readWholeFile(VELKOR_PROGRAM));
  chmod(program.c_str(), 0755);
}

void Installation::actAsProgram() const {
  standinSetModuleFileName(toWindowsPath(program).c_str());
}

RunResult runProgram(const std::string &program, const std::vector<std::string> &args,
                     const std::vector<std::string> &environment) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0)
    throw std::runtime_error("pipe failed");
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeFds[1], 1);
    close(pipeFds[0]);
    close(pipeFds[1]);
    for (const std::string &entry : environment)
      putenv(strdup(entry.c_str()));
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &arg : args)
      argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  RunResult result{-1, ""};
  char buffer[4096];
  ssize_t n;
  while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0)
    result.out.append(buffer, (size_t)n);
  close(pipeFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

void routeChildSanitizerReports(const std::string &machineRoot) {
  std::string dir = machineRoot + "/sanitizers";
  mkdir(dir.c_str(), 0777);
  std::string exitCode = "exitcode=" + std::to_string(kSanitizerExitCode);
  const char *asan = getenv("ASAN_OPTIONS");
  const char *ubsan = getenv("UBSAN_OPTIONS");
  std::string asanOptions = std::string(asan && *asan ? std::string(asan) + ":" : "") + exitCode +
                            ":log_path=" + dir + "/asan";
  std::string ubsanOptions = std::string(ubsan && *ubsan ? std::string(ubsan) + ":" : "") +
                             "halt_on_error=1:print_stacktrace=1:" + exitCode +
                             ":log_path=" + dir + "/ubsan";
  setenv("ASAN_OPTIONS", asanOptions.c_str(), 1);
  setenv("UBSAN_OPTIONS", ubsanOptions.c_str(), 1);
}

// Processes of the program (its file name is velkor_service) whose
// environment names this machine.
static std::vector<int> programProcesses(const std::string &machineRoot) {
  std::vector<int> found;
  std::string marker = "VELKOR_STANDIN_ROOT=" + machineRoot;
  DIR *proc = opendir("/proc");
  if (!proc)
    return found;
  while (dirent *entry = readdir(proc)) {
    int pid = atoi(entry->d_name);
    if (pid <= 0 || pid == (int)getpid())
      continue;
    std::string base = "/proc/" + std::string(entry->d_name);
    char exe[4096];
    ssize_t length = readlink((base + "/exe").c_str(), exe, sizeof exe - 1);
    if (length <= 0)
      continue;
    exe[length] = 0;
    const char *slash = strrchr(exe, '/');
    if (strcmp(slash ? slash + 1 : exe, "velkor_service") != 0)
      continue;
    // Each variable of the environment ends with a null character.
    if (('\0' + readWholeFile(base + "/environ")).find('\0' + marker + '\0') != std::string::npos)
      found.push_back(pid);
  }
  closedir(proc);
  return found;
}

bool waitForProgramProcesses(const std::string &machineRoot, int boundMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
  for (;;) {
    std::vector<int> left = programProcesses(machineRoot);
    for (int pid : left)
      waitpid(pid, nullptr, WNOHANG); // our own children end as zombies until reaped
    left = programProcesses(machineRoot);
    bool running = false;
    for (int pid : left) {
      std::string stat = readWholeFile("/proc/" + std::to_string(pid) + "/stat");
      size_t close = stat.rfind(')');
      running = running || (close != std::string::npos && stat.size() > close + 2 &&
                            stat[close + 2] != 'Z');
    }
    if (!running)
      return true;
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string takeChildSanitizerReports(const std::string &machineRoot) {
  std::string dir = machineRoot + "/sanitizers";
  std::string reports;
  DIR *listing = opendir(dir.c_str());
  if (!listing)
    return reports;
  while (dirent *entry = readdir(listing)) {
    if (entry->d_name[0] == '.')
      continue;
    std::string path = dir + "/" + entry->d_name;
    reports += "---- " + std::string(entry->d_name) + "\n" + readWholeFile(path);
    unlink(path.c_str());
  }
  closedir(listing);
  return reports;
}
