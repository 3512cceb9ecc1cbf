#include "platform/file.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <vector>

namespace platform {
namespace {

int OpenFlags(OpenMode mode) {
  switch (mode) {
    case OpenMode::kReadExisting:
      return O_RDONLY;
    case OpenMode::kWriteCreateAlways:
      return O_WRONLY | O_CREAT | O_TRUNC;
    case OpenMode::kWriteAppend:
      return O_WRONLY | O_CREAT | O_APPEND;
  }
  return O_RDONLY;
}

constexpr mode_t kFileMode = 0640;
constexpr mode_t kFolderMode = 0750;

int OpenRetrying(int dir, const char* name, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::openat(dir, name, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// openat2 resolving beneath `dir`; -1 with errno ENOSYS where the kernel lacks it.
int OpenAt2Beneath(int dir, const char* path, int flags, mode_t mode) {
#ifdef SYS_openat2
  open_how how{};
  how.flags = static_cast<uint64_t>(flags);
  how.mode = (flags & O_CREAT) != 0 ? mode : 0;
  how.resolve = RESOLVE_BENEATH;
  long fd;
  do {
    fd = ::syscall(SYS_openat2, dir, path, &how, sizeof how);
  } while (fd < 0 && errno == EINTR);
  return static_cast<int>(fd);
#else
  (void)dir, (void)path, (void)flags, (void)mode;
  errno = ENOSYS;
  return -1;
#endif
}

// The folder that holds the last component of `relative`, opened beneath
// `root` (O_PATH), and that component in `name`; -1 with errno on failure.
int OpenParentBeneath(const std::string& root, const std::string& relative, bool make,
                      std::string* name) {
  std::vector<std::string> parts;
  for (size_t at = 0; at <= relative.size();) {
    size_t end = relative.find('/', at);
    if (end == std::string::npos) end = relative.size();
    if (end > at) parts.push_back(relative.substr(at, end - at));
    at = end + 1;
  }
  if (parts.empty()) {
    errno = EINVAL;
    return -1;
  }
  *name = parts.back();
  parts.pop_back();
  for (const std::string& part : parts) {
    if (part == "..") {
      errno = EXDEV;
      return -1;
    }
  }
  if (*name == "." || *name == "..") {
    errno = EINVAL;
    return -1;
  }
  const int rootFd = OpenRetrying(AT_FDCWD, root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
  if (rootFd < 0) return -1;
  if (parts.empty()) return rootFd;
  std::string folders;
  for (const std::string& part : parts) folders += (folders.empty() ? "" : "/") + part;
  int fd = OpenAt2Beneath(rootFd, folders.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd >= 0 || (errno != ENOSYS && !(make && errno == ENOENT))) {
    const int saved = errno;
    ::close(rootFd);
    errno = saved;
    return fd;
  }
  // One folder at a time, none of them a link: the walk cannot leave `root`.
  int at = rootFd;
  for (const std::string& part : parts) {
    int next = OpenRetrying(at, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (next < 0 && errno == ENOENT && make) {
      if (::mkdirat(at, part.c_str(), kFolderMode) != 0 && errno != EEXIST)
        next = -1;
      else
        next = OpenRetrying(at, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
    }
    const int saved = errno;
    ::close(at);
    if (next < 0) {
      // A link opened with O_NOFOLLOW | O_DIRECTORY fails as "not a folder".
      errno = saved == ENOTDIR || saved == ELOOP ? EXDEV : saved;
      return -1;
    }
    at = next;
  }
  return at;
}

}  // namespace

File::~File() { Close(); }

File::File(File&& other) noexcept : fd_(other.fd_), error_(other.error_) { other.fd_ = -1; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    error_ = other.error_;
    other.fd_ = -1;
  }
  return *this;
}

bool File::Fail() {
  error_ = errno;
  return false;
}

bool File::Open(const std::string& path, OpenMode mode) {
  Close();
  const int fd = OpenRetrying(AT_FDCWD, path.c_str(), OpenFlags(mode) | O_CLOEXEC, kFileMode);
  if (fd < 0) return Fail();
  fd_ = fd;
  error_ = 0;
  return true;
}

bool File::OpenBeneath(const std::string& root, const std::string& relative, OpenMode mode,
                       bool makeFolders) {
  Close();
  std::string name;
  const int parent = OpenParentBeneath(root, relative, makeFolders, &name);
  if (parent < 0) return Fail();
  const int fd =
      OpenRetrying(parent, name.c_str(), OpenFlags(mode) | O_CLOEXEC | O_NOFOLLOW, kFileMode);
  const int saved = errno;
  ::close(parent);
  errno = saved;
  if (fd < 0) return Fail();
  fd_ = fd;
  error_ = 0;
  return true;
}

bool File::Write(const void* data, size_t size) {
  if (fd_ < 0) {
    error_ = EBADF;
    return false;
  }
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd_, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail();
    }
    if (n == 0) {
      // No progress and no error: retrying would spin for ever.
      error_ = EIO;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool File::WriteGather(const ConstSlice* slices, size_t count) {
  if (fd_ < 0) {
    error_ = EBADF;
    return false;
  }
  std::vector<iovec> iov;
  iov.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    if (slices[i].size == 0) continue;
    iov.push_back({const_cast<void*>(slices[i].data), slices[i].size});
  }
  size_t first = 0;
  while (first < iov.size()) {
    const int batch = static_cast<int>(std::min<size_t>(iov.size() - first, IOV_MAX));
    ssize_t n = ::writev(fd_, &iov[first], batch);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail();
    }
    if (n == 0) {
      // A device that takes nothing would make this loop spin for ever.
      error_ = EIO;
      return false;
    }
    // Step past what went out; a short write leaves the rest of one piece.
    size_t left = static_cast<size_t>(n);
    while (left > 0 && left >= iov[first].iov_len) {
      left -= iov[first].iov_len;
      ++first;
    }
    if (left > 0) {
      iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + left;
      iov[first].iov_len -= left;
    }
  }
  return true;
}

int64_t File::Read(void* data, size_t size) {
  if (fd_ < 0) {
    error_ = EBADF;
    return -1;
  }
  for (;;) {
    ssize_t n = ::read(fd_, data, size);
    if (n >= 0) return n;
    if (errno != EINTR) {
      Fail();
      return -1;
    }
  }
}

int64_t File::Seek(int64_t offset, int whence) {
  int w = whence == 0 ? SEEK_SET : whence == 1 ? SEEK_CUR : whence == 2 ? SEEK_END : -1;
  if (fd_ < 0 || w < 0) {
    error_ = fd_ < 0 ? EBADF : EINVAL;
    return -1;
  }
  off_t pos = ::lseek(fd_, static_cast<off_t>(offset), w);
  if (pos < 0) {
    Fail();
    return -1;
  }
  return pos;
}

int64_t File::Size() {
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
    if (fd_ < 0) errno = EBADF;
    Fail();
    return -1;
  }
  return st.st_size;
}

bool File::Truncate(int64_t size) {
  if (fd_ < 0 || size < 0) {
    error_ = fd_ < 0 ? EBADF : EINVAL;
    return false;
  }
  for (;;) {
    if (::ftruncate(fd_, static_cast<off_t>(size)) == 0) return true;
    if (errno != EINTR) return Fail();
  }
}

bool File::Sync() {
  if (fd_ < 0) {
    error_ = EBADF;
    return false;
  }
  return ::fdatasync(fd_) == 0 || Fail();
}

bool File::Close() {
  if (fd_ < 0) return true;
  int fd = fd_;
  fd_ = -1;
  // Linux releases the descriptor even when close is interrupted: never retry.
  return ::close(fd) == 0 || Fail();
}

int MakeDirectory(const std::string& path) {
  return ::mkdir(path.c_str(), kFolderMode) == 0 ? 0 : errno;
}

int RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0 ? 0 : errno; }

int RemoveFileBeneath(const std::string& root, const std::string& relative) {
  std::string name;
  const int parent = OpenParentBeneath(root, relative, false, &name);
  if (parent < 0) return errno;
  const int result = ::unlinkat(parent, name.c_str(), 0) == 0 ? 0 : errno;
  ::close(parent);
  return result;
}

int RemoveDirectory(const std::string& path) { return ::rmdir(path.c_str()) == 0 ? 0 : errno; }

bool ResolvesBeneath(const std::string& path, const std::string& root) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path base = fs::weakly_canonical(fs::absolute(root, ec), ec);
  if (ec || !fs::is_directory(base, ec)) return false;
  // weakly_canonical resolves the links of the part that exists and folds
  // "." and ".." in the rest.
  const fs::path resolved = fs::weakly_canonical(fs::absolute(path, ec), ec);
  if (ec) return false;
  const std::string b = base.string(), r = resolved.string();
  if (r.compare(0, b.size(), b) != 0) return false;
  return r.size() == b.size() || r[b.size()] == '/' || b == "/";
}

bool PathExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int64_t FileSize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return -1;
  return st.st_size;
}

std::string ErrorText(int error) {
  char buf[256];
  // GNU strerror_r may return a static text instead of filling buf.
  const char* text = strerror_r(error, buf, sizeof(buf));
  return text != nullptr ? std::string(text) : std::string();
}

uint64_t RaiseOpenFileLimit() {
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0) return 0;
  if (files.rlim_cur < files.rlim_max) {
    rlimit raised = files;
    raised.rlim_cur = files.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) files = raised;
  }
  return static_cast<uint64_t>(files.rlim_cur);
}

}  // namespace platform
