#include "platform/file.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

namespace platform {

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
  int flags = O_CLOEXEC;
  switch (mode) {
    case OpenMode::kReadExisting:
      flags |= O_RDONLY;
      break;
    case OpenMode::kWriteCreateAlways:
      flags |= O_WRONLY | O_CREAT | O_TRUNC;
      break;
    case OpenMode::kWriteAppend:
      flags |= O_WRONLY | O_CREAT | O_APPEND;
      break;
  }
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0644);
  } while (fd < 0 && errno == EINTR);
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

int MakeDirectory(const std::string& path) { return ::mkdir(path.c_str(), 0755) == 0 ? 0 : errno; }

int RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0 ? 0 : errno; }

int RemoveDirectory(const std::string& path) { return ::rmdir(path.c_str()) == 0 ? 0 : errno; }

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
