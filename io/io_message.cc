#include "io/io_message.h"

CIoMessage::CIoMessage(int type, CIoChannel* channel)
    : created_(platform::GetLocalTime()), type_(type), channel_(channel) {}
