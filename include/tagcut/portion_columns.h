// Portion columns: one input's portions as columns rather than one object
// each, for a caller that hands millions of them on (a binding to another
// language, a columnar writer): every portion's bytes back to back in one
// buffer with n + 1 int64 offsets (Arrow's large_binary layout), or, for an
// input in memory, each portion's start and end offsets in that input, so
// not one byte of it is copied.
//
// The portions are those of every other entry point (<tagcut/portions.h>):
// left to right, no overlap, tags never part of a portion, and a final
// portion cut short by the end of input is the last one. The same engine
// scans; the result grows in ColumnBuffer's steps (huge pages, no copy to
// grow), so collecting costs the scan plus one copy of each portion's bytes
// (8 bytes of offset per portion), or 16 bytes per portion for spans.
//
// A collector is one stream, fed block by block; not for two threads at
// once. Growing its buffers throws std::bad_alloc where the system refuses
// the memory; after that only destruction is safe.
//
// Example:
//   PortionColumnCollector collector(PortionPattern("<b>", "</b>"));
//   collector.Feed("x<b>1</b><b>23");
//   collector.Finish();
//   PortionColumns columns = collector.Take();  // data "123", offsets {0, 1, 3}
//
//   SpanCollector spans(PortionPattern("<b>", "</b>"));
//   spans.Feed("x<b>1</b><b>23");
//   spans.Finish();  // spans.spans() == {4, 5, 12, 14}: (start, end) pairs
#ifndef TAGCUT_PORTION_COLUMNS_H_
#define TAGCUT_PORTION_COLUMNS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "tagcut/column_buffer.h"
#include "tagcut/export.h"
#include "tagcut/portions.h"

namespace tagcut {

// Portions back to back: portion i is data[offsets[i], offsets[i + 1]) of
// the size() + 1 int64 offset_values(), the first 0 and the last
// data.size(). Without portions `offsets` may hold nothing (so an empty
// result allocates nothing); offset_values() is then {0}.
struct TAGCUT_EXPORT PortionColumns {
  std::size_t size() const {
    return offsets.size() == 0 ? 0 : offsets.size() / sizeof(std::int64_t) - 1;
  }
  std::span<const std::int64_t> offset_values() const {
    static constexpr std::int64_t kNone[1] = {0};
    if (offsets.size() == 0) return kNone;
    return {reinterpret_cast<const std::int64_t*>(offsets.data()), size() + 1};
  }
  std::string_view operator[](std::size_t portion) const {
    const std::span<const std::int64_t> at = offset_values();
    return {reinterpret_cast<const char*>(data.data()) + at[portion],
            static_cast<std::size_t>(at[portion + 1] - at[portion])};
  }

  ColumnBuffer data;
  ColumnBuffer offsets;
};

// Collects one input's portions as PortionColumns, block by block. The
// portion still open after a Feed is not among the collected ones; its
// bytes stay in the collector until it ends.
class TAGCUT_EXPORT PortionColumnCollector {
 public:
  explicit PortionColumnCollector(PortionPattern pattern);
  ~PortionColumnCollector();
  PortionColumnCollector(PortionColumnCollector&&) noexcept;
  PortionColumnCollector& operator=(PortionColumnCollector&&) noexcept;

  void Feed(std::span<const unsigned char> block);
  void Feed(std::string_view block);

  // The input has ended: an open portion is collected (cut short, perhaps
  // empty), and the collector is ready for a new input.
  void Finish();

  // The complete portions collected and not yet taken or dropped.
  const PortionColumns& collected() const;

  // Hands every collected portion over, without copying its bytes.
  PortionColumns Take();

  // A copy of portions [first, last) of collected(), offsets from 0.
  PortionColumns Copy(std::size_t first, std::size_t last) const;

  // Drops the first `count` collected portions.
  void Drop(std::size_t count);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Collects each portion's [start, end) offsets in the input, counted from
// the start of the first block fed: two int64 a portion.
class TAGCUT_EXPORT SpanCollector {
 public:
  explicit SpanCollector(PortionPattern pattern);
  ~SpanCollector();
  SpanCollector(SpanCollector&&) noexcept;
  SpanCollector& operator=(SpanCollector&&) noexcept;

  void Feed(std::span<const unsigned char> block);
  void Feed(std::string_view block);
  void Finish();

  // Spans collected: size() pairs.
  std::size_t size() const;
  std::span<const std::int64_t> spans() const;

  // Hands the spans over: 16 bytes a portion, start then end.
  ColumnBuffer Take();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tagcut

#endif  // TAGCUT_PORTION_COLUMNS_H_
