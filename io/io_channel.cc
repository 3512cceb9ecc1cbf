#include "io/io_channel.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <new>

#include "io/auto_buffer.h"
#include "io/io_lane.h"
#include "io/io_monitor.h"
#include "io/proactor_core.h"
#include "platform/debug_log.h"
#include "platform/time.h"

namespace {

using kvr::io::CIoBlock;
using kvr::io::CIoMessage_Sync;
using kvr::io::kIoErrorRead;
using kvr::io::kIoErrorWrite;

using Clock = std::chrono::steady_clock;
constexpr auto kBlockAge = std::chrono::milliseconds(CIoChannel::kMaxBlockAgeMs);
// Below this a copy into the block's piece costs less than holding the
// payload's own buffer (a reference, a slice of its own in the write).
constexpr size_t kShareAtLeast = 16384;
}  // namespace

CIoChannel::CIoChannel(int writeThreshold) : writeThreshold_(writeThreshold) {}

// Blocks still held die with the channel (or died with the messages that
// carried them): what they cost is given back here.
CIoChannel::~CIoChannel() {
  if (budget_ != nullptr) budget_->Credit(held_);
}

bool CIoChannel::Seek(int64_t, int) { return false; }

int CIoChannel::Open(int) { return -1; }

int64_t CIoChannel::WriteOut(CIoBlock*, int* error) {
  *error = EBADF;
  return -1;
}

int64_t CIoChannel::ReadIn(CIoBlock*, int, int* error) {
  *error = EBADF;
  return -1;
}

int CIoChannel::GetError() const {
  platform::MutexLock lock(mu_);
  return error_;
}

bool CIoChannel::IsClosePosted() const {
  platform::MutexLock lock(mu_);
  return closePosted_;
}

size_t CIoChannel::HeldBytes() const {
  platform::MutexLock lock(mu_);
  return held_;
}

void CIoChannel::SetWriteThrottle(WriteThrottle throttle) {
  auto shared = throttle ? std::make_shared<const WriteThrottle>(std::move(throttle)) : nullptr;
  platform::MutexLock lock(mu_);
  throttle_ = std::move(shared);
}

void CIoChannel::SetFailureHook(FailureHook hook) {
  auto shared = hook ? std::make_shared<const FailureHook>(std::move(hook)) : nullptr;
  platform::MutexLock lock(mu_);
  failureHook_ = std::move(shared);
}

uint32_t CIoChannel::StalledMs() const {
  platform::MutexLock lock(mu_);
  if (!writeInProgress_) return 0;
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - turnSince_).count();
  return ms > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ms);
}

void CIoChannel::Fail(int error) {
  std::shared_ptr<const FailureHook> hook;
  {
    platform::MutexLock lock(mu_);
    if (error_ != 0) return;
    error_ = error;
    hook = failureHook_;
  }
  platform::DebugPrintf("io: write to channel %d failed: %s", id_,
                        platform::ErrorText(error).c_str());
  core_->Notify(this, [&](IIoMonitor* monitor) { monitor->OnChannelError(this, kIoErrorWrite); });
  if (hook != nullptr) (*hook)(error);
}

std::chrono::milliseconds CIoChannel::SyncInterval() const {
  return std::chrono::milliseconds(core_ != nullptr ? core_->SyncInterval() : 0);
}

void CIoChannel::ArmLocked() {
  if (lane_ == nullptr || error_ != 0 || writeInProgress_) return;
  const auto kSyncInterval = SyncInterval();
  auto due = Clock::time_point::max();
  if (current_ != nullptr && current_->size() > 0) due = currentSince_ + kBlockAge;
  if (unsynced_ && unsyncedSince_ + kSyncInterval < due) due = unsyncedSince_ + kSyncInterval;
  if (due != Clock::time_point::max()) lane_->WakeBy(due);
}

std::unique_ptr<CIoMessage> CIoChannel::OnDeadline(Clock::time_point now, Clock::time_point* next) {
  platform::MutexLock lock(mu_);
  // A channel with a turn out carries on from its completion.
  if (writeInProgress_ || closePosted_ || error_ != 0) return nullptr;
  const auto kSyncInterval = SyncInterval();
  if (current_ != nullptr && current_->size() > 0) {
    if (now >= currentSince_ + kBlockAge) {
      writeQueue_.push_back(std::move(current_));
      return TakeTurnLocked();
    }
    if (currentSince_ + kBlockAge < *next) *next = currentSince_ + kBlockAge;
  }
  if (unsynced_) {
    if (now >= unsyncedSince_ + kSyncInterval) {
      writeInProgress_ = true;
      turnSince_ = now;
      return std::make_unique<CIoMessage_Sync>(weak_from_this().lock());
    }
    if (unsyncedSince_ + kSyncInterval < *next) *next = unsyncedSince_ + kSyncInterval;
  }
  return nullptr;
}

