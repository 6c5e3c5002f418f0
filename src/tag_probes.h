// Tag probes: one tag as the candidate search sees it. Its first 32 bytes
// (the head a candidate is compared with at once) and the choice of probes,
// the one to four tag bytes whose offsets are tested first: at the start the
// tag's rarest bytes by a fixed frequency table, later the offsets that leave
// the fewest candidates in a sample of the input around a crowd of false ones,
// and no more of them than that sample needs: at reviews that come ever
// further apart, the first probe alone where its byte is rare.
//
// For the tag search and the two-tag scan; not installed. Immutable after
// construction; what changes per stream lives in SearchHints. It fills in
// what the kernel is given (the KernelTag, the probes in the hints) and
// asks the caller's kernel for the bit maps a re-pick reads. A re-pick
// costs microseconds (bit maps of a few KiB on the stack) and allocates
// nothing.
//
// A search call takes the probes through a ProbeCycle (below).
//
// Example:
//   TagProbes probes("href=\"");
//   SearchHints hints;
//   probes.Prepare(hints);   // hints.probes: the rarest bytes, `=`, `"`, `f`
//   ...a crowd of false candidates at `position` of `data`...
//   probes.Repick(SelectedKernel(), data, size, position, hints);
#ifndef TAGCUT_TAG_PROBES_H_
#define TAGCUT_TAG_PROBES_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "kernel.h"
#include "search_hints.h"

namespace tagcut {

class TagProbes {
 public:
  explicit TagProbes(std::string tag);

  std::uint32_t length() const { return length_; }
  const std::string& tag() const { return tag_; }

  // The tag as a kernel takes it.
  const KernelTag& kernel_tag() const { return kernel_tag_; }

  // Sets the first choice of probes if `hints` has none yet.
  void Prepare(SearchHints& hints) const {
    if (hints.probe_count == 0) {
      hints.probes = first_choice_.probes;
      hints.probe_count = first_choice_.probe_count;
    }
  }

  // Tries the tag's offsets on the bytes of `data` around `position`, sets
  // the probes that leave the fewest candidates there, and pauses further
  // re-picking for a while (longer if nothing changed).
  // `kernel` builds the bit maps.
  void Repick(const Kernel& kernel, const unsigned char* data, std::size_t size,
              std::size_t position, SearchHints& hints) const;

  // Once the stream has come to hints.review_at (before, it costs one
  // compare), looks at the probes again on the bytes of `data` around
  // `position`, though no false candidates crowd: where the first probe
  // alone leaves few starts, it is kept alone (the search then runs memchr
  // on its byte, which reads the input once, fastest); where a lone probe
  // no longer does, the probes are re-picked. Reviews come ever further
  // apart, up to one per 16 MiB, and cost about a microsecond.
  void ReviewIfDue(const Kernel& kernel, const unsigned char* data, std::size_t size,
                   std::size_t position, SearchHints& hints) const {
    if (hints.searched_bytes >= hints.review_at) Review(kernel, data, size, position, hints);
  }

 private:
  void Review(const Kernel& kernel, const unsigned char* data, std::size_t size,
              std::size_t position, SearchHints& hints) const;

  // Whether offset `a` comes before `b`: its byte is lighter, or as light
  // and `a` is nearer the start.
  bool Lighter(const std::array<std::uint32_t, 256>& weight, std::uint32_t a,
               std::uint32_t b) const;

  // All of the tag's offsets in that order.
  std::vector<std::uint32_t> OffsetsByWeight(const std::array<std::uint32_t, 256>& weight) const;

  // The first of them, as many as `lightest` holds, without allocating: the count.
  std::size_t LightestOffsets(const std::array<std::uint32_t, 256>& weight,
                              std::span<std::uint32_t> lightest) const;

  // Picks probes for this tag from byte weights (lower = rarer in the input).
  void PickProbes(const std::array<std::uint32_t, 256>& weight, SearchHints& hints) const;

  // The starts a re-pick samples around `position`: none where too few fit.
  struct Sample {
    std::size_t begin;
    std::size_t starts;
  };
  std::optional<Sample> SampleAround(std::size_t size, std::size_t position) const;

  // Whether the probes this tag is given test every one of its bytes: then
  // no candidate needs comparing, and no probe is ever dropped.
  bool ProbesCover() const;

  void ChooseProbesAround(const Kernel& kernel, const unsigned char* data, std::size_t size,
                          std::size_t position, SearchHints& hints) const;

  // Greedily, the probes that leave the fewest starts agreeing with all;
  // agree[k * words ..] is the bit map of starts holding offsets[k]'s byte.
  void PickFewestAgreeing(const Kernel& kernel, std::span<const std::uint32_t> offsets,
                          const std::uint64_t* agree, std::size_t words, SearchHints& hints) const;

  unsigned char ByteAt(std::uint32_t offset) const {
    return static_cast<unsigned char>(tag_[offset]);
  }

  std::string tag_;
  std::uint32_t length_;
  SearchHints first_choice_;
  KernelTag kernel_tag_;
};

// One search call's use of one tag's probes: their life cycle, in the one
// place both the tag searcher and the scan engine take it from. Made where
// the call begins (the first choice set where the stream has none yet, and
// the probes reviewed where one is due); Repick where the kernel's false
// candidates crowd; Advance once, by the bytes the call searched, where it
// ends. Holds references: it lives for the call.
//
// Example:
//   ProbeCycle cycle(probes, kernel, hints, block, from);
//   ...the kernel asks for new probes at `position`...
//   cycle.Repick(position);
//   cycle.Advance(searched);
class ProbeCycle {
 public:
  ProbeCycle(const TagProbes& probes, const Kernel& kernel, SearchHints& hints,
             std::span<const unsigned char> block, std::size_t from)
      : probes_(probes), kernel_(kernel), hints_(hints), block_(block) {
    probes.Prepare(hints);
    probes.ReviewIfDue(kernel, block.data(), block.size(), from, hints);
  }

  void Repick(std::size_t position) const {
    probes_.Repick(kernel_, block_.data(), block_.size(), position, hints_);
  }

  void Advance(std::size_t searched_bytes) const { hints_.searched_bytes += searched_bytes; }

  const KernelTag& kernel_tag() const { return probes_.kernel_tag(); }
  SearchHints& hints() const { return hints_; }

 private:
  const TagProbes& probes_;
  const Kernel& kernel_;
  SearchHints& hints_;
  std::span<const unsigned char> block_;
};

}  // namespace tagcut

#endif  // TAGCUT_TAG_PROBES_H_
