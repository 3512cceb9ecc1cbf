// Error values of the session description code.
//
// Every SDP operation returns an SDPErrors value: a numeric code from one
// catalogue (0 = no error), the source file and line where it was raised,
// and optional user data. The value is small and copied freely; it owns
// nothing (the user data belongs to whoever passed it).
#ifndef KVR_SDP_SRC_SDP_ERRORS_H_
#define KVR_SDP_SRC_SDP_ERRORS_H_

#include <string>

// Base of the error values: code, where it was raised, user data, and the
// printed form "Class: <name>, Code: <code>, File: <file>, Line: <line>\n".
class ErrMsgBase {
 public:
  ErrMsgBase() = default;
  ErrMsgBase(long code, const char* file, unsigned long line, void* user_data = nullptr);
  virtual ~ErrMsgBase() = default;
  ErrMsgBase(const ErrMsgBase&) = default;
  ErrMsgBase& operator=(const ErrMsgBase&) = default;

  virtual const char* ClassName() const = 0;
  // The catalogue text of the code.
  virtual const char* Message() const = 0;

  long Code() const { return code_; }
  bool IsError() const { return code_ != 0; }
  // The file name without its folders (empty when unknown).
  const char* File() const { return file_; }
  unsigned long Line() const { return line_; }
  void* UserData() const { return userData_; }

  // "NoErrMsg" without an error; "Error in ErrMsg library" when the text
  // cannot be built.
  std::string ToString() const;

 private:
  long code_ = 0;
  const char* file_ = "";
  unsigned long line_ = 0;
  void* userData_ = nullptr;
};

// Codes of the catalogue that this code raises by name; the rest of the
// catalogue (up to kSdpErrParameter) has texts only.
enum SdpErrorCode : long {
  kSdpOk = 0,
  kSdpErrIllegalCharacter = 5,
  kSdpErrMissingDescribeWord = 6,
  kSdpErrMissingVersion = 7,
  kSdpErrInvalidVersion = 8,
  kSdpErrWrongState = 40,
  kSdpErrMediaNotFound = 45,
  kSdpErrAttributeValue = 46,
  kSdpErrAttributeNotFound = 47,
  kSdpErrActivation = 98,
  kSdpErrAppendBuffer = 101,
  kSdpErrEmptyDescribeVector = 102,
  kSdpErrUnknownLevel = 103,
  kSdpErrParameter = 104,
};

class SDPErrors : public ErrMsgBase {
 public:
  SDPErrors() = default;
  SDPErrors(long code, const char* file, unsigned long line, void* user_data = nullptr)
      : ErrMsgBase(code, file, line, user_data) {}

  const char* ClassName() const override { return "SDPErrors"; }
  const char* Message() const override { return MessageOf(Code()); }

  // The catalogue text of `code`; codes outside the catalogue give
  // "Error in ErrMsg library".
  static const char* MessageOf(long code);
  // Number of codes in the catalogue (0 to Count() - 1).
  static int Count();
};

// An SDPErrors raised here.
#define KVR_SDP_ERROR(code) SDPErrors((code), __FILE__, __LINE__)

#endif  // KVR_SDP_SRC_SDP_ERRORS_H_
