// The name of an open channel of the proactor.
//
// Callers hold a ChannelId, never a channel pointer: the proactor looks the id
// up in its table on every call and refuses one that names nothing.
#ifndef KVR_IO_CHANNEL_ID_H_
#define KVR_IO_CHANNEL_ID_H_

#include <cstdint>

using ChannelId = int32_t;

namespace kvr::io {

// No channel (a failed open). A live channel's id is never this and never 0.
constexpr ChannelId kNoChannel = -1;

}  // namespace kvr::io

#endif  // KVR_IO_CHANNEL_ID_H_
