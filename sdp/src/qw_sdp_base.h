// The part shared by a session description and each of its media sections:
// the ordered list of parsed lines, the printed text, the level (0 session,
// 1 media) and how many bytes the last parse took.
//
// ParseItems reads the lines of one level and hands each to OnItem, which
// the session and the media section implement to file typed fields.
// PrintItems prints the lines the level stands for. A description and its
// items are used by one thread at a time.
#ifndef KVR_SDP_SRC_QW_SDP_BASE_H_
#define KVR_SDP_SRC_QW_SDP_BASE_H_

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sdp/src/sdp_errors.h"
#include "sdp/src/sdp_items.h"

class CQwSdpBase {
 public:
  enum Level : int { kSessionLevel = 0, kMediaLevel = 1 };

  explicit CQwSdpBase(int level) : level_(level) {}
  virtual ~CQwSdpBase();
  CQwSdpBase(const CQwSdpBase&) = delete;
  CQwSdpBase& operator=(const CQwSdpBase&) = delete;

  // Reads the lines of this level from `text` (`length` bytes; 0: up to the
  // NUL). Lines end with CR LF, CR or LF; an empty line or the end of the
  // text ends the description. Session level: lines before the first "v="
  // are skipped and the first "m=" ends the level. Media level: the text
  // starts with an "m=" line and the next one ends the level. Replaces what
  // the level held before. 6 for a line without "=" as its second
  // character, 5 for a line with a NUL byte, 46 for a name or extra part
  // with nothing after it.
  virtual SDPErrors ParseItems(const char* text, int length);
  // Prints the level's lines into Text(), in the order they were parsed
  // (repeated lines included). 101 when a line yields no text, 102 when
  // there is no line.
  virtual SDPErrors PrintItems();
  // The value of the first attribute ("a=<name>:<value>") with this name:
  // as a decimal, or as text trimmed of blanks and line ends. 47 when there
  // is none, 46 when the value is not a number, 104 for a null output.
  virtual SDPErrors GetIntAttribute(std::string_view name, int* value) const;
  virtual SDPErrors GetTextAttribute(std::string_view name, std::string* value) const;
  // The first attribute with this name, or null.
  virtual const CSDPGenerDescribe* FindAttribute(std::string_view name) const;

  // Appends a line and files it as a parsed one would be (a line of a typed
  // kind sets that field). 104 for a null item.
  SDPErrors AddItem(std::unique_ptr<CSDPGenerDescribe> item);

  const std::vector<std::unique_ptr<CSDPGenerDescribe>>& Items() const { return items_; }
  const std::string& Text() const { return text_; }
  int Level() const { return level_; }
  // Bytes the last ParseItems took (lines skipped before "v=" included).
  int Consumed() const { return consumed_; }

 protected:
  // A typed field as printing sees it: the line that prints for it (null:
  // none), the parsed line it was filed from (null when it was only set),
  // and its place in the standard order of the level.
  struct Field {
    CSDPGenerDescribe* line;
    const CSDPGenerDescribe* source;
    int rank;
  };

  // Files one parsed line into the typed fields. Only the first line of a
  // kind that has one field fills it; later ones stay lines of the list.
  virtual SDPErrors OnItem(CSDPGenerDescribe* item) = 0;
  // The typed fields that print, in their standard order.
  virtual std::vector<Field> Fields() = 0;
  // The place of a line's kind in the standard order of the level.
  virtual int Rank(const CSDPGenerDescribe& item) const = 0;
  virtual void ClearFields() = 0;

 private:
  // The lines to print, in order.
  std::vector<CSDPGenerDescribe*> PrintList();

  std::vector<std::unique_ptr<CSDPGenerDescribe>> items_;
  std::string text_;
  int level_;
  int consumed_ = 0;
};

#endif  // KVR_SDP_SRC_QW_SDP_BASE_H_
