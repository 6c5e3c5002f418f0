#include "scan_engine.h"

#include <utility>

#include "kernel.h"
#include "portion_sink.h"
#include "tag_search.h"

namespace tagcut {
namespace {

// Ends the open portion: a line feed in the byte stream, the portion's last
// piece for a sink that takes portions.
void EndPortion(OutputSink& sink, PortionEnd) { sink.Put('\n'); }
void EndPortion(PortionSink& sink, PortionEnd end) { sink.EndPortion(end); }

// Takes released bytes and drops them, unbuffered.
class DiscardingSink final : public OutputSink {
 public:
  DiscardingSink() : OutputSink(0) {}

 protected:
  bool Write(std::span<const unsigned char>, std::span<const unsigned char>) override {
    return true;
  }
};

bool FitsOnePass(const std::string& tag) { return !tag.empty() && tag.size() <= kVectorBytes; }

// Both tags' probes and this scan's hints, for the kernel's one pass.
ShortTags ShortTagsOf(const TagSearcher& start, const TagSearcher& end, ScanState& scan) {
  start.probes().Prepare(scan.start_hints);
  end.probes().Prepare(scan.end_hints);
  return {{&start.probes(), &end.probes()}, {&scan.start_hints, &scan.end_hints}};
}

}  // namespace

ScanEngine::ScanEngine(std::string start_tag, std::string end_tag)
    : start_(std::make_unique<const TagSearcher>(std::move(start_tag), SelectedKernel())),
      end_(std::make_unique<const TagSearcher>(std::move(end_tag), start_->probes().kernel())),
      one_pass_(end_->probes().kernel().scan_short_tags != nullptr && FitsOnePass(start_->tag()) &&
                FitsOnePass(end_->tag())) {}

ScanEngine::ScanEngine(ScanEngine&&) noexcept = default;
ScanEngine::~ScanEngine() = default;

const std::string& ScanEngine::start_tag() const { return start_->tag(); }
const std::string& ScanEngine::end_tag() const { return end_->tag(); }

template <class Sink>
void ScanEngine::Release(std::uint32_t held, std::span<const unsigned char> block, std::size_t from,
                         std::size_t to, std::size_t keep, Sink& sink) const {
  // Held bytes always equal the end tag's first `held` bytes, so the oldest
  // of them are written from the tag itself.
  const std::size_t total = held + (to - from);
  const std::size_t release = total - keep;
  const auto* end_tag = reinterpret_cast<const unsigned char*>(end_->tag().data());
  if (release <= held) {
    sink.Append(end_tag, release);
    return;
  }
  sink.Append(end_tag, held);
  sink.Append(block.data() + from, release - held);
}

void ScanEngine::Feed(std::span<const unsigned char> block, ScanState& scan,
                      OutputSink& sink) const {
  FeedInto(block, scan, sink);
}

void ScanEngine::Feed(std::span<const unsigned char> block, ScanState& scan,
                      PortionSink& sink) const {
  FeedInto(block, scan, sink);
}

void ScanEngine::Finish(ScanState& scan, OutputSink& sink) const { FinishInto(scan, sink); }

void ScanEngine::Finish(ScanState& scan, PortionSink& sink) const { FinishInto(scan, sink); }

ScanState ScanEngine::StateAfter(std::span<const unsigned char> bytes, bool copying,
                                 const ScanState& hints) const {
  ScanState scan = hints;
  scan.output = OutputState{.copying = copying, .partial_match = 0};
  DiscardingSink discard;
  Feed(bytes, scan, discard);
  return scan;
}

std::size_t ScanEngine::ScanShortTags(std::span<const unsigned char> block, ScanState& scan,
                                      OutputSink& sink) const {
  return start_->probes().kernel().scan_short_tags(ShortTagsOf(*start_, *end_, scan), block,
                                                   scan.output.copying, sink);
}

std::size_t ScanEngine::ScanShortTags(std::span<const unsigned char> block, ScanState& scan,
                                      PortionSink& sink) const {
  return start_->probes().kernel().scan_short_tags_into_portions(ShortTagsOf(*start_, *end_, scan),
                                                                 block, scan.output.copying, sink);
}

template <class Sink>
void ScanEngine::FeedInto(std::span<const unsigned char> block, ScanState& scan, Sink& sink) const {
  std::size_t position = 0;
  OutputState& output = scan.output;
  if (one_pass_ && output.partial_match == 0) position = ScanShortTags(block, scan, sink);
  while (position < block.size()) {
    if (!output.copying) {
      const std::size_t past_start =
          start_->Find(block, position, output.partial_match, scan.start_hints);
      if (past_start == TagSearcher::kNotFound) return;
      output.copying = true;
      position = past_start;
      continue;
    }
    const std::uint32_t held = output.partial_match;
    const std::size_t past_end = end_->Find(block, position, output.partial_match, scan.end_hints);
    if (past_end == TagSearcher::kNotFound) {
      Release(held, block, position, block.size(), output.partial_match, sink);
      return;
    }
    Release(held, block, position, past_end, end_->tag().size(), sink);
    EndPortion(sink, PortionEnd::kEndTag);
    output.copying = false;
    position = past_end;
  }
}

template <class Sink>
void ScanEngine::FinishInto(ScanState& scan, Sink& sink) const {
  if (scan.output.copying) {
    Release(scan.output.partial_match, {}, 0, 0, /*keep=*/0, sink);  // the held end-tag prefix
    EndPortion(sink, PortionEnd::kEndOfInput);
  }
  scan.output = OutputState{};
}

}  // namespace tagcut
