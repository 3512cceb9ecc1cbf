#include "io/file_channel.h"

#include <cerrno>
#include <cstring>

#include "platform/debug_log.h"

CFileChannel::CFileChannel(const char* fileName, const char* root)
    : CIoChannel(kWriteThreshold), root_(root != nullptr ? root : "") {
  if (fileName == nullptr) return;
  size_t length = strnlen(fileName, kMaxFileName);
  if (length >= kMaxFileName) {
    platform::DebugPrintf("io: file name longer than %zu bytes refused", kMaxFileName - 1);
    return;
  }
  std::memcpy(fileName_, fileName, length);
  fileName_[length] = '\0';
}

CFileChannel::~CFileChannel() { CloseFile(); }

bool CFileChannel::IsClosed() const {
  platform::MutexLock lock(fileMu_);
  return closed_;
}

int CFileChannel::Open(int mode) {
  platform::OpenMode how;
  switch (mode) {
    case 0:
      how = platform::OpenMode::kReadExisting;
      break;
    case 1:
    case 2:
      how = platform::OpenMode::kWriteCreateAlways;
      break;
    case 3:
      how = platform::OpenMode::kWriteAppend;
      break;
    default:
      return -1;
  }
  if (fileName_[0] == '\0') return -1;
  platform::MutexLock lock(fileMu_);
  if (root_.empty()) {
    if (!file_.Open(fileName_, how)) return -1;
  } else {
    // A name outside its root is refused rather than opened as given.
    const std::string name = fileName_;
    if (name.compare(0, root_.size(), root_) != 0 || root_.back() != '/') return -1;
    if (!file_.OpenBeneath(root_, name.substr(root_.size()), how,
                           how != platform::OpenMode::kReadExisting)) {
      platform::DebugPrintf("io: %s not opened beneath %s: %s", fileName_, root_.c_str(),
                            platform::ErrorText(file_.error()).c_str());
      return -1;
    }
  }
  closed_ = false;
  append_ = how == platform::OpenMode::kWriteAppend;
  int64_t size = file_.Size();
  fileSize_ = size > 0 ? size : 0;
  return 0;
}

int CFileChannel::CloseFile() {
  platform::MutexLock lock(fileMu_);
  if (!file_.Close()) {
    platform::DebugPrintf("io: closing %s failed: %s", fileName_,
                          platform::ErrorText(file_.error()).c_str());
  }
  closed_ = true;
  return 0;
}

bool CFileChannel::Seek(int64_t offset, int method) {
  if (method < 0 || method > 2) return false;
  platform::MutexLock lock(fileMu_);
  return file_.Seek(offset, method) >= 0;
}

int64_t CFileChannel::WriteOut(kvr::io::CIoBlock* block, int* error) {
  const std::vector<platform::ConstSlice>& slices = block->Slices();
  const int64_t size = static_cast<int64_t>(block->size());
  platform::MutexLock lock(fileMu_);
  // Appended writes land at the end whatever the position says.
  const int64_t start = append_ ? file_.Size() : file_.Seek(0, 1);
  if (!file_.WriteGather(slices.data(), slices.size())) {
    *error = file_.error() != 0 ? file_.error() : EIO;
    if (start >= 0 && !file_.Truncate(start)) {
      platform::DebugPrintf("io: %s keeps part of a failed write: %s", fileName_,
                            platform::ErrorText(file_.error()).c_str());
    }
    return -1;
  }
  return size;
}

int64_t CFileChannel::ReadIn(kvr::io::CIoBlock* block, int count, int* error) {
  if (count <= 0) return 0;
  size_t room = 0;
  void* into = block->Reserve(static_cast<size_t>(count), &room);
  if (into == nullptr) {
    *error = ENOMEM;
    return -1;
  }
  int64_t got;
  {
    platform::MutexLock lock(fileMu_);
    got = file_.Read(into, room);
    if (got < 0) *error = file_.error() != 0 ? file_.error() : EIO;
  }
  block->Commit(got > 0 ? static_cast<size_t>(got) : 0);
  return got;
}

int CFileChannel::SyncOut() {
  platform::MutexLock lock(fileMu_);
  if (closed_) return 0;
  return file_.Sync() ? 0 : (file_.error() != 0 ? file_.error() : EIO);
}
