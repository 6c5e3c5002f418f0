// Kernel: the processor-specific bottom layer of tag search. A kernel finds
// (candidates, tag occurrences, portion bounds) and builds the bit maps a
// probe re-pick reads; it never writes output, never chooses probes and
// knows nothing of the searcher or the engine above it: it takes the tags
// as KernelTag values and the probes as the stream's SearchHints, and
// returns to its caller for everything else.
//
// For the tag search, the scan engine and the probe choice; not installed.
// The kernels are rows of one table (BuiltInKernels), in the order they are
// preferred; each row names its routines and the processors where it is not
// chosen first though it runs (measured slower there). The choice is made
// once, when first asked for, by the rule SelectedKernel states; the
// searchers and the engine hold the kernel they were built with.
//
// Guarantees: every kernel gives the same results (occurrences and bounds
// found); kernels differ only in speed. The portable kernel runs on any
// processor; it has no one-pass scan for two tags, so the scan engine takes
// the general path with it.
//
// Window geometry: a probe mask covers kStartsPerWindow starts by reading the
// kStartsPerWindow bytes at the probe's offset from the window's first start;
// a candidate's head compare reads kVectorBytes from the candidate. So a
// window of a tag no longer than kVectorBytes reads fewer than kWindowReach
// bytes from its first start, and a loop that checks
// `start + kWindowReach <= size` never reads past the buffer. (A longer
// tag's probes may lie further in; its loop checks the last start that
// leaves room for the whole tag as well.)
#ifndef TAGCUT_KERNEL_H_
#define TAGCUT_KERNEL_H_

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "search_hints.h"

namespace tagcut {

inline constexpr std::size_t kVectorBytes = 32;  // the head compared at once
// A window: the kStartsPerWindow consecutive starts one probe mask tests.
inline constexpr std::size_t kStartsPerWindow = 64;
inline constexpr std::size_t kWindowReach = kStartsPerWindow + kVectorBytes;  // bytes it may read
inline constexpr std::size_t kStartsPerSkip = 2 * kStartsPerWindow;  // two windows skipped per step

// One tag as a kernel sees it: its length and its head, the first
// kVectorBytes bytes (zero-padded), with a bit set in head_mask for each
// real one. Its probes are the stream's (SearchHints), not the tag's.
struct KernelTag {
  std::uint32_t length = 0;
  std::uint32_t head_mask = 0;
  std::array<unsigned char, kVectorBytes> head{};

