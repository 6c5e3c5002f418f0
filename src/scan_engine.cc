#include "scan_engine.h"

#include <utility>

#include "kernel.h"
#include "scan_engine_feed.h"
#include "tag_search.h"

namespace tagcut {
namespace {

bool FitsOnePass(const std::string& tag) { return !tag.empty() && tag.size() <= kVectorBytes; }

// The byte stream's speed rests on the sink's fast paths: short portions
// copied into its buffer in place, dense ones compacted into it. A sink
// that lost one would still be correct, only slower, so say it here.
static_assert(scan_detail::SinkWritesInPlace<OutputSink>,
              "OutputSink must offer Room and Commit: short portions are copied in place");
static_assert(scan_detail::SinkTakesCompaction<OutputSink>,
              "OutputSink must offer Flush: dense portions are compacted into its buffer");

}  // namespace

ScanEngine::ScanEngine(std::string start_tag, std::string end_tag)
    : kernel_(&SelectedKernel()),
      start_(std::make_unique<const TagSearcher>(std::move(start_tag), *kernel_)),
      end_(std::make_unique<const TagSearcher>(std::move(end_tag), *kernel_)),
      one_pass_(kernel_->routines.find_bounds != nullptr && FitsOnePass(start_->tag()) &&
                FitsOnePass(end_->tag())),
      compacts_(one_pass_ && kernel_->routines.compact_portions != nullptr &&
                CompactsTags(start_->tag(), end_->tag())) {}

ScanEngine::ScanEngine(ScanEngine&&) noexcept = default;
ScanEngine::~ScanEngine() = default;

const std::string& ScanEngine::start_tag() const { return start_->tag(); }
const std::string& ScanEngine::end_tag() const { return end_->tag(); }

void ScanEngine::Feed(std::span<const unsigned char> block, ScanState& scan,
                      OutputSink& sink) const {
  FeedInto(block, scan, sink);
}

void ScanEngine::Finish(ScanState& scan, OutputSink& sink) const { FinishInto(scan, sink); }

ScanState ScanEngine::StateAfter(std::span<const unsigned char> bytes, bool copying,
                                 const ScanState& hints) const {
  ScanState scan = hints;
  scan.output = OutputState{.copying = copying, .partial_match = 0};
  DiscardingSink discard;
  Feed(bytes, scan, discard);
  return scan;
}

}  // namespace tagcut
