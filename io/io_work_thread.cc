#include "io/io_work_thread.h"

#include <utility>

#include "io/io_channel.h"
#include "io/io_lane.h"
#include "io/proactor_core.h"

namespace {
using kvr::io::CIoLane;
using kvr::io::CIoMessage_Job;
using kvr::io::CProactorCore;
}  // namespace

CIoWorkThread::CIoWorkThread(std::shared_ptr<CProactorCore> core, CIoLane* lane, uint64_t crew)
    : QWTools::CThread(/*autoDelete=*/true), core_(std::move(core)), lane_(lane), crew_(crew) {
  core_->WorkerArrived();
}

CIoWorkThread::~CIoWorkThread() { core_->WorkerLeft(); }

bool CIoWorkThread::Launch(std::shared_ptr<CProactorCore> core, CIoLane* lane, uint64_t crew) {
  auto* worker = new CIoWorkThread(std::move(core), lane, crew);
  if (worker->Start(1)) return true;  // from here on the thread owns it
  delete worker;
  return false;
}

int CIoWorkThread::Run() {
  for (;;) {
    CIoLane::Work work = lane_->Wait(core_->crew(), crew_);
    if (work.ended) return 0;
    if (work.sweep) {
      core_->Sweep(lane_);
    } else {
      Handle(core_.get(), std::move(work.message));
    }
  }
}

void CIoWorkThread::Handle(CProactorCore* core, std::unique_ptr<CIoMessage> message) {
  if (message->type() == CIoMessage::kJob) {
    static_cast<CIoMessage_Job*>(message.get())->CarryOut();
    return;
  }
  CIoChannel* channel = message->channel();
  if (channel == nullptr) return;
  switch (message->type()) {
    case CIoMessage::kRead:
      channel->CarryOutRead(static_cast<CIoMessage_Read*>(message.get()));
      break;
    case CIoMessage::kWrite:
      channel->CarryOutWrite(static_cast<CIoMessage_Write*>(message.get()));
      break;
    case CIoMessage::kSync:
      channel->CarryOutSync();
      break;
    case CIoMessage::kCloseChannel:
      core->RemoveChannel(message->TakeChannel());
      break;
    default:
      break;
  }
}
