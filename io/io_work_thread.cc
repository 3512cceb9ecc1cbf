#include "io/io_work_thread.h"

#include <utility>

#include "io/io_channel.h"
#include "io/proactor_core.h"

CIoWorkThread::CIoWorkThread(std::shared_ptr<CProactorCore> core, uint64_t crew)
    : QWTools::CThread(/*autoDelete=*/true), core_(std::move(core)), crew_(crew) {
  core_->WorkerArrived();
}

CIoWorkThread::~CIoWorkThread() { core_->WorkerLeft(); }

bool CIoWorkThread::Launch(std::shared_ptr<CProactorCore> core, uint64_t crew) {
  auto* worker = new CIoWorkThread(std::move(core), crew);
  if (worker->Start(1)) return true;  // from here on the thread owns it
  delete worker;
  return false;
}

int CIoWorkThread::Run() {
  while (!core_->CrewEnded(crew_)) {
    std::unique_ptr<CIoMessage> message = core_->PopMessage();
    if (message == nullptr) {
      OnIdle();
      continue;
    }
    Handle(core_.get(), std::move(message));
  }
  return 0;
}

bool CIoWorkThread::OnIdle() {
  core_->WaitForMessage(crew_, 10);
  return true;
}

void CIoWorkThread::Handle(CProactorCore* core, std::unique_ptr<CIoMessage> message) {
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
      core->RemoveChannel(message->TakeChannel());
      break;
    default:
      break;
  }
}
