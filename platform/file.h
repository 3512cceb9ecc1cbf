// Files and directories of the platform.
//
// File owns one open descriptor (closed by the destructor) and is used by one
// thread at a time; the free functions are safe from any thread. Failures
// return false / -1 and keep the system's error number in `error()` or the
// return value, so callers can report why without touching errno.
#ifndef KVR_PLATFORM_FILE_H_
#define KVR_PLATFORM_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// One piece of a gathered write: `size` bytes at `data`.
struct ConstSlice {
  const void* data;
  size_t size;
};

enum class OpenMode {
  kReadExisting,       // read only; fails when the file does not exist
  kWriteCreateAlways,  // write only; creates or truncates
  kWriteAppend,        // write only; creates when missing, writes at the end
};

class File {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens (closing what was open). Close-on-exec; new files get mode 0640
  // (footage is nobody else's to read).
  bool Open(const std::string& path, OpenMode mode);
  // Opens `relative` inside the folder `root` without ever leaving it: a
  // symlink as the last component is refused (ELOOP), and no ".." or symlink
  // on the way may lead out (EXDEV). Where the kernel resolves beneath a
  // folder (openat2) links that stay inside are followed; elsewhere every
  // folder on the way is opened in turn and any link is refused. With
  // `makeFolders` the missing folders on the way are made (0750) the same way.
  bool OpenBeneath(const std::string& root, const std::string& relative, OpenMode mode,
                   bool makeFolders);
  bool IsOpen() const { return fd_ >= 0; }

  // Writes all `size` bytes, looping over short writes and interruptions.
  // Returns false on the first failure (some bytes may have been written).
  bool Write(const void* data, size_t size);
  // Writes the pieces one after another with as few system calls as the
  // system allows, looping like Write. Returns false on the first failure.
  bool WriteGather(const ConstSlice* slices, size_t count);
  // Reads up to `size` bytes; returns the count, 0 at the end, -1 on failure.
  int64_t Read(void* data, size_t size);
  // whence: 0 from the start, 1 from the current position, 2 from the end.
  // Returns the new position or -1.
  int64_t Seek(int64_t offset, int whence);
  // Current size in bytes, or -1.
  int64_t Size();
  // Cuts (or extends with zeros) the file to `size` bytes.
  bool Truncate(int64_t size);
  // Flushes the file's data to the device.
  bool Sync();
  // Closes; false when the close reported an error (data may be lost).
  bool Close();

  // The error number of the last failing call on this object (0 if none).
  int error() const { return error_; }

 private:
  bool Fail();

  int fd_ = -1;
  int error_ = 0;
};

// Each returns 0 or the system's error number.
int MakeDirectory(const std::string& path);  // mode 0750; EEXIST when it is there
int RemoveFile(const std::string& path);
// Removes `relative` inside `root` under OpenBeneath's rules; a symlink as the
// last component is removed itself, never what it points to.
int RemoveFileBeneath(const std::string& root, const std::string& relative);
int RemoveDirectory(const std::string& path);  // empty directories only

// Whether `path` (which need not exist yet) lies in the folder `root` or is
// it, once the links of the existing part of each are resolved and "." and
// ".." taken away. False when `root` cannot be resolved.
bool ResolvesBeneath(const std::string& path, const std::string& root);

bool PathExists(const std::string& path);
bool IsDirectory(const std::string& path);
// Size of a file, or -1 when it cannot be read.
int64_t FileSize(const std::string& path);
// Raises the process's soft open-file limit to its hard one: every pulled
// record holds a socket and a file, and the default soft limit stops a few
// hundred records short. The soft limit after the call (0 when unknown).
uint64_t RaiseOpenFileLimit();
// A readable text for an error number.
std::string ErrorText(int error);

}  // namespace platform

#endif  // KVR_PLATFORM_FILE_H_
