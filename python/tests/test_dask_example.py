"""The Dask example on a local cluster of two worker processes: every file's
links exactly as the command line (or, without it, the definition) gives them."""

import os
import subprocess
import sys

import pytest

pytest.importorskip("distributed")

import reference  # noqa: E402

EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "python", "dask_links.py")


def test_links_of_many_files_on_two_workers(tmp_path):
    pages = {}
    for number in range(12):
        page = b"".join(b'<a href="page%d-%d.html">x</a>\n' % (number, link) for link in range(number * 50))
        pages[tmp_path / f"page{number}.html"] = page + b'<a href="cut\nshort'
    for path, page in pages.items():
        path.write_bytes(page)
    finished = subprocess.run([sys.executable, EXAMPLE, "--workers", "2", *map(str, pages)],
                              capture_output=True, timeout=300, check=False)
    assert finished.returncode == 0, finished.stderr.decode()
    assert len(finished.stdout.splitlines()) == len(pages)
    program = os.environ.get("TAGCUT_PROGRAM")
    for path, page in pages.items():
        if program:
            with open(path, "rb") as page_input:
                expected = subprocess.run([program, 'href="', '"'], stdin=page_input,
                                          capture_output=True, check=True).stdout
        else:
            expected = reference.stream(b'href="', b'"', page)
        assert (tmp_path / (path.name + ".links")).read_bytes() == expected, path.name
