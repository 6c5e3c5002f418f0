#!/usr/bin/env python3
"""Times the Python module against what Python users do today for the same job.

Rows (the input is bench/compare's HTML, from Debian's python3.11-doc):
  large     SIZE MiB in one buffer: a compiled pair's portions, spans,
            findall and portions().tolist(), a compiled re pattern's findall
            with the equivalent non-greedy pattern, a bytes.find loop, and the
            C++ library's PortionCollector (bench/portions_timer.cc) on the
            same file; each call's first time in the process, then rounds
  pages     the same HTML cut into 1 KB pages, PAGES calls in all: a
            compiled pair's findall, a compiled pattern's findall, bytes.find
  threads   portions of two SIZE/2 MiB buffers, one after the other in one
            thread and side by side in two (the GIL released while scanning)
Every workload's outputs are checked identical before it is timed. Rounds are
interleaved; figures are medians with min-max. Printed as Markdown.

Run it with the Python that has the module (a build's PYTHONPATH=build/python,
or a virtual environment it was installed into):
  PYTHONPATH=build/python /usr/bin/python3 bench/python_bench.py --library build/libtagcut.a
"""

import argparse
import importlib.machinery
import os
import platform
import re
import statistics
import subprocess
import sys
import threading
import time

import tagcut

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TAGS = [(b'href="', b'"', "href"), (b'="', b'"', "dense"), (b">", b"<", "tiny"),
        (b"<title>", b"</title>", "rare")]


def load_compare():
    path = os.path.join(ROOT, "bench", "compare")
    return importlib.machinery.SourceFileLoader("compare", path).load_module()


def find_loop(start, end, data):
    """The loop people write with bytes.find: the same semantics."""
    found, at = [], data.find(start) if start else -1
    while at >= 0:
        begin = at + len(start)
        close = data.find(end, begin)
        if close < 0:
            found.append(data[begin:])
            break
        found.append(data[begin:close])
        at = data.find(start, close + len(end))
    return found


def timed(call):
    began = time.perf_counter()
    call()
    return time.perf_counter() - began


def summary(samples):
    return statistics.median(samples), min(samples), max(samples)


def cell(samples):
    median, low, high = summary(samples)
    return f"{median:.3f} s ({low:.3f}–{high:.3f})"


def run_rounds(contenders, rounds):
    """{name: [seconds]} with the contenders interleaved, each round starting one later."""
    times = {name: [] for name, _ in contenders}
    for round_number in range(rounds):
        order = contenders[round_number % len(contenders):] + contenders[:round_number % len(contenders)]
        for name, call in order:
            times[name].append(timed(call))
    return times


def cpp_times(library, out, start, end, path, rounds):
    binary = os.path.join(out, "portions_timer")
    source = os.path.join(ROOT, "bench", "portions_timer.cc")
    include = [f"-I{os.path.join(ROOT, 'include')}", f"-I{os.path.join(os.path.dirname(library), 'include')}"]
    if not os.path.exists(binary) or os.path.getmtime(binary) < os.path.getmtime(library):
        subprocess.run(["c++", "-std=c++20", "-O2", *include, source, library, "-pthread", "-o", binary],
                       check=True)
    lines = subprocess.run([binary, start, end, path, str(rounds)], capture_output=True,
                           check=True).stdout.split(b"\n")
    return [float(line) for line in lines[:rounds]], tuple(map(int, lines[rounds].split()))


def first_call_times(contenders):
    """{name: seconds} of each contender's first call in the process: fresh
    memory, every page touched for the first time."""
    return {name: timed(call) for name, call in contenders}


def large_contenders(start, end, data):
    pattern = tagcut.compile(start, end)
    expression = re.compile(re.escape(start) + b"(.*?)" + re.escape(end), re.S)
    return expression, [("portions", lambda: pattern.portions(data)),
                        ("spans", lambda: pattern.spans(data)),
                        ("findall", lambda: pattern.findall(data)),
                        ("tolist", lambda: pattern.portions(data).tolist()),
                        ("re", lambda: expression.findall(data)),
                        ("find", lambda: find_loop(start, end, data))]


def check_large(start, end, data, expression, label):
    found = tagcut.findall(start, end, data)
    by_re = expression.findall(data)  # re finds no final portion cut short
    assert found[:len(by_re)] == by_re and len(found) - len(by_re) <= 1, label
    assert found == find_loop(start, end, data), label
    portions = tagcut.portions(start, end, data)
    assert portions.tolist() == found, label
    assert [data[a:b] for a, b in tagcut.spans(start, end, data).tolist()] == found, label
    return found


