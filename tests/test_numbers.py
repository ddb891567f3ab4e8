"""Field to number conversion against the interpreter's int() and float()."""

from __future__ import annotations

import itertools
import struct
import sys
from pathlib import Path

import pytest
from fieldtext import field_text, wide_prefix
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tremix.core import _fieldcheck

INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1


def bits(value: float) -> bytes:
    return struct.pack("<d", value)


def outcome(fn, *args):
    """(result or None, exception type or None, message) of a call."""
    try:
        return fn(*args), None, None
    except (ValueError, OverflowError) as exc:
        return None, type(exc), str(exc)


def expected_int32(text: str):
    result = outcome(int, text)
    if result[0] is not None and not INT32_MIN <= result[0] <= INT32_MAX:
        return None, OverflowError, "value too large to convert to int"
    return result


def cut_float(text: str) -> float:
    paren = text.find("(")
    return float(text[:paren] if paren >= 1 else text)


def same_float_outcome(got, want) -> bool:
    if got[0] is None or want[0] is None:
        return got == want
    return bits(got[0]) == bits(want[0])


def check_text(text: str, prefix: str = "") -> None:
    """Every conversion of `text`, alone and as a field inside a longer line."""
    line = prefix + text + prefix[::-1]
    span = (len(prefix), len(text))
    for args in [(text,), (line, *span)]:
        assert outcome(_fieldcheck.to_int32, *args) == expected_int32(text), args
        want_int = outcome(int, text)[1] is None
        assert _fieldcheck.is_int(*args) is want_int, args
        assert same_float_outcome(outcome(_fieldcheck.to_double, *args), outcome(float, text)), args
        assert same_float_outcome(outcome(_fieldcheck.parse_float, *args), outcome(cut_float, text)), args


