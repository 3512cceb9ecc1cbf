#include "protocol/message/zeta_text.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <limits>
namespace kvr::pdu {

namespace {

// Reads the sign and digits; `*negative` tells the sign. Saturates at
// 2^63 - 1 in magnitude, far beyond every 32-bit use.
uint64_t ReadMagnitude(const char* text, bool* negative) {
  *negative = false;
  if (text == nullptr) return 0;
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v') ++p;
  if (*p == '+' || *p == '-') {
    *negative = *p == '-';
    ++p;
  }
  uint64_t value = 0;
  constexpr uint64_t kCap = std::numeric_limits<int64_t>::max();
  while (*p >= '0' && *p <= '9') {
    value = value > (kCap - 9) / 10 ? kCap : value * 10 + static_cast<uint64_t>(*p - '0');
    ++p;
  }
  return value;
}

constexpr char kRecordNames[kRecordNameSlots][64] = {
    "General", "Alarm", "MoveDetect", "Voice", "Picture", "From Dvr", "From center",
};

}  // namespace

int32_t ParseDecimalInt(const char* text) {
  bool negative = false;
  uint64_t magnitude = ReadMagnitude(text, &negative);
  int64_t value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

uint32_t ParseDecimalUint(const char* text) {
  bool negative = false;
  uint64_t magnitude = ReadMagnitude(text, &negative);
  if (magnitude > std::numeric_limits<uint32_t>::max()) return std::numeric_limits<uint32_t>::max();
  uint32_t value = static_cast<uint32_t>(magnitude);
  return negative ? static_cast<uint32_t>(0u - value) : value;
}

bool ParseTimeText(const char* text, TimeRecord* out) {
  if (text == nullptr || out == nullptr) return false;
  // Each part is as long as the text at most.
  size_t length = std::strlen(text);
  std::string parts[6];
  for (auto& part : parts) part.assign(length + 1, '\0');
  int got = std::sscanf(text, "%[^-]-%[^-]-%[^ ] %[^:]:%[^:]:%s", parts[0].data(), parts[1].data(),
                        parts[2].data(), parts[3].data(), parts[4].data(), parts[5].data());
  if (got != 6) return false;
  TimeRecord time;
  time.year = static_cast<uint16_t>(ParseDecimalInt(parts[0].c_str()));
  time.month = static_cast<uint8_t>(ParseDecimalInt(parts[1].c_str()));
  time.day = static_cast<uint8_t>(ParseDecimalInt(parts[2].c_str()));
  time.hour = static_cast<uint8_t>(ParseDecimalInt(parts[3].c_str()));
  time.minute = static_cast<uint8_t>(ParseDecimalInt(parts[4].c_str()));
  time.second = static_cast<uint8_t>(ParseDecimalInt(parts[5].c_str()));
  time.zero = 0;
  *out = time;
  return true;
}

bool PrintTimeText(const TimeRecord* time, std::string* out) {
  if (time == nullptr || out == nullptr) return false;
  char text[64];
  std::snprintf(text, sizeof(text), "%d-%d-%d %d:%d:%d", time->year, time->month, time->day,
                time->hour, time->minute, time->second);
  out->assign(text);
  return true;
}

int RecordNameToNumber(const char* name) {
  if (name == nullptr) return -1;
  for (int slot = 0; slot < kRecordNameSlots; ++slot) {
    if (std::strcmp(kRecordNames[slot], name) == 0) {
      return slot < kRecordSourceFirstSlot ? slot : slot - kRecordSourceFirstSlot;
    }
  }
  return -1;
}

const char* RecordNumberToName(int number, int firstSlot) {
  int64_t slot = static_cast<int64_t>(number) + firstSlot;
  return slot >= 0 && slot < kRecordNameSlots ? kRecordNames[slot] : "";
}

size_t CompleteUtf8Length(const char* text, size_t length) {
  if (text == nullptr) return 0;
  // Step as TinyXML does: a lead byte with the bytes its length claims,
  // whatever they are; every other byte alone.
  size_t at = 0;
  while (at < length) {
    auto c = static_cast<unsigned char>(text[at]);
    size_t step = c >= 0xC2 && c <= 0xDF   ? 2
                  : c >= 0xE0 && c <= 0xEF ? 3
                  : c >= 0xF0 && c <= 0xF4 ? 4
                                           : 1;
    if (at + step > length) return at;
    at += step;
  }
  return length;
}

void CopyToField(char* out, size_t width, const char* text) {
  if (out == nullptr || width == 0) return;
  size_t length = text == nullptr ? 0 : strnlen(text, width - 1);
  if (length == width - 1 && text[length] != '\0') length = CompleteUtf8Length(text, length);
  if (length > 0) std::memcpy(out, text, length);
  out[length] = '\0';
}

}  // namespace kvr::pdu
