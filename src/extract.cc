#include "extract.h"

#include <utility>

namespace tagcut {

Extractor::Extractor(std::string start_tag, std::string end_tag)
    : start_(std::move(start_tag)), end_(std::move(end_tag)) {}

void Extractor::Release(std::uint32_t held,
                        std::span<const unsigned char> block, std::size_t from,
                        std::size_t to, std::size_t keep,
                        OutputSink& sink) const {
  // Held bytes always equal the end tag's first `held` bytes, so the oldest
  // of them are written from the tag itself.
  const std::size_t total = held + (to - from);
  const std::size_t release = total - keep;
  const auto* end_tag =
      reinterpret_cast<const unsigned char*>(end_.tag().data());
  if (release <= held) {
    sink.Append(end_tag, release);
    return;
  }
  sink.Append(end_tag, held);
  sink.Append(block.data() + from, release - held);
}

void Extractor::Feed(std::span<const unsigned char> block, OutputSink& sink) {
  std::size_t position = 0;
  while (position < block.size()) {
    if (!copying_) {
      const std::size_t found = start_.FindEnd(block, position, state_);
      if (found == TagSearcher::kNotFound) return;
      copying_ = true;
      position = found;
      continue;
    }
    const std::uint32_t held = state_;
    const std::size_t found = end_.FindEnd(block, position, state_);
    if (found == TagSearcher::kNotFound) {
      Release(held, block, position, block.size(), state_, sink);
      return;
    }
    Release(held, block, position, found, end_.tag().size(), sink);
    sink.Put('\n');
    copying_ = false;
    position = found;
  }
}

void Extractor::Finish(OutputSink& sink) {
  if (copying_) {
    sink.Append(reinterpret_cast<const unsigned char*>(end_.tag().data()),
                state_);
    sink.Put('\n');
  }
  copying_ = false;
  state_ = 0;
}

}  // namespace tagcut
