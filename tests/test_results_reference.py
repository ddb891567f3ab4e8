"""The results extractors against the plain-Python reader of the benchmark
(the same rules written out in Python) on many generated messy files, and
the value conversion against exactly rounded decimals."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest

from storage import STORAGES, in_storage
from conftest import neu_text
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st
from plain_python import PlainParser

import tremix
from tremix.core import _native
from tremix.core.orvex_parser import ORVEXParser


def outcome(method, args):
    """The result in comparable form (arrays as dtype, shape and bytes; the
    rest as repr, which tells -0.0 and NaN apart and shows dict order), or
    the error type."""
    try:
        result = method(*args)
    except OverflowError:
        return "OverflowError"
    if isinstance(result, tuple):
        return tuple((x.dtype.str, x.shape, x.tobytes()) if isinstance(x, np.ndarray) else repr(x) for x in result)
    return repr(result)


TEXT = st.sampled_from([
    "0", "2", "-1", "12", "+3", "007", "1_0", "2147483647", "2147483648", "-2147483649", "0.", "0.0", "-0.0",
    "1.5", "-2.5E-07", "1.5(2)", "(3)", ".5", "1e400", "1e-400", "inf", "-nan", "99999999999999999999.5",
    "1.0D+00", "abc", "١٢", "1.5\u00a0",
])
# Mostly well-formed numbers, so that many vectors survive whole.
INT = st.one_of(st.integers(-2, 12).map(str), st.integers(-2, 12).map(str), TEXT)
# Values as exporters write them ("-1.2084482E-07") and their near misses too.
SCIENTIFIC = st.builds(lambda x, digits, tail: f"{x:.{digits}E}" + tail, st.floats(allow_nan=False, allow_infinity=False),
                       st.integers(0, 9), st.sampled_from(["", "", "(2)", "x", "0"]))
VALUE = st.one_of(st.floats(allow_nan=False).map(repr), st.floats(allow_nan=False, width=16).map(repr), SCIENTIFIC,
                  TEXT)
SEP = st.sampled_from([",", ", ", "  ", "\t", ",,"])
END = st.sampled_from(["", ",,", "  "])
LINE = st.one_of(
    st.builds(lambda fs, sep, end: sep.join(fs) + end, st.lists(st.one_of(INT, VALUE), max_size=6), SEP, END),
    st.sampled_from(["", "-1,0.", "  -1  0.  ", "-1, 0.0", "-1,0.,5", "1,1,1,7", "0 0 1", "<NULL>", ",,,"]),
)
# First and last id of a range: short ones, and ones at the ends of the 32-bit
# range, whose counts (up to 2**32) and ids need more than 32-bit arithmetic.
EDGE = st.sampled_from([-2**31, -2**31 + 1, -2, 0, 2**31 - 2, 2**31 - 1])
RANGE = st.one_of(st.builds(lambda a, n: (a, a + n), st.integers(-3, 10), st.integers(-2, 6)),
                  st.tuples(EDGE, EDGE))
DATA = st.one_of(
    st.builds(lambda i, v, sep, end: f"{i}{sep}{v}{end}", INT, VALUE, SEP, END),  # single value
    st.builds(lambda ids, vs, sep: sep.join([*map(str, ids), *vs]),  # range
              RANGE, st.lists(VALUE, min_size=1, max_size=4), SEP),
    st.builds(lambda vs, sep, end: sep.join(vs) + end, st.lists(VALUE, max_size=5), SEP, END),  # values
    LINE,
)
VECTOR = st.builds(
    lambda start, title, filler, pair, data, marker: [start, title, "0,0,0", *filler, *pair, *data, *marker],
    st.sampled_from(["1,2", "2,1", "1,1,0", "0 3", "x,1"]), st.sampled_from(["V,", "<NULL>", " T t ,"]),
    st.lists(LINE, max_size=2), st.sampled_from([("1,1,1,7", "0,0,1"), ("1 1 1 -3", "1 2 3"), ("1,1,1,8", "x"), ()]),
    st.lists(DATA, max_size=12), st.sampled_from([("-1,0.",), ("-1 0. 1",), ()]),
)
BLOCK = st.lists(st.one_of(VECTOR, st.lists(LINE, max_size=4)), max_size=4).map(lambda parts: sum(parts, []))
FILE = st.lists(st.tuples(st.sampled_from([450, 451, 1051]), BLOCK), max_size=5)


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(file_blocks=FILE, set_filter=st.sampled_from([-1, 0, 1, 2]), vec_filter=st.sampled_from([-1, 1, 2, 3]),
       storage=st.sampled_from(STORAGES))
def test_matches_plain_rules_on_messy_files(tmp_path_factory, file_blocks, set_filter, vec_filter, storage):
    path = tmp_path_factory.mktemp("messy") / "f.neu"
    path.write_text(neu_text(*file_blocks), encoding="utf-8")
    ours, ref = in_storage(ORVEXParser(str(path)), storage), PlainParser(path)
    # The catalogue checks values without converting them: it must list
    # exactly the vectors the record form returns.
    try:
        vectors = ref.get_output_vectors()
    except OverflowError:
        with pytest.raises(OverflowError):
            tremix.vectors(ours)
    else:
        assert [(v.set_id, v.vec_id, v.title, v.ent_type, v.count) for v in tremix.vectors(ours)] == [
            (v["set_id"], v["vec_id"], v["title"], v["ent_type"], len(v["results"])) for v in vectors]
        _, ranged = _native.vector_catalogue(ours, True)
        assert len(ranged) == len(vectors)
        for entry, v in zip(ranged, vectors):
            low, high, repeats = entry[10:]
            finite = [x for x in v["results"].values() if np.isfinite(x)]
            if not repeats:  # every stored value is in the record form
                assert (low, high) == ((min(finite), max(finite)) if finite else (None, None))
            elif finite:  # the range also covers values a later repeat replaced
                assert low <= min(finite) and high >= max(finite)
    for name, args in [("get_output_sets", ()), ("get_output_vectors", ()),
                       ("get_output_vectors_arrays", (set_filter, vec_filter))]:
        assert outcome(getattr(ours, name), args) == outcome(getattr(ref, name), args), name


# Single-value records whose ids mostly rise by one, at times with the id's
# text bent: an id is foretold from the line before, across last digits of 9,
# longer ids, leading zeros, "-0" and the 32-bit edge.
ID_TEXT = st.sampled_from(["{}", "{}", "{}", "{}", "{}", "0{}", "00{}", "{}0", "-{}", "+{}", " {}", "{}x"])


@st.composite
def rising_singles(draw) -> list[str]:
    ident, lines = draw(st.sampled_from([-3, 0, 1, 7, 95, 995, 9999990, 99999990, 2147483640])), []
    for _ in range(draw(st.integers(1, 40))):
        text = draw(ID_TEXT).format(ident) if ident >= 0 else str(ident)
        lines.append(text + draw(st.sampled_from([",", ",", ",", ", ", "", ",,"])) + draw(SCIENTIFIC)
                     + draw(st.sampled_from([",", "", ",,", " "])))
        ident += draw(st.sampled_from([1, 1, 1, 1, 1, 0, 2, -1, 9, -10]))
    return lines


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.lists(rising_singles(), min_size=1, max_size=3), storage=st.sampled_from(STORAGES))
@example(data=[["11,5.0E+00,", "12,1.0000000E+00,", "1301.0000000E+00,", "13,1.0000000E+00", "-1,2.5E+00,",
                 "-0,2.0000000E+00,", "-1,3.0000000E+00,"]],
         storage="text")  # a longer id that starts with the foretold digits; "-0" after -1
def test_rising_single_records_match_plain_rules(tmp_path_factory, data, storage):
    vectors = [[f"1,{k + 1},1,", "V,", "0,0,0", "1,1,1,8", "0,0,1", *lines, "-1,0.,"] for k, lines in enumerate(data)]
    path = tmp_path_factory.mktemp("rising") / "f.neu"
    path.write_text(neu_text((451, sum(vectors, []))), encoding="utf-8")
    ours, ref = in_storage(ORVEXParser(str(path)), storage), PlainParser(path)
    for k in range(len(data)):
        assert outcome(ours.get_output_vectors_arrays, (1, k + 1)) == outcome(ref.get_output_vectors_arrays, (1, k + 1))
    if outcome(ref.get_output_vectors, ()) == "OverflowError":
        return
    for entry, v in zip(_native.vector_catalogue(ours, True)[1], ref.get_output_vectors(), strict=True):
        finite = [x for x in v["results"].values() if np.isfinite(x)]
        assert entry[:2] == (1, v["vec_id"]) and (entry[12] or entry[10:12] == (  # no repeated id: every value ranged
            (min(finite), max(finite)) if finite else (None, None)))


# Values of the exporters' shape "-1.2084482E-07" with one character bent
# (a digit, the point, the exponent mark or sign, a character just past the
# number), on single-value lines and lines of ten, where a value's sixteen
# bytes may end with the line or start before the value: each is ranged
# exactly when float() reads it, and the smallest and largest stand.
SHAPED = st.builds(
    lambda x, place, char, tail: (lambda t: t[:place] + char + t[place + 1:])(f"{x:.7E}") + tail,
    st.floats(min_value=-1e25, max_value=1e25, allow_nan=False).filter(lambda x: x == 0 or abs(x) > 1e-14),
    st.integers(0, 15), st.sampled_from(list("0159+-,.eE/)* ")), st.sampled_from(["", "", "", "3", "0,"]))


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(values=st.lists(SHAPED, min_size=1, max_size=30), first=st.sampled_from([1, 7, 10, 95]),
       storage=st.sampled_from(STORAGES))
def test_bent_shapes_range_as_float_reads_them(tmp_path_factory, values, first, storage):
    singles = [f"{first + k},{v}," for k, v in enumerate(values)]
    tens = [",".join(values[k:k + 10]) + "," for k in range(0, len(values), 10)]
    vectors = [["1,1,", "V,", "0,0,0", "1,1,1,8", "0,0,1", *singles, "-1,0.,"],
               ["1,2,", "V,", "0,0,0", "1,1,1,8", "0,0,1", f"1,{len(values)},", *tens, "-1,0.,"]]
    path = tmp_path_factory.mktemp("bent") / "f.neu"
    path.write_text(neu_text((451, sum(vectors, []))), encoding="utf-8")
    ours, ref = in_storage(ORVEXParser(str(path)), storage), PlainParser(path)
    assert outcome(ours.get_output_vectors_arrays, ()) == outcome(ref.get_output_vectors_arrays, ())
    if outcome(ref.get_output_vectors, ()) == "OverflowError":
        return
    for entry, v in zip(_native.vector_catalogue(ours, True)[1], ref.get_output_vectors(), strict=True):
        finite = [x for x in v["results"].values() if np.isfinite(x)]
        low, high = (min(finite), max(finite)) if finite else (None, None)
        assert entry[:2] == (1, v["vec_id"]) and repr(entry[10:12]) == repr((low, high))


# Long runs of lines in the exporters' usual layout, "0123,-1.2084482E-07,",
# which the walks that count and range take a stretch of lines at a time
# from the id foretold by the line before (its digits as written, carried
# past last digits of 9) and sixteen bytes from the value's digits; now and
# then a line bent from it, which the rule then reads. Values of every two-
# digit exponent, of which only the ones from -15 to 29 are ranged by their
# digits (a value ranged by its lead alone may have any), both zeros, and
# range records of such values on lines of one to twelve, more or fewer
# than their count. Written with "\n" (lines read in place, a line end
# after each) and "\r\n" (lines copied back to back).
@st.composite
def usual_values(draw, min_size: int, max_size: int) -> list[str]:
    """Values of one vector, drawn at random in bulk: all of one sign or of
    both, their exponents near one another (zeros among them written with
    one in between) or anywhere, digits that start with 0 now and then, or
    often with the same first three."""
    rng = draw(st.randoms(use_true_random=True))
    signs = draw(st.sampled_from([["", "+"], ["-"], ["", "", "-", "+"]]))
    centre, spread = draw(st.integers(-99, 99)), draw(st.sampled_from([0, 1, 2, 5, 99]))
    marks = draw(st.sampled_from(["E", "E", "e", "Ee"]))
    special = ["00000000", "10000000", "99999999", "01234567"]
    # Digits that often share their first three (a lead) with the extremes.
    heads = draw(st.sampled_from([None, ["1239", "1240", "1241", "9999", "1000"]]))

    def value() -> str:
        exponent = rng.choice([-16, -15, 22, 29, 30]) if rng.random() < 0.05 else min(
            99, max(-99, centre + rng.randint(-spread, spread)))
        if rng.random() < 0.1:
            digits = rng.choice(special)
        elif heads:
            digits = f"{rng.choice(heads)}{rng.randint(0, 9999):04d}"
        else:
            digits = f"{rng.randint(1, 9)}{rng.randint(0, 10**7 - 1):07d}"
        return f"{rng.choice(signs)}{digits[0]}.{digits[1:]}{rng.choice(marks)}{exponent:+03d}"

    return [value() for _ in range(draw(st.integers(min_size, max_size)))]


BENT_TAIL = st.sampled_from([",,", "", " ,", "x,", "0,"])


@st.composite
def usual_singles(draw) -> list[str]:
    ident = draw(st.sampled_from([1, 8, 95, 99, 120, 995, 1299, 9999990, 9999998]))
    width = draw(st.sampled_from([0, 0, 4, 7]))
    lines = []
    for value in draw(usual_values(1, 120)):
        tail = draw(BENT_TAIL) if draw(st.integers(0, 30)) == 0 else ","
        lines.append(f"{ident:0{width}d},{value}{tail}")
        ident += 1 if draw(st.integers(0, 40)) else draw(st.sampled_from([0, 2, -1, 100]))
    return lines


@st.composite
def usual_range(draw) -> list[str]:
    values = draw(usual_values(1, 60))
    first = draw(st.integers(1, 50))
    last = first + len(values) - 1 + draw(st.sampled_from([0, 0, 0, -5, -1, 1, 3]))
    lines, k = [f"{first},{last},"], 0
    while k < len(values):
        n = draw(st.sampled_from([10, 10, 10, 1, 3, 12]))
        tail = draw(BENT_TAIL) if draw(st.integers(0, 20)) == 0 else ","
        lines.append(",".join(values[k:k + n]) + tail)
        k += n
    return lines


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.lists(st.one_of(usual_singles(), usual_range()), min_size=1, max_size=4),
       storage=st.sampled_from(STORAGES), newline=st.sampled_from(["\n", "\r\n"]),
       ends=st.booleans())
def test_usual_lines_count_and_range_as_the_rule_reads_them(tmp_path_factory, data, storage, newline, ends):
    vectors = [[f"1,{k + 1},1,", "V,", "0,0,0", "1,1,1,8", "0,0,1", *lines, "-1,0.,"] for k, lines in enumerate(data)]
    if not ends:  # the last vector's data runs to the end of the block
        vectors[-1].pop()
    path = tmp_path_factory.mktemp("usual") / "f.neu"
    path.write_text(neu_text((451, sum(vectors, []))), encoding="utf-8", newline=newline)
    ours, ref = in_storage(ORVEXParser(str(path)), storage), PlainParser(path)
    assert outcome(ours.get_output_vectors_arrays, ()) == outcome(ref.get_output_vectors_arrays, ())
    try:
        expected = ref.get_output_vectors()
    except OverflowError:
        return
    assert [(v.vec_id, v.count) for v in tremix.vectors(ours)] == [(v["vec_id"], len(v["results"])) for v in expected]
    catalogue = _native.vector_catalogue(ours, True)
    assert _native.check(ours, True)["catalogue"] == catalogue
    for entry, v in zip(catalogue[1], expected, strict=True):
        assert entry[:2] == (1, v["vec_id"])
        finite = [x for x in v["results"].values() if np.isfinite(x)]
        if not entry[12]:  # no repeated id: every value ranged, the first of equal ones standing
            assert repr(entry[10:12]) == repr((min(finite), max(finite)) if finite else (None, None))


# --- exactly rounded decimals -------------------------------------------------------

CORPUS = Path(__file__).parent / "data" / "float-corpus"


def corpus_values():
    """(text, bits of the correctly rounded double) for texts float() accepts as fields."""
    out = []
    for path in sorted(CORPUS.glob("*.txt")):
        for text, bits in (line.split()[3:4] + line.split()[2:3] for line in path.read_text().splitlines()):
            try:
                float(text)
            except ValueError:
                continue
            if not any(c in text for c in ",(_"):
                out.append((text, int(bits, 16)))
    return out


@pytest.mark.skipif(not CORPUS.is_dir(), reason="float corpus not present")
@pytest.mark.parametrize("separator", [",", "  "])
def test_values_round_like_float(parser_for, separator):
    cases = corpus_values()
    texts = [text for text, _ in cases]
    expected = np.array([bits for _, bits in cases], dtype=np.uint64).view(np.float64)
    assert np.array_equal(np.array([float(t) for t in texts]).view(np.uint64), expected.view(np.uint64))
    n = len(texts)
    lines = ["1,1", "T", "", "1,1,1,7", "0,0,1"]
    lines.append(separator.join(["1", str(n), *texts[:5]]))  # a range record with continuation lines
    lines += [separator.join(texts[k:k + 10]) for k in range(5, n, 10)]
    lines += [f"{k}{separator}{text}" for k, text in enumerate(texts)]  # single-value records
    lines.append("-1,0.")
    ids, values, *_ = parser_for(blocks=[(1051, lines)]).get_output_vectors_arrays()
    assert ids.tolist() == list(range(1, n + 1)) + list(range(n))
    assert values.view(np.uint64).tolist() == np.concatenate([expected, expected]).view(np.uint64).tolist()