  static KernelTag Of(std::string_view tag) {
    KernelTag kernel_tag;
    kernel_tag.length = static_cast<std::uint32_t>(tag.size());
    std::memcpy(kernel_tag.head.data(), tag.data(), std::min(tag.size(), kVectorBytes));
    kernel_tag.head_mask =
        tag.size() >= kVectorBytes ? ~std::uint32_t{0} : (std::uint32_t{1} << tag.size()) - 1;
    return kernel_tag;
  }
};

// One call's candidate search for one tag: starts in [from, limit) of
// `data`, where every start leaves room for the whole tag.
struct CandidateSearch {
  const unsigned char* data;
  std::size_t size;
  std::size_t limit;
  const KernelTag* tag;
  std::size_t call_start;  // where the search call began, for the hints' offsets
};

enum class Agreement {
  kHead,    // a start whose probes and first kVectorBytes bytes agree with the tag
  kRepick,  // false candidates crowd: the probes should be re-picked
  kNone,    // no start below the limit agrees
};

// Both tags of a two-tag scan (each 1 to kVectorBytes bytes, probes set in
// their hints) and their hints.
struct ShortTags {
  const KernelTag* tags[2];  // start tag, end tag
  SearchHints* hints[2];
};

// Where a two-tag scan puts what it finds: the offsets of the tags that
// bound portions, in order and alternating: a start tag, its end tag, the
// next start tag. (A portion runs from just past its start tag to its end
// tag.) The scan may write up to kStartsPerWindow entries past those it
// counts.
struct BoundList {
  std::size_t* bounds;
  std::size_t capacity;  // at least kStartsPerWindow
};

// How a two-tag scan ended.
struct BoundScan {
  std::size_t count;  // bounds written
  std::size_t stop;   // where the scan stopped: every bound before it is written
  bool repick;        // stopped for new probes for the tag the phase looks for
  // (The phase at `stop` is the caller's to count: the bounds alternate.)
};

// How a compacting scan ended.
struct CompactScan {
  std::size_t stop;     // where it stopped: every byte before it is written
  std::size_t written;  // bytes written to the output
  bool copying;         // the phase at `stop`
  bool repick;          // stopped for new probes for the start tag
};

// Whether a compacting scan takes these tags: a one-byte end tag, and a
// start tag of 1 to kVectorBytes bytes that holds the end tag's byte at most
// as its last one (so no end tag lies inside a start tag, where it would
// decide whether that start tag counts).
inline bool CompactsTags(std::string_view start_tag, std::string_view end_tag) {
  return end_tag.size() == 1 && !start_tag.empty() && start_tag.size() <= kVectorBytes &&
         start_tag.substr(0, start_tag.size() - 1).find(end_tag[0]) == std::string_view::npos;
}

// Bytes written to a compacting scan's output per window at most: a window
// may be stored whole, whatever part of it is kept, and where its kept bytes
// are copied run by run, each of its two runs is stored as a whole window.
inline constexpr std::size_t kCompactRoom = 2 * kStartsPerWindow;

// For the instruction sets that compact with byte shuffles or table lookups:
// entry m holds, lowest byte first, the index (0 to 7) of each bit set in m,
// lowest first, then 0x80 for every unused byte (a shuffle writes zero there).
inline constexpr std::array<std::uint64_t, 256> kPackIndices = [] {
  std::array<std::uint64_t, 256> table{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    std::uint64_t indices = 0;
    unsigned used = 0;
    for (unsigned bit = 0; bit < 8; ++bit) {
      if (((mask >> bit) & 1) != 0) indices |= std::uint64_t{bit} << (8 * used++);
    }
    for (; used < 8; ++used) indices |= std::uint64_t{0x80} << (8 * used);
    table[mask] = indices;
  }
  return table;
}();

// A kernel's routines: one row of the table's routine columns. A row may
// take its routines from more than one instruction set (they share only
// KernelTag, SearchHints and the block, so any mix is sound).
struct KernelRoutines {
  // From `from`, the next start whose probes and head agree (kHead, `from`
  // on it), or a call for new probes (kRepick, `from` past the false
  // candidate that made the crowd), or kNone.
  Agreement (*next_agreeing)(const CandidateSearch& search, SearchHints& hints, std::size_t& from);

  // Both tags in one pass over `block` from `from`, in the phase `copying`
  // says, writing the bounds it finds into `list`. It stops where a window
  // would read past the block, where the list has no room for another
  // window's bounds, or where false candidates call for new probes (it then
  // books them in the hints; the caller re-picks and calls again from
  // `stop`). No partial match is carried: at the block's end the general
  // path goes on from `stop`. The hints' offsets count from the block's
  // start, and `searched_bytes` is the caller's to advance. Null when the
  // kernel has no such pass.
  BoundScan (*find_bounds)(const ShortTags& tags, std::span<const unsigned char> block,
                           std::size_t from, bool copying, const BoundList& list);

  // Tags that CompactsTags takes, with the start tag's probes set in its
  // hints: every portion's bytes written to `out` by compaction, a window of
  // kStartsPerWindow bytes at a time: the window's kept bytes are those whose
  // phase is copying, the end tag that closes a portion is kept as its line
  // feed, and one compress or a few shuffles write them. From `from` in the
  // phase `copying` says; it stops where a window would read past the block
  // (as find_bounds does), where `out` has less than kCompactRoom bytes left,
  // at the CompactionTuning::kQuietWindows-th window in a row that is all one
  // portion without a tag, or at the end of the batch of windows where it
  // counts them (a long portion, which the caller's per-portion path hands
  // over without a copy), or after the window (or batch) whose false
  // candidates call for new probes. Where a start tag straddles the stop
  // while searching, the stop is that tag's first byte. The start hints'
  // offsets count from the block's start. Null when the kernel has no
  // compaction.
  CompactScan (*compact_portions)(const ShortTags& tags, std::span<const unsigned char> block,
                                  std::size_t from, bool copying, std::span<unsigned char> out);

