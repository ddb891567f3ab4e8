"""The `tremix` / `python -m tremix` summary command, run as users run it."""

from __future__ import annotations

import json
import os
import subprocess
import sys

import pytest
from tremix.core.orvex_parser import ORVEXParser
from tremix.summary import example_path


def _extractors_missing() -> str | None:
    parser = ORVEXParser(example_path())
    for name in ("get_header", "get_nodes_arrays", "get_elements_arrays", "get_properties", "get_materials",
                 "get_output_sets", "get_output_vectors"):
        try:
            getattr(parser, name)()
        except NotImplementedError:
            return name
    return None


_missing = _extractors_missing()
needs_extractors = pytest.mark.skipif(_missing is not None, reason=f"extractor {_missing} not built yet")


def run_cli(*args: str, cwd) -> subprocess.CompletedProcess:
    # -P: the source folder must not shadow the installed package. UTF-8 mode
    # makes "undecodable" mean the same thing whatever the machine's locale.
    return subprocess.run([sys.executable, "-P", "-m", "tremix", *args], cwd=cwd, capture_output=True, text=True,
                          timeout=120, env={**os.environ, "PYTHONUTF8": "1"})


NODE = "{},0,0,1,46,0,0,0,0,0,0,{},{},{},"
ZEROS = "0,0,0,0,0,0,0,0,0,0,"


def element(eid: int, prop: int, topology: int, nodes: str) -> list[str]:
    return [f"{eid},124,{prop},17,{topology},1,0,0,0,0,0,0,0,", nodes, ZEROS, "0.,0.,0.,", "0.,0.,0.,", ZEROS, ZEROS]


SMALL_FILE = [
    (100, ["<NULL>", "2.1,"]),
    (403, [NODE.format(1, 0.0, -1.0, 0.0), NODE.format(2, 3.0, 1.0, 0.5),
           NODE.format(3, 9.0, 9.0, 9.0), NODE.format(3, 1.0, 2.0, 0.25)]),  # node 3 is written twice
    (404, element(1, 1, 4, "1,2,3,0,") + element(2, 1, 4, "3,2,1,") + element(3, 2, 2, "1,2,")),
    (450, ["7,0,0,", "Gravity,", "0,", "2.5,", "0,", "0,"]),
    (1051, ["7,5,1,", "Stress,", ZEROS, ZEROS, ZEROS, "0,0,0,7,", "0,0,0,",
            "10,1.5,", "11,-2.5,", "12,4.0,", "-1,0."]),
]


@needs_extractors
def test_summarises_the_example_without_arguments(tmp_path):
    result = run_cli(cwd=tmp_path)
    assert result.returncode == 0 and result.stderr == ""
    out = result.stdout
    assert "Cantilever bracket, steel" in out and "example.neu" in out
    for heading in ("Blocks", "Model", "Output sets", "Output vectors"):
        assert heading in out.splitlines()


@needs_extractors
def test_json_summary_of_a_small_file(tmp_path, write_neu):
    path = write_neu(blocks=SMALL_FILE)
    result = run_cli(path, "--json", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    summary = json.loads(result.stdout)
    assert summary["path"] == os.path.abspath(path)
    assert summary["size_bytes"] == os.path.getsize(path)
    assert summary["blocks"] == [{"block_id": 100, "count": 1, "lines": 2}, {"block_id": 403, "count": 1, "lines": 4},
                                 {"block_id": 404, "count": 1, "lines": 21}, {"block_id": 450, "count": 1, "lines": 6},
                                 {"block_id": 1051, "count": 1, "lines": 11}]
    assert summary["model"] == {"title": "", "version": "2.1,"}
    # The second record of node 3 replaces the first, so (9, 9, 9) is not in the box.
    assert summary["nodes"] == {"count": 3, "bounding_box": {"min": [0.0, -1.0, 0.0], "max": [3.0, 2.0, 0.5]}}
    assert summary["elements"] == {"count": 3, "by_topology": {"2": 1, "4": 2}}
    assert (summary["properties"], summary["materials"]) == (0, 0)
    assert summary["output_sets"] == [{"id": 7, "title": "Gravity", "value": 2.5}]
    assert summary["vectors"] == [{"set_id": 7, "vec_id": 5, "title": "Stress", "ent_type": 7, "count": 3,
                                   "min": -2.5, "max": 4.0}]


@needs_extractors
def test_human_summary_of_a_results_only_file(tmp_path, write_neu):
    # No header, nodes or elements: every model section must still print.
    path = write_neu(blocks=[(1051, ["1,2,1,", "<NULL>", ZEROS, ZEROS, "0,0,0,8,", "0,0,0,", "4,nan,", "-1,0."])])
    result = run_cli(path, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert "Title    (no header)" in lines
    assert any(line.split() == ["nodes", "0"] for line in lines)
    assert any(line.split() == ["elements", "0"] for line in lines)
    # A NaN value has no place in min and max; the vector still lists its one value.
    assert lines[-1].split() == ["1", "2", "8", "1", "-", "-"]

    summary = json.loads(run_cli(path, "--json", cwd=tmp_path).stdout)
    assert summary["nodes"] == {"count": 0, "bounding_box": None}
    assert summary["vectors"][0]["min"] is None


@pytest.mark.parametrize(
    "case, expected",
    [
        ("missing", "no such file"),
        ("directory", "is a directory"),
        ("undecodable", "not readable as utf-8 text"),
        ("block id out of range", "outside the signed 32-bit range"),
    ],
)
def test_errors_are_one_line_and_exit_non_zero(tmp_path, case, expected):
    target = tmp_path / "input.neu"
    if case == "directory":
        target.mkdir()
    elif case == "undecodable":
        target.write_bytes(b"   -1\n   100\n\xff\xfe title\n   -1\n")
    elif case == "block id out of range":
        target.write_text("   -1\n2147483648\n   -1\n")
    result = run_cli(str(target), cwd=tmp_path)
    assert result.returncode != 0
    assert result.stdout == ""
    assert result.stderr.count("\n") == 1 and "Traceback" not in result.stderr
    assert result.stderr.startswith("tremix: error: ") and expected in result.stderr