int CIoChannel::Flush() {
  std::unique_ptr<CIoMessage> message;
  {
    platform::MutexLock lock(mu_);
    if (closePosted_ || error_ != 0 || current_ == nullptr || current_->size() == 0) return 0;
    writeQueue_.push_back(std::move(current_));
    message = TakeTurnLocked();
  }
  Post(std::move(message));
  return 0;
}

void CIoChannel::ReleaseLocked(size_t bytes) {
  held_ -= bytes;
  if (budget_ != nullptr) budget_->Credit(bytes);
}

void CIoChannel::Post(std::unique_ptr<CIoMessage> message) {
  if (message != nullptr && lane_ != nullptr) lane_->Post(std::move(message));
}

std::unique_ptr<CIoMessage> CIoChannel::TakeTurnLocked() {
  if (writeInProgress_) return nullptr;  // the holder of the turn carries on
  writeInProgress_ = true;
  turnSince_ = Clock::now();
  return NextMessageLocked();
}

std::unique_ptr<CIoMessage> CIoChannel::NextMessageLocked() {
  if (error_ != 0) {
    for (const auto& block : writeQueue_) ReleaseLocked(block->charged());
    writeQueue_.clear();
    if (current_ != nullptr) ReleaseLocked(current_->charged());
    current_.reset();
  }
  if (!writeQueue_.empty()) {
    std::unique_ptr<CIoBlock> block = std::move(writeQueue_.front());
    writeQueue_.pop_front();
    return std::make_unique<CIoMessage_Write>(weak_from_this().lock(), std::move(block));
  }
  const auto now = Clock::now();
  if (current_ != nullptr && current_->size() > 0 &&
      (IsClosing() || now >= currentSince_ + kBlockAge)) {
    return std::make_unique<CIoMessage_Write>(weak_from_this().lock(), std::move(current_));
  }
  // Closing syncs once more on its own, so a sync is not put in its way.
  if (error_ == 0 && unsynced_ && !IsClosing() && now >= unsyncedSince_ + SyncInterval()) {
    return std::make_unique<CIoMessage_Sync>(weak_from_this().lock());
  }
  writeInProgress_ = false;
  ArmLocked();
  return CloseMessageLocked();
}

std::unique_ptr<CIoMessage> CIoChannel::CloseMessageLocked() {
  if (!IsClosing() || writeInProgress_ || readPending_ || closePosted_) return nullptr;
  closePosted_ = true;
  if (current_ != nullptr) ReleaseLocked(current_->charged());
  current_.reset();
  return std::make_unique<CIoMessage_CloseChannel>(weak_from_this().lock());
}

int CIoChannel::PostNextWrite() {
  std::unique_ptr<CIoMessage> message;
  {
    platform::MutexLock lock(mu_);
    message = TakeTurnLocked();
  }
  Post(std::move(message));
  return 0;
}

int CIoChannel::Close() {
  std::unique_ptr<CIoMessage> message;
  {
    platform::MutexLock lock(mu_);
    closing_.store(true, std::memory_order_release);
    message = TakeTurnLocked();
  }
  Post(std::move(message));
  return 0;
}

int CIoChannel::Write(const void* data, int length) { return Take(data, length, nullptr); }

int CIoChannel::WriteShared(CAutoBuffer* owner, const void* data, int length) {
  return Take(data, length, owner);
}

