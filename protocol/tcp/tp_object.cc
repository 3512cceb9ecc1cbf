#include "protocol/tcp/tp_object.h"

#include <utility>

namespace {
using kvr::tcp::TPConnection;
using kvr::tcp::TPLock;
using kvr::tcp::TPSendItem;
}  // namespace

ITPObject::ITPObject(uint32_t context, ITPListener* listener)
    : listener_(listener), context_(context), readBuffer_(new char[32768]) {}

ITPObject::~ITPObject() {
  CloseAll();
  if (readBufferOwned_) delete[] readBuffer_;
}

int ITPObject::CloseAll() {
  std::map<int32_t, TPConnection> clients;
  std::map<int32_t, std::deque<TPSendItem>> queues;
  {
    TPLock clientGuard(clientLock_);
    clients.swap(clients_);
    // Under both locks, so that no send can be queued for a socket about to close.
    TPLock queueGuard(queueLock_);
    queues.swap(sendQueues_);
  }
  for (const auto& [id, connection] : clients) platform::CloseSocket(connection.socket);
  return CloseListeners();
}

int ITPObject::CloseListeners() {
  std::vector<platform::SocketFd> listeners;
  {
    // The polling thread accepts under the client lock, never from a closed socket.
    TPLock clientGuard(clientLock_);
    listeners.swap(listenSockets_);
    listening_.store(false);
  }
  int result = 0;
  for (const platform::SocketFd fd : listeners) {
    const int closed = platform::CloseSocket(fd);
    if (result == 0) result = closed;
  }
  return result;
}
