// TCP sockets over IPv4 and IPv6, readiness polling and a wake-up for a
// sleeping poller.
//
// Every socket call of the service is made here. Sockets are plain
// descriptors (kInvalidSocket when none). The IPv4-only calls take addresses
// and ports in network byte order; a SocketAddress carries either family and
// its port in host order. Writes never raise SIGPIPE: a peer that went away
// shows up as an error result.
//
// The functions are safe from any thread; a PollSet belongs to the thread
// that fills and waits on it. PollWaker::Notify may be called from any thread.
#ifndef KVR_PLATFORM_SOCKET_H_
#define KVR_PLATFORM_SOCKET_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

using SocketFd = int;
inline constexpr SocketFd kInvalidSocket = -1;

// An IPv4 or IPv6 address with a port, in the system's own form.
struct SocketAddress {
  // Room for the largest form (IPv6 with its scope); `length` bytes are used.
  alignas(8) unsigned char storage[32] = {};
  uint32_t length = 0;  // 0: no address

  bool IsIPv6() const;
};

// Results of Receive and SendSome besides a byte count.
inline constexpr long kSocketWouldBlock = -1;
inline constexpr long kSocketError = -2;

// A TCP/IPv4 stream socket (close-on-exec), or kInvalidSocket.
SocketFd OpenTcpSocket();
// 0, or the system's error number of the close.
int CloseSocket(SocketFd fd);

bool SetNonBlocking(SocketFd fd);
// Lets a restarted listener bind while old connections are in TIME_WAIT; a
// port held by a live listener still fails to bind.
bool SetReuseAddress(SocketFd fd);
bool SetNoDelay(SocketFd fd);
// SO_SNDBUF (send) or SO_RCVBUF.
bool SetBufferSize(SocketFd fd, bool send, int bytes);
// Close resets the connection at once instead of lingering over unsent bytes.
bool SetAbortiveClose(SocketFd fd);

// A TCP stream socket (close-on-exec) of the address's family, or
// kInvalidSocket (LastSocketError says why: EAFNOSUPPORT on a system without
// IPv6). An IPv6 socket takes IPv6 only, so that the same port can be bound
// for IPv4 beside it.
SocketFd OpenTcpSocketFor(const SocketAddress& address);
// Binds to the address and its port (0: a free one).
bool BindTo(SocketFd fd, const SocketAddress& address);
// Takes one waiting client as a non-blocking, close-on-exec socket with its
// address (either family); kInvalidSocket when none or on error.
SocketFd AcceptPeer(SocketFd listener, SocketAddress* peer);

// Binds to `addressNet`:`portNet` (0 = any address / a free port).
bool BindIPv4(SocketFd fd, uint32_t addressNet, uint16_t portNet);
bool ListenOn(SocketFd fd, int backlog);
// Connects a blocking socket; false when refused or failed.
bool ConnectIPv4(SocketFd fd, uint32_t addressNet, uint16_t portNet);
// The port the socket is bound to (network order, either family), 0 when unknown.
uint16_t LocalPort(SocketFd fd);
// Takes one waiting client as a non-blocking, close-on-exec socket, with its
// address and port (network order); kInvalidSocket when none or on error.
SocketFd AcceptClient(SocketFd listener, uint32_t* addressNet, uint16_t* portNet);

// Bytes read (> 0), 0 when the peer closed, kSocketWouldBlock or kSocketError.
long Receive(SocketFd fd, void* buffer, size_t size);
// Bytes written (>= 0), kSocketWouldBlock or kSocketError.
long SendSome(SocketFd fd, const void* data, size_t size);
// Waits up to `ms` for the socket to take more bytes; false on time-out or error.
bool WaitWritable(SocketFd fd, int ms);
// The system's error number of the last failed call on this thread.
int LastSocketError();

// A numeric IPv4 or IPv6 address ("127.0.0.1", "::1", "[::1]",
// "fe80::1%eth0") with `port` (host order); false when `text` is none. No
// name is looked up.
bool ParseAddress(const char* text, uint16_t port, SocketAddress* out);
// The address without its port: dotted IPv4, IPv6 text, and an IPv4 client
// that reached an IPv6 socket as dotted IPv4. "" for none.
std::string AddressText(const SocketAddress& address);
// The port in host order (0 for none).
uint16_t AddressPort(const SocketAddress& address);
void SetAddressPort(SocketAddress* address, uint16_t port);
// "1.2.3.4:5150" or "[::1]:5150", for messages.
std::string EndpointText(const std::string& address, uint16_t port);

// Dotted text to an address in network order; false when `text` is not one.
bool ParseIPv4(const char* text, uint32_t* addressNet);
// An address in network order as dotted text (at least 16 bytes of room).
void FormatIPv4(uint32_t addressNet, char* out, size_t size);
uint16_t HostToNet16(uint16_t value);
uint16_t NetToHost16(uint16_t value);

// The descriptors one poll pass waits on.
class PollSet {
 public:
  PollSet();
  ~PollSet();
  PollSet(const PollSet&) = delete;
  PollSet& operator=(const PollSet&) = delete;

  void Clear();
  // Adds a descriptor; returns its index for the queries below.
  size_t Add(int fd, bool read, bool write);
  size_t Size() const;
  // Waits up to `ms` (0: no waiting) for any entry to become ready. Returns
  // the number of ready entries, 0 on time-out or interruption, -1 on error.
  int Wait(int ms);
  // Ready to read, or closed / failed (a read then tells which).
  bool Readable(size_t index) const;
  // Ready to write, or failed (a write then tells).
  bool Writable(size_t index) const;

 private:
  struct Entries;
  std::unique_ptr<Entries> entries_;
};

// A descriptor that becomes readable when Notify is called, so that a
// thread waiting in PollSet::Wait can be woken for work that is not a socket's.
class PollWaker {
 public:
  PollWaker();
  ~PollWaker();
  PollWaker(const PollWaker&) = delete;
  PollWaker& operator=(const PollWaker&) = delete;

  // -1 when the system gave none (then nothing wakes the poller early).
  int Fd() const { return fd_; }
  void Notify();
  // Consumes the notifications so far.
  void Drain();

 private:
  int fd_;
};

}  // namespace platform

#endif  // KVR_PLATFORM_SOCKET_H_
