"""The record line tokenizer against the interpreter's own string operations."""

from __future__ import annotations

import itertools

import pytest
import struct

from fieldtext import ASCII_SPACE, NOT_SPACE, UNICODE_SPACE, line_text, node_line, result_line, single_line
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tremix.core import _fieldcheck
from tremix.core.orvex_parser import ORVEXParser


def reference_split(line: str) -> list[str]:
    text = line.rstrip(",").strip()
    if "," in text:
        return [piece.strip() for piece in text.split(",") if piece.strip()]
    return text.split()


@settings(max_examples=600, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(line_text)
def test_split_matches_string_operations(line):
    assert _fieldcheck.split(line) == reference_split(line)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(line_text)
def test_parse_csv_line_matches_string_operations(line):
    assert ORVEXParser.parse_csv_line(line) == reference_split(line)


@settings(max_examples=800, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(result_line())
def test_result_lines_read_whole_match_field_by_field(line):
    """A result line read without splitting gives what splitting it and
    converting each field gives, bit for bit, and is never an end-of-data
    line; any line it cannot be sure of is left to the split. Checking
    without converting may be sure of more lines than converting."""
    checked, values = _fieldcheck.plain_values(line, check=True), _fieldcheck.plain_values(line)
    if checked is None:
        assert values is None
        return
    fields = reference_split(line)
    assert len(checked) == len(fields) and fields[:2] != ["-1", "0."]
    wanted = [struct.pack("<d", float(f)) for f in fields]
    if values is not None:
        assert [struct.pack("<d", v) for v in values] == wanted


@settings(max_examples=500, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.one_of(single_line(), st.sampled_from(["-1,0.,", "-1,0.0000000E+00,", "0,1.0000000E+00", "+5,1.0000000E+00,"])))
def test_single_records_read_whole_match_field_by_field(line):
    checked, read = _fieldcheck.plain_single(line, check=True), _fieldcheck.plain_single(line)
    if checked is None:
        assert read is None
        return
    fields = reference_split(line)
    assert len(fields) == 2 and fields != ["-1", "0."] and checked[0] == int(fields[0])
    if read is not None:
        assert read[0] == checked[0] and struct.pack("<d", read[1]) == struct.pack("<d", float(fields[1]))


@settings(max_examples=500, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(node_line())
def test_node_lines_read_whole_match_field_by_field(line):
    read = _fieldcheck.plain_node(line)
    if read is None:
        return
    fields = reference_split(line)
    assert len(fields) >= 14 and read[0] == int(fields[0])
    assert [struct.pack("<d", v) for v in read[1:]] == [struct.pack("<d", float(f)) for f in fields[11:14]]


def test_exporters_result_lines_are_read_whole():
    assert _fieldcheck.plain_values("-1.2084482E-07,9.2894503E+08,0.0000000E+00,") == [-1.2084482e-07, 9.2894503e08, 0.0]
    for other in (" 1.0000000E+00,", "1.0000000E+00, 2.0000000E+00", "1.0000000E+00,,2.0000000E+00", "-1,0.,",
                  "1.0000000E+00(2),", "\xe91.0000000E+00,", "", ","):
        assert _fieldcheck.plain_values(other) is None, other


@pytest.mark.parametrize("length", range(6))
def test_all_short_lines(length):
    # Letters, commas, ASCII and Unicode whitespace and a non-space lookalike.
    for chars in itertools.product("a,\t \xa0\u2028\u200b", repeat=length):
        line = "".join(chars)
        assert _fieldcheck.split(line) == reference_split(line), repr(line)


@pytest.mark.parametrize(
    "line, fields",
    [
        ("1,2,3", ["1", "2", "3"]),
        ("  1 , 2 ,3  ", ["1", "2", "3"]),
        ("1,,3", ["1", "3"]),
        ("1,2,3,,,", ["1", "2", "3"]),
        ("   1   2   3", ["1", "2", "3"]),
        ("1\t2 3", ["1", "2", "3"]),
        ("My model, rev 2", ["My model", "rev 2"]),
        ("My model rev 2", ["My", "model", "rev", "2"]),
        ("x,", ["x"]),
        (",,,", []),
        ("", []),
        ("   ", []),
        # Trailing commas go before the strip: a comma followed by a space
        # stays and puts the line in comma mode.
        ("1 2 ,", ["1", "2"]),
        ("1 2, ", ["1 2"]),
        (",1 2", ["1 2"]),
        ("1,0,0,1,46,0,0,0,0,0,0,1.234567E+01,2.000000E+00,0.000000E+00,",
         ["1", "0", "0", "1", "46", "0", "0", "0", "0", "0", "0", "1.234567E+01", "2.000000E+00", "0.000000E+00"]),
        ("\u0100,\U0001f600 x", ["\u0100", "\U0001f600 x"]),
    ],
)
def test_split_examples(line, fields):
    assert _fieldcheck.split(line) == fields
    assert ORVEXParser.parse_csv_line(line) == fields


@pytest.mark.parametrize("space", list(ASCII_SPACE + UNICODE_SPACE))
def test_every_whitespace_separates_and_strips(space):
    line = f"{space}1{space}{space}2{space}"
    assert _fieldcheck.split(line) == ["1", "2"]
    assert _fieldcheck.split(f"{space}a{space},{space}b{space}") == ["a", "b"]


@pytest.mark.parametrize("char", list(NOT_SPACE))
def test_lookalikes_are_not_whitespace(char):
    assert _fieldcheck.split(f"1{char}2 3") == [f"1{char}2", "3"]


def test_parse_csv_line_on_instance_and_by_keyword():
    parser = ORVEXParser.__new__(ORVEXParser)
    assert parser.parse_csv_line("1 2") == ORVEXParser.parse_csv_line(line="1 2") == ["1", "2"]


@pytest.mark.parametrize("bad", [b"1,2", 12, ["1"], type("S", (str,), {})("1,2")])
def test_parse_csv_line_takes_exact_str_only(bad):
    with pytest.raises(TypeError, match=r"Argument 'line' has incorrect type \(expected str, got "):
        ORVEXParser.parse_csv_line(bad)


def test_parse_csv_line_rejects_none_clearly():
    with pytest.raises(TypeError, match="'line' must be str, not None"):
        ORVEXParser.parse_csv_line(None)


def test_whitespace_is_the_interpreters_over_every_code_point():
    wrong = [c for c in range(0x110000) if _fieldcheck.is_space(c) != chr(c).isspace()]
    assert wrong == []
