// Portion columns: the scan engine writing each portion's bytes and end
// offset into column buffers, or counting where each portion lies in the
// input.

#include "tagcut/portion_columns.h"

#include <cstring>
#include <utility>

#include "scan_engine.h"
#include "scan_engine_feed.h"  // the engine, instantiated for both sinks

namespace tagcut {
namespace {

void AppendOffset(ColumnBuffer& offsets, std::int64_t offset) {
  offsets.Append(&offset, sizeof offset);
}

// Every released byte into one buffer; each portion's end as an offset.
struct ColumnSink {
  void Append(const unsigned char* bytes, std::size_t count) { columns.data.Append(bytes, count); }
  void AppendLine(const unsigned char* bytes, std::size_t count) {
    Append(bytes, count);
    EndPortion(PortionEnd::kEndTag);
  }
  void EndPortion(PortionEnd) {
    if (columns.offsets.size() == 0) AppendOffset(columns.offsets, 0);
    AppendOffset(columns.offsets, static_cast<std::int64_t>(columns.data.size()));
  }

  PortionColumns columns;
};

// Counts positions: a portion lies where its first call points and is as
// long as the bytes released for it. Bytes are held from one block to the
// next only inside a portion that has had its first call, so that call
// always points into the block being scanned (or, at the end of input, is
// the empty call that places a portion opened by the last byte).
class SpanSink {
 public:
  // The next block begins `block_offset` bytes into the input.
  void BeginBlock(std::span<const unsigned char> block, std::uint64_t block_offset) {
    block_ = block.data();
    block_offset_ = block_offset;
  }

  void Append(const unsigned char* bytes, std::size_t count) {
    if (!placed_) {
      start_ = block_offset_ + static_cast<std::uint64_t>(bytes - block_);
      placed_ = true;
    }
    length_ += count;
  }
  void AppendLine(const unsigned char* bytes, std::size_t count) {
    Append(bytes, count);
    EndPortion(PortionEnd::kEndTag);
  }
  void EndPortion(PortionEnd) {
    const std::int64_t span[2] = {static_cast<std::int64_t>(start_),
                                  static_cast<std::int64_t>(start_ + length_)};
    spans.Append(span, sizeof span);
    placed_ = false;
    length_ = 0;
  }

  ColumnBuffer spans;

 private:
  const unsigned char* block_ = nullptr;
  std::uint64_t block_offset_ = 0;
  bool placed_ = false;
  std::uint64_t start_ = 0;
  std::uint64_t length_ = 0;
};

std::span<const unsigned char> AsBytes(std::string_view block) {
  return {reinterpret_cast<const unsigned char*>(block.data()), block.size()};
}

}  // namespace

struct PortionColumnCollector::Impl {
  std::shared_ptr<const ScanEngine> engine;
  ScanState scan;
  ColumnSink sink;
};

PortionColumnCollector::PortionColumnCollector(PortionPattern pattern)
    : impl_(new Impl{pattern.engine(), {}, {}}) {}
PortionColumnCollector::~PortionColumnCollector() = default;
PortionColumnCollector::PortionColumnCollector(PortionColumnCollector&&) noexcept = default;
PortionColumnCollector& PortionColumnCollector::operator=(PortionColumnCollector&&) noexcept =
    default;

void PortionColumnCollector::Feed(std::span<const unsigned char> block) {
  impl_->engine->FeedInto(block, impl_->scan, impl_->sink);
}
void PortionColumnCollector::Feed(std::string_view block) { Feed(AsBytes(block)); }

void PortionColumnCollector::Finish() { impl_->engine->FinishInto(impl_->scan, impl_->sink); }

const PortionColumns& PortionColumnCollector::collected() const { return impl_->sink.columns; }

PortionColumns PortionColumnCollector::Take() {
  PortionColumns& columns = impl_->sink.columns;
  const auto collected_bytes = static_cast<std::size_t>(columns.offset_values().back());
  PortionColumns rest;
  rest.data.Append(columns.data.data() + collected_bytes, columns.data.size() - collected_bytes);
  PortionColumns taken = std::exchange(columns, std::move(rest));
  taken.data.Truncate(collected_bytes);
  return taken;
}

PortionColumns PortionColumnCollector::Copy(std::size_t first, std::size_t last) const {
  const std::span<const std::int64_t> offsets = collected().offset_values();
  PortionColumns copy;
  if (first == last) return copy;
  copy.data.Append(collected().data.data() + offsets[first],
                   static_cast<std::size_t>(offsets[last] - offsets[first]));
  copy.offsets.Reserve((last - first + 1) * sizeof(std::int64_t));
  for (std::size_t portion = first; portion <= last; ++portion) {
    AppendOffset(copy.offsets, offsets[portion] - offsets[first]);
  }
  return copy;
}

void PortionColumnCollector::Drop(std::size_t count) {
  PortionColumns& columns = impl_->sink.columns;
  if (count == 0) return;
  const std::int64_t dropped_bytes = columns.offset_values()[count];
  columns.data.EraseFront(static_cast<std::size_t>(dropped_bytes));
  columns.offsets.EraseFront(count * sizeof(std::int64_t));
  auto* offsets = reinterpret_cast<std::int64_t*>(columns.offsets.data());
  for (std::size_t portion = 0; portion <= columns.size(); ++portion) {
    offsets[portion] -= dropped_bytes;
  }
}

struct SpanCollector::Impl {
  std::shared_ptr<const ScanEngine> engine;
  ScanState scan;
  SpanSink sink;
  std::uint64_t fed = 0;  // bytes of input before the next block
};

SpanCollector::SpanCollector(PortionPattern pattern)
    : impl_(new Impl{pattern.engine(), {}, {}, 0}) {}
SpanCollector::~SpanCollector() = default;
SpanCollector::SpanCollector(SpanCollector&&) noexcept = default;
SpanCollector& SpanCollector::operator=(SpanCollector&&) noexcept = default;

void SpanCollector::Feed(std::span<const unsigned char> block) {
  impl_->sink.BeginBlock(block, impl_->fed);
  impl_->engine->FeedInto(block, impl_->scan, impl_->sink);
  impl_->fed += block.size();
}
void SpanCollector::Feed(std::string_view block) { Feed(AsBytes(block)); }

void SpanCollector::Finish() {
  impl_->sink.BeginBlock({}, impl_->fed);
  impl_->engine->FinishInto(impl_->scan, impl_->sink);
  impl_->fed = 0;
}

std::size_t SpanCollector::size() const { return impl_->sink.spans.size() / 16; }

std::span<const std::int64_t> SpanCollector::spans() const {
  return {reinterpret_cast<const std::int64_t*>(impl_->sink.spans.data()), 2 * size()};
}

ColumnBuffer SpanCollector::Take() { return std::move(impl_->sink.spans); }

}  // namespace tagcut
