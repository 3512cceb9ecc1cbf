#include "protocol/message/store_pdus.h"

namespace {
using kvr::pdu::CopyToField;
using kvr::pdu::StoreVolumeItem;
}  // namespace

int CGetKVRCngParamsAck::AddVolume(const char* name, const char* path, int32_t type, uint32_t rest,
                                   uint32_t useCount) {
  StoreVolumeItem volume;
  CopyToField(volume.volumeName, sizeof(volume.volumeName), name);
  CopyToField(volume.volumePath, sizeof(volume.volumePath), path);
  volume.volumeType = type;
  volume.volumeRest = rest;
  volume.useCount = useCount;
  return AddVolume(volume);
}

int CSetKVRCngParams::AddVolume(const char* name, const char* path, int32_t type) {
  StoreVolumeItem volume;
  CopyToField(volume.volumeName, sizeof(volume.volumeName), name);
  CopyToField(volume.volumePath, sizeof(volume.volumePath), path);
  volume.volumeType = type;
  return AddVolume(volume);
}
