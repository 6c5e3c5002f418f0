// Compaction's mask arithmetic: which bytes of a 64-byte window are read
// while copying, from the window's tag events, in a few word operations and
// no branch. Pure functions over 64-bit words (bit i is the window's byte
// i), with no instruction set of their own: the vector kernels use them
// (portion_compaction.inc and the files it includes), and the tests check
// each against a byte-at-a-time definition.
//
// For the kernels and their tests; not installed.
//
// The events: a start tag's is its last byte, the end tag's its one byte.
// A byte is kept when the phase just before it is copying, so a portion's
// bytes are kept, and so is the end tag that closes it (written as its line
// feed); a start tag inside a portion is text, and kept.
#ifndef TAGCUT_COMPACTION_MASKS_H_
#define TAGCUT_COMPACTION_MASKS_H_

#include <bit>
#include <cstddef>
#include <cstdint>

namespace tagcut {

// Bit i the XOR of bits 0 to i, by six shifts (a set may offer a faster way).
inline std::uint64_t PrefixXorByShifts(std::uint64_t bits) {
  bits ^= bits << 1;
  bits ^= bits << 2;
  bits ^= bits << 4;
  bits ^= bits << 8;
  bits ^= bits << 16;
  bits ^= bits << 32;
  return bits;
}

// A window's bits set from each `ones` event and cleared from each `zeros`
// one, up to the next event: bit i is set when the last event before i (not
// at it) is in `ones`, or, with no event before i, when `carry` (0 or 1) is.
// Adding a bit just above each `ones` event to the events' complement
// carries it through the bytes between, up to and onto the next event, and
// the bits it flips are the set ones. `carry` is set to the same for the
// next window. Windows wait on each other for an add, no more.
__attribute__((always_inline)) inline std::uint64_t FillAfterEvents(std::uint64_t ones,
                                                                    std::uint64_t zeros,
                                                                    std::uint64_t& carry) {
  const std::uint64_t between = ~(ones | zeros);
  std::uint64_t flipped = 0;
  const bool out = __builtin_add_overflow(between, (ones << 1) | carry, &flipped);
  carry = static_cast<std::uint64_t>(out) | (ones >> 63);
  return flipped ^ between;
}

// The kept bytes of a window, from its start tag events `start_events` and
// its end tag bytes `ends`, where the two never coincide (the start tag does
// not end in the end tag's byte): each event sets the phase, and the last
// one before a byte rules. `copying` (0 or 1) is the phase where the window
// begins, and is set to the phase where it ends.
__attribute__((always_inline)) inline std::uint64_t KeptBytesBetweenEvents(
    std::uint64_t start_events, std::uint64_t ends, std::uint64_t& copying) {
  return FillAfterEvents(start_events, ends, copying);
}

// The same where the start tag ends in the end tag's byte: every start event
// is also in `ends`, and such a byte toggles the phase (it closes an open
// portion, or ends the start tag that opens one); an end byte alone closes.
// `toggled` is the prefix XOR of `start_events` (PrefixXorByShifts, or a
// set's faster equal, computed by the caller in its own instruction set).
__attribute__((always_inline)) inline std::uint64_t KeptBytesWithToggles(std::uint64_t start_events,
                                                                         std::uint64_t toggled,
                                                                         std::uint64_t ends,
                                                                         std::uint64_t& copying) {
  // Between closings the phase is the toggles' parity, offset by what it
  // was at the closing: so fill each closing's parity forward, and XOR the
  // parity in.
  const std::uint64_t closings = ends & ~start_events;
  std::uint64_t parity_at_closing = copying;
  const std::uint64_t offset =
      FillAfterEvents(closings & toggled, closings & ~toggled, parity_at_closing);
  copying = parity_at_closing ^ (toggled >> 63);
  return (toggled << 1) ^ offset;
}

// The events, in the next window, of start tags that began in the previous
// one (`previous_starts`, bit i: a tag begins at its byte i) and end `lag`
// bytes after their first byte (lag below 64). Shifted twice: with a lag of
// 0, one shift by 64 would be undefined.
inline std::uint64_t StraddlingEvents(std::uint64_t previous_starts, std::uint32_t lag) {
  return previous_starts >> (63 - lag) >> 1;
}

// A window's kept bytes as runs, lowest first: run i begins at the lowest
// bit of firsts[i] and ends before the lowest bit of pasts[i] (LowestSetBit:
// 64 for no bit, the window's end). Where there are fewer runs, the rest are
// empty (both 0); `fits` is false where there are more than kRuns.
template <int kRuns>
struct KeptRuns {
  std::uint64_t firsts[kRuns];  // the kept bits from the run's first on
  std::uint64_t pasts[kRuns];   // the kept bits past the run, and the bit just past it
  bool fits;
};

template <int kRuns>
__attribute__((always_inline)) inline KeptRuns<kRuns> SplitRuns(std::uint64_t kept) {
  KeptRuns<kRuns> runs;
  for (int i = 0; i < kRuns; ++i) {
    // Adding a run's lowest bit clears the run and sets the bit just past it.
    runs.firsts[i] = kept;
    runs.pasts[i] = kept + (kept & (0 - kept));
    kept &= runs.pasts[i];
  }
  runs.fits = kept == 0;
  return runs;
}

// The index of the lowest bit set, 64 for none.
inline std::size_t LowestSetBit(std::uint64_t mask) {
  return static_cast<std::size_t>(std::countr_zero(mask));
}

}  // namespace tagcut

#endif  // TAGCUT_COMPACTION_MASKS_H_
