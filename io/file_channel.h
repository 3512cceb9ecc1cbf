// A channel over one file: the only kind of channel the service makes.
//
// Made by CProactor::OpenFile and shared by the proactor's table and the
// channel's messages. The file is opened before the channel enters the table
// and closed by the channel's close message (or by the destructor). The file calls run on the I/O
// workers and are serialised by the channel's file lock; Seek comes from callers through the
// proactor. A block whose write fails part-way (a full volume) is cut off the file again, so the
// file ends where a whole block ended: a recording of whole packets stays whole packets.
#ifndef KVR_IO_FILE_CHANNEL_H_
#define KVR_IO_FILE_CHANNEL_H_

#include <mutex>
#include <string>

#include "io/io_channel.h"
#include "platform/file.h"
#include "platform/mutex.h"

class CFileChannel : public CIoChannel {
 public:
  // Blocks are handed to the disk once they hold this many bytes.
  static constexpr int kWriteThreshold = 1048576;
  // The longest file name kept, including its terminating NUL.
  static constexpr size_t kMaxFileName = 256;

  // Keeps a copy of the name; a name that does not fit makes Open fail.
  // With a `root` (a prefix of the name ending in '/'), the file is opened
  // beneath that folder and never through a link that leaves it.
  explicit CFileChannel(const char* fileName, const char* root = nullptr);
  ~CFileChannel() override;

  int GetKind() const override { return 0; }
  bool IsFile() const override { return true; }
  // The file's size when it was opened.
  int64_t GetSize() const override { return fileSize_; }
  bool Seek(int64_t offset, int method) override;
  // 0 opens an existing file for reading; 1 and 2 create or replace one for
  // writing; 3 writes at the end of the file, creating it when missing, so a
  // paused record resumes after what it already holds (every write lands at the
  // end, whatever Seek did). Returns 0, or -1 for any other mode or when the
  // file cannot be opened.
  int Open(int mode) override;
  int CloseFile() override;

  const char* FileName() const { return fileName_; }
  bool IsClosed() const;

 protected:
  int64_t WriteOut(kvr::io::CIoBlock* block, int* error) override;
  int64_t ReadIn(kvr::io::CIoBlock* block, int count, int* error) override;
  int SyncOut() override;

 private:
  mutable platform::Mutex fileMu_;
  platform::File file_ GUARDED_BY(fileMu_);
  bool closed_ GUARDED_BY(fileMu_) = true;
  bool append_ GUARDED_BY(fileMu_) = false;
  char fileName_[kMaxFileName] = {};
  std::string root_;      // empty: the name is opened as it is
  int64_t fileSize_ = 0;  // set by Open before the channel is shared
};

#endif  // KVR_IO_FILE_CHANNEL_H_