  // Sets bit i of `bits` (zeroed by the caller) when at[i] == wanted, for i < count.
  void (*mark_equal_bytes)(const unsigned char* at, std::size_t count, unsigned char wanted,
                           std::uint64_t* bits);

  // The count of bits set in both a[0, words) and b[0, words).
  std::size_t (*count_common_bits)(const std::uint64_t* a, const std::uint64_t* b,
                                   std::size_t words);
};

// A processor family, as cpuid names it: its vendor string and its family
// (the extended family added in, as the manuals define it).
struct ProcessorFamily {
  const char* vendor;  // "AuthenticAMD", "GenuineIntel"
  unsigned family;     // 25: AMD's Zen 3 and Zen 4, 26: Zen 5
  bool operator==(const ProcessorFamily& other) const;
};

// The processor this program runs on; vendor "" and family 0 where the
// architecture has no cpuid.
ProcessorFamily ThisProcessorFamily();

// Where a kernel that runs on a processor is still not chosen first there:
// it was measured slower on that family than a kernel after it in the
// table, on a row of the microbenchmark or of bench/compare's floor rows.
struct SlowerOn {
  ProcessorFamily processor;
  const char* measurement;  // the row and the figures that showed it
};

// One row of the kernel table.
struct Kernel {
  const char* name;
  // Whether this processor (and its operating system) runs the kernel.
  bool (*available)();
  // The processors where it is not chosen first (empty: wherever it runs,
  // it goes before every kernel after it).
  std::span<const SlowerOn> slower_on;
  KernelRoutines routines;
};

// The portable routines, which every vector kernel also uses: for the
// starts too near a block's end for a window, a lone probe, a bit map's tail.
Agreement NextAgreeingByMemchr(const CandidateSearch& search, SearchHints& hints,
                               std::size_t& from);
void MarkEqualBytesPortable(const unsigned char* at, std::size_t count, unsigned char wanted,
                            std::uint64_t* bits);
// Inlined into each kernel, so that it compiles to the kernel's popcount.
__attribute__((always_inline)) inline std::size_t CountCommonBitsPortable(const std::uint64_t* a,
                                                                          const std::uint64_t* b,
                                                                          std::size_t words) {
  std::size_t common = 0;
  for (std::size_t w = 0; w < words; ++w)
    common += static_cast<std::size_t>(std::popcount(a[w] & b[w]));
  return common;
}

// Every kernel built into this program, in the order they are preferred
// (the portable one last).
std::span<const Kernel* const> BuiltInKernels();

// The kernel searchers are built with. The rule, stated here once: the
// first kernel of the table that this processor runs and whose `slower_on`
// does not name this processor's family; unless the environment's
// TAGCUT_KERNEL names a kernel this processor runs (for measuring one
// against another). A TAGCUT_KERNEL that names no kernel this processor
// runs (or is empty) is said once on standard error, and the rule's kernel
// runs.
const Kernel& SelectedKernel();

// The rule above, for a processor of `family` that runs `runs` (tests).
const Kernel* FirstChoice(std::span<const Kernel* const> table, ProcessorFamily family,
                          bool (*runs)(const Kernel&));

// Every built-in kernel this processor runs, in the table's order.
std::vector<const Kernel*> SupportedKernels();

// Tests only: searchers built from now on use `kernel` (null: the default).
void SelectKernelForTesting(const Kernel* kernel);

}  // namespace tagcut

#endif  // TAGCUT_KERNEL_H_
