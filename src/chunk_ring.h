// Chunk ring: hands the chunks of a file, in order, to worker threads and
// back to the one thread that writes them, through a fixed ring of slots.
// Chunk k lives in slot k % slots from the moment a worker claims it until
// the writer releases it, so at most `slots` chunks are in flight and memory
// stays bounded however large the file. Claims come in chunk order; a worker
// that claims a chunk must complete it (even if only to say it failed),
// since the writer waits for every chunk in order.
//
// For the threaded file path; every member is safe to call from any thread.
#ifndef TAGCUT_CHUNK_RING_H_
#define TAGCUT_CHUNK_RING_H_

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <vector>

namespace tagcut {

class ChunkRing {
 public:
  ChunkRing(std::size_t chunk_count, std::size_t slot_count);

  // Worker: the next chunk, once its slot is free; nullopt when every chunk
  // has been claimed or the ring was stopped.
  std::optional<std::size_t> Claim();

  // Worker: `chunk`'s slot holds its result.
  void Complete(std::size_t chunk);

  // Writer: waits until `chunk` is complete.
  void AwaitComplete(std::size_t chunk);

  // Writer: done with `chunk`; its slot may take the chunk `slots` later.
  void Release(std::size_t chunk);

  // No more claims; wakes every worker waiting in Claim.
  void Stop();

  std::size_t SlotOf(std::size_t chunk) const { return chunk % slot_count_; }
  std::size_t slot_count() const { return slot_count_; }

 private:
  const std::size_t chunk_count_;
  const std::size_t slot_count_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t next_claim_ = 0;
  std::size_t released_ = 0;  // chunks the writer has finished with
  bool stopped_ = false;
  // Per slot, one more than the chunk it holds complete; 0 when none.
  std::vector<std::size_t> completed_;
};

}  // namespace tagcut

#endif  // TAGCUT_CHUNK_RING_H_
