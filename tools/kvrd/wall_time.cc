#include "tools/kvrd/wall_time.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace kvrd {
namespace {

// Days from the civil date, without the time zone the C library would apply.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

struct Civil {
  int year;
  unsigned month, day, hour, minute, second, milli;
};

Civil ToCivil(int64_t ms) {
  int64_t seconds = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
  const unsigned milli = static_cast<unsigned>(ms - seconds * 1000);
  int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
  const unsigned secs = static_cast<unsigned>(seconds - days * 86400);
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
  return {static_cast<int>(y), m, d, secs / 3600, secs / 60 % 60, secs % 60, milli};
}

// Reads exactly `width` digits at `at`.
bool Digits(const std::string& text, size_t at, size_t width, unsigned* value) {
  if (at + width > text.size()) return false;
  *value = 0;
  for (size_t i = at; i < at + width; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    *value = *value * 10 + static_cast<unsigned>(text[i] - '0');
  }
  return true;
}

std::optional<int64_t> FromCivil(unsigned y, unsigned mo, unsigned d, unsigned h, unsigned mi,
                                 unsigned s, unsigned ms) {
  static const unsigned kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 1970 || y > 9999 || mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] || h > 23 ||
      mi > 59 || s > 59) {
    return std::nullopt;
  }
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (mo == 2 && d == 29 && !leap) return std::nullopt;
  return ((DaysFromCivil(y, mo, d) * 24 + h) * 60 + mi) * 60000 + s * 1000 + ms;
}

}  // namespace

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string IsoTime(int64_t ms) {
  const Civil c = ToCivil(ms);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02u:%02u:%02u.%03uZ", c.year, c.month, c.day,
                c.hour, c.minute, c.second, c.milli);
  return text;
}

std::optional<int64_t> ParseTime(const std::string& text) {
  if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
    int64_t seconds = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (error != std::errc() || end != text.data() + text.size() || seconds > 253402300799) {
      return std::nullopt;
    }
    return seconds * 1000;
  }
  unsigned y, mo, d, h, mi, s, ms = 0;
  if (!Digits(text, 0, 4, &y) || text.size() < 19 || text[4] != '-' || !Digits(text, 5, 2, &mo) ||
      text[7] != '-' || !Digits(text, 8, 2, &d) || (text[10] != 'T' && text[10] != ' ') ||
      !Digits(text, 11, 2, &h) || text[13] != ':' || !Digits(text, 14, 2, &mi) || text[16] != ':' ||
      !Digits(text, 17, 2, &s)) {
    return std::nullopt;
  }
  size_t at = 19;
  if (at < text.size() && text[at] == '.') {
    if (!Digits(text, at + 1, 3, &ms)) return std::nullopt;
    at += 4;
  }
  if (at < text.size() && text[at] == 'Z') ++at;
  if (at != text.size()) return std::nullopt;
  return FromCivil(y, mo, d, h, mi, s, ms);
}

std::string SegmentFileName(int64_t ms) {
  const Civil c = ToCivil(ms);
  char text[40];
  std::snprintf(text, sizeof text, "%04d%02u%02uT%02u%02u%02u.%03uZ.ts", c.year, c.month, c.day,
                c.hour, c.minute, c.second, c.milli);
  return text;
}

std::optional<int64_t> ParseSegmentFileName(const std::string& name) {
  unsigned y, mo, d, h, mi, s, ms;
  if (name.size() != 23 || !Digits(name, 0, 4, &y) || !Digits(name, 4, 2, &mo) ||
      !Digits(name, 6, 2, &d) || name[8] != 'T' || !Digits(name, 9, 2, &h) ||
      !Digits(name, 11, 2, &mi) || !Digits(name, 13, 2, &s) || name[15] != '.' ||
      !Digits(name, 16, 3, &ms) || name.compare(19, 4, "Z.ts") != 0) {
    return std::nullopt;
  }
  return FromCivil(y, mo, d, h, mi, s, ms);
}

std::optional<int64_t> ParseDuration(const std::string& text) {
  if (text.empty()) return std::nullopt;
  int64_t unit = 1000;
  std::string digits = text;
  switch (text.back()) {
    case 's':
      digits.pop_back();
      break;
    case 'm':
      unit = 60'000;
      digits.pop_back();
      break;
    case 'h':
      unit = 3'600'000;
      digits.pop_back();
      break;
    case 'd':
      unit = 86'400'000;
      digits.pop_back();
      break;
  }
  int64_t value = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
      value <= 0 || value > 100LL * 365 * 86400'000 / unit) {
    return std::nullopt;
  }
  return value * unit;
}

}  // namespace kvrd
