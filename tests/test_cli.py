"""The `tremix` / `python -m tremix` summary command, run as users run it."""

from __future__ import annotations

import bz2
import errno
import json
import math
import os
import pathlib
import re
import subprocess
import sys
import threading
import time
import types
import contextlib
import gzip
import io
import lzma
import zipfile
from importlib.metadata import version

import numpy as np
import pytest

import tremix
import tremix.cli
import tremix.progress
from tremix.checking import _check_with_catalogue
from tremix.core import _native
from tremix.core.orvex_parser import ORVEXParser
from tremix.progress import CountingReader
from tremix.summary import example_path, summary_of


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
                          timeout=120, env={**os.environ, "PYTHONUTF8": "1"}, stdin=subprocess.DEVNULL)


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
    (403, [NODE.format(4, "nan", "-inf", "inf")]),  # a second node block; NaN and infinities stay out of the box
]


@needs_extractors
def test_summarises_the_example_without_arguments(tmp_path):
    result = run_cli(cwd=tmp_path)
    assert result.returncode == 0 and result.stderr == ""
    out = result.stdout
    assert "Cantilever bracket, steel" in out and "example.neu" in out
    for heading in ("Blocks", "Model", "Output sets", "Output vectors"):
        assert heading in out.splitlines()
    assert "(version 11.4)" in out  # the file's "11.4," without its comma
    piped = run_with_input("--strict", data=b"not a model\n", cwd=tmp_path)  # not what is summarised: said so
    assert (piped.returncode, piped.stdout) == (0, b"") and piped.stderr.startswith(b"tremix: note: no FILE given")


