// The extractor over C++ streams: blocks are taken from the input stream's
// buffer as they are available, and released bytes go to the output stream.

#include <algorithm>
#include <cstdio>
#include <exception>
#include <istream>
#include <ostream>
#include <streambuf>
#include <utility>

#if defined(__GLIBCXX__) && defined(__GLIBC__)
#include <ext/stdio_sync_filebuf.h>
#define TAGCUT_KNOWS_STDIO_BUFFERS 1
#endif

#include "read_block.h"
#include "stream_io.h"
#include "tagcut/extract.h"

namespace tagcut {
namespace {

constexpr std::size_t kStreamBlockSize = 64 * 1024;

class StreamSink final : public OutputSink {
 public:
  explicit StreamSink(std::ostream& out) : OutputSink(kStreamBlockSize), out_(out) {}

 protected:
  bool Write(std::span<const unsigned char> buffered,
             std::span<const unsigned char> direct) override {
    for (const auto part : {buffered, direct}) {
      if (part.empty()) continue;
      if (!out_.write(reinterpret_cast<const char*>(part.data()),
                      static_cast<std::streamsize>(part.size()))) {
        return false;
      }
    }
    return true;
  }

 private:
  std::ostream& out_;
};

// Bytes `source` can hand over without waiting for input. A stream buffer
// synchronised with C stdio (std::cin by default) always reports 0, though
// the C library may hold a whole block read ahead; taking it at its word
// would mean a flush and a write(2) per byte, so its FILE is asked instead.
std::streamsize ReadyBytes(std::streambuf* source) {
#ifdef TAGCUT_KNOWS_STDIO_BUFFERS
  if (auto* synced = dynamic_cast<__gnu_cxx::stdio_sync_filebuf<char>*>(source)) {
    const FILE* file = synced->file();
    return file->_IO_read_end - file->_IO_read_ptr;
  }
#endif
  return source->in_avail();
}

}  // namespace

std::exception_ptr ReadStreamInBlocks(
    std::istream& in, const std::function<bool(std::span<const unsigned char>)>& feed,
    const std::function<void()>& before_wait) {
  std::streambuf* source = in.rdbuf();
  if (source == nullptr || !in.good()) return nullptr;
  const ReadBlock block(kStreamBlockSize);
  std::exception_ptr input_error;
  const auto guarded = [&input_error](auto&& operation) -> std::streamsize {
    try {
      return operation();
    } catch (...) {
      input_error = std::current_exception();
      return -1;
    }
  };
  const auto at_end = [source] {
    return std::istream::traits_type::eq_int_type(source->sgetc(), std::istream::traits_type::eof())
               ? -1
               : 0;
  };
  for (;;) {
    std::streamsize available = guarded([&] { return ReadyBytes(source); });
    if (available <= 0) {
      before_wait();  // the next read may block
      if (available < 0 || guarded(at_end) < 0) break;
      available = guarded([&] { return ReadyBytes(source); });
      if (input_error) break;
      available = std::max<std::streamsize>(available, 1);
    }
    const std::streamsize wanted =
        std::min<std::streamsize>(available, static_cast<std::streamsize>(block.bytes().size()));
    const std::streamsize got = guarded(
        [&] { return source->sgetn(reinterpret_cast<char*>(block.bytes().data()), wanted); });
    if (got <= 0 || !feed(block.bytes().first(static_cast<std::size_t>(got)))) break;
  }
  return input_error;
}

void SettleInputState(std::istream& in, const std::exception_ptr& input_error) {
  if (input_error) {
    try {
      in.setstate(std::ios::badbit);  // throws only where exceptions() has badbit
    } catch (const std::ios_base::failure&) {
    }
    if ((in.exceptions() & std::ios::badbit) != 0) std::rethrow_exception(input_error);
  } else if (in.rdbuf() != nullptr) {
    in.setstate(std::ios::eofbit);
  }
}

void AutomatonExtract(std::string start_tag, std::string end_tag, std::istream& in,
                      std::ostream& out) {
  Extractor extractor(std::move(start_tag), std::move(end_tag));
  StreamSink sink(out);
  const std::exception_ptr input_error = ReadStreamInBlocks(
      in,
      [&](std::span<const unsigned char> block) {
        extractor.Feed(block, sink);
        return !sink.failed();
      },
      [&] {
        sink.Flush();
        out.flush();
      });
  extractor.Finish(sink);
  sink.Flush();
  out.flush();
  // Only now may the input's state throw, if the caller asked it to.
  SettleInputState(in, input_error);
}

}  // namespace tagcut
