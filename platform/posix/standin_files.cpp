// Stand-in files: CreateFileA and friends on Windows paths, and the C
// runtime's descriptor calls with Windows flag values and text mode.
//
// Linux has no share modes, so an open is never refused for sharing; the
// program only ever asks for permissive sharing (deny none, or read and
// write), where Windows would not refuse either.
// For the C-runtime calls (_sopen, _mkdir, ...) a fault's number is the errno.
#include "standin.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Windows refuses write access to a file that has the read-only attribute (a
// file without the owner's write bit here), whoever asks; Linux would let
// root through.
bool isReadOnlyFile(const char *posix) {
  struct stat info;
  return stat(posix, &info) == 0 && S_ISREG(info.st_mode) && !(info.st_mode & S_IWUSR);
}

struct FileObject {
  int fd;
  bool ownsFd; // false for the view that _get_osfhandle hands out
};

void destroyFile(void *object) {
  FileObject *file = static_cast<FileObject *>(object);
  if (file->ownsFd) {
    standinForgetFileLocks(file->fd);
    close(file->fd);
  }
  delete file;
}

struct DescriptorInfo {
  bool text = false;
  HANDLE view = nullptr; // made by _get_osfhandle, released by _close
};

std::mutex descriptorMutex;
std::map<int, DescriptorInfo> &descriptors() {
  static auto *table = new std::map<int, DescriptorInfo>;
  return *table;
}

