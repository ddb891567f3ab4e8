"""The record line tokenizer against the interpreter's own string operations."""

from __future__ import annotations

import itertools

import pytest
import struct

from fieldtext import (ASCII_SPACE, NEAR_MISS, NOT_SPACE, UNICODE_SPACE, int_line, line_text, marker_line, node_line,
                       result_line, single_line)
from hypothesis import HealthCheck, example, given, settings
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


@pytest.mark.parametrize("commas", range(1, 17))
def test_commas_packed_into_one_chunk(commas):
    # The splitter looks at 16 characters at a time: every count of commas in
    # one such chunk, packed at its start or spread over it.
    spread = "".join("," if k * commas // 16 != (k + 1) * commas // 16 else str(k % 10) for k in range(16))
    for line in ("," * commas + "7" * (16 - commas) + "8,9", "1" + spread + "8,9", "  " + spread + ",5"):
        assert _fieldcheck.split(line) == ORVEXParser.parse_csv_line(line) == reference_split(line), line


def bits(values) -> list[bytes]:
    return [struct.pack("<d", v) for v in values]


# The readers of whole lines are also run on a copy of the line that ends
# right before a page that cannot be read: looking past its end faults.
def values_match_split(line: str):
    """A result line read without splitting gives what splitting it and
    converting each field gives, bit for bit, and is never an end-of-data
    line; any line it cannot be sure of is left to the split. Checking
    without converting may be sure of more lines than converting."""
    checked, values = _fieldcheck.plain_values(line, check=True), _fieldcheck.plain_values(line)
    assert _fieldcheck.plain_values(line, check=True, at_page_end=True) == checked
    guarded = _fieldcheck.plain_values(line, at_page_end=True)
    assert guarded is values is None or bits(guarded) == bits(values)
    if checked is None:
        assert values is None
        return None
    fields = reference_split(line)
    assert len(checked) == len(fields) and fields[:2] != ["-1", "0."]
    [float(f) for f in fields]  # a line it is sure of converts
    if values is not None:
        assert bits(values) == bits(float(f) for f in fields)
    return values


def single_matches_split(line: str):
    checked, read = _fieldcheck.plain_single(line, check=True), _fieldcheck.plain_single(line)
    assert _fieldcheck.plain_single(line, check=True, at_page_end=True) == checked
    guarded = _fieldcheck.plain_single(line, at_page_end=True)
    assert guarded is read is None or (guarded[0], bits(guarded[1:])) == (read[0], bits(read[1:]))
    if checked is None:
        assert read is None
        return None
    fields = reference_split(line)
    assert len(fields) == 2 and fields != ["-1", "0."] and checked[0] == int(fields[0])
    float(fields[1])
    if read is not None:
        assert read[0] == checked[0] and bits(read[1:]) == bits([float(fields[1])])
    return read


def node_matches_split(line: str):
    read = _fieldcheck.plain_node(line)
    guarded = _fieldcheck.plain_node(line, at_page_end=True)
    assert guarded is read is None or (guarded[0], bits(guarded[1:])) == (read[0], bits(read[1:]))
    if read is None:
        return None
    fields = reference_split(line)
    assert len(fields) >= 14 and read[0] == int(fields[0])
    assert bits(read[1:]) == bits(float(f) for f in fields[11:14])
    return read


@settings(max_examples=800, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(result_line())
@example("2.5E+,3e;4,")  # an exponent without digits, a value followed by more than its comma
def test_result_lines_read_whole_match_field_by_field(line):
    values_match_split(line)


@settings(max_examples=500, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.one_of(single_line(), st.sampled_from(["-1,0.,", "-1,0.0000000E+00,", "0,1.0000000E+00", "+5,1.0000000E+00,"])))
@example("5,1.5000000E+00x,")
@example("6,2.5E+,")
@example("12;1.0000000E+00,")
@example("1234567x1.0000000E+00,")
def test_single_records_read_whole_match_field_by_field(line):
    single_matches_split(line)


@settings(max_examples=500, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(node_line())
def test_node_lines_read_whole_match_field_by_field(line):
    node_matches_split(line)


def int32_or_none(text: str):
    try:
        value = int(text)
    except ValueError:
        return None
    return value if -(2**31) <= value < 2**31 else None


@settings(max_examples=800, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(int_line())
def test_element_lines_read_whole_match_field_by_field(line):
    """An element's first line read whole gives fields 0, 2 and 4 of at
    least five, as int() converts them; a node line read whole gives the
    ids other than 0 of every field. Any line either cannot be sure of is
    left to the split."""
    fields = reference_split(line)
    header = _fieldcheck.plain_element_header(line)
    assert _fieldcheck.plain_element_header(line, at_page_end=True) == header
    if header is not None:
        assert len(fields) >= 5 and list(header) == [int32_or_none(fields[k]) for k in (0, 2, 4)]
    ids = _fieldcheck.plain_node_ids(line)
    assert _fieldcheck.plain_node_ids(line, at_page_end=True) == ids
    if ids is not None:
        values = [int32_or_none(f) for f in fields]
        assert None not in values and ids == [v for v in values if v != 0]


@pytest.mark.parametrize("digits", range(11))
def test_single_record_ids_of_every_length(digits):
    # Read as one word up to seven digits when eight bytes follow, digit by digit beyond.
    for sign in ("", "-", "+"):
        single_matches_split(sign + "9876543210"[:digits] + ",1.0000000E+00,")


@settings(max_examples=800, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(marker_line())
def test_a_line_that_ends_a_vector_is_always_split(line):
    """Lines are looked at without splitting them while a vector is
    stepped over or its end is looked for: every line whose first two
    fields are "-1" and "0." must be taken as one that may end it."""
    if reference_split(line)[:2] == ["-1", "0."]:
        assert _fieldcheck.may_be_end_marker(line)
        assert _fieldcheck.may_be_end_marker(line, at_page_end=True)


# Numbers in the shapes exporters write by default: exact powers of ten at
# both ends of the range (10^22 and 10^-22 after the places) and just
# beyond them, signs either way.
FIXED_SHAPE = ["-2.2119522E+02", "9.9999999e-15", "+1.0000000E+29", "1.0000000E+30", "1.2345678E-15",
               "-1.0000000E-16", "0.0000000E+00", "-0.0000000E-00", "1.234567E+01", "-9.999999E+28",
               "1.000000e+29", "+1.234567E-16", "-7.654321E-17"]


def bent_anywhere(text: str, chars: str):
    """`text` with each character replaced by each of `chars` or dropped,
    and each of `chars` put in at each place."""
    for pos in range(len(text) + 1):
        yield text[:pos] + text[pos + 1 :]
        for ch in chars:
            yield text[:pos] + ch + text[pos + 1 :]
            yield text[:pos] + ch + text[pos:]


@pytest.mark.parametrize("number", FIXED_SHAPE)
def test_fixed_shape_numbers_bent_anywhere(number):
    """Every one-character change of such a number converts as float()
    converts it, alone, as a result line's value and as a single record's;
    the number itself is read whole where its power of ten allows."""
    in_range = -22 <= int(number[-3:]) - (number.index("e" if "e" in number else "E") - number.index(".") - 1) <= 22
    assert (values_match_split(number + ",") is not None) is in_range
    assert (single_matches_split(f"12,{number},") is not None) is in_range
    for text in {*bent_anywhere(number, NEAR_MISS)}:
        try:
            want = float(text)
        except ValueError:
            want = None
        try:
            got = _fieldcheck.to_double(text)
        except ValueError:
            got = None
        assert got is want is None or bits([got]) == bits([want]), text
        values_match_split(f"{text},1.0000000E+00,")
        values_match_split(text)
        single_matches_split(f"12,{text}")


@pytest.mark.parametrize("node_id", ["7", "-12", "123456789"])
def test_node_lines_with_middle_fields_ending_anywhere(node_id):
    """A node line whose ten middle fields end at each place from the 20th
    character after the id to well past the 32nd, followed by coordinates
    or by lines that end soon after, is read as splitting reads it."""
    for wide in range(10):
        for width in range(1, 20):
            middle = "".join(("x" * width if k == wide else str(k)) + "," for k in range(10))
            for coordinates in ("-2.2119522E+02,1.0000000E-15,0.0000000E+00,", "1,2,3", "1.5,-2.,3e1,9"):
                assert node_matches_split(f"{node_id},{middle}{coordinates}") is not None


@pytest.mark.parametrize("middle", ["0,0,1,7,0,0,0,0,0,0,", "0,0,1,46,0,0,0,0,0,0,", "10,20,30,4,5,6,7,8,9,0,"])
def test_node_lines_bent_in_their_middle_fields(middle):
    """Each character of the fields not read replaced by, or preceded by, a
    comma (an empty field), a blank, a control or a character beyond
    ASCII: read as splitting reads it, or left to the split."""
    for bent in {*bent_anywhere(middle, ", \t\x00\x1f\x7f\x80\xa0\xff\u0100")}:
        for coordinates in ("-2.2119522E+02,1.0000000E-15,0.0000000E+00,", "1,2,3"):
            node_matches_split(f"5,{bent}{coordinates}")


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



range_texts = st.one_of(
    st.builds(lambda v, places, sign: f"{v:{sign}.{places}E}", st.floats(width=64) | st.floats(-1e-3, 1e-3),
              st.sampled_from([6, 7]), st.sampled_from(["", "+"])),
    st.floats(width=64).map(repr),
    st.sampled_from(["0.0000000E+00", "-0.0000000E+00", "-0.000000E-05", "0.1234567E-03", "-0.0001000E+02",
                     "1.0000000E+25", "-1.0000000E-30", "-0.", "1e1", "nan"]))
# Few signs, exponents and leading digits: values often share the first two
# digits and the exponent of the smallest or largest one so far.
shared_leads = st.builds(
    lambda sign, lead, rest, places, exponent: f"{sign}{lead[0]}.{lead[1]}{rest[:places - 1]}E{exponent}",
    st.sampled_from(["", "-", "+"]), st.sampled_from(["15", "99", "10", "00"]),
    st.sampled_from(["000000", "999999", "500000"]) | st.text("0123456789", min_size=6, max_size=6),
    st.sampled_from([6, 7]), st.sampled_from(["-07", "+00"]))


@settings(max_examples=600, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(range_texts, max_size=12) | st.lists(shared_leads, max_size=12))
@example(["0.0000000E+00", "-0.", "-0.0000000E+00"])
@example(["1.0000000E+00", "1.000000E+00", "1."])
@example(["9.0000000E+00", "1.5550000E+00", "1.5500000E+00"])  # a smaller value of the smallest one's lead
@example(["-9.0000000E+00", "-1.5550000E+00", "-1.5500000E+00"])
def test_value_ranges_compare_digits_as_the_values_compare(texts):
    """Ranged by their digits, the values' smallest and largest are those of
    float() in order, the first of equal ones kept (-0.0 and 0.0 told apart)."""
    finite = [v for v in map(float, texts) if v - v == 0.0]
    assert repr(_fieldcheck.value_range(texts)) == repr((min(finite), max(finite)) if finite else None), texts
