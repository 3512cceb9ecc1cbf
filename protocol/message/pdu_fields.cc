#include "protocol/message/pdu_fields.h"

#include <cstdio>
#include <cstring>

#include "protocol/message/zeta_doc.h"
namespace kvr::pdu {

namespace {

std::string PathOf(const std::string& prefix, const char* key) {
  return prefix.empty() ? std::string(key) : prefix + "/" + key;
}

int32_t AbsentOf(const PduField& field, int32_t context) {
  return field.absent != pdu_detail::kContextAbsent ? field.absent : context;
}

// Loads one field; returns whether its element was there.
bool LoadField(CzetaDoc* doc, const PduField& field, void* object, const std::string& prefix,
               int32_t context) {
  const char* text = doc->GetValue(PathOf(prefix, field.key).c_str());
  void* at = field.at(object);
  int32_t absent = AbsentOf(field, context);
  switch (field.kind) {
    case FieldKind::kInt: {
      int32_t v = text != nullptr ? ParseDecimalInt(text) : absent;
      std::memcpy(at, &v, sizeof(v));
      break;
    }
    case FieldKind::kUint: {
      uint32_t v = text != nullptr ? ParseDecimalUint(text) : static_cast<uint32_t>(absent);
      std::memcpy(at, &v, sizeof(v));
      break;
    }
    case FieldKind::kText:
      CopyToField(static_cast<char*>(at), field.width, text);
      break;
    case FieldKind::kBool:
    case FieldKind::kBoolByte: {
      int32_t v = text == nullptr ? absent : std::strncmp(text, "true", 4) == 0 ? 1 : 0;
      if (field.kind == FieldKind::kBool) {
        std::memcpy(at, &v, sizeof(v));
      } else {
        *static_cast<uint8_t*>(at) = static_cast<uint8_t>(v);
      }
      break;
    }
    case FieldKind::kTrueFlag: {
      int32_t v = text != nullptr && std::strcmp(text, "true") == 0 ? 1 : 0;
      std::memcpy(at, &v, sizeof(v));
      break;
    }
    case FieldKind::kTime:
      if (text != nullptr) ParseTimeText(text, static_cast<TimeRecord*>(at));
      break;
    case FieldKind::kRecordType:
    case FieldKind::kRecordSource: {
      int32_t v = RecordNameToNumber(text != nullptr ? text : "");
      std::memcpy(at, &v, sizeof(v));
      break;
    }
  }
  return text != nullptr;
}

int EncodeField(CzetaDoc* doc, const PduField& field, const void* object, const std::string& path) {
  const void* at = field.at(const_cast<void*>(object));
  switch (field.kind) {
    case FieldKind::kInt:
      return doc->SetValue(path.c_str(), at, kValueInt);
    case FieldKind::kUint:
      return doc->SetValue(path.c_str(), at, kValueUint);
    case FieldKind::kText: {
      // Makers fill the arrays directly: never read past the field.
      const char* text = static_cast<const char*>(at);
      std::string value(text, strnlen(text, field.width));
      return doc->SetValue(path.c_str(), value.c_str(), kValueString);
    }
    case FieldKind::kBool:
    case FieldKind::kTrueFlag:
      return doc->SetValue(path.c_str(), at, kValueBool);
    case FieldKind::kBoolByte: {
      int32_t v = *static_cast<const uint8_t*>(at);
      return doc->SetValue(path.c_str(), &v, kValueBool);
    }
    case FieldKind::kTime: {
      std::string text;
      PrintTimeText(static_cast<const TimeRecord*>(at), &text);
      return doc->SetValue(path.c_str(), text.c_str(), kValueString);
    }
    case FieldKind::kRecordType:
    case FieldKind::kRecordSource: {
      int32_t v;
      std::memcpy(&v, at, sizeof(v));
      const char* name = RecordNumberToName(
          v, field.kind == FieldKind::kRecordType ? kRecordTypeFirstSlot : kRecordSourceFirstSlot);
      return doc->SetValue(path.c_str(), name, kValueString);
    }
  }
  return kResultCodeFail;
}

// The field whose presence keeps a list going.
size_t DecidingField(PduFields fields) {
  for (size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].kind == FieldKind::kText) return i;
  }
  return 0;
}

}  // namespace

bool LoadFields(CzetaDoc* doc, PduFields fields, void* object, const std::string& prefix,
                int32_t absent) {
  if (doc == nullptr || object == nullptr || fields.empty()) return false;
  size_t deciding = DecidingField(fields);
  bool going = false;
  for (size_t i = 0; i < fields.size(); ++i) {
    bool present = LoadField(doc, fields[i], object, prefix, absent);
    if (i == deciding) {
      going = present && (fields[i].kind != FieldKind::kText ||
                          *static_cast<const char*>(fields[i].at(object)) != '\0');
    }
  }
  return going;
}

int EncodeFields(CzetaDoc* doc, PduFields fields, const void* object, const std::string& prefix,
                 bool replace) {
  if (fields.empty()) return kResultSuccess;
  if (doc == nullptr || object == nullptr) return kResultCodeFail;
  int status = kResultSuccess;
  for (const PduField& field : fields) {
    if (replace && prefix.empty()) doc->RemoveBodyValues(field.encodeKey);
    if (EncodeField(doc, field, object, PathOf(prefix, field.encodeKey)) != kResultSuccess) {
      status = kResultCodeFail;
    }
  }
  return status;
}

std::string ListPath(const char* name, int index, const char* key) {
  char path[256];
  std::snprintf(path, sizeof(path), "%s(%d)/%s", name, index, key);
  return path;
}

}  // namespace kvr::pdu
