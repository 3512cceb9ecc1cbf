#include "io/io_message.h"

#include <utility>

CIoMessage::CIoMessage(int type, std::shared_ptr<CIoChannel> channel)
    : created_(platform::GetLocalTime()), type_(type), channel_(std::move(channel)) {}