int openFlagsFor(DWORD access, DWORD disposition) {
  int flags;
  if (access == 0)
    flags = O_PATH;
  else if ((access & GENERIC_READ) && (access & GENERIC_WRITE))
    flags = O_RDWR;
  else if (access & GENERIC_WRITE)
    flags = O_WRONLY;
  else
    flags = O_RDONLY;
  switch (disposition) {
  case CREATE_NEW:
    return flags | O_CREAT | O_EXCL;
  case CREATE_ALWAYS:
    return flags | O_CREAT | O_TRUNC;
  case OPEN_ALWAYS:
    return flags | O_CREAT;
  case TRUNCATE_EXISTING:
    return flags | O_TRUNC;
  default:
    return flags;
  }
}
} // namespace

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD, LPSECURITY_ATTRIBUTES,
                   DWORD creationDisposition, DWORD, HANDLE) {
  if (standinFailNow("CreateFileA"))
    return INVALID_HANDLE_VALUE;
  if (creationDisposition < CREATE_NEW || creationDisposition > TRUNCATE_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  char posix[4096];
  DWORD error = standinToPosixPath(fileName, posix, sizeof posix);
  if (error) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  if ((desiredAccess & GENERIC_WRITE) && isReadOnlyFile(posix)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  int fd = open(posix, openFlagsFor(desiredAccess, creationDisposition) | O_CLOEXEC, 0666);
  if (fd < 0) {
    SetLastError(standinErrorFromErrno(errno));
    return INVALID_HANDLE_VALUE;
  }
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    close(fd); // a directory needs backup semantics, which the program never asks for
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  return standinNewHandle(kStandinFile, new FileObject{fd, true}, destroyFile);
}

DWORD GetFileSize(HANDLE file, LPDWORD fileSizeHigh) {
  if (standinFailNow("GetFileSize"))
    return INVALID_FILE_SIZE;
  FileObject *object = static_cast<FileObject *>(standinHandleObject(file, kStandinFile));
  if (!object)
    return INVALID_FILE_SIZE;
  struct stat info;
  if (fstat(object->fd, &info) != 0) {
    SetLastError(standinErrorFromErrno(errno));
    return INVALID_FILE_SIZE;
  }
  uint64_t size = (uint64_t)info.st_size;
  if (fileSizeHigh)
    *fileSizeHigh = (DWORD)(size >> 32);
  SetLastError(0);
  return (DWORD)size;
}

BOOL DeleteFileA(LPCSTR fileName) {
  if (standinFailNow("DeleteFileA"))
    return FALSE;
  char posix[4096];
  DWORD error = standinToPosixPath(fileName, posix, sizeof posix);
  if (error) {
    SetLastError(error);
    return FALSE;
  }
  struct stat info;
  if (lstat(posix, &info) == 0 && S_ISDIR(info.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (unlink(posix) != 0) {
    SetLastError(standinErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

int standinFileDescriptor(HANDLE file) {
  FileObject *object = static_cast<FileObject *>(standinHandleObject(file, kStandinFile));
  return object ? object->fd : -1;
}

// ---- C runtime ------------------------------------------------------------

int _sopen(const char *path, int openFlags, int shareFlags, ...) {
  DWORD fault = 0;
  if (standinFault("_sopen", &fault)) {
    errno = (int)fault;
    return -1;
  }
  if (shareFlags != _SH_DENYRW && shareFlags != _SH_DENYWR && shareFlags != _SH_DENYRD &&
      shareFlags != _SH_DENYNO) {
    errno = EINVAL;
    return -1;
  }
  int permission = 0;
  if (openFlags & _O_CREAT) {
    va_list args;
    va_start(args, shareFlags);
    permission = va_arg(args, int);
    va_end(args);
  }
  char posix[4096];
  if (standinToPosixPath(path, posix, sizeof posix) != 0) {
    errno = ENOENT;
    return -1;
  }
  int flags = O_CLOEXEC;
  switch (openFlags & 3) {
  case _O_WRONLY:
    flags |= O_WRONLY;
    break;
  case _O_RDWR:
    flags |= O_RDWR;
    break;
  default:
    flags |= O_RDONLY;
  }
  if (openFlags & _O_APPEND)
    flags |= O_APPEND;
  if (openFlags & _O_CREAT)
    flags |= O_CREAT;
  if (openFlags & _O_TRUNC)
    flags |= O_TRUNC;
  if (openFlags & _O_EXCL)
    flags |= O_EXCL;
  mode_t mode = 0444;
  if (permission & _S_IWRITE)
    mode |= 0222;
  if ((openFlags & 3) != _O_RDONLY && isReadOnlyFile(posix)) {
    errno = EACCES;
    return -1;
  }
  int fd = open(posix, flags, mode);
  if (fd < 0)
    return -1;
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    close(fd);
    errno = EACCES; // the Windows runtime refuses to open a directory
    return -1;
  }
  std::lock_guard<std::mutex> guard(descriptorMutex);
  DescriptorInfo &entry = descriptors()[fd];
  entry.text = !(openFlags & _O_BINARY); // text is the runtime's default mode
  entry.view = nullptr;
  return fd;
}

int _close(int fd) {
  HANDLE view = nullptr;
  {
    std::lock_guard<std::mutex> guard(descriptorMutex);
    auto found = descriptors().find(fd);
    if (found != descriptors().end()) {
      view = found->second.view;
      descriptors().erase(found);
    }
  }
  if (view)
    standinCloseHandle(view, kStandinFile);
  standinForgetFileLocks(fd);
  return close(fd);
}

int _mkdir(const char *path) {
  DWORD fault = 0;
  if (standinFault("_mkdir", &fault)) {
    errno = (int)fault;
    return -1;
  }
  char posix[4096];
  if (standinToPosixPath(path, posix, sizeof posix) != 0) {
    errno = ENOENT;
    return -1;
  }
  return mkdir(posix, 0777);
}

intptr_t _get_osfhandle(int fd) {
  std::lock_guard<std::mutex> guard(descriptorMutex);
  auto found = descriptors().find(fd);
  if (found == descriptors().end()) {
    errno = EBADF;
    return (intptr_t)INVALID_HANDLE_VALUE;
  }
  if (!found->second.view)
    found->second.view = standinNewHandle(kStandinFile, new FileObject{fd, false}, destroyFile);
  return (intptr_t)found->second.view;
}

// ---- Streams on descriptors --------------------------------------------------

namespace {
struct StreamCookie {
  int fd;
  bool text;
  bool atEnd;      // a Ctrl-Z was read in text mode
  int pendingByte; // a byte read ahead after a CR, or -1
};

// Text mode writes each line feed as CR LF, in one write per call so that an
// append from another process never lands inside a line.
ssize_t streamWrite(void *cookie, const char *data, size_t size) {
  StreamCookie *stream = static_cast<StreamCookie *>(cookie);
  const char *out = data;
  size_t outSize = size;
  char *translated = nullptr;
  if (stream->text) {
    size_t feeds = 0;
    for (size_t i = 0; i < size; ++i)
      feeds += data[i] == '\n';
    if (feeds) {
      translated = static_cast<char *>(malloc(size + feeds));
      if (!translated)
        return -1;
      size_t j = 0;
      for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\n')
          translated[j++] = '\r';
        translated[j++] = data[i];
      }
      out = translated;
      outSize = j;
    }
  }
  size_t written = 0;
  while (written < outSize) {
    ssize_t n = write(stream->fd, out + written, outSize - written);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      free(translated);
      return -1;
    }
    written += (size_t)n;
  }
  free(translated);
  return (ssize_t)size;
}

int readByte(StreamCookie *stream) {
  if (stream->pendingByte >= 0) {
    int byte = stream->pendingByte;
    stream->pendingByte = -1;
    return byte;
  }
  unsigned char byte;
  ssize_t n;
  do {
    n = read(stream->fd, &byte, 1);
  } while (n < 0 && errno == EINTR);
  return n == 1 ? byte : (n == 0 ? -1 : -2);
}

// Text mode reads CR LF as a line feed and ends the file at Ctrl-Z.
ssize_t streamRead(void *cookie, char *data, size_t size) {
  StreamCookie *stream = static_cast<StreamCookie *>(cookie);
  if (!stream->text) {
    ssize_t n;
    do {
      n = read(stream->fd, data, size);
    } while (n < 0 && errno == EINTR);
    return n;
  }
  size_t count = 0;
  while (count < size && !stream->atEnd) {
    int byte = readByte(stream);
    if (byte == -2)
      return count ? (ssize_t)count : -1;
    if (byte == -1)
      break;
    if (byte == 0x1A) {
      stream->atEnd = true;
      break;
    }
    if (byte == '\r') {
      int next = readByte(stream);
      if (next == '\n')
        byte = '\n';
      else if (next >= 0)
        stream->pendingByte = next;
    }
    data[count++] = (char)byte;
  }
  return (ssize_t)count;
}

int streamClose(void *cookie) {
  StreamCookie *stream = static_cast<StreamCookie *>(cookie);
  int result = _close(stream->fd);
  delete stream;
  return result;
}
} // namespace

FILE *_fdopen(int fd, const char *mode) {
  DWORD fault = 0;
  if (standinFault("_fdopen", &fault)) {
    errno = (int)fault;
    return nullptr;
  }
  bool text;
  {
    std::lock_guard<std::mutex> guard(descriptorMutex);
    auto found = descriptors().find(fd);
    if (found == descriptors().end()) {
      errno = EBADF;
      return nullptr;
    }
    text = found->second.text;
  }
  if (strchr(mode, 'b'))
    text = false;
  else if (strchr(mode, 't'))
    text = true;
  StreamCookie *stream = new StreamCookie{fd, text, false, -1};
  cookie_io_functions_t functions = {streamRead, streamWrite, nullptr, streamClose};
  FILE *file = fopencookie(stream, mode, functions);
  if (!file)
    delete stream;
  return file;
}
