#include "chunk_ring.h"

namespace tagcut {

ChunkRing::ChunkRing(std::size_t chunk_count, std::size_t slot_count)
    : chunk_count_(chunk_count), slot_count_(slot_count), completed_(slot_count, 0) {}

std::optional<std::size_t> ChunkRing::Claim() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] {
    return stopped_ || next_claim_ >= chunk_count_ || next_claim_ < released_ + slot_count_;
  });
  if (stopped_ || next_claim_ >= chunk_count_) return std::nullopt;
  return next_claim_++;
}

void ChunkRing::Complete(std::size_t chunk) {
  {
    std::lock_guard lock(mutex_);
    completed_[SlotOf(chunk)] = chunk + 1;
  }
  changed_.notify_all();
}

void ChunkRing::AwaitComplete(std::size_t chunk) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return completed_[SlotOf(chunk)] == chunk + 1; });
}

void ChunkRing::Release(std::size_t chunk) {
  {
    std::lock_guard lock(mutex_);
    completed_[SlotOf(chunk)] = 0;
    ++released_;
  }
  changed_.notify_all();
}

void ChunkRing::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  changed_.notify_all();
}

}  // namespace tagcut
