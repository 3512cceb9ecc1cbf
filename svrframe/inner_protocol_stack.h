// The inner message: the base of every message that modules exchange.
//
// A module sends a message into the command dealing module, which routes it
// by the three texts of the message (protocol name, command name, result)
// and hands it to the destination modules. The base keeps what the framework
// writes on the way: the names of the sending modules, the function modules
// the message is routed to, the communication modules that must get it
// directly, and the class of the queue it last passed through. Derived data
// units supply the texts and kinds.
//
// Messages are shared by reference count (IReferable: count 0 when made) and
// travel in MessageRef holders; the last holder deletes the message. The
// message itself has no lock: it is handed from thread to thread through the
// framework's queues, and a module that passes a message on must not change
// it afterwards.
#ifndef KVR_SVRFRAME_INNER_PROTOCOL_STACK_H_
#define KVR_SVRFRAME_INNER_PROTOCOL_STACK_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "svrframe/referable.h"
#include "svrframe/refusal_tally.h"
#include "svrframe/secure_string.h"
#include "svrframe/shared_name.h"

namespace SvrFrame {

// Message kinds returned by GetMessageKind.
enum MessageKind : int32_t {
  kRequestMessage = 1,
  kReplyMessage = 2,
  kMediaDataMessage = 49,
};

// Message classes: the queue class a message is sent with and last passed through.
enum MessageClass : int32_t {
  kDataClass = 0,
  kControlDataClass = 1,
  kNRDataClass = 2,
};

class CInnerProtocolStack : public QWTools::IReferable {
 public:
  CInnerProtocolStack() = default;
  ~CInnerProtocolStack() override = default;
  // A copy carries the same names and lists but starts without holders.
  CInnerProtocolStack(const CInnerProtocolStack&) = default;
  CInnerProtocolStack& operator=(const CInnerProtocolStack&) = default;

  // Name of the communication module that sent the message; empty until then.
  const CSecureString& GetCommOrigin() const { return commOrigin_ ? *commOrigin_ : Empty(); }
  void SetCommOrigin(const CSecureString& name) {
    commOrigin_ = std::make_shared<const CSecureString>(name);
  }
  void SetCommOrigin(SharedName name) { commOrigin_ = std::move(name); }

  // Communication modules that receive the message directly when no reply
  // route takes it elsewhere.
  void AddReplyTo(const CSecureString& name) { replyTo_.push_back(name); }
  void ClearReplyTo() { replyTo_.clear(); }
  int GetReplyToCount() const { return static_cast<int>(replyTo_.size()); }
  // An index out of range gives the empty name.
  const CSecureString& GetReplyTo(int index) const { return At(replyTo_, index); }
  const std::vector<CSecureString>& ReplyToList() const { return replyTo_; }

  // Name of the function module that sent the message; empty until then.
  const CSecureString& GetFunOrigin() const { return funOrigin_ ? *funOrigin_ : Empty(); }
  void SetFunOrigin(const CSecureString& name) {
    funOrigin_ = std::make_shared<const CSecureString>(name);
  }
  void SetFunOrigin(SharedName name) { funOrigin_ = std::move(name); }

  // Function modules the message goes to; the routing look-ups fill it. The
  // list is never changed in place: a route is shared with the routing table
  // that it came from, and changing the list gives the message its own copy.
  void AddDestination(const CSecureString& name);
  void ClearDestinations() { destinations_.reset(); }
  int GetDestinationCount() const { return static_cast<int>(DestinationList().size()); }
  // An index out of range gives the empty name.
  const CSecureString& GetDestination(int index) const { return At(DestinationList(), index); }
  const std::vector<CSecureString>& DestinationList() const {
    return destinations_ ? *destinations_ : EmptyList();
  }
  void SetDestinations(const std::vector<CSecureString>& names);
  void SetDestinations(SharedNames names) { destinations_ = std::move(names); }

  // The record whose count a refusal of this message goes to (null: none).
  const std::shared_ptr<CRefusalTally>& GetRefusalTally() const { return refusals_; }
  void SetRefusalTally(std::shared_ptr<CRefusalTally> tally) { refusals_ = std::move(tally); }

  // Set while the message travels through the communication modules' data
  // queue on its way to its reply-to modules (RelayBehindData).
  bool IsRelayed() const { return relayed_; }
  void SetRelayed(bool relayed) { relayed_ = relayed; }

  int32_t GetMessageClass() const { return messageClass_; }
  void SetMessageClass(int32_t messageClass) { messageClass_ = messageClass; }

  // The texts the routing table is matched against. The returned pointers
  // stay valid and unchanged while the message lives; null reads as empty.
  virtual const char* GetProtocolName() const = 0;  // "QW" for the control protocol
  virtual const char* GetCommandName() const = 0;   // e.g. "RecRealMedia"
  // The result code as decimal text ("0", "5", ...).
  virtual CSecureString GetResultText() const = 0;
  // kRequestMessage, kReplyMessage or kMediaDataMessage.
  virtual int32_t GetMessageKind() const = 0;
  // How the message travelled in from outside (defined by the data units).
  virtual int32_t GetCarrierKind() const = 0;

 private:
  static const CSecureString& At(const std::vector<CSecureString>& list, int index);
  static const CSecureString& Empty();
  static const std::vector<CSecureString>& EmptyList();

  // The origins are the sending modules' own names, shared (null: empty).
  // Every empty string owns a heap buffer, and a copy of the name would be
  // made on the sending thread and freed on another for every message.
  SharedName commOrigin_;
  std::vector<CSecureString> replyTo_;
  SharedName funOrigin_;
  SharedNames destinations_;  // null: none
  int32_t messageClass_ = kDataClass;
  bool relayed_ = false;
  std::shared_ptr<CRefusalTally> refusals_;
};

// The holder in which messages travel between modules.
using MessageRef = CReferPtr<CInnerProtocolStack>;

}  // namespace SvrFrame

#endif  // KVR_SVRFRAME_INNER_PROTOCOL_STACK_H_
