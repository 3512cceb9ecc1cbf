// The service's owned C string, used for every name, key and path.
//
// The buffer is never null: an empty string owns a small zero buffer, so
// c_str() can always be handed to C functions. Positions and counts are ints
// as in the protocol code; out-of-range values never touch memory outside the
// buffer (each operation says what it does with them). Bytes compare as
// unsigned. A string is used by one thread at a time.
//
// CStringGruad owns one heap CSecureString and deletes it when destroyed or
// given another.
#ifndef KVR_SVRFRAME_SECURE_STRING_H_
#define KVR_SVRFRAME_SECURE_STRING_H_

#include <compare>
#include <cstddef>
#include <functional>
#include <memory>

class CSecureString {
 public:
  CSecureString();
  // A null text gives the empty string.
  CSecureString(const char* text);              // NOLINT: implicit, strings are built from literals
  CSecureString(const char* text, int length);  // at most length bytes, stops at a NUL
  CSecureString(const CSecureString& other);
  CSecureString(CSecureString&& other) noexcept;
  ~CSecureString() = default;

  // A null text leaves the string unchanged.
  CSecureString& operator=(const char* text);
  CSecureString& operator=(const CSecureString& other);
  CSecureString& operator=(CSecureString&& other) noexcept;
  CSecureString& Assign(const char* text) { return *this = text; }

  CSecureString& Append(const char* text);  // null: no change
  CSecureString& Append(char c);            // a NUL character is not appended
  CSecureString& operator+=(const char* text) { return Append(text); }
  CSecureString& operator+=(const CSecureString& s) { return Append(s.c_str()); }
  CSecureString& operator+=(char c) { return Append(c); }

  // Inserts text before position; past the end appends, negative inserts at the front.
  CSecureString& Insert(int position, const char* text);
  // Removes up to count characters from position; returns the new length, or
  // -1 (no change) when position is negative or past the end. A negative
  // count removes nothing.
  int Erase(int position, int count);

  // Index of the first occurrence at or after `from`, or -1 (also when `from`
  // is negative or past the end). An empty text is found at `from`.
  int Find(char c, int from = 0) const;
  int Find(const char* text, int from = 0) const;

  // A new string of `count` characters from position; empty when position +
  // count exceeds the length or either is negative.
  std::unique_ptr<CSecureString> Substring(int position, int count) const;

  // The character at index, or a shared empty text when index is negative or
  // not below the length.
  const char* At(int index) const;

  int Length() const { return length_; }
  bool IsEmpty() const { return length_ == 0; }
  const char* c_str() const { return data_.get(); }

  // -1, 0 or 1, byte-wise unsigned; a null text compares as empty.
  int Compare(const char* text) const;
  int Compare(const CSecureString& other) const { return Compare(other.c_str()); }
  // Compares with a heap temporary and deletes it.
  int Compare(std::unique_ptr<CSecureString> temporary) const;

  bool operator==(const CSecureString& o) const { return Compare(o) == 0; }
  bool operator==(const char* t) const { return Compare(t) == 0; }
  bool operator==(std::unique_ptr<CSecureString> t) const { return Compare(std::move(t)) == 0; }
  std::strong_ordering operator<=>(const CSecureString& o) const { return Order(Compare(o)); }
  std::strong_ordering operator<=>(const char* t) const { return Order(Compare(t)); }
  std::strong_ordering operator<=>(std::unique_ptr<CSecureString> t) const {
    return Order(Compare(std::move(t)));
  }

 private:
  static std::strong_ordering Order(int c) {
    return c < 0   ? std::strong_ordering::less
           : c > 0 ? std::strong_ordering::greater
                   : std::strong_ordering::equal;
  }
  void Replace(const char* text, size_t length);

  std::unique_ptr<char[]> data_;
  int length_ = 0;
};

template <>
struct std::hash<CSecureString> {
  size_t operator()(const CSecureString& s) const noexcept;
};

class CStringGruad {
 public:
  explicit CStringGruad(CSecureString* owned = nullptr) : owned_(owned) {}
  // Deletes the string held before (unless it is the same one).
  void Reset(CSecureString* owned) {
    if (owned != owned_.get()) owned_.reset(owned);
  }
  CStringGruad& operator=(CSecureString* owned) {
    Reset(owned);
    return *this;
  }
  CSecureString* Get() const { return owned_.get(); }
  CSecureString* operator->() const { return owned_.get(); }

 private:
  std::unique_ptr<CSecureString> owned_;
};

#endif  // KVR_SVRFRAME_SECURE_STRING_H_
