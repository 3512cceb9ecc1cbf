// The host's view of the recording service: the records it exchanges with
// the library and the two callbacks the library calls.
//
// A host builds against this header and links the library. The records are
// filled by the caller (configuration set) or by the library (configuration
// get, status query); the library keeps no pointer to a caller's record. The
// callbacks run on the library's threads (record events on a framework
// delivery thread, the device-connection message on the thread that started
// the record), so a host's callback guards its own state.
//
// STORE_CONFIG_INFO holds a std::vector: a host must be built with the same
// C++ standard library (libstdc++, same ABI) as the library.
//
// The library stays mapped once loaded (it is linked -z nodelete): its
// threads outlive a dlclose, which therefore unloads nothing.
//
// Who may command the service over its port is set by the optional <Access>
// element of the routing file (listen addresses, IPv4 and IPv6; registered
// sessions only, remote configuration, volume roots, connection cap, idle
// time-out, replies queued per connection); without it every connection on
// every interface is obeyed.
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

// Symbols the library exports; everything else in it stays hidden.
#if defined(_WIN32)
#ifdef KVR_BUILDING_LIBRARY
#define KVR_API __declspec(dllexport)
#else
#define KVR_API __declspec(dllimport)
#endif
#elif defined(KVR_BUILDING_LIBRARY)
#define KVR_API __attribute__((visibility("default")))
#else
#define KVR_API
#endif

// ---- The exports. Any thread may call them; 0 is success.

// Listens on `port` and starts recording service. The first start loads the
// routing file "Server_Config.xml" (a relative name: the working directory,
// then the installed data folder). -1 the port could not be listened on
// (at one of the listed addresses);
// -2 already started (the port is kept for a later start); -3, -4, -5 the
// set-up failed (-5: the routing file did not load), -6 the routing file's
// <Access> element is malformed or a configured volume lies outside its
// volume roots; the next start tries again.
KVR_API int KVR_CALL KVR_StartService(unsigned short port);
// Stops every record (as KVR_StopRecRealMedia), closes the port and every
// client connection, waits a second for the poller to settle and then until
// every stopped record's file has taken its last bytes and closed (at most
// 10 s more: 11 s in all). 0 also when not started; -1 when the port did not
// close (still started).
KVR_API int KVR_CALL KVR_StopService();
// Drops the worker that runs record tasks and polls the port; the next
// KVR_StartService sets it up again. Does nothing while the service is
// started (stop it first) or when called from the record event callback.
KVR_API void KVR_CALL KVR_Clean();

// Sets the configuration: the two sizes are rounded down to whole megabytes,
// volumes are added (their folders made), changed, or removed by type -1.
// Only name, path and type of a volume are read. 0, or -1 when it cannot be
// made (a name or path of 260 characters or more) or a volume lies outside
// the volume roots of the access settings (that volume is left out, the rest
// is set). Works before the start.
KVR_API int KVR_CALL KVR_SetKVRConfig(STORE_CONFIG_INFO& config);
// Replaces `config` with the configuration, each volume's space refreshed
// (0 when its folder cannot be asked). Always 0.
KVR_API int KVR_CALL KVR_GetKVRConfig(STORE_CONFIG_INFO& config);

// Starts recording `readFileUrl` into `writeFileUrl` (relative to a volume;
// also the record's name from now on), on the named volume or, when `volume`
// is null, on the one the service chooses. `limitSize` in megabytes and
// `limitTime` in seconds; 0 (or less) gives the default limits, 1 GiB and
// 24 hours (event 3 or 2 ends the record there). A read URL containing "DvCon" is pushed
// by the host (see DvConMsgCallBack). The record start's status; -1 when not
// started or an argument is missing or too long (URLs 255 characters,
// volume names 31).
KVR_API int KVR_CALL KVR_StartRecRealMedia(char* readFileUrl, char* writeFileUrl, char* volume,
                                           int limitSize, int limitTime);
KVR_API int KVR_CALL KVR_StartRecRealMedia(char* readFileUrl, char* writeFileUrl, int limitSize,
                                           int limitTime);
// The same, the source given by a destination and a device address (15
// characters each) with their ports and the device channel.
KVR_API int KVR_CALL KVR_StartRecRealMedia(char* vsDestIp, int vsDestPort, int puChannel,
                                           char* puIp, int puPort, char* writeFileUrl,
                                           int limitSize, int limitTime);
// Stops the record: its file is closed and its task removed. As
// KVR_ControlRecRealMedia with 3.
KVR_API int KVR_CALL KVR_StopRecRealMedia(char* recordFileUrl);
// 1 pauses, 2 resumes the record; anything else is -1 at once (stopping is
// KVR_StopRecRealMedia's). The control's status; -1 when not started.
KVR_API int KVR_CALL KVR_ControlRecRealMedia(char* recordFileUrl, int ctrlInfo);
// Deletes the file of a record that is not running. Its status; -1 when not
// started, -2 for a missing or too long name.
KVR_API int KVR_CALL KVR_DelRecMediaFile(char* recordFileUrl);
// Status of one record, or of every record for "*": `records` receives the
// address of a RECORD_STATUS_INFO array of `count` entries (0 and 0 when
// nothing matched), owned by the library and valid until the next query by
// any thread (copy it out before another thread may query).
// Not started: both 0. A one-character name other than "*" leaves both as
// they were. 0, or -1 for an empty name.
KVR_API int KVR_CALL KVR_QueryRecRealMediaStatus(char* recordFileUrl, unsigned long& records,
                                                 unsigned int& count);
// Pushes `length` bytes of a host-fed record (the handle from DvConMsgCallBack);
// copied before the call returns, written later. -1 for null data or a
// length below 1; otherwise 0, also when the handle names no record.
KVR_API int KVR_CALL KVR_SetDvConMediaData(char* data, int length, unsigned long mediaHandle);

// Register a callback with the value to hand back; a null callback is -1
// and keeps the one set before. Otherwise 0.
KVR_API int KVR_CALL KVR_SetRecordEventCallBack(RecordEventCallBack callback, unsigned int user);
KVR_API int KVR_CALL KVR_SetDvConMsgCallBack(DvConMsgCallBack callback, unsigned int user);

// The users a remote "Register" is checked against. Adding a known name
// keeps its password; deleting needs the right password. Always 0.
KVR_API int KVR_CALL KVR_AddUser(char* name, char* password);
KVR_API int KVR_CALL KVR_DelUser(char* name, char* password);

#endif  // KVR_INCLUDE_KVRSERVER_H_
