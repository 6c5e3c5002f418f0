// Microbenchmarks of the extraction core over in-memory buffers, in bytes of
// input per second and, where portions are many, in time per portion
// (`per_portion`, seconds: 2.5n is 2.5 ns). The core is fed 256 KiB blocks,
// as the command line feeds it, and writes into a sink that only counts, so
// the figures are the scanner's own, without system calls.
//
//   cmake -S . -B build -DTAGCUT_BUILD_BENCHMARKS=ON && cmake --build build
//   build/bench/tagcut_bench [--tagcut_kernel=NAME] [Google Benchmark's options]
//
// --tagcut_kernel runs one kernel (any the tests run here, the emulated ones
// too, whose figures only hint at the real instructions'); the report's
// context names the kernel and the processor.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <istream>
#include <ostream>
#include <random>
#include <sstream>
#include <streambuf>
#include <string>

#include "kernel.h"
#include "tagcut/extract.h"
#include "tagcut/portions.h"
#include "test_support.h"

namespace {

constexpr std::size_t kInputSize = 32u << 20;
constexpr std::size_t kBlockSize = 256u << 10;

// HTML-like text: paragraphs of words with a link every few hundred bytes
// and markup everywhere, much like generated documentation.
const std::string& HtmlLikeText() {
  static const std::string text = [] {
    std::mt19937 random(1);
    const char* words[] = {"the",      "function", "returns", "a",    "value", "of",  "type",
                           "iterator", "when",     "called",  "with", "self",  "and", "slice"};
    std::string page = "<html><head><title>t</title></head><body class=\"rustdoc\">\n";
    while (page.size() < kInputSize - 64) {
      page += "<div class=\"docblock\"><p>";
      for (int i = 0; i < 40; ++i) {
        page += words[random() % std::size(words)];
        page += random() % 9 == 0 ? "</code> <code>" : " ";
      }
      page += "<a href=\"std/iter/trait.Iterator.html#method." + std::to_string(random() % 1000) +
              "\" title=\"method\">next</a></p></div>\n";
    }
    page += "</body></html>\n";
    return page;
  }();
  return text;
}

void RunExtraction(benchmark::State& state, const std::string& start_tag,
                   const std::string& end_tag, const std::string& input) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(input.data());
  std::size_t written = 0;
  for (auto _ : state) {
    tagcut::Extractor extractor(start_tag, end_tag);
    tagcut::DiscardingSink sink(kBlockSize);  // buffered as the command line's sink is
    for (std::size_t at = 0; at < input.size(); at += kBlockSize) {
      extractor.Feed({bytes + at, std::min(kBlockSize, input.size() - at)}, sink);
      sink.Flush();
    }
    extractor.Finish(sink);
    sink.Flush();
    written = sink.written();
    benchmark::DoNotOptimize(written);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
  state.counters["output_share"] = static_cast<double>(written) / static_cast<double>(input.size());
  // Counted once, outside the timed loop.
  const auto portions =
      static_cast<double>(tagcut::ExtractPortions(start_tag, end_tag, input).size());
  if (portions >= static_cast<double>(input.size()) / 1024) {
    state.counters["portions"] = portions;
    state.counters["per_portion"] = benchmark::Counter(
        portions, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  }
}

void BM_SparseHrefInHtml(benchmark::State& state) {
  RunExtraction(state, "href=\"", "\"", HtmlLikeText());
}

void BM_DenseTinyPortions(benchmark::State& state) {
  RunExtraction(state, "<", ">", HtmlLikeText());
}

void BM_DenseAttributeValues(benchmark::State& state) {
  RunExtraction(state, "=\"", "\"", HtmlLikeText());
}

// Text between tags: the portions between one tag's end and the next's start.
void BM_DenseTextBetweenTags(benchmark::State& state) {
  RunExtraction(state, ">", "<", HtmlLikeText());
}

void BM_CopyHeavyBody(benchmark::State& state) {
  RunExtraction(state, "<body", "</body>", HtmlLikeText());
}

// The tag's own prefix repeats over the whole input: the prefilter finds a
// candidate everywhere and must step aside for the automaton.
void BM_PeriodicAdversarialTag(benchmark::State& state) {
  std::string input(kInputSize, 'a');
  for (std::size_t i = 4096; i < input.size(); i += 4096) input[i] = 'b';
  RunExtraction(state, "aaaaaaaab", "aaaaaaaab", input);
}

void BM_LongestTags(benchmark::State& state) {
  std::mt19937 random(2);
  std::string start_tag, end_tag;
  for (int i = 0; i < 131071; ++i) {
    start_tag.push_back(static_cast<char>('a' + random() % 4));
    end_tag.push_back(static_cast<char>('a' + random() % 4));
  }
  std::string input;
  while (input.size() < kInputSize) {
    input += start_tag.substr(0, 1 + random() % 64);
    input.push_back(static_cast<char>('a' + random() % 4));
    if (random() % 64 == 0) input += start_tag + "payload" + end_tag;
  }
  RunExtraction(state, start_tag, end_tag, input);
}

void BM_HighBytesEverywhere(benchmark::State& state) {
  std::mt19937 random(3);
  std::string input(kInputSize, '\0');
  for (char& byte : input) byte = static_cast<char>(0x80 + random() % 128);
  RunExtraction(state, "\xc3\xa9\xc3", "\xe2\x80\x9d", input);
}

// The entry points over a whole input in memory, against each other: the
// byte stream through streams (into a stream buffer that discards), the
// portions streamed as pieces, the portions collected as strings, and the
// byte stream kept in a string (the fair match for collecting).
class InputBuffer final : public std::streambuf {
 public:
  explicit InputBuffer(const std::string& text) {
    char* begin = const_cast<char*>(text.data());  // only ever read
    setg(begin, begin, begin + text.size());
  }
};

class DiscardingBuffer final : public std::streambuf {
 protected:
  std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
  int_type overflow(int_type byte) override { return traits_type::not_eof(byte); }
};

enum class EntryPoint { kByteStream, kForEachPortion, kExtractPortions, kByteStreamKept };

void RunEntryPoint(benchmark::State& state, const std::string& start_tag,
                   const std::string& end_tag, EntryPoint entry) {
  const std::string& input = HtmlLikeText();
  std::size_t count = 0;
  for (auto _ : state) {
    count = 0;
    if (entry == EntryPoint::kExtractPortions) {
      count = tagcut::ExtractPortions(start_tag, end_tag, input).size();
    } else {
      InputBuffer buffer(input);  // reads the input in place
      std::istream in(&buffer);
      if (entry == EntryPoint::kByteStream) {
        DiscardingBuffer discard;
        std::ostream out(&discard);
        tagcut::AutomatonExtract(start_tag, end_tag, in, out);
      } else if (entry == EntryPoint::kByteStreamKept) {  // kept, as ExtractPortions keeps it
        std::ostringstream out;
        tagcut::AutomatonExtract(start_tag, end_tag, in, out);
        count = out.str().size();
      } else {
        tagcut::ForEachPortion(start_tag, end_tag, in,
                               [&](std::string_view, tagcut::PortionEnd end) {
                                 count += end != tagcut::PortionEnd::kContinues;
                               });
      }
    }
    benchmark::DoNotOptimize(count);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}

void BM_EntryPoints(benchmark::State& state) {
  static const char* const kTags[][2] = {{"href=\"", "\""}, {"<", ">"}, {"<body", "</body>"}};
  const auto& tags = kTags[state.range(0)];
  RunEntryPoint(state, tags[0], tags[1], static_cast<EntryPoint>(state.range(1)));
}

BENCHMARK(BM_EntryPoints)
    ->ArgNames({"tags", "entry"})
    ->ArgsProduct({{0, 1, 2}, {0, 1, 2, 3}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SparseHrefInHtml)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DenseTinyPortions)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DenseAttributeValues)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DenseTextBetweenTags)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyHeavyBody)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeriodicAdversarialTag)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LongestTags)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HighBytesEverywhere)->Unit(benchmark::kMillisecond);

// The processor's model as the kernel reports it, for the report's context.
std::string ProcessorModel() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  for (std::string line; std::getline(cpuinfo, line);) {
    if (line.starts_with("model name") && line.find(':') != std::string::npos) {
      return line.substr(line.find(':') + 2);
    }
  }
  return "unknown";
}

}  // namespace

int main(int argc, char** argv) {
  constexpr std::string_view kOption = "--tagcut_kernel=";
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (!argument.starts_with(kOption)) {
      argv[kept++] = argv[i];
      continue;
    }
    const tagcut::Kernel* kernel = tagcut::testing::KernelNamed(argument.substr(kOption.size()));
    if (kernel == nullptr) {
      std::fprintf(stderr, "tagcut_bench: no kernel %s here\n", argv[i] + kOption.size());
      return 2;
    }
    tagcut::SelectKernelForTesting(kernel);
  }
  argc = kept;
  benchmark::AddCustomContext("tagcut_kernel", tagcut::SelectedKernel().name);
  benchmark::AddCustomContext("processor", ProcessorModel());
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
