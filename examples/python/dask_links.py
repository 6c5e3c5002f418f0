#!/usr/bin/env python3
"""Extracts the link targets of many HTML files on a Dask cluster.

Each file is one task: a worker reads it and tagcut.portions takes its link
targets as one Portions, which travels back to the client as two buffers
(pickle protocol 5, out of band: Dask sends them without copying them into
a message). The client writes FILE.links beside FILE, each target followed
by a line feed: byte for byte what `tagcut 'href="' '"' < FILE > FILE.links`
writes.
This is the Python counterpart of examples/scale-out/extract-links.sh (GNU
parallel over ssh), for people whose pipeline already runs on Dask.

A file is the unit of work and goes whole to one task: never cut one file
at arbitrary offsets across tasks, or a portion cut by a split would come
out cut short in one task and be missing from the next.

Usage:
  dask_links.py [--scheduler ADDRESS | --workers N] FILE...
    --scheduler ADDRESS   a running cluster (tcp://host:8786); the workers
                          must see the files at the same paths (a shared
                          file system), and need the tagcut module
    --workers N           a local cluster of N worker processes (default 2)
Prints, per file, its name and how many targets it had.
"""

import argparse
import os
import sys

import tagcut
from distributed import Client, LocalCluster

START, END = b'href="', b'"'


def extract_links(path):
    """Runs on a worker: FILE -> (FILE, its link targets as a Portions)."""
    with open(path, "rb") as handle:
        return path, tagcut.portions(START, END, handle.read())


def write_links(path, links):
    """FILE.links: each target and a line feed."""
    with open(path + ".links", "wb") as out:
        out.writelines(link + b"\n" for link in links)


def main(arguments):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", help="address of a running Dask scheduler")
    where.add_argument("--workers", type=int, default=2, help="local worker processes")
    parser.add_argument("files", nargs="+")
    options = parser.parse_args(arguments)
    paths = [os.path.abspath(path) for path in options.files]
    if options.scheduler:
        client = Client(options.scheduler)
    else:
        cluster = LocalCluster(n_workers=options.workers, threads_per_worker=1,
                               processes=True, dashboard_address=None)
        client = Client(cluster)
    with client:
        futures = client.map(extract_links, paths, pure=False)
        for path, links in client.gather(futures):
            write_links(path, links)
            print(f"{path}\t{len(links)}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
