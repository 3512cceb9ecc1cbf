// Every unit of the wider platform's commands, for the factory and for
// whoever handles them: devices and media (device_pdus.h), plans and
// diagnosis (plan_pdus.h), server and channel administration
// (server_pdus.h).
#ifndef KVR_PROTOCOL_MESSAGE_PLATFORM_PDUS_H_
#define KVR_PROTOCOL_MESSAGE_PLATFORM_PDUS_H_

#include "protocol/message/device_pdus.h"
#include "protocol/message/plan_pdus.h"
#include "protocol/message/server_pdus.h"

#endif  // KVR_PROTOCOL_MESSAGE_PLATFORM_PDUS_H_
