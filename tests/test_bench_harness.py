"""Smoke test of the benchmark harness on tiny files (no timings are checked)."""

import importlib.util
import sys

import numpy as np
import pytest

import orvex_gen
import run_bench
from tremix.core.orvex_parser import ORVEXParser

# Seconds of benchmark runs and memory probes, meaningless under the sanitizers' allocators.
pytestmark = pytest.mark.slow


def test_quick_run_reports_every_target_and_reuses_its_cached_files(tmp_path, capsys):
    args = ["--quick", "--size-mb", "0.3", "--thread-mb", "0.2", "--repeat", "1",
            "--cache-dir", str(tmp_path / "cache"), "--out", str(tmp_path / "table.md")]
    assert run_bench.main(args) == 0
    table = (tmp_path / "table.md").read_text()
    for row in ("| ORVEXParser(path) |", "| get_output_vectors() |", "| nodes |", "| first result vector |",
                "| open(path).read() |", "| two threads |", "| tremix |", "| plain Python |",
                "| no Python or NumPy header |"):
        assert row in table
    targets = table.split("## Targets")[1].split("\n## ")[0]
    rows = [row for row in targets.splitlines() if row.startswith("| ") and not row.startswith("| figure ")]
    assert len(rows) == 11
    # Every figure was measured, but for comparisons with pyarrow where it is not installed.
    arrow = importlib.util.find_spec("pyarrow") is not None
    for row in rows:
        assert row.endswith(("| met |", "| missed |")) or (not arrow and "pyarrow" in row), row
    files = sorted(p.name for p in (tmp_path / "cache").glob("*.txt"))
    assert len(files) == 3 and (tmp_path / "cache" / files[0]).stat().st_size >= 0.2e6

    capsys.readouterr()
    assert run_bench.main(args) == 0
    assert capsys.readouterr().err.count("reusing") == 3


@pytest.mark.parametrize("separator", orvex_gen.SEPARATORS)
def test_subset_files_hold_the_same_records(tmp_path, separator):
    meta = orvex_gen.generate(tmp_path / "g.txt", n_nodes=2000, separator=separator)
    paths = orvex_gen.write_subset_files(meta, tmp_path / "sub")
    whole = ORVEXParser(meta["path"])
    nodes, first = ORVEXParser(paths["nodes"]), ORVEXParser(paths["first_vector"])
    assert list(nodes.parse()) == [403] and list(first.parse()) == [meta["vectors"][0]["block"]]
    for got, want in ((nodes.get_nodes_arrays(), whole.get_nodes_arrays()),
                      (first.get_output_vectors_arrays(), whole.get_output_vectors_arrays())):
        assert all(np.array_equal(g, w) for g, w in zip(got, want))
    last_line = first.get_blocks(meta["vectors"][0]["block"])[0].lines[-1]
    assert last_line.replace(",", " ").split() == ["-1", "0."]  # the vector's end-of-data line


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_memory_is_measured_in_a_fresh_process(tmp_path):
    path = tmp_path / "m.txt"
    meta = orvex_gen.generate(path, n_nodes=30000)
    notes = []
    probe = run_bench.measure_memory("plain", str(path), notes)
    assert probe["peak"] >= probe["retained"] > meta["bytes"]  # the line strings alone outweigh the file
    assert run_bench.measure_memory("nonesuch", str(path), notes) is None
    assert notes == ["memory probe nonesuch failed: KeyError: 'nonesuch'"]


def test_cxx_layering_follows_project_includes(tmp_path):
    (tmp_path / "core").mkdir()
    files = {
        "pyref.hpp": "#include <Python.h>\n",
        "binding.cpp": '#include "glue.hpp"\nint f();\n',  # Python through two project headers
        "glue.hpp": '#include "pyref.hpp"\n',
        "arrays.cpp": "#include <numpy/arrayobject.h>\n",
        "core/scan.cpp": '#include "text.hpp"\n#include <vector>\n// #include <Python.h> in a comment\nint g();\n',
        "core/text.hpp": '#include "core/text.hpp"\n',  # a cycle ends the walk
        "notes.txt": "#include <Python.h>\n",
    }
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    layering = run_bench.cxx_layering(tmp_path)
    assert layering == {"files": 6, "lines": 10, "free_files": 2, "free_lines": 5}
    assert run_bench.cxx_layering(tmp_path / "core" / "none") is None
