// Vector primitives: what one instruction set's file (avx2_ops.inc,
// avx512_ops.inc, neon_ops.inc) gives the vector kernel, which is written
// once over them (vector_kernel.inc). A set's file defines a struct `Ops`
// with the required primitives of `VectorPrimitives` below, any of the
// optional ones, and `kChoices`: the one block that says which optional
// primitives it offers and how the kernel's loops are to use it.
//
// For the kernels; not installed. Checked at compile time by
// vector_kernel.inc: a set that lacks a required primitive, offers an
// optional one it does not declare, or declares one it does not offer (a
// misspelt name included) fails to build, so no choice is ever made by
// whether a member happens to exist.
//
// The required primitives, over a window of kStartsPerWindow (64) bytes:
//   Splat   Broadcast(unsigned char byte)    the byte in every lane
//   Matches Equal(const unsigned char* at, const Splat& byte)
//           the 64 bytes from `at` compared with the byte, in the form the
//           set computes and combines cheaply
//   Matches Both(Matches a, Matches b)       lanes that match in both
//   uint64  ToMask(Matches m)                bit i set for lane i
//   Head    MakeHead(const KernelTag& tag)   the tag's head, ready to compare
//   bool    HeadAgrees(const unsigned char* at, const Head& head)
//           the kVectorBytes bytes at `at` agree with the head's real bytes
//   size_t  PackKept(const unsigned char* at, uint64 keep, const Matches& ends,
//                    unsigned char* out)
//           the 64 bytes from `at` whose bit is set in `keep`, in order, each
//           where `ends` matches as a line feed, written to `out` (which may
//           receive up to 64 bytes); returns how many were kept
//
// The optional ones, each offered exactly where its choice says so:
//   Matches EqualAhead(at, byte)             (equal_ahead) Equal, for the loops
//           that run ahead through a block, where the bytes often still come
//           from memory; a set offers it where its usual load is slow there
//   uint64  PrefixXor(uint64 bits)           (prefix_xor) bit i the XOR of bits
//           0 to i, where the set has a faster way than six shifts
//   uint64  TrailingZeros(uint64 mask)       (trailing_zeros) the index of the
//           lowest set bit, 64 for none, as a 64-bit count: from a 32-bit
//           count GCC vectorises the bound decode's index arithmetic
//   void    CopyLines(const unsigned char* from, const Splat& end,
//                     unsigned char* to)     (copy_lines) kVectorBytes bytes
//           from `from` to `to`, each equal to `end` as a line feed
#ifndef TAGCUT_VECTOR_OPS_H_
#define TAGCUT_VECTOR_OPS_H_

#include <concepts>
#include <cstddef>
#include <cstdint>

#include "kernel.h"

namespace tagcut {

// One instruction set's declared choices.
struct SetChoices {
  // Optional primitives the set offers (see above).
  bool equal_ahead = false;
  bool prefix_xor = false;
  bool trailing_zeros = false;
  bool copy_lines = false;
  // Compaction, searching, first skips the windows without a candidate (and
  // so can hand sparse portions to the per-portion path): worth it where a
  // compacted window costs much more than its probe test.
  bool compaction_skips = false;
  // Where portions are dense and the start tag is longer than a byte,
  // compaction finds the kept bytes of a batch of windows before it writes
  // any (portion_batches.inc): worth it where writing a window branches on
  // its bytes, as copying run by run does. Needs copy_lines.
  bool batches = false;
};

// Whether the target compiles 64-bit scalar intrinsics (x86-64, not i686).
#if defined(__x86_64__)
inline constexpr bool kSixtyFourBitX86 = true;
#else
inline constexpr bool kSixtyFourBitX86 = false;
#endif

template <class Set>
concept VectorPrimitives = requires(const unsigned char* at, unsigned char byte,
                                    const typename Set::Splat& splat,
                                    const typename Set::Matches& matches,
                                    const typename Set::Head& head, const KernelTag& tag,
                                    std::uint64_t keep, unsigned char* out) {
  { Set::kChoices } -> std::convertible_to<SetChoices>;
  { Set::Broadcast(byte) } -> std::same_as<typename Set::Splat>;
  { Set::Equal(at, splat) } -> std::same_as<typename Set::Matches>;
  { Set::Both(matches, matches) } -> std::same_as<typename Set::Matches>;
  { Set::ToMask(matches) } -> std::same_as<std::uint64_t>;
  { Set::MakeHead(tag) } -> std::same_as<typename Set::Head>;
  { Set::HeadAgrees(at, head) } -> std::same_as<bool>;
  { Set::PackKept(at, keep, matches, out) } -> std::same_as<std::size_t>;
};

template <class Set>
concept OffersEqualAhead = requires(const unsigned char* at, const typename Set::Splat& splat) {
  { Set::EqualAhead(at, splat) } -> std::same_as<typename Set::Matches>;
};

template <class Set>
concept OffersPrefixXor = requires(std::uint64_t bits) {
  { Set::PrefixXor(bits) } -> std::same_as<std::uint64_t>;
};

template <class Set>
concept OffersTrailingZeros = requires(std::uint64_t mask) {
  { Set::TrailingZeros(mask) } -> std::same_as<std::uint64_t>;
};

template <class Set>
concept OffersCopyLines = requires(const unsigned char* from, const typename Set::Splat& end,
                                   unsigned char* to) {
  Set::CopyLines(from, end, to);
};

}  // namespace tagcut

#endif  // TAGCUT_VECTOR_OPS_H_
