// The extractor over C++ streams: blocks are taken from the input stream's
// buffer as they are available, and released bytes go to the output stream.

#include <istream>
#include <memory>
#include <ostream>
#include <streambuf>
#include <utility>

#include "extract.h"

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

}  // namespace

void AutomatonExtract(std::string start_tag, std::string end_tag,
                      std::istream& in, std::ostream& out) {
  Extractor extractor(std::move(start_tag), std::move(end_tag));
  StreamSink sink(out);
  std::streambuf* source = in.rdbuf();
  auto block = std::make_unique<unsigned char[]>(kStreamBlockSize);
  bool input_ok = source != nullptr && in.good();
  while (input_ok && !sink.failed()) {
    std::streamsize available = source->in_avail();
    if (available <= 0) {
      // The next read may block: deliver what is released first.
      sink.Flush();
      out.flush();
      if (available < 0 ||
          std::istream::traits_type::eq_int_type(
              source->sgetc(), std::istream::traits_type::eof())) {
        break;
      }
      available = std::max<std::streamsize>(source->in_avail(), 1);
    }
    const std::streamsize wanted = std::min<std::streamsize>(
        available, static_cast<std::streamsize>(kStreamBlockSize));
    const std::streamsize got =
        source->sgetn(reinterpret_cast<char*>(block.get()), wanted);
    if (got <= 0) break;
    extractor.Feed({block.get(), static_cast<std::size_t>(got)}, sink);
  }
  if (source != nullptr) in.setstate(std::ios::eofbit);
  extractor.Finish(sink);
  sink.Flush();
  out.flush();
}

}  // namespace tagcut
