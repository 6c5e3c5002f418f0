// The portion API: the scan engine writing into a PortionSink, over a C++
// input stream or a buffer in memory, or into one string of collected
// entries for the batch collector.

#include "tagcut/portions.h"

#include <memory>
#include <span>
#include <utility>

#include "portion_sink.h"
#include "scan_engine.h"
#include "scan_engine_feed.h"  // the engine, instantiated for PortionSink
#include "stream_io.h"

namespace tagcut {
namespace {

// Pieces are handed over at most this long, and when the input may wait.
constexpr std::size_t kPieceCapacity = 64 * 1024;

struct CollectedEntry {
  std::size_t end_offset;  // in the collector's bytes
  PortionEnd end;
};

// Appends every released byte to one string and notes where each portion
// ends, so a portion costs no allocation of its own.
struct CollectingSink {
  void Append(const unsigned char* bytes, std::size_t count) {
    this->bytes.append(reinterpret_cast<const char*>(bytes), count);
  }
  void AppendLine(const unsigned char* bytes, std::size_t count) {
    Append(bytes, count);
    EndPortion(PortionEnd::kEndTag);
  }
  void EndPortion(PortionEnd end) { entries.push_back({bytes.size(), end}); }

  // Where the open portion's bytes begin.
  std::size_t open_from() const { return entries.empty() ? 0 : entries.back().end_offset; }

  std::string bytes;
  std::vector<CollectedEntry> entries;
};

}  // namespace

void ForEachPortion(std::string start_tag, std::string end_tag, std::istream& in,
                    const std::function<void(std::string_view piece, PortionEnd end)>& on_piece) {
  const ScanEngine engine(std::move(start_tag), std::move(end_tag));
  ScanState scan;
  PortionSink sink(kPieceCapacity, on_piece);
  const std::exception_ptr input_error = ReadStreamInBlocks(
      in,
      [&](std::span<const unsigned char> block) {
        engine.FeedInto(block, scan, sink);
        return true;
      },
      [&] { sink.Flush(); });
  engine.FinishInto(scan, sink);
  sink.Flush();
  SettleInputState(in, input_error);
}

std::vector<std::string> ExtractPortions(std::string_view start_tag, std::string_view end_tag,
                                         std::string_view input) {
  return PortionPattern(std::string(start_tag), std::string(end_tag)).FindAll(input);
}

PortionPattern::PortionPattern(std::string start_tag, std::string end_tag)
    : engine_(std::make_shared<const ScanEngine>(std::move(start_tag), std::move(end_tag))) {}

const std::string& PortionPattern::start_tag() const { return engine_->start_tag(); }
const std::string& PortionPattern::end_tag() const { return engine_->end_tag(); }

std::vector<std::string> PortionPattern::FindAll(std::string_view input) const {
  std::vector<std::string> portions;
  std::string open;
  const PortionSink::OnPiece collect = [&](std::string_view piece, PortionEnd end) {
    if (end != PortionEnd::kContinues && open.empty()) {
      portions.emplace_back(piece);  // the whole portion in one piece
      return;
    }
    open.append(piece);
    if (end == PortionEnd::kContinues) return;
    portions.push_back(std::move(open));
    open.clear();
  };
  ScanState scan;
  PortionSink sink(kPieceCapacity, collect);
  engine_->FeedInto({reinterpret_cast<const unsigned char*>(input.data()), input.size()}, scan,
                    sink);
  engine_->FinishInto(scan, sink);
  return portions;
}

struct PortionCollector::Impl {
  std::shared_ptr<const ScanEngine> engine;
  Unit unit;
  ScanState scan;
  CollectingSink sink;
};

PortionCollector::PortionCollector(PortionPattern pattern, Unit unit)
    : impl_(new Impl{pattern.engine(), unit, {}, {}}) {}
PortionCollector::~PortionCollector() = default;
PortionCollector::PortionCollector(PortionCollector&&) noexcept = default;
PortionCollector& PortionCollector::operator=(PortionCollector&&) noexcept = default;

void PortionCollector::Feed(std::span<const unsigned char> block) {
  CollectingSink& sink = impl_->sink;
  impl_->engine->FeedInto(block, impl_->scan, sink);
  if (impl_->unit == Unit::kPieces && sink.bytes.size() > sink.open_from()) {
    sink.entries.push_back({sink.bytes.size(), PortionEnd::kContinues});
  }
}

void PortionCollector::Feed(std::string_view block) {
  Feed({reinterpret_cast<const unsigned char*>(block.data()), block.size()});
}

void PortionCollector::Finish() { impl_->engine->FinishInto(impl_->scan, impl_->sink); }

std::size_t PortionCollector::size() const { return impl_->sink.entries.size(); }

std::string_view PortionCollector::operator[](std::size_t entry) const {
  const std::vector<CollectedEntry>& entries = impl_->sink.entries;
  const std::size_t from = entry == 0 ? 0 : entries[entry - 1].end_offset;
  return std::string_view(impl_->sink.bytes).substr(from, entries[entry].end_offset - from);
}

PortionEnd PortionCollector::end(std::size_t entry) const { return impl_->sink.entries[entry].end; }

void PortionCollector::Clear() {
  CollectingSink& sink = impl_->sink;
  sink.bytes.erase(0, sink.open_from());
  sink.entries.clear();
}

void PortionCollector::Reset() {
  impl_->scan = ScanState();
  impl_->sink.bytes.clear();
  impl_->sink.entries.clear();
}

bool PortionCollector::in_portion() const { return impl_->scan.output.copying; }

}  // namespace tagcut
