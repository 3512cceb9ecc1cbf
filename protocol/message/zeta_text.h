// Small text conversions shared by the message document and the data units:
// decimal numbers as the protocol reads them, the time text of the time
// record, and the record type and source names. All are pure functions; any
// thread may call them.
#ifndef KVR_PROTOCOL_MESSAGE_ZETA_TEXT_H_
#define KVR_PROTOCOL_MESSAGE_ZETA_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace kvr::pdu {

// Decimal text as the protocol reads it: leading blanks, an optional sign,
// digits; anything after the digits is ignored and text without digits
// reads 0. Values beyond the 32-bit range are clamped to it (signed) or
// wrap as unsigned conversion does (unsigned, where "-1" is 4294967295).
int32_t ParseDecimalInt(const char* text);
uint32_t ParseDecimalUint(const char* text);

// The time record: a local date and time, 8 bytes.
struct TimeRecord {
  uint16_t year = 0;
  uint8_t month = 0;
  uint8_t day = 0;
  uint8_t hour = 0;
  uint8_t minute = 0;
  uint8_t second = 0;
  uint8_t zero = 0;  // always 0
};
static_assert(sizeof(TimeRecord) == 8);

// The six calendar fields of one kind of time record in another: the time
// record, the host's RECORD_TIME, the platform's local time. Each field is
// kept in the destination's width; every other field of `To` (the zero
// byte) is left at its default.
template <class To, class From>
To ConvertTime(const From& t) {
  To r{};
  r.year = static_cast<decltype(r.year)>(t.year);
  r.month = static_cast<decltype(r.month)>(t.month);
  r.day = static_cast<decltype(r.day)>(t.day);
  r.hour = static_cast<decltype(r.hour)>(t.hour);
  r.minute = static_cast<decltype(r.minute)>(t.minute);
  r.second = static_cast<decltype(r.second)>(t.second);
  return r;
}

// Parses "year-month-day hour:minute:second" into `*out`. All six parts must
// be there; each is read as a decimal number and kept in its field's width.
// Returns false (and leaves `*out` unchanged) for null arguments or text of
// another form.
bool ParseTimeText(const char* text, TimeRecord* out);
// Prints "%d-%d-%d %d:%d:%d"; returns false for a null record.
bool PrintTimeText(const TimeRecord* time, std::string* out);

// Record type names: slots 0 to 4 name record types ("General" ... "Picture"),
// slots 5 and 6 record sources ("From Dvr", "From center").
inline constexpr int kRecordTypeFirstSlot = 0;
inline constexpr int kRecordSourceFirstSlot = 5;
inline constexpr int kRecordNameSlots = 7;

// Name → number: 0 to 4 for the record types, 0 or 1 for the sources; -1
// for any other name (null too).
int RecordNameToNumber(const char* name);
// Number → name within the group that starts at `firstSlot`: the text of
// slot number + firstSlot when that is a slot, else "".
const char* RecordNumberToName(int number, int firstSlot);

// The length of `text` (`length` bytes) without a UTF-8 sequence left
// incomplete at its end. TinyXML, like every client reading these messages,
// takes a lead byte together with the bytes its length claims (whatever
// they are), so a printed text ending in half a character would swallow the
// "<" of its closing tag.
size_t CompleteUtf8Length(const char* text, size_t length);

// Copies `text` into the fixed field `out` of `width` bytes (NUL included),
// cutting what does not fit, and never inside a UTF-8 character. A null text
// gives "".
void CopyToField(char* out, size_t width, const char* text);

}  // namespace kvr::pdu
#endif  // KVR_PROTOCOL_MESSAGE_ZETA_TEXT_H_
