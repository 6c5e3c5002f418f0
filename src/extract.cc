#include "tagcut/extract.h"

#include <utility>

#include "scan_engine.h"

namespace tagcut {

struct Extractor::Impl {
  ScanEngine engine;
  ScanState scan;
};

Extractor::Extractor(std::string start_tag, std::string end_tag)
    : impl_(new Impl{ScanEngine(std::move(start_tag), std::move(end_tag)), {}}) {}
Extractor::~Extractor() = default;
Extractor::Extractor(Extractor&&) noexcept = default;
Extractor& Extractor::operator=(Extractor&&) noexcept = default;

void Extractor::Feed(std::span<const unsigned char> block, OutputSink& sink) {
  impl_->engine.Feed(block, impl_->scan, sink);
}

void Extractor::Feed(std::string_view block, OutputSink& sink) {
  Feed({reinterpret_cast<const unsigned char*>(block.data()), block.size()}, sink);
}

void Extractor::Finish(OutputSink& sink) { impl_->engine.Finish(impl_->scan, sink); }

bool Extractor::in_portion() const { return impl_->scan.output.copying; }

}  // namespace tagcut
