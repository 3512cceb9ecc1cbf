#include "io/io_work_thread.h"

#include "io/io_channel.h"
#include "io/proactor.h"

CIoWorkThread::CIoWorkThread(CProactor* proactor) : proactor_(proactor) {}

CIoWorkThread::~CIoWorkThread() {
  // The loop must be out of every virtual call before this object shrinks
  // back to its base.
  RequestStop();
  Join();
}

bool CIoWorkThread::Begin() { return Start(1); }

int CIoWorkThread::Run() {
  while (!stop_.load(std::memory_order_acquire)) {
    std::unique_ptr<CIoMessage> message = proactor_->PopMessage();
    if (message == nullptr) {
      OnIdle();
      continue;
    }
    Handle(proactor_, std::move(message));
  }
  return 0;
}

bool CIoWorkThread::OnIdle() {
  proactor_->WaitForMessage(10);
  return true;
}

void CIoWorkThread::Handle(CProactor* proactor, std::unique_ptr<CIoMessage> message) {
  CIoChannel* channel = message->channel();
  if (channel == nullptr) return;
  switch (message->type()) {
    case CIoMessage::kRead:
      channel->CarryOutRead(static_cast<CIoMessage_Read*>(message.get()));
      break;
    case CIoMessage::kWrite:
      channel->CarryOutWrite(static_cast<CIoMessage_Write*>(message.get()));
      break;
    case CIoMessage::kCloseChannel:
      proactor->RemoveChannel(channel->id());
      break;
    default:
      break;
  }
}