int CIoChannel::Take(const void* data, int length, CAutoBuffer* owner) {
  if (data == nullptr || length <= 0) return -1;
  const size_t n = static_cast<size_t>(length);
  // A shared payload keeps its whole buffer until written: one that fills
  // little of it is copied, so the memory kept stays near the bytes taken.
  const size_t footprint = owner != nullptr ? owner->Footprint() : 0;
  if (n < kShareAtLeast || footprint > n + n / 4) owner = nullptr;
  const size_t charge = owner != nullptr ? std::max(n, footprint) : n;
  std::unique_ptr<CIoMessage> message;
  size_t held = 0;
  bool dropped = false;
  {
    platform::MutexLock lock(mu_);
    if (error_ != 0) return -1;
    if (closePosted_) return 0;
    if (budget_ != nullptr &&
        (held_ + charge > budget_->ChannelLimit() || !budget_->TryCharge(charge))) {
      // With no write of the channel out, what is gathered goes to the disk
      // now: with a bound below the write threshold the block would otherwise
      // wait for bytes it can never take. While a write is out the chain goes
      // on by itself, and handing over part-filled blocks at every drop would
      // fill memory with part-filled pieces.
      dropped = true;
      if (!writeInProgress_ && current_ != nullptr && current_->size() > 0) {
        writeQueue_.push_back(std::move(current_));
        message = TakeTurnLocked();
      }
    } else {
      const auto now = Clock::now();
      bool began = false;
      const bool fits = [&]() REQUIRES(mu_) {
        try {
          if (current_ == nullptr) current_ = std::make_unique<CIoBlock>();
        } catch (const std::bad_alloc&) {
          return false;
        }
        if (current_->size() == 0) currentSince_ = now, began = true;
        return owner != nullptr ? current_->AppendShared(owner, data, n)
                                : current_->Append(data, n);
      }();
      if (!fits) {
        if (budget_ != nullptr) budget_->Credit(charge);
        return -1;
      }
      held_ += charge;
      current_->AddCharge(charge);
      held = current_->size();
      // An aged block waits while a write is out: behind a slow disk, blocks
      // handed over part-filled would hold whole pieces for a few bytes each,
      // and memory would outgrow the byte bound many times over.
      if (held >= static_cast<size_t>(writeThreshold_) ||
          (!writeInProgress_ && now >= currentSince_ + kBlockAge)) {
        writeQueue_.push_back(std::move(current_));
        message = TakeTurnLocked();
      } else if (IsClosing()) {
        message = TakeTurnLocked();
      } else if (began) {
        ArmLocked();
      }
    }
  }
  Post(std::move(message));
  if (dropped) return kWriteDropped;
  return held > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(held);
}

int CIoChannel::Read(void* destination, int length) {
  if (length <= 0) return -1;
  std::unique_ptr<CIoMessage> message;
  {
    platform::MutexLock lock(mu_);
    if (closePosted_) return 0;
    if (readPending_) return 1;
    try {
      auto block = std::make_unique<CIoBlock>(destination, static_cast<size_t>(length));
      message =
          std::make_unique<CIoMessage_Read>(weak_from_this().lock(), std::move(block), length);
    } catch (const std::bad_alloc&) {
      return -1;
    }
    readPending_ = true;
  }
  Post(std::move(message));
  return 0;
}

void CIoChannel::CarryOutWrite(CIoMessage_Write* message) {
  const size_t size = message->block()->size();
  const size_t charged = message->block()->charged();
  std::shared_ptr<const WriteThrottle> throttle;
  {
    platform::MutexLock lock(mu_);
    throttle = throttle_;
  }
  if (throttle != nullptr) (*throttle)(size);
  int error = 0;
  int64_t written = WriteOut(message->block(), &error);
  if (written <= 0 && error == 0) error = EIO;  // a write that moves nothing is a failure
  message->DestroyBlock();

  if (error == 0) {
    const int count = written > INT32_MAX ? INT32_MAX : static_cast<int>(written);
    core_->Notify(this, [&](IIoMonitor* monitor) { monitor->OnWrite(this, count); });
  } else {
    Fail(error);
  }

  std::unique_ptr<CIoMessage> next;
  {
    platform::MutexLock lock(mu_);
    ReleaseLocked(charged);
    turnSince_ = Clock::now();
    if (error == 0 && !unsynced_ && SyncInterval().count() > 0) {
      unsynced_ = true;
      unsyncedSince_ = turnSince_;
    }
    next = NextMessageLocked();
  }
  Post(std::move(next));
}

void CIoChannel::CarryOutSync() {
  const int error = SyncOut();
  if (error != 0) Fail(error);
  std::unique_ptr<CIoMessage> next;
  {
    platform::MutexLock lock(mu_);
    // Bytes written before this sync are durable; none were written during it.
    if (error == 0) unsynced_ = false;
    turnSince_ = Clock::now();
    next = NextMessageLocked();
  }
  Post(std::move(next));
}

void CIoChannel::SyncBeforeClose() {
  {
    platform::MutexLock lock(mu_);
    if (!unsynced_ || error_ != 0) return;
    unsynced_ = false;
  }
  const int error = SyncOut();
  if (error != 0) Fail(error);
}

void CIoChannel::CarryOutRead(CIoMessage_Read* message) {
  int error = 0;
  int64_t got = ReadIn(message->block(), message->count(), &error);
  core_->Notify(this, [&](IIoMonitor* monitor) {
    if (got >= 0) {
      monitor->OnRead(this, message->block(), static_cast<int>(got));
    } else {
      monitor->OnChannelError(this, kIoErrorRead);
    }
  });

  std::unique_ptr<CIoMessage> close;
  {
    platform::MutexLock lock(mu_);
    readPending_ = false;
    close = CloseMessageLocked();
  }
  Post(std::move(close));
}