@needs_extractors
def test_json_summary_of_a_small_file(tmp_path, write_neu, monkeypatch):
    path = write_neu(blocks=SMALL_FILE)
    result = run_cli(path, "--json", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    summary = json.loads(result.stdout)
    assert summary["path"] == os.path.abspath(path)
    with monkeypatch.context() as m:
        m.chdir(os.path.dirname(path))
        assert tremix.summary.summarize(os.path.basename(path))["path"] == path
    assert summary["size_bytes"] == os.path.getsize(path)
    assert summary["blocks"] == [{"block_id": 100, "count": 1, "lines": 2}, {"block_id": 403, "count": 2, "lines": 5},
                                 {"block_id": 404, "count": 1, "lines": 21}, {"block_id": 450, "count": 1, "lines": 6},
                                 {"block_id": 1051, "count": 1, "lines": 11}]
    assert summary["model"] == {"title": "", "version": "2.1,"}
    # The second record of node 3 replaces the first, so (9, 9, 9) is not in the box.
    assert summary["nodes"] == {"count": 4, "bounding_box": {"min": [0.0, -1.0, 0.0], "max": [3.0, 2.0, 0.5]}}
    assert summary["elements"] == {"count": 3, "by_topology": {"2": 1, "4": 2}}
    assert (summary["properties"], summary["materials"]) == (0, 0)
    assert summary["output_sets"] == [{"id": 7, "title": "Gravity", "value": 2.5}]
    assert summary["vectors"] == [{"set_id": 7, "vec_id": 5, "title": "Stress", "ent_type": 7, "count": 3,
                                   "min": -2.5, "max": 4.0}]


def test_the_box_of_nodes_bounded_in_pieces(monkeypatch):
    # z has no finite coordinate, x none in the first piece and two infinite ones.
    coords = np.random.default_rng(3).normal(size=(50, 3))
    coords[:, 2], coords[:7, 0], coords[[9, 30], 0] = np.nan, np.nan, [np.inf, -np.inf]
    coords[13, 1] = 100.0  # the last row of a piece
    monkeypatch.setattr(tremix.summary, "_BOX_ROWS", 7)
    x = coords[np.isfinite(coords[:, 0]), 0]
    assert tremix.summary._nodes_of(np.arange(50, dtype=np.int32), coords)["bounding_box"] == {
        "min": [x.min(), coords[:, 1].min(), None], "max": [x.max(), coords[:, 1].max(), None]}


@needs_extractors
def test_summary_of_odd_values_blocks_out_of_order_and_replaced_arrays(tmp_path, write_neu):
    # An infinite output-set value, a node infinite on one axis only, -0.0 shown as 0, blocks listed by number.
    path = write_neu(blocks=[(450, ["7,0,0,", "Gravity,", "0,", "inf,", "0,", "0,"]),
                             (403, [NODE.format(1, -0.0, 0.0, 0.0), NODE.format(2, "inf", 5.0, 5.0)]), (100, ["T", "1,"])])
    summary = json.loads(run_cli(path, "--json", cwd=tmp_path).stdout)
    assert summary["output_sets"] == [{"id": 7, "title": "Gravity", "value": None}]
    assert summary["nodes"]["bounding_box"] == {"min": [-0.0, 0.0, 0.0], "max": [-0.0, 5.0, 5.0]}
    assert [block["block_id"] for block in summary["blocks"]] == [100, 403, 450]
    assert "box x 0 .. 0, y 0 .. 5, z 0 .. 5" in run_cli(path, cwd=tmp_path).stdout
    first_node = type("FirstNode", (ORVEXParser,), {"get_nodes_arrays": lambda self: (np.int32([1]), np.zeros((1, 3)))})
    assert summary_of(first_node(path), path)["nodes"]["count"] == 1  # a replaced array form is asked


@needs_extractors
def test_summary_ranges_keep_the_first_of_signed_zeros_with_repeated_ids(parser_for, monkeypatch):
    # Of -0.0 and 0.0 the first in get_nodes() / results order stands (id 3,
    # written again, comes first), also across the pieces of the node box.
    monkeypatch.setattr(tremix.summary, "_BOX_ROWS", 2)
    nodes = [NODE.format(3, 1.0, 0.0, 0.0), NODE.format(1, 1.0, -0.0, 0.0), NODE.format(2, 1.0, 5.0, 0.0),
             NODE.format(3, 1.0, 0.0, -0.0)]
    records = ["3,0.0,", "1,-0.0,", "2,1.0,", "3,0.0,"]
    parser = parser_for(blocks=[(403, nodes), (1051, vector(1, 1, "V", 7, records))])
    summary = summary_of(parser, None)
    signs = lambda values: [math.copysign(1.0, v) for v in values]
    assert signs(summary["nodes"]["bounding_box"]["min"][1:]) == [1.0, -1.0]
    assert signs(summary["nodes"]["bounding_box"]["max"][2:]) == [-1.0]
    assert signs([summary["vectors"][0]["min"]]) == [1.0]


def vector(set_id: int, vec_id: int, title: str, ent_type: int, records: list[str]) -> list[str]:
    return [f"{set_id},{vec_id},1,", title, ZEROS, ZEROS, f"0,0,0,{ent_type},", "0,0,0,", *records, "-1,0."]


@needs_extractors
def test_summary_of_a_results_only_file(tmp_path, write_neu):
    # No header, nodes or elements: every model section must still print. Entity 10 is written twice and its
    # later value replaces -9; NaN and infinities have no place in a range.
    data = ["10,-9.0,", "11,2.0,", "10,5.0,", "12,inf,", "13,-inf,"]
    path = write_neu(blocks=[(1051, vector(1, 2, "T", 7, data) + vector(1, 3, "U", 7, ["1,3,-4,0.5,7,"])
                              + vector(1, 4, "<NULL>", 8, ["4,nan,"]))])
    result = run_cli(path, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert "Title    (no header)" in lines
    assert any(line.split() == ["nodes", "0"] for line in lines)
    assert any(line.split() == ["elements", "0"] for line in lines)
    assert [line.split() for line in lines[-3:]] == [["1", "2", "7", "4", "2", "5", "T"],
                                                     ["1", "3", "7", "3", "-4", "7", "U"],
                                                     ["1", "4", "8", "1", "-", "-"]]

    summary = json.loads(run_cli(path, "--json", cwd=tmp_path).stdout)
    assert summary["nodes"] == {"count": 0, "bounding_box": None}
    assert [(v["count"], v["min"], v["max"]) for v in summary["vectors"]] == [(4, 2.0, 5.0), (3, -4.0, 7.0),
                                                                               (1, None, None)]


@pytest.mark.parametrize(
    "case, expected",
    [
        ("missing", "no such file"),
        ("directory", "is a directory"),
        ("undecodable", "not readable as utf-8 text"),
        ("gzip under a plain name", "not readable as utf-8 text: it is gzip-compressed (a name ending in .gz has it "
                                    "decompressed)"),
        ("xz under a plain name", "it is xz-compressed (a name ending in .xz has it decompressed)"),
        ("zip archive", "not readable as utf-8 text: it is a zip archive (extract the file first)"),
        ("tar archive", "is a tar archive, not an ORVEX Neutral file (extract the file first)"),
        ("zstd frame", "not readable as utf-8 text: it is zstd-compressed (decompress it first)"),
        ("damaged .bz2", "cannot decompress"),  # as a damaged .gz or .xz
        ("utf-16 text", "not readable as utf-8 text: it starts with a UTF-16 byte-order mark (--encoding utf-16 "
                        "reads it)"),
        ("block id out of range", "outside the signed 32-bit range (value too large to convert to int): "
                                  "the block number on line 2 of"),
        ("node id out of range", "outside the signed 32-bit range (value too large to convert to int): "
                                 "the field '2147483648' in block 403, line 3 of"),
    ],
)
def test_errors_are_one_line_and_exit_non_zero(tmp_path, case, expected):
    target = tmp_path / ("input.neu.bz2" if case == "damaged .bz2" else "input.neu")
    if case == "directory":
        target.mkdir()
    elif case == "undecodable":
        target.write_bytes(b"   -1\n   100\n\xff\xfe title\n   -1\n")
    elif case == "gzip under a plain name":
        target.write_bytes(gzip.compress(b"   -1\n   100\nT\nV\n   -1\n"))
    elif case == "xz under a plain name":
        target.write_bytes(lzma.compress(b"   -1\n   100\nT\nV\n   -1\n"))
    elif case == "zip archive":
        with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as archive:
            archive.writestr("model.neu", "".join(f"{k},{k * 7919 % 10007}.{k % 997}\n" for k in range(3000)))
    elif case == "tar archive":
        import tarfile
        member = tmp_path / "model.neu"
        member.write_text("   -1\n   100\nT\nV\n   -1\n")
        with tarfile.open(target, "w") as archive:
            archive.add(member, arcname="model.neu")
    elif case == "damaged .bz2":
        packed = bz2.compress(b"   -1\n" * 99)
        target.write_bytes(packed[:12] + b"\x00" * 12 + packed[24:])
    elif case == "zstd frame":  # its magic number, then compressed data (here: bytes no text decodes)
        target.write_bytes(b"\x28\xb5\x2f\xfd" + bytes(range(128, 256)))
    elif case == "utf-16 text":
        target.write_text("   -1\n   100\nT\nV\n   -1\n", encoding="utf-16")
    elif case == "block id out of range":
        target.write_text("   -1\n2147483648\n   -1\n")
    elif case == "node id out of range":
        target.write_text("   -1\n   403\n2147483648,0,0,1,46,0,0,0,0,0,0,0.,0.,0.,\n   -1\n")
    result = run_cli(str(target), cwd=tmp_path)
    assert result.returncode != 0
    assert result.stdout == ""
    assert result.stderr.count("\n") == 1 and "Traceback" not in result.stderr
    assert result.stderr.startswith("tremix: error: ") and expected in result.stderr


def test_a_compressed_file_whose_text_does_not_decode_is_not_called_compressed(tmp_path):
    target = tmp_path / "input.neu.gz"
    target.write_bytes(gzip.compress(b"   -1\n   100\n" + b"T" * 100 + b"\xff\n   -1\n"))
    result = run_cli(str(target), cwd=tmp_path)
    assert result.returncode == 1 and "-compressed" not in result.stderr
    assert "not readable as utf-8 text: the byte at offset 113 (line 3)" in result.stderr
    target.write_bytes(gzip.compress(gzip.compress(b"   -1\n   100\nT\nV\n   -1\n")))  # compressed twice
    assert run_cli(str(target), cwd=tmp_path).stderr.endswith(
        "not readable as utf-8 text: its decompressed data is gzip-compressed again\n")


@pytest.mark.skipif(not os.path.exists("/dev/stdin"), reason="needs /dev/stdin")
def test_an_archive_piped_in_is_refused_as_a_file_is(tmp_path, write_neu):
    # Piped, it cannot be read again: told by the text read. A clean file piped in is still summarised.
    import tarfile
    model = write_neu("   -1\n   100\nT\nV\n   -1\n")
    with tarfile.open(tmp_path / "models.tar", "w") as archive:
        archive.add(model, arcname="model.neu")
    with zipfile.ZipFile(tmp_path / "models.zip", "w") as archive:
        archive.write(model, arcname="model.neu")
    cases = [("models.tar", "-", [], "standard input is a tar"),
             ("models.tar", "/dev/stdin", [], "/dev/stdin is a tar"),
             ("models.zip", "-", ["--encoding", "latin-1"], "standard input is a zip"),
             ("models.zip", "/dev/stdin", ["--errors", "replace"], "/dev/stdin is a zip")]
    for name, target, options, said in cases:
        result = subprocess.run([sys.executable, "-P", "-m", "tremix", target, *options], cwd=tmp_path,
                                capture_output=True, input=(tmp_path / name).read_bytes(),
                                env={**os.environ, "PYTHONUTF8": "1"})
        assert (result.returncode, result.stdout, result.stderr.decode().splitlines()) == (
            1, b"", [f"tremix: error: {said} archive, not an ORVEX Neutral file (extract the file first)"]), target
    result = subprocess.run([sys.executable, "-P", "-m", "tremix", "-", "--encoding", "latin-1"], cwd=tmp_path,
                            capture_output=True, input=pathlib.Path(model).read_bytes(),
                            env={**os.environ, "PYTHONUTF8": "1"})
    assert result.returncode == 0 and b"Title    T" in result.stdout


@pytest.mark.skipif(not os.path.exists("/dev/stdin"), reason="needs /dev/stdin")
def test_undecodable_text_from_a_pipe_is_one_line(tmp_path):
    # A pipe cannot be read twice: its decoding error is still one line, placed.
    result = subprocess.run([sys.executable, "-P", "-m", "tremix", "/dev/stdin"], cwd=tmp_path, capture_output=True,
                            input=b"   -1\n   100\n\xff\xfe title\n   -1\n", env={**os.environ, "PYTHONUTF8": "1"})
    assert result.returncode == 1 and result.stderr.decode().splitlines() == [
        "tremix: error: /dev/stdin is not readable as utf-8 text: the byte at offset 13 (line 3) of /dev/stdin does "
        f"not decode {HINT}"]


@needs_extractors
def test_several_files_one_summary_each_and_the_worst_status(tmp_path, write_neu):
    good = write_neu(blocks=SMALL_FILE)
    packed = tmp_path / "small.neu.gz"
    packed.write_bytes(gzip.compress(open(good, "rb").read()))
    missing = str(tmp_path / "missing.neu")
    result = run_cli(good, missing, str(packed), cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr == f"tremix: error: no such file: {missing}\n"
    assert result.stdout.count("Title    (untitled)  (version 2.1)") == 2
    no_version = write_neu(blocks=[(100, ["Bracket", " ,"])])
    assert "Title    Bracket  (no version)" in tremix.summary.format_summary(tremix.summary.summarize(no_version))
    assert "\n\nFile     " + str(packed) in result.stdout

    result = run_cli(missing, missing + "2", "--json", cwd=tmp_path)  # none readable: still an array
    assert (result.returncode, json.loads(result.stdout)) == (1, [])
    summaries = json.loads(run_cli(good, "--json", str(packed), cwd=tmp_path).stdout)  # options among the files
    dashes = run_cli("--json", "--", "--strict", cwd=tmp_path)  # a file after --
    assert (dashes.returncode, dashes.stdout, dashes.stderr) == (1, "", "tremix: error: no such file: --strict\n")
    assert [s["path"] for s in summaries] == [good, str(packed)]
    assert summaries[0] | {"path": "", "size_bytes": 0} == summaries[1] | {"path": "", "size_bytes": 0}
    assert summaries[0]["model"]["version"] == "2.1,"  # the data keeps the file's text


HINT = "(--encoding names another encoding, --errors replace reads past such bytes)"


@needs_extractors
@pytest.mark.skipif(not os.path.exists("/dev/stdin"), reason="needs /dev/stdin")
@pytest.mark.parametrize("stdout_encoding", ["ascii:strict", "utf-8:surrogateescape"])
def test_text_standard_output_cannot_encode_is_shown_escaped(tmp_path, write_neu, stdout_encoding):
    # A byte kept by surrogateescape meets a strict ASCII standard output, or
    # a UTF-8 one that would write it back raw (as a UTF-8 locale's does): the
    # summary is still printed, escaped, as the text summary (None size) is.
    path = write_neu(blocks=[(100, ["Träger", "1,"])], encoding="latin-1")
    result = subprocess.run([sys.executable, "-P", "-m", "tremix", "/dev/stdin", "--errors", "surrogateescape"],
                            cwd=tmp_path, capture_output=True, input=open(path, "rb").read(), timeout=120,
                            env={**os.environ, "PYTHONUTF8": "0", "PYTHONIOENCODING": stdout_encoding})
    assert result.returncode == 0 and result.stderr == b""
    lines = result.stdout.decode("ascii").splitlines()
    assert "Title    Tr\\udce4ger  (version 1)" in lines and "Size     unknown (not a regular file)" in lines


@needs_extractors
def test_control_characters_of_the_file_are_shown_escaped(write_neu, capsys):
    # An escape sequence in a title would recolour the terminal, a tab would break the table's columns.
    path = write_neu(blocks=[(100, ["Red \x1b[31mtitle\x07", "1,"]), (1051, vector(1, 2, "Tab\there\x85x", 7, ["1,2.,"]))])
    assert tremix.cli.main([path]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert "Title    Red \\x1b[31mtitle\\x07  (version 1)" in lines and lines[-1].endswith("2  Tab\\there\\x85x")
    assert not any(ch < " " or "\x7f" <= ch <= "\x9f" for line in lines for ch in line)
    # A line feed in a file name starts no line of its own.
    named = os.path.join(os.path.dirname(path), "a\nb.neu")
    os.rename(write_neu("x\n"), named)
    assert tremix.cli.main(["--strict", named]) == 2
    assert all(line.startswith(named.replace("\n", "\\n") + ":") for line in capsys.readouterr().out.splitlines())


@needs_extractors
@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("options", [[], ["--json"], ["--version"], ["--help"]], ids=["text", "json", "version", "help"])
def test_output_that_cannot_be_written_is_one_line(tmp_path, write_neu, options):
    command = [sys.executable, "-P", "-m", "tremix", write_neu(blocks=SMALL_FILE), *options]
    with open("/dev/full", "w") as full:
        for why, how in (("No space left on device", {"stdout": full}),
                         ("standard output is closed", {"preexec_fn": lambda: os.close(1)})):
            result = subprocess.run(command, cwd=tmp_path, stderr=subprocess.PIPE, text=True, timeout=120, **how)
            assert (result.returncode, result.stderr) == (1, f"tremix: error: cannot write the output: {why}\n")


@needs_extractors
@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_standard_error_closed_or_failing_loses_only_the_error_lines(tmp_path, write_neu, monkeypatch, capsys):
    # Closed, print() would write the error lines to standard output (into
    # the JSON); failing, they must not stop the other files' summaries.
    good, missing = write_neu(blocks=SMALL_FILE), str(tmp_path / "missing.neu")
    with open("/dev/full", "w") as full:
        for how in ({"preexec_fn": lambda: os.close(2)}, {"stderr": full}):
            for args in ([good, missing, "--json"], [missing, good, "--json"]):
                result = subprocess.run([sys.executable, "-P", "-m", "tremix", *args], cwd=tmp_path,
                                        stdout=subprocess.PIPE, text=True, timeout=120, **how)
                assert result.returncode == 1 and [s["path"] for s in json.loads(result.stdout)] == [good]
            result = subprocess.run([sys.executable, "-P", "-m", "tremix", "--no-such-option"], cwd=tmp_path,
                                    stdout=subprocess.PIPE, text=True, timeout=120, **how)
            assert (result.returncode, result.stdout) == (2, "")
    # Both closed: still the status of a wrong command line; Ctrl-C still 130.
    interrupted = ("import tremix.cli, tremix.__main__\ntremix.cli.main = lambda argv: (_ for _ in ()).throw("
                   "KeyboardInterrupt)\nraise SystemExit(tremix.__main__.main([]))")
    for command, closed, status in (([*"-m tremix --no-such-option".split()], (1, 2), 2),
                                    (["-c", interrupted], (2,), 130)):
        result = subprocess.run([sys.executable, "-P", *command], cwd=tmp_path, timeout=120,
                                preexec_fn=lambda closed=closed: [os.close(fd) for fd in closed])
        assert result.returncode == status

    class HungUp(Terminal):  # a terminal gone while the progress is shown
        def write(self, text: str) -> int:
            raise OSError(errno.EIO, "Input/output error")

    monkeypatch.setattr(tremix.cli, "PROGRESS_BYTES", 0)
    monkeypatch.setattr(sys, "stderr", HungUp())
    assert tremix.cli.main([good, "--json"]) == 0
    assert json.loads(capsys.readouterr().out)["path"] == good


def test_in_process_a_bad_name_is_one_line_and_a_reader_gone_ends_the_files(tmp_path, write_neu, monkeypatch,
                                                                           capsys):
    assert tremix.cli.main(["bad\0name.neu"]) == 1
    assert capsys.readouterr().err.startswith("tremix: error: cannot read bad\\x00name.neu: ")
    # Control characters and a line feed of a name are shown, not acted on; an empty name is not the folder.
    assert tremix.cli.main([str(tmp_path / "a\x1b[2J\nb.neu")]) == 1
    assert capsys.readouterr().err.endswith("a\\x1b[2J\\nb.neu\n")
    assert tremix.cli.main(["", "--strict", "--json"]) == 1
    assert json.loads(capsys.readouterr().out)["path"] == ""

    class Gone(io.StringIO):
        def write(self, text):
            raise BrokenPipeError(32, "Broken pipe")

    monkeypatch.setattr(sys, "stdout", Gone())
    assert tremix.cli.main([write_neu(blocks=SMALL_FILE), str(tmp_path / "missing.neu")]) == 0
    assert capsys.readouterr().err == ""  # the second file is not read


def test_output_dropped_in_process_keeps_no_descriptor(write_neu, monkeypatch):
    # main() in a program whose standard output went away: a stream without
    # a descriptor, then a pipe whose reader is gone (pointed at devnull).
    class Gone(io.StringIO):
        def write(self, text):
            raise BrokenPipeError(32, "Broken pipe")

    path = write_neu(blocks=SMALL_FILE)
    read_end, write_end = os.pipe()
    os.close(read_end)
    for stream in (Gone(), os.fdopen(write_end, "w")):
        monkeypatch.setattr(sys, "stdout", stream)
        before = set(os.listdir("/proc/self/fd"))
        assert [tremix.cli.main([path]) for _ in range(3)] == [0] * 3
        # None kept; one may have gone meanwhile (an earlier test's file collected by the GC).
        assert set(os.listdir("/proc/self/fd")) <= before
    assert os.path.realpath(f"/proc/self/fd/{write_end}") == os.devnull
    stream.close()


@needs_extractors
def test_version_encoding_and_usage(tmp_path, write_neu):
    result = run_cli("--version", cwd=tmp_path)
    assert (result.returncode, result.stdout, result.stderr) == (0, f"tremix {version('tremix')}\n", "")
    path = write_neu(blocks=[(100, ["Träger", "1,"])], encoding="latin-1")
    result = run_cli(path, cwd=tmp_path)  # not UTF-8 (UTF-8 mode in run_cli)
    assert result.returncode == 1 and result.stderr.endswith(f"(line 3) of {path} does not decode {HINT}\n")
    result = run_cli(path, "--encoding", "utf-16", cwd=tmp_path)  # no byte-order mark: the decoder refuses it all
    assert result.returncode == 1 and "does not start with BOM (--encoding names another encoding" in result.stderr
    for options, title in ((["--encoding", "latin-1"], "Träger"), (["--errors", "replace"], "Tr\ufffdger")):
        result = run_cli(path, *options, cwd=tmp_path)
        assert result.returncode == 0 and f"Title    {title}  (version 1)" in result.stdout, options
    for option, name, message in (("--encoding", "no-such-codec", "unknown encoding: no-such-codec"),
                                  ("--encoding", "rot13", "rot13 is not a text encoding"),
                                  ("--encoding", "undefined", "undefined does not decode text"),
                                  ("--errors", "no-such-handler", "unknown error handler: no-such-handler"),
                                  ("--errors", "xmlcharrefreplace", "xmlcharrefreplace does not apply to decoding")):
        result = run_cli(option, name, path, cwd=tmp_path)
        assert result.returncode == 2 and message in result.stderr and "Traceback" not in result.stderr


class Terminal(io.StringIO):
    def isatty(self) -> bool:
        return True


@needs_extractors
def test_progress_only_on_a_terminal(monkeypatch, capsys, write_neu):
    path = write_neu(blocks=SMALL_FILE)
    monkeypatch.setattr(tremix.cli, "PROGRESS_BYTES", 0)
    assert tremix.cli.main([path, "--json"]) == 0
    quiet = capsys.readouterr()
    assert quiet.err == ""
    terminal = Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    assert tremix.cli.main([path, "--json"]) == 0
    shown = terminal.getvalue()
    assert re.match(r"\rtremix: reading file0.neu +\d+%", shown)
    assert "\rtremix: summarising file0.neu" in shown
    assert shown.endswith(" " * len("tremix: summarising file0.neu") + "\r")  # erased before the output
    assert capsys.readouterr().out == quiet.out  # read through the counting route: the same summary
    monkeypatch.setattr(tremix.cli, "PROGRESS_BYTES", os.path.getsize(path))  # only a larger file shows it
    monkeypatch.setattr(sys, "stderr", terminal := Terminal())
    assert tremix.cli.main([path, "--json"]) == 0 and terminal.getvalue() == ""
    monkeypatch.setattr(tremix.cli, "PROGRESS_BYTES", 0)

    # What is not a regular file skips the progress and fails as it does anywhere.
    monkeypatch.setattr(sys, "stderr", terminal := Terminal())
    assert tremix.cli.main([os.path.dirname(path), path + ".missing", "--json"]) == 1
    assert terminal.getvalue().splitlines()[-2:] == [f"tremix: error: {os.path.dirname(path)} is a directory, not a file",
                                                     f"tremix: error: no such file: {path}.missing"]

    # --errors (with --encoding or alone) and compressed files take the counting route, shown to 100%.
    latin = write_neu(blocks=[(100, ["Träger", "1,"])], encoding="latin-1")
    for how in (["--encoding", "utf-8", "--errors", "replace"], ["--errors", "replace"]):
        capsys.readouterr()
        monkeypatch.setattr(sys, "stderr", Terminal())
        assert tremix.cli.main([latin, "--json", *how]) == 0
        assert json.loads(capsys.readouterr().out)["model"]["title"] == "Tr\ufffdger"
    packed = path + ".gz"
    with open(path, "rb") as plain, gzip.open(packed, "wb") as out:
        out.write(plain.read())
    tremix.cli._read(packed, None, None, tremix.cli.StatusLine(terminal := Terminal(), interval=0))
    assert "reading file0.neu.gz  100%" in terminal.getvalue()
    monkeypatch.setattr(tremix.cli, "PROGRESS_BYTES", 4 * os.path.getsize(packed))  # it holds more text than that
    tremix.cli._read(packed, None, None, tremix.cli.StatusLine(terminal := Terminal(), interval=0))
    assert terminal.getvalue()


def test_progress_of_a_reading_follows_the_bytes_read_beside_it(tmp_path, capsys, monkeypatch):
    path = tmp_path / "big.neu"  # large enough to be read ahead on a second thread
    path.write_text("   -1\n   100\n" + "x,\n" * 2_000_000 + "   -1\n")
    seen, failing = [], []
    # A display that fails (stderr gone or closed) ends its watching quietly.
    gone = [lambda done, error=error: failing.append(done) or throw(error) for error in (OSError(), ValueError())]
    with (tremix.cli._watching(seen.append, interval=0.001), tremix.cli._watching(gone[0], interval=0.001),
          tremix.cli._watching(gone[1], interval=0.001)):
        tremix.read(str(path))
        time.sleep(0.05)  # looked at again after the reading
    assert seen[-1] == path.stat().st_size and seen == sorted(seen)
    assert len(failing) == 2 and capsys.readouterr().err == ""
    assert not any(t.name == "tremix-progress" for t in threading.enumerate())
    # The count is the process's: another reading meanwhile shows no more than 100%.
    terminal = Terminal()
    monkeypatch.setattr(tremix.cli, "PROGRESS_BYTES", 0)
    monkeypatch.setattr(tremix.cli._native, "bytes_read", iter(range(0, 10**12, 10**9)).__next__)
    monkeypatch.setattr(tremix.cli, "read", lambda source: time.sleep(0.25) or tremix.read(source))
    tremix.cli._read(str(path), None, None, tremix.cli.StatusLine(terminal, interval=0))
    assert "100%" in terminal.getvalue() and "200%" not in terminal.getvalue()


def test_counting_reader_counts_reads_into_a_buffer_and_leaves_the_file_open():
    raw = io.BytesIO(bytes(range(256)) * 40)
    seen = []
    with io.BufferedReader(CountingReader(raw, seen.append), buffer_size=4096) as buffered:
        pieces = iter(lambda: buffered.read(3000), b"")  # the buffer fills itself through readinto
        assert b"".join(pieces) == raw.getvalue()
    assert seen == sorted(seen) and seen[-1] == len(raw.getvalue())
    assert not raw.closed


@pytest.mark.parametrize("error, expected", [(KeyboardInterrupt, (130, "tremix: interrupted\n", 0)),
                                             (MemoryError, (1, "tremix: error: not enough memory to read {}\n", 1))])
def test_interrupt_and_memory_error_are_one_line(monkeypatch, capsys, write_neu, error, expected):
    first, second = write_neu(blocks=SMALL_FILE), write_neu(blocks=SMALL_FILE)
    calls = []

    def failing(parser, path):
        calls.append(path)
        if len(calls) == 1:
            raise error
        return summary_of(parser, path)

    monkeypatch.setattr(tremix.cli, "summary_of", failing)
    status = tremix.cli.main([first, second])
    out = capsys.readouterr()
    assert (status, out.err, out.out.count("File     ")) == (expected[0], expected[1].format(first), expected[2])


def test_memory_running_out_while_the_command_loads_is_one_line(monkeypatch, capsys):
    # NumPy and the compiled reader load when the command starts; a library
    # the loader cannot map for want of memory is an ImportError.
    import tremix.__main__

    def unloadable(self, name):
        raise ImportError("libstdc++.so.6: failed to map segment from shared object")

    monkeypatch.setitem(sys.modules, "tremix.cli", type("Unloadable", (types.ModuleType,), {"__getattr__": unloadable})(
        "tremix.cli"))
    assert tremix.__main__.main([]) == 1
    assert capsys.readouterr().err == "tremix: error: not enough memory to start\n"


INTERRUPTED_WITH_A_THREAD_RUNNING = """
import sys, threading
from concurrent.futures import ThreadPoolExecutor
import tremix.__main__, tremix.cli

def interrupted(parser, path):
    ThreadPoolExecutor(1).submit(threading.Event().wait)  # a walk that goes on
    raise KeyboardInterrupt

tremix.cli.summary_of = interrupted
sys.exit(tremix.__main__.main(sys.argv[1:]))
"""


def test_ctrl_c_does_not_wait_for_the_summarys_threads(tmp_path, write_neu):
    result = subprocess.run([sys.executable, "-P", "-c", INTERRUPTED_WITH_A_THREAD_RUNNING,
                             write_neu(blocks=SMALL_FILE)], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout, result.stderr) == (130, "", "tremix: interrupted\n")


def test_the_command_loads_numpy_and_the_reader_inside_its_ctrl_c_handling(tmp_path):
    # Ctrl-C while NumPy loads gives one line too: nothing heavy is imported before main() runs.
    code = "import sys, tremix, tremix.__main__; print(sorted({'numpy', 'tremix.cli'} & set(sys.modules)))"
    result = subprocess.run([sys.executable, "-P", "-c", code], cwd=tmp_path, capture_output=True, text=True)
    assert result.stdout == "[]\n", result.stderr


@pytest.mark.parametrize("numpy_first, expected", [(False, "1"), (True, "None")])
def test_the_command_loads_numpy_with_one_blas_thread(tmp_path, numpy_first, expected):
    # NumPy's OpenBLAS threads would spin beside the reading: the command asks
    # for none before NumPy loads; a process that loaded it first is left as it is.
    code = ("import os\n" + "import numpy\n" * numpy_first + "from tremix.__main__ import main\n"
            "try:\n    main(['--version'])\nexcept SystemExit:\n    print(os.environ.get('OPENBLAS_NUM_THREADS'))\n")
    env = {k: v for k, v in os.environ.items() if k != "OPENBLAS_NUM_THREADS"}
    result = subprocess.run([sys.executable, "-P", "-c", code], cwd=tmp_path, env=env, capture_output=True, text=True)
    assert result.stdout.splitlines()[-1] == expected, result.stderr


@needs_extractors
def test_summary_reads_no_lines_lists_and_no_per_value_dicts(write_neu):
    class ArraysOnly(ORVEXParser):
        def get_output_vectors(self):
            raise AssertionError("the per-value dicts")

        get_nodes = get_elements = get_output_vectors

    path = write_neu(blocks=SMALL_FILE)
    parser = ArraysOnly(path)
    assert summary_of(parser, path) == summary_of(ORVEXParser(path), path)
    # A block whose lines list was made reports no file line any more.
    assert all(first is not None for _, _, first, _ in _native.block_sizes(parser))


class OwnArrays(ORVEXParser):
    """Replaced array forms, as the summary then asks them rather than taking the check's walks."""

    def get_nodes_arrays(self):
        return super().get_nodes_arrays()

    def get_elements_arrays(self):
        return super().get_elements_arrays()


@needs_extractors
@pytest.mark.parametrize("blocks", [
    SMALL_FILE,
    # Damaged: a node and an element that do not convert, an id beyond 32 bits in each walk that stops it.
    [(403, [NODE.format(1, 0.0, 1.0, 2.0), NODE.format(2, "x", 0, 0), NODE.format(3, -4.0, 5.0, 6.0)]),
     (404, element(1, 1, 4, "1,2,3,") + element(2, 1, "x", "1,") + element(3, 1, 2, "1,3,"))],
    [(403, [NODE.format(1, 0.0, 1.0, 2.0), NODE.format(2**31, 0, 0, 0)]), *SMALL_FILE[2:]],
    [*SMALL_FILE[:2], (404, element(2**31, 1, 4, "1,2,")), *SMALL_FILE[3:]],
])
def test_summary_from_the_checks_walks_is_what_the_array_forms_give(write_neu, blocks):
    # With the parser's own array forms the check's walks give the nodes and the topologies too.
    path = write_neu(blocks=blocks)
    try:
        want = summary_of(OwnArrays(path), path)
    except OverflowError as error:
        with pytest.raises(OverflowError, match=re.escape(str(error))):
            summary_of(ORVEXParser(path), path)
        return
    assert summary_of(ORVEXParser(path), path) == want


@needs_extractors
def test_a_summary_that_summarises_itself_again_is_a_recursion_error(write_neu):
    # An override that summarises the parser again recurses on one stack (never on thread after thread).
    path = write_neu(blocks=SMALL_FILE)
    for base in (ORVEXParser, OwnArrays):
        class Again(base):  # type: ignore[valid-type, misc]
            def get_blocks(self, block_id):
                summary_of(self, None)
                return []

        with pytest.raises(RecursionError):
            summary_of(Again(path), path)


@needs_extractors
def test_summary_vectors_and_findings_come_from_one_walk(write_neu):
    # Vector 1 is dropped (a value that does not convert), vector 2 writes entity 10 twice.
    path = write_neu(blocks=[(1051, vector(1, 1, "A", 7, ["10,1.5,", "11,x,"])
                              + vector(1, 2, "B", 7, ["10,-9.0,", "11,2.0,", "10,5.0,"])
                              + vector(1, 3, "C", 8, ["1,3,-4,0.5,7,"]))])

    class Counting(ORVEXParser):
        asked = 0

        def get_blocks(self, block_id):
            self.asked += block_id == 1051
            return super().get_blocks(block_id)

    parser = Counting(path)
    summary = summary_of(parser, path)
    assert parser.asked == 1  # the check's walk gave the catalogue too
    assert [(v["vec_id"], v["count"], v["min"], v["max"]) for v in summary["vectors"]] == [(2, 2, 2.0, 5.0),
                                                                                         (3, 3, -4.0, 7.0)]
    assert summary["findings"] == [f.as_dict() for f in tremix.check(parser)]
    assert {f["kind"] for f in summary["findings"]} == {"skipped-line"}
    findings, catalogue = _check_with_catalogue(parser)
    assert (findings, catalogue) == (tremix.check(parser), _native.vector_catalogue(parser, True))


@needs_extractors
def test_summary_never_shows_part_of_the_catalogue(write_neu):
    # A set id beyond 32 bits stops the vectors walk after vector 1: the check reports it and gives no
    # catalogue, and the summary raises as reading the catalogue does.
    path = write_neu(blocks=[(1051, vector(1, 1, "A", 7, ["10,1.5,"]) + vector(2**31, 1, "B", 7, ["10,1.5,"]))])
    parser = ORVEXParser(path)
    findings, catalogue = _check_with_catalogue(parser)
    assert catalogue is None and [f.kind for f in findings] == ["out-of-range"]
    with pytest.raises(OverflowError):
        _native.vector_catalogue(parser, True)
    with pytest.raises(OverflowError):
        summary_of(parser, path)
    # No blocks: no walk, and an empty catalogue.
    empty = write_neu("")
    assert summary_of(ORVEXParser(empty), empty)["vectors"] == []


@needs_extractors
def test_a_summary_raises_the_error_of_its_first_part(write_neu):
    path = write_neu(blocks=[(403, [NODE.format(2**31, 0, 0, 0)]), (1051, vector(2**31, 1, "A", 7, ["10,1.5,"]))])
    for parser in (ORVEXParser(path), OwnArrays(path)):
        with pytest.raises(OverflowError) as raised:
            summary_of(parser, path)
        assert "in block 403" in raised.value.__notes__[0]  # the nodes' part comes before the vectors'


def test_findings_in_the_summary_strict_mode_and_json(tmp_path, write_neu):
    clean = write_neu(blocks=SMALL_FILE)
    lines = [NODE.format(k, "1.0D-01", 0, 0) for k in range(1, 9)]
    damaged = write_neu("   -1\n   403\n" + "\n".join(lines) + "\n")  # D exponents, and cut short
    name = os.path.basename(damaged)

    summary = run_cli(damaged, cwd=tmp_path)
    assert summary.returncode == 0
    section = summary.stdout.split("\nFindings")[1].splitlines()
    assert section[1:4] == ["  kind            count", "  unclosed-block      1", "  skipped-line        8"]
    assert section[4].startswith(f"  {name}:3: block 403: ") and section[-1] == "  ... and 4 more findings"
    assert "Findings" not in run_cli(clean, cwd=tmp_path).stdout

    strict = run_cli(clean, damaged, "--strict", cwd=tmp_path)
    assert strict.returncode == 2 and strict.stderr == ""
    assert len(strict.stdout.splitlines()) == 9
    assert strict.stdout.startswith(f"{damaged}:3: block 403: '1,0,0,1,46,")
    quiet = run_cli(clean, "--strict", cwd=tmp_path)
    assert (quiet.returncode, quiet.stdout) == (0, "")

    found = json.loads(run_cli(damaged, "--json", cwd=tmp_path).stdout)["findings"]
    assert sorted(f["kind"] for f in found) == ["skipped-line"] * 8 + ["unclosed-block"]
    assert set(found[0]) == {"kind", "block_id", "line", "message"}
    assert json.loads(run_cli(clean, "--json", cwd=tmp_path).stdout)["findings"] == []


@pytest.mark.parametrize("unreadable_first", [True, False])
def test_strict_only_checks_and_an_unreadable_file_outranks_findings(monkeypatch, capsys, tmp_path, write_neu,
                                                                     unreadable_first):
    # Status 2 means "read, with findings": a file never read must not pass for one, wherever it stands.
    monkeypatch.setattr(tremix.cli, "summary_of", None)  # --strict prints the findings only: no summary is made
    damaged = write_neu("   -1\n   403\nshort\n")
    missing = str(tmp_path / "missing.neu")
    files = [missing, damaged] if unreadable_first else [damaged, missing]
    assert tremix.cli.main([*files, "--strict"]) == 1
    out = capsys.readouterr()
    assert out.err == f"tremix: error: no such file: {missing}\n"
    # The readable file is still checked.
    assert [line.split(": ")[:2] for line in out.out.splitlines()] == [[f"{damaged}:3", "block 403"]] * 2


def test_strict_json_lists_every_file_with_its_findings_or_its_error(tmp_path, write_neu):
    clean, damaged = write_neu(blocks=SMALL_FILE), write_neu("   -1\n   403\nshort\n")
    missing = str(tmp_path / "missing.neu")
    result = run_cli(clean, damaged, missing, "--strict", "--json", cwd=tmp_path)
    # The unreadable file outranks the findings, and is still said on stderr too.
    assert (result.returncode, result.stderr) == (1, f"tremix: error: no such file: {missing}\n")
    every = json.loads(result.stdout)
    assert every[0] == {"path": clean, "error": None, "findings": []}
    assert every[2] == {"path": missing, "error": f"no such file: {missing}", "findings": None}
    # The very findings the summary's JSON holds.
    assert every[1]["findings"] == json.loads(run_cli(damaged, "--json", cwd=tmp_path).stdout)["findings"]
    # One file: one object, as --json gives.
    result = run_cli(os.path.relpath(damaged, tmp_path), "--json", "--strict", cwd=tmp_path)
    assert result.returncode == 2 and json.loads(result.stdout) == every[1]


def run_with_input(*args: str, data: bytes, cwd) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-P", "-m", "tremix", *args], cwd=cwd, capture_output=True, input=data,
                          timeout=120, env={**os.environ, "PYTHONUTF8": "1"})


@needs_extractors
def test_dash_reads_standard_input_and_never_a_file_named_dash(tmp_path, write_neu):
    path = write_neu(blocks=SMALL_FILE)
    data = open(path, "rb").read()
    (tmp_path / "-").write_text("a file that must not be read or looked at\n")

    text = run_with_input("-", data=data, cwd=tmp_path)
    assert text.returncode == 0 and text.stderr == b""
    assert text.stdout.decode().splitlines()[:2] == ["File     - (standard input)", "Size     unknown (read as a stream)"]
    from_stdin = json.loads(run_with_input(path, "-", "--json", data=data, cwd=tmp_path).stdout)
    assert from_stdin[0] | {"path": "-", "size_bytes": None} == from_stdin[1]
    strict = run_with_input("-", "--strict", data=b"   -1\n   403\nshort\n", cwd=tmp_path)
    assert strict.returncode == 2 and strict.stdout.decode().startswith("-:3: block 403: ")

    replaced = run_with_input("-", "--errors", "replace", data=b"   -1\n   100\nT\xff\n1,\n   -1\n", cwd=tmp_path)
    assert replaced.returncode == 0 and "Title    T\ufffd  (version 1)" in replaced.stdout.decode()

    twice = run_with_input("-", path, "-", data=data, cwd=tmp_path)
    assert twice.returncode == 2 and b"- (standard input) can be given only once" in twice.stderr
    # Named by the encoding asked for (cp1252's codec calls itself "charmap", UTF-32's names the byte order), the
    # data's kind found from its bytes.
    for options, data, said in ((["--encoding", "cp1252"], b"   -1\n   100\nT\x81\n", b"as cp1252 text: byte 0x81"),
                                (["--encoding", "utf-32"], b"   -1\n   100\nT\n", b"not readable as utf-32 text: "),
                                ([], gzip.compress(b"   -1\n"), b"it is gzip-compressed"),
                                # A pipe decoded by the interpreter: its first bytes still tell (0x81 is no cp1252).
                                (["--encoding", "cp1252"], gzip.compress(b"   -1\n", mtime=0x81818181),
                                 b"it is gzip-compressed")):
        bad = run_with_input("-", *options, data=data, cwd=tmp_path)
        assert bad.returncode == 1 and said in bad.stderr and bad.stderr.count(b"\n") == 1


def throw(error):
    raise error


def test_ctrl_c_while_numpy_loads_is_interrupted_not_an_import_error(monkeypatch, capsys):
    # NumPy imports the datetime module through PyCapsule_Import, which
    # turns a KeyboardInterrupt raised there into an ImportError.
    import signal

    import tremix.__main__

    def loading(self, name):
        with contextlib.suppress(KeyboardInterrupt):
            signal.raise_signal(signal.SIGINT)
        raise ImportError('PyCapsule_Import could not import module "datetime"')

    monkeypatch.setitem(sys.modules, "tremix.cli", type("Loading", (types.ModuleType,), {"__getattr__": loading})(""))
    assert tremix.__main__.main([]) == 130 and capsys.readouterr().err == "tremix: interrupted\n"
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


def test_progress_line_is_measured_in_terminal_columns_and_fits_the_terminal(monkeypatch):
    monkeypatch.setattr(tremix.progress.os, "get_terminal_size", lambda fd: os.terminal_size((40, 24)))
    terminal = Terminal()
    terminal.fileno = lambda: 2
    status = tremix.cli.StatusLine(terminal, interval=0)
    status.show("tremix: reading " + "a_long_model_name_" * 4 + ".neu   42%")  # a full line would wrap
    assert len(shown := terminal.getvalue()[1:]) == 39 and shown.endswith(".neu   42%")
    status.show("大型模型")  # two columns each: spaces cover what is left, and clear() all of it
    status.clear()
    assert terminal.getvalue().endswith("\r大型模型" + " " * 31 + "\r" + " " * 8 + "\r")
