// The portion API: the scan engine writing into a PortionSink, over a C++
// input stream or a buffer in memory.

#include "tagcut/portions.h"

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
  const ScanEngine engine{std::string(start_tag), std::string(end_tag)};
  ScanState scan;
  PortionSink sink(kPieceCapacity, collect);
  engine.FeedInto({reinterpret_cast<const unsigned char*>(input.data()), input.size()}, scan, sink);
  engine.FinishInto(scan, sink);
  return portions;
}

}  // namespace tagcut
