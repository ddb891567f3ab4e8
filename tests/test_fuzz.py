"""A short, bounded fuzz run: random and mutated files, random record lines
and random block maps for every extractor. Every call must return or raise
a Python exception; where every input is well-typed, the module must also
agree with the plain Python reading (bench/plain_python.py).

The long run is `tools/fuzz.py --minutes N` (docs/robustness.md)."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))

import fuzz_targets as ft  # noqa: E402

FAST = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])

# Characters that matter to the tokenizer and the number rules, and any other.
line_chars = st.one_of(
    st.sampled_from([",", " ", "\t", "-", "1", "0", ".", "e", "(", ")", "_", "+"]),
    st.sampled_from(ft.WHITESPACE + ft.ODD_CHARS),
    st.characters(),
)


@pytest.fixture(scope="module")
def scratch(tmp_path_factory):
    return str(tmp_path_factory.mktemp("fuzz") / "input.neu")


@FAST
@given(st.text(line_chars, max_size=60))
def test_random_lines_split_as_the_plain_rules(line):
    ft.check_csv_line(line)


@settings(max_examples=100, deadline=None)
@given(st.lists(st.sampled_from(ft.NUMBERS + ft.WHITESPACE + [",", ",,", " "]), max_size=20).map("".join))
def test_number_like_lines_split_as_the_plain_rules(line):
    ft.check_csv_line(line)


@FAST
@given(rng=st.randoms(use_true_random=False))
def test_mutated_files(scratch, rng):
    ft.check_file(ft.random_file(rng), scratch)


@settings(max_examples=60, deadline=None)
@given(st.binary(max_size=300))
def test_binary_garbage_files(scratch, data):
    ft.check_file(data, scratch)


@settings(max_examples=60, deadline=None)
@given(
    st.lists(
        st.one_of(
            st.sampled_from(ft.DELIMITER_VARIANTS + ft.ID_LINES),
            st.text(line_chars, max_size=30),
        ),
        max_size=30,
    ),
    st.sampled_from(["\n", "\r\n", "\r"]),
)
def test_block_grammar_on_random_lines(scratch, lines, newline):
    ft.check_file(newline.join(lines).encode("utf-8", "surrogatepass"), scratch)


@FAST
@given(rng=st.randoms(use_true_random=False))
def test_random_block_maps(rng):
    ft.check_blocks(ft.random_blocks(rng, hostile=False), differential=True)


@FAST
@given(rng=st.randoms(use_true_random=False))
def test_random_block_maps_with_foreign_objects(rng):
    ft.check_blocks(ft.random_blocks(rng, hostile=True), differential=False)
