"""Smoke test of the benchmark harness on a tiny file."""

import sys

import pytest



import run_bench  # noqa: E402


def test_harness_runs_and_reuses_its_cached_file(tmp_path, capsys):
    args = ["--size-mb", "0.3", "--repeat", "1", "--cache-dir", str(tmp_path / "cache"),
            "--no-memory", "--out", str(tmp_path / "table.md")]
    assert run_bench.main(args) == 0
    table = (tmp_path / "table.md").read_text()
    for row in ("| ORVEXParser(path) |", "| get_output_vectors() |", "| nodes |", "| open(path).read() |"):
        assert row in table
    files = sorted(p.name for p in (tmp_path / "cache").glob("*.txt"))
    assert len(files) == 1 and (tmp_path / "cache" / files[0]).stat().st_size >= 0.3e6

    capsys.readouterr()
    assert run_bench.main(args) == 0
    assert "reusing" in capsys.readouterr().err


def test_memory_probe_reports_growth(tmp_path):
    import orvex_gen

    path = tmp_path / "m.txt"
    meta = orvex_gen.generate(path, n_nodes=3000)
    probe = run_bench.memory_probe("plain", str(path), "tracemalloc")
    assert probe["peak"] >= probe["retained"] > meta["bytes"]  # the lines alone outweigh the file
    if sys.platform.startswith("linux"):
        # RSS moves by whole pages and may not move at all for a small file.
        assert run_bench.memory_probe("plain", str(path), "rss")["peak"] >= 0
    with pytest.raises(KeyError):
        run_bench.memory_probe("nonesuch", str(path), "rss")
