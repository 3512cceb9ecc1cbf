// The host's view of the recording service: the records it exchanges with
// the library and the two callbacks the library calls.
//
// A host builds against this header and links the library. The records are
// filled by the caller (configuration set) or by the library (configuration
// get, status query); the library keeps no pointer to a caller's record. The
// callbacks run on the library's threads (record events on a framework
// delivery thread, the device-connection message on the thread that started
// the record), so a host's callback guards its own state.
#ifndef KVR_INCLUDE_KVRSERVER_H_
#define KVR_INCLUDE_KVRSERVER_H_

#include <cstdint>
#include <vector>

// The calling convention of the exports and callbacks: the callee cleans the
// stack on 32-bit Windows, the platform's only convention elsewhere.
#if defined(_WIN32) && !defined(_WIN64)
#define KVR_CALL __stdcall
#else
#define KVR_CALL
#endif

// One storage volume.
struct STORE_VOLUME_INFO {
  char volumeName[260] = "";
  char volumePath[260] = "";   // root folder of the volume's records
  uint64_t reservedBytes = 0;  // kept free on this volume
  uint64_t totalBytes = 0;     // as of the last space refresh
  uint64_t freeBytes = 0;      // as of the last space refresh
  uint8_t useCount = 0;        // records writing to the volume (at most 255)
  int32_t volumeType = 0;      // 0..10, or -1 in a configuration set to remove the volume
  uint64_t weight = 0;         // selection weight, from the type when the volume was added
};

// The storage configuration. Sizes are bytes here; the service keeps whole
// megabytes, so what a get reports is rounded down to a multiple of 1 MiB.
struct STORE_CONFIG_INFO {
  uint32_t maxRecordNumber = 0;  // records at once; 0 refuses every record
  uint32_t recoverMethod = 0;    // kept and reported, no behaviour depends on it
  uint64_t reservedSpace = 0;
  uint64_t reservedvolumeSpace = 0;  // given to each volume added afterwards
  std::vector<STORE_VOLUME_INFO> volumes;
  int32_t volumeCount = 0;  // filled by a get; a set ignores it
};

// A local date and time: 16-bit year, then month, day, hour, minute, second
// and a zero byte.
struct RECORD_TIME {
  uint16_t year = 0;
  uint8_t month = 0;
  uint8_t day = 0;
  uint8_t hour = 0;
  uint8_t minute = 0;
  uint8_t second = 0;
  uint8_t zero = 0;
};

// The status of one record.
struct RECORD_STATUS_INFO {
  char recordFileUrl[256] = "";  // the record's key: its write file URL as started
  RECORD_TIME beginTime;
  RECORD_TIME finalTime;   // the current time while the record is being written
  int32_t recordSize = 0;  // megabytes received
  int32_t recordType = 0;  // source type of the start request
  int32_t totalTime = 0;   // always 0
  int32_t limitSize = 0;   // megabytes
  int32_t limitTime = 0;   // seconds
  int32_t status = 0;      // 4 recording, 2 resumed, 1 paused, 3 stopped, 0 failed, -1 not started
};

// A record ended or is about to: 1 disk full, 2 time limit reached, 3 size
// limit reached, 4 write error, 5 stream lost. `user` is the value given
// with the callback.
typedef void(KVR_CALL* RecordEventCallBack)(const char* recordFileUrl, int recordEvent,
                                            unsigned int user);

// A record whose media the host pushes itself was started (message 1):
// `mediaHandle` names it in the pushed-media export until it is stopped.
typedef void(KVR_CALL* DvConMsgCallBack)(int message, char* readFileUrl, char* recordFilePath,
                                         unsigned int mediaHandle);

#endif  // KVR_INCLUDE_KVRSERVER_H_
