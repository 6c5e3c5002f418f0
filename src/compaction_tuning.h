// Compaction's tuning: every constant that decides how the vector kernels'
// compaction (portion_compaction.inc and the files it includes) spends its
// time, in one block. Changing one changes speed only, never output: the
// tests hold every value to the same results.
//
// For the kernels; not installed. Each value's reason and measurement is
// beside it (processor named; figures in docs/benchmarks.md).
#ifndef TAGCUT_COMPACTION_TUNING_H_
#define TAGCUT_COMPACTION_TUNING_H_

#include <cstddef>

#include "kernel.h"

namespace tagcut {

struct CompactionTuning {
  // Windows in a row wholly inside one portion, without a tag, after which
  // the scan stops: the portion is long, copying it is the cost, and the
  // per-portion path hands it over without a copy.
  static constexpr std::size_t kQuietWindows = 64;

  // Portions that far apart (a gap without a start tag's candidate),
  // kSparseGaps times in a row, are sparse: the per-portion path then writes
  // them faster. (Four windows: with three, attribute values in prose, a gap
  // of three or four windows, went a seventh of the time to the per-portion
  // path, the slower for them; Zen 5.)
  static constexpr std::size_t kSparseGap = 4 * kStartsPerWindow;
  static constexpr std::size_t kSparseGaps = 8;

  // Batches (portion_batches.inc): the windows found before any is written;
  // a batch with fewer windows that keep bytes than kDenseBatch is sparse,
  // and kWindowsBetweenBatches windows are then taken one at a time, with
  // the skip and the hand-over of sparse portions. (Without that pause,
  // sparse link targets went from 31.0 to 36.6 ns a portion on AVX2, Zen 5.)
  static constexpr std::size_t kBatchWindows = 32;
  static constexpr std::size_t kDenseBatch = kBatchWindows / 3;
  static constexpr std::size_t kWindowsBetweenBatches = 4 * kBatchWindows;
};

}  // namespace tagcut

#endif  // TAGCUT_COMPACTION_TUNING_H_