@settings(max_examples=600, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(field_text, wide_prefix)
def test_conversions_match_interpreter(text, prefix):
    check_text(text, prefix)


# Every short text over the characters that matter to the number grammars,
# including whitespace, a non-ASCII digit and a fullwidth one.
SHORT_ALPHABET = "05-+.eE_(i \xa0\u0661\uff19D,"


@pytest.mark.parametrize("length", [0, 1, 2, 3])
def test_all_short_texts(length):
    for chars in itertools.product(SHORT_ALPHABET, repeat=length):
        check_text("".join(chars))


@pytest.mark.parametrize(
    "text, value",
    [
        ("2147483647", INT32_MAX),
        ("-2147483648", INT32_MIN),
        ("+7", 7),
        (" 12 ", 12),
        ("-0", 0),
        ("1_000", 1000),
        ("\u0661\u0662", 12),
        ("\U0001d7cf\U0001d7d0", 12),
        ("\u30001\u2028", 1),
        ("0" * 40 + "42", 42),
    ],
)
def test_int32_accepts(text, value):
    assert _fieldcheck.to_int32(text) == value
    assert _fieldcheck.is_int(text)


@pytest.mark.parametrize("text", ["2147483648", "-2147483649", "9" * 18, "9" * 19, "-" + "9" * 20, "1" + "0" * 100])
def test_int32_out_of_range_is_overflow(text):
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        _fieldcheck.to_int32(text)
    assert _fieldcheck.is_int(text)


@pytest.mark.parametrize("text", ["", "12.0", "1e3", "0x10", "1__0", "_1", "1_", "--1", "1\x1c", "1 2", "\u0661.5"])
def test_int32_rejects_with_interpreters_message(text):
    with pytest.raises(ValueError) as exc:
        _fieldcheck.to_int32(text)
    assert str(exc.value) == f"invalid literal for int() with base 10: {text!r}"
    assert not _fieldcheck.is_int(text)


def test_int_digit_limit_is_invalid_not_overflow():
    limit = sys.get_int_max_str_digits()
    for text in ["1" * (limit + 1), "0" * (limit + 1)]:
        with pytest.raises(ValueError, match="Exceeds the limit"):
            _fieldcheck.to_int32(text)
        assert not _fieldcheck.is_int(text)
    assert _fieldcheck.to_int32("0" * (limit - 1) + "5") == 5


def test_int_digit_limit_follows_runtime_setting():
    old = sys.get_int_max_str_digits()
    try:
        sys.set_int_max_str_digits(640)
        assert not _fieldcheck.is_int("0" * 641)
        sys.set_int_max_str_digits(0)
        assert _fieldcheck.to_int32("0" * 10000 + "3") == 3
        with pytest.raises(OverflowError):
            _fieldcheck.to_int32("9" * 10000)
    finally:
        sys.set_int_max_str_digits(old)


@pytest.mark.parametrize(
    "text",
    [
        "-0", "-0.0", "-0e5", "-1e-400", "1e400", "-1e400", "1e-400", "4.9406564584124654e-324",
        "1.7976931348623157e308", "1.7976931348623159e308", "+1.5", "1.e5", ".5", "-.5e-3", "5.",
        "1_000.5", " 2.5E+01 ", "\xa01\u3000", "\u0663.\u0665", "\uff11e\uff12", "inf", "-Infinity", "nAn", "-nan",
        "1" * 400 + ".5", "0." + "0" * 400 + "1", "1e" + "9" * 30, "1e-" + "9" * 30, "0e" + "9" * 30,
    ],
)
def test_double_matches_float(text):
    assert bits(_fieldcheck.to_double(text)) == bits(float(text))


def test_an_exponent_beyond_the_digits_kept_still_decides():
    # 10**8 zeros after the point: an exponent kept to its first nine digits would make this 1.0.
    text = "0." + "0" * 100_000_004 + "1e1000000050"
    assert _fieldcheck.to_double(text) == _fieldcheck.parse_float(text) == float(text) == float("inf")


@pytest.mark.parametrize("text", ["", ".", "e5", ".e5", "1e", "1e+", "1.0D+00", "1,5", "1 5", "- 1", "1._5", "0x1p3", "infi"])
def test_double_rejects_with_interpreters_message(text):
    with pytest.raises(ValueError) as exc:
        _fieldcheck.to_double(text)
    assert str(exc.value) == f"could not convert string to float: {text!r}"


@pytest.mark.parametrize(
    "text, value",
    [("1.5(2)", 1.5), ("12(a)(b)", 12.0), (" 2.5E+01 ", 25.0), ("1_000.5", 1000.5), ("-inf", float("-inf")),
     ("-0(1)", -0.0), ("3.25E-1(", 0.325)],
)
def test_parse_float_cuts_at_paren(text, value):
    assert bits(_fieldcheck.parse_float(text)) == bits(value)


@pytest.mark.parametrize("text, named", [("(3)", "(3)"), ("", ""), ("1,5", "1,5"), ("1.0D+00", "1.0D+00"),
                                         (" (1)", " "), ("x(1)", "x")])
def test_parse_float_error_names_cut_text(text, named):
    with pytest.raises(ValueError) as exc:
        _fieldcheck.parse_float(text)
    assert str(exc.value) == f"could not convert string to float: {named!r}"


CORPUS = Path(__file__).parent / "data" / "float-corpus"


@pytest.mark.parametrize("path", sorted(CORPUS.glob("*.txt")), ids=lambda p: p.stem)
def test_float_corpus(path):
    checked = 0
    for line in path.read_text().splitlines():
        _, _, f64, text = line.split(maxsplit=3)
        try:
            float(text)
        except ValueError:
            continue
        want = int(f64, 16).to_bytes(8, "big")
        assert struct.pack(">d", _fieldcheck.to_double(text)) == want, text
        # The same text as a field of a 2-byte line.
        assert struct.pack(">d", _fieldcheck.to_double("\u0100 " + text, 2)) == want, text
        checked += 1
    assert checked > 0


def _bits(x: float) -> bytes:
    return struct.pack("<d", x)



@settings(max_examples=3000, deadline=None)
@given(mantissa=st.one_of(st.integers(0, 2**53 + 10), st.integers(0, 10**19 + 10)),
       point=st.integers(0, 22), exponent=st.integers(-30, 30), zeros=st.integers(0, 4),
       sign=st.sampled_from(["", "-", "+"]), letter=st.sampled_from(["e", "E", ""]))
def test_short_decimals_round_like_float(mantissa, point, exponent, zeros, sign, letter):
    """The exact small-decimal path and its edges (2**53, 19 digits, 10**22)
    against float(), bit for bit."""
    digits = str(mantissa) + "0" * zeros
    point = min(point, len(digits))
    text = sign + digits[: len(digits) - point] + "." + digits[len(digits) - point:]
    if letter:
        text += f"{letter}{exponent:+d}" if exponent % 2 else f"{letter}{exponent}"
    assert _bits(_fieldcheck.to_double(text)) == _bits(float(text))


# Exporters' shape, "-1.2084482E-07", and its near misses: other digit
# counts, exponents of one to four digits, a letter or "(" where a digit goes.
SCIENTIFIC = st.builds(
    lambda sign, first, fraction, letter, exp_sign, exponent, tail: (
        f"{sign}{first}.{fraction}{letter}{exp_sign}{exponent}{tail}"),
    st.sampled_from(["", "-", "+"]), st.sampled_from(["0", "1", "9", "x"]),
    st.text(alphabet="0123456789", min_size=0, max_size=11), st.sampled_from(["E", "e", "D", ""]),
    st.sampled_from(["", "+", "-"]), st.text(alphabet="0123456789", min_size=0, max_size=4),
    st.sampled_from(["", "", ",", "(3)", "5"]))


@settings(max_examples=3000, deadline=None)
@given(text=SCIENTIFIC)
def test_scientific_notation_against_float(text):
    # Inside a longer line too, so the scanner may read past the field's end.
    line = text + ",1.0E+00,2.5E-01"
    for args in [(text,), (line, 0, len(text))]:
        assert same_float_outcome(outcome(_fieldcheck.to_double, *args), outcome(float, text)), args
        assert same_float_outcome(outcome(_fieldcheck.parse_float, *args), outcome(cut_float, text)), args