def large_rows(data, path, args):
    size = len(data) >> 20
    columns = ["portions", "spans", "findall", "tolist", "re", "find"]
    first_rows, rows = [], []
    for start, end, label in TAGS:
        expression, contenders = large_contenders(start, end, data)
        first = first_call_times(contenders)  # before anything else touches this much memory
        found = check_large(start, end, data, expression, label)
        times = run_rounds(contenders, args.rounds)
        cpp, (count, total) = cpp_times(args.library, args.out, start, end, path, args.rounds)
        assert count == len(found) and total == sum(map(len, found)), label
        median = {name: statistics.median(samples) for name, samples in times.items()}
        engine = statistics.median(cpp)
        tags = f"`{start.decode()}` `{end.decode()}`"
        first_rows.append(f"| {tags} | " + " | ".join(f"{first[name]:.3f}" for name in columns) + " |")
        rows.append(f"| {tags} | {len(found):,} | " + " | ".join(cell(times[name]) for name in columns) +
                    f" | {cell(cpp)} | {median['portions'] / engine:.2f}× / {median['spans'] / engine:.2f}× "
                    f"| {median['re'] / median['portions']:.1f}× / {median['re'] / median['spans']:.1f}× "
                    f"| {median['re'] / median['findall']:.1f}× | {median['findall'] / median['tolist']:.2f}× |")
    print(f"\n### One {size} MiB buffer, later calls (seconds)\n")
    print("| tags | portions found | portions | spans | findall | portions().tolist() | re.findall "
          "| bytes.find loop | C++ collector | portions / spans ÷ C++ | re ÷ portions / spans "
          "| re ÷ findall | findall ÷ tolist |")
    print("|---|---:|" + "---:|" * 11)
    print("\n".join(rows))
    print(f"\n### One {size} MiB buffer, each call the first of its kind in the process (seconds)\n")
    print("| tags | portions | spans | findall | portions().tolist() | re.findall | bytes.find loop |")
    print("|---|" + "---:|" * 6)
    print("\n".join(first_rows))


def page_rows(data, args):
    pages = [data[at:at + 1024] for at in range(0, len(data) - 1023, 1024)]
    repeat = max(1, -(-args.pages // len(pages)))  # at least --pages calls
    print(f"\n### {len(pages) * repeat:,} calls on 1 KB pages (seconds for all)\n")
    print("| tags | compiled pair findall | compiled re findall | bytes.find loop | re ÷ tagcut |")
    print("|---|---:|---:|---:|---:|")
    for start, end, label in TAGS:
        pattern = tagcut.compile(start, end)
        expression = re.compile(re.escape(start) + b"(.*?)" + re.escape(end), re.S)
        for page in pages[:20000]:
            assert pattern.findall(page) == find_loop(start, end, page), label
            # re finds no portion cut short by the page's end; all else agrees.
            assert pattern.findall(page)[:len(expression.findall(page))] == expression.findall(page)

        def over_pages(function):
            def run():  # results dropped as they come, as a crawler would
                for _ in range(repeat):
                    for page in pages:
                        function(page)
            return run

        contenders = [("tagcut", over_pages(pattern.findall)), ("re", over_pages(expression.findall)),
                      ("find", over_pages(lambda page: find_loop(start, end, page)))]
        times = run_rounds(contenders, args.rounds)
        ratio = statistics.median(times["re"]) / statistics.median(times["tagcut"])
        print(f"| `{start.decode()}` `{end.decode()}` | {cell(times['tagcut'])} | {cell(times['re'])} "
              f"| {cell(times['find'])} | {ratio:.1f}× |")


def thread_rows(data, args):
    halves = [data[:len(data) // 2], data[len(data) // 2:]]
    print(f"\n### Two {len(halves[0]) >> 20} MiB buffers, one thread or two, portions (seconds)\n")
    print("| tags | one thread | two threads | speed-up |")
    print("|---|---:|---:|---:|")
    for start, end, label in TAGS:
        def one_thread():
            for half in halves:
                tagcut.portions(start, end, half)

        def two_threads():
            workers = [threading.Thread(target=tagcut.portions, args=(start, end, half)) for half in halves]
            for worker in workers:
                worker.start()
            for worker in workers:
                worker.join()

        times = run_rounds([("one", one_thread), ("two", two_threads)], args.rounds)
        speed_up = statistics.median(times["one"]) / statistics.median(times["two"])
        print(f"| `{start.decode()}` `{end.decode()}` | {cell(times['one'])} | {cell(times['two'])} "
              f"| {speed_up:.2f}× |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mb", type=int, default=256)
    parser.add_argument("--pages", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--library", default=os.path.join(ROOT, "build", "libtagcut.a"))
    parser.add_argument("--out", default=os.path.join(ROOT, "bench", "out"))
    parser.add_argument("--skip", action="append", default=[], choices=["large", "pages", "threads"])
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    compare = load_compare()
    sources, label = compare.html_sources()
    path = compare.write_exactly(os.path.join(args.out, f"html-{args.size_mb << 20}.in"), sources,
                                 args.size_mb << 20)
    with open(path, "rb") as handle:
        data = handle.read()
    with open("/proc/cpuinfo") as cpuinfo:
        model = next((line.split(":", 1)[1].strip() for line in cpuinfo if line.startswith("model name")), "?")
    print(f"tagcut {tagcut.__version__} (Python module), Python {platform.python_version()}, {model}, "
          f"{os.cpu_count()} processors, kernel {os.environ.get('TAGCUT_KERNEL', 'default')}; "
          f"input: {label}; {args.rounds} interleaved rounds")
    if "large" not in args.skip:
        large_rows(data, path, args)
    if "pages" not in args.skip:
        page_rows(data, args)
    if "threads" not in args.skip:
        thread_rows(data, args)


if __name__ == "__main__":
    sys.exit(main())
