#!/usr/bin/env python3
"""Two builds of the microbenchmark (bench/extract_bench.cc), A against B,
kernel by kernel, in one interleaved run.

Each round runs every (build, kernel) pair once, the order rotating by one
each round, so that a slow stretch of a shared machine falls on both sides.
The report gives, per kernel and row, the median time per portion (or per
run, where portions are few) with its min-max for each build, and B / A of
the medians: below 1 means B is faster. The processor is named above the
table.

Example:
  bench/ab_microbench.py --a /tmp/base/build/bench/tagcut_bench \
      --b build/bench/tagcut_bench --kernels avx512-compaction,avx2 --rounds 7
"""
import argparse
import json
import statistics
import subprocess

ROWS = '^BM_(Sparse|Dense|Copy|Periodic|Longest|High)'


def processor():
    family = model = name = '?'
    with open('/proc/cpuinfo') as info:
        for line in info:
            key, _, value = line.partition(':')
            key, value = key.strip(), value.strip()
            if key == 'cpu family':
                family = value
            elif key == 'model':
                model = value
            elif key == 'model name':
                name = value
            if key == '' and family != '?':
                break
    return '%s, family %s model %s' % (name, family, model)


def run(binary, kernel, rows):
    output = subprocess.run([binary, '--benchmark_filter=' + rows, '--benchmark_format=json',
                             '--tagcut_kernel=' + kernel],
                            check=True, capture_output=True, text=True).stdout
    figures = {}
    for benchmark in json.loads(output)['benchmarks']:
        per_portion = benchmark.get('per_portion')
        # ns a portion where portions are many, else ms a run
        figures[benchmark['name']] = (per_portion * 1e9, 'ns/portion') if per_portion else (
            benchmark['real_time'] / 1e6 if benchmark['time_unit'] == 'ns' else benchmark['real_time'],
            'ms')
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--a', required=True, help='the baseline tagcut_bench')
    parser.add_argument('--b', required=True, help='the tagcut_bench measured against it')
    parser.add_argument('--kernels', default='avx2', help='comma-separated kernel names')
    parser.add_argument('--rounds', type=int, default=5)
    parser.add_argument('--rows', default=ROWS, help='a benchmark filter')
    args = parser.parse_args()
    pairs = [(side, kernel) for kernel in args.kernels.split(',') for side in ('a', 'b')]
    samples = {}
    for round_number in range(args.rounds):
        shift = round_number % len(pairs)
        for side, kernel in pairs[shift:] + pairs[:shift]:
            for row, (value, unit) in run(getattr(args, side), kernel, args.rows).items():
                samples.setdefault((kernel, row), {'unit': unit, 'a': [], 'b': []})[side].append(value)
    print('Processor: %s; %d rounds, interleaved.\n' % (processor(), args.rounds))
    print('| kernel | row | unit | A median (min-max) | B median (min-max) | B / A |')
    print('|---|---|---|---:|---:|---:|')
    for (kernel, row), sample in samples.items():
        a, b = statistics.median(sample['a']), statistics.median(sample['b'])
        print('| %s | %s | %s | %.3g (%.3g-%.3g) | %.3g (%.3g-%.3g) | %.3f |' % (
            kernel, row.replace('BM_', ''), sample['unit'], a, min(sample['a']), max(sample['a']),
            b, min(sample['b']), max(sample['b']), b / a))


if __name__ == '__main__':
    main()
