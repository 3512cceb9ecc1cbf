// Field declarations of the data units.
//
// Every unit keeps its fields in a plain block (a struct of fixed-width
// members) and declares them once, in wire order, in a constexpr table next
// to the members:
//
//   struct KeepAliveFields {
//     char cuId[36] = "";
//     int32_t keepAlivePeriod = 0;
//     static constexpr PduField kFields[] = {
//         Field<&KeepAliveFields::cuId>("cuId"),
//         Field<&KeepAliveFields::keepAlivePeriod>("keepAlivePeriod"),
//     };
//   };
//
// Loading (the unit's constructor from a document) and Encode both walk
// that one table, so the two directions cannot drift apart. Field<> takes
// the value type from the member: char[N] is text of width N, int32_t an
// int, uint32_t an unsigned int, TimeRecord a time text. Types that a member
// alone does not tell are named: Bool (32-bit, "true"/"false"), BoolByte
// (the same in one byte), TrueFlag (1 only for exactly "true"), RecordType
// and RecordSource (numbers carried as their names). EncodeAs gives a field
// another key when written, AbsentAs another value when missing.
//
// Lists are declared the same way: an item struct with its own table and a
// PduList naming the element and the cursor slot the unit reads it with.
//
// Tables are constant; any thread may read them.
#ifndef KVR_PROTOCOL_MESSAGE_PDU_FIELDS_H_
#define KVR_PROTOCOL_MESSAGE_PDU_FIELDS_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <type_traits>

#include "protocol/message/zeta_codes.h"
#include "protocol/message/zeta_text.h"

class CzetaDoc;

namespace kvr::pdu {

enum class FieldKind : uint8_t {
  kInt,           // int32_t, value type 1
  kUint,          // uint32_t, value type 5
  kText,          // char[N], value type 2
  kBool,          // int32_t, value type 3
  kBoolByte,      // uint8_t, value type 3 (the loaded value's low byte)
  kTrueFlag,      // int32_t: 1 when the text is exactly "true", else 0; written as a bool
  kTime,          // TimeRecord as "y-m-d h:m:s"; missing or unreadable text leaves it as it is
  kRecordType,    // int32_t carried as the record type name (-1 for an unknown name)
  kRecordSource,  // int32_t carried as the record source name (-1 for an unknown name)
};

namespace pdu_detail {
template <class T>
struct MemberTraits;
template <class C, class M>
struct MemberTraits<M C::*> {
  using Owner = C;
  using Type = M;
};
template <auto Member>
void* MemberAt(void* object) {
  using Owner = typename MemberTraits<decltype(Member)>::Owner;
  return &(static_cast<Owner*>(object)->*Member);
}
template <auto Member>
using MemberType = typename MemberTraits<decltype(Member)>::Type;
// Marks a field that takes its missing value from where it is read: -2 for
// the fixed fields of a unit, the list's own value for list members.
inline constexpr int32_t kContextAbsent = std::numeric_limits<int32_t>::min();
}  // namespace pdu_detail

struct PduField {
  const char* key;        // element read when loading
  const char* encodeKey;  // element written when encoding
  FieldKind kind;
  uint32_t width;             // bytes of the member (text: the array, NUL included)
  void* (*at)(void* object);  // the member inside the field block
  int32_t absent = pdu_detail::kContextAbsent;

  constexpr PduField EncodeAs(const char* key) const {
    PduField field = *this;
    field.encodeKey = key;
    return field;
  }
  constexpr PduField AbsentAs(int32_t value) const {
    PduField field = *this;
    field.absent = value;
    return field;
  }
};

using PduFields = std::span<const PduField>;

template <auto Member>
constexpr PduField MakeField(const char* key, FieldKind kind) {
  return PduField{key, key, kind, sizeof(pdu_detail::MemberType<Member>),
                  &pdu_detail::MemberAt<Member>};
}

// A field whose value type follows from its member's type.
template <auto Member>
constexpr PduField Field(const char* key) {
  using T = pdu_detail::MemberType<Member>;
  if constexpr (std::is_array_v<T>) {
    static_assert(std::is_same_v<std::remove_extent_t<T>, char>, "text fields are char arrays");
    return MakeField<Member>(key, FieldKind::kText);
  } else if constexpr (std::is_same_v<T, int32_t>) {
    return MakeField<Member>(key, FieldKind::kInt);
  } else if constexpr (std::is_same_v<T, uint32_t>) {
    return MakeField<Member>(key, FieldKind::kUint);
  } else {
    static_assert(std::is_same_v<T, TimeRecord>, "no value type for this member type");
    return MakeField<Member>(key, FieldKind::kTime);
  }
}

template <auto Member>
constexpr PduField Bool(const char* key) {
  static_assert(std::is_same_v<pdu_detail::MemberType<Member>, int32_t>);
  return MakeField<Member>(key, FieldKind::kBool);
}
template <auto Member>
constexpr PduField BoolByte(const char* key) {
  static_assert(std::is_same_v<pdu_detail::MemberType<Member>, uint8_t>);
  return MakeField<Member>(key, FieldKind::kBoolByte);
}
template <auto Member>
constexpr PduField TrueFlag(const char* key) {
  static_assert(std::is_same_v<pdu_detail::MemberType<Member>, int32_t>);
  return MakeField<Member>(key, FieldKind::kTrueFlag);
}
template <auto Member>
constexpr PduField RecordType(const char* key) {
  static_assert(std::is_same_v<pdu_detail::MemberType<Member>, int32_t>);
  return MakeField<Member>(key, FieldKind::kRecordType);
}
template <auto Member>
constexpr PduField RecordSource(const char* key) {
  static_assert(std::is_same_v<pdu_detail::MemberType<Member>, int32_t>);
  return MakeField<Member>(key, FieldKind::kRecordSource);
}

// Cursor slots a unit has for its lists.
inline constexpr int kMaxPduLists = 8;

struct PduListSpec {
  const char* name;          // the list element, one per member
  PduFields fields;          // the member's fields in wire order
  int slot;                  // the unit's cursor pair for this list, 0 to kMaxPduLists - 1
  int32_t absentNumber = 0;  // what a missing number of a member reads as
};

// A list whose members are `Item`s.
template <class Item>
struct PduList : PduListSpec {
  constexpr PduList(const char* name, PduFields fields, int slot, int32_t absentNumber = 0)
      : PduListSpec{name, fields, slot, absentNumber} {}
};

// Loads `fields` into `object` from the elements under `prefix` (the body
// itself when empty). Missing numbers read `absent` unless the field says
// otherwise. Returns whether the deciding field (the first text field, else
// the first field) was there and, for text, not empty.
bool LoadFields(CzetaDoc* doc, PduFields fields, void* object, const std::string& prefix,
                int32_t absent);
// Writes `fields` of `object` under `prefix` in table order; with `replace`
// every element already under a field's key goes first. Returns 0, or 5 when
// an element could not be written.
int EncodeFields(CzetaDoc* doc, PduFields fields, const void* object, const std::string& prefix,
                 bool replace);
// The path of member `key` of list item `index`: "name(index)/key".
std::string ListPath(const char* name, int index, const char* key);

}  // namespace kvr::pdu
#endif  // KVR_PROTOCOL_MESSAGE_PDU_FIELDS_H_
