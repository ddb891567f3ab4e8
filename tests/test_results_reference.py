"""The results extractors against a short plain-Python statement of their
rules, on many generated messy files, and the value conversion against
exactly rounded decimals."""

from __future__ import annotations

import math
from pathlib import Path

import numpy as np
import pytest
from conftest import neu_text
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tremix.core.orvex_parser import ORVEXParser

# --- the rules in plain Python ----------------------------------------------------


def fields(line):
    text = line.rstrip(",").strip()
    if "," in text:
        return [piece for piece in map(str.strip, text.split(",")) if piece]
    return text.split()


def i32(text):
    value = int(text)
    if not -(2**31) <= value < 2**31:
        raise OverflowError
    return value


def value_of(text):
    cut = text.find("(")
    return float(text[:cut] if cut >= 1 else text)


def title(line):
    text = line.strip().rstrip(",")
    return "" if text == "<NULL>" else text


def is_marker(f):
    return len(f) >= 2 and f[0] == "-1" and f[1] == "0."


def ref_output_sets(blocks):
    out = {}
    for lines in blocks.get(450, []):
        n, i = len(lines), 0
        while i < n:
            if not fields(lines[i]):
                i += 1
                continue
            try:
                set_id = i32(fields(lines[i])[0])
                set_title = title(lines[i + 1]) if i + 1 < n else ""
                value_fields = fields(lines[i + 3]) if i + 3 < n else []
                out[set_id] = {"title": set_title, "value": value_of(value_fields[0]) if value_fields else 0.0}
                i += 6
            except (ValueError, IndexError):
                i += 1
    return out


def locate(lines, start):
    k = start + 3
    while k + 1 < len(lines):
        a, b = fields(lines[k]), fields(lines[k + 1])
        if len(a) == 4 and len(b) == 3:
            try:
                [int(x) for x in a[:3]]
                ent_type = i32(a[3])
                [int(x) for x in b]
                return ent_type, True, k + 2
            except ValueError:
                pass
        k += 1
    return -1, False, len(lines)


def read_data(lines, at, n, store):
    """Data records from at[0] on; at[0] always names the line being read."""
    while at[0] < n:
        f = fields(lines[at[0]])
        if is_marker(f):
            at[0] += 1
            return
        if len(f) == 2:
            store(i32(f[0]), value_of(f[1]))
            at[0] += 1
        elif len(f) >= 3:
            first, last = i32(f[0]), i32(f[1])
            values = [value_of(x) for x in f[2:]]
            count = last - first + 1
            at[0] += 1
            while len(values) < count and at[0] < n:
                more = fields(lines[at[0]])
                if is_marker(more):
                    break
                values += [value_of(x) for x in more]
                at[0] += 1
            for j in range(min(count, len(values))):
                store(first + j, values[j])
        else:
            at[0] += 1


def walk_vectors(blocks, on_vector):
    """Calls on_vector(lines, at, n, set_id, vec_id) at each start line inside
    the protected section; a true result ends the walk with that result."""
    for lines in blocks.get(1051, []) + blocks.get(451, []):
        n, at = len(lines), [0]
        while at[0] < n:
            f = fields(lines[at[0]])
            if len(f) < 2:
                at[0] += 1
                continue
            try:
                result = on_vector(lines, at, n, i32(f[0]), i32(f[1]))
            except (ValueError, IndexError):
                at[0] += 1
                continue
            if result is not None:
                return result
    return None


def ref_output_vectors(blocks):
    out = []

    def on_vector(lines, at, n, set_id, vec_id):
        vec_title = title(lines[at[0] + 1]) if at[0] + 1 < n else ""
        ent_type, found, at[0] = locate(lines, at[0])
        results = {}
        read_data(lines, at, n, results.__setitem__)
        out.append({"set_id": set_id, "vec_id": vec_id, "title": vec_title,
                    "ent_type": ent_type if found else None, "results": results})

    walk_vectors(blocks, on_vector)
    return out


def ref_output_vectors_arrays(blocks, set_filter=-1, vec_filter=-1):
    def on_vector(lines, at, n, set_id, vec_id):
        ent_type, found, at[0] = locate(lines, at[0])
        if (set_filter >= 0 and set_id != set_filter) or (vec_filter >= 0 and vec_id != vec_filter):
            while at[0] < n:
                at[0] += 1
                if is_marker(fields(lines[at[0] - 1])):
                    break
            return None
        ids, values = [], []
        read_data(lines, at, n, lambda a, b: (ids.append(a), values.append(b)))
        return (np.array(ids, dtype=np.int32), np.array(values, dtype=np.float64),
                set_id, vec_id, ent_type if found else -1)

    return walk_vectors(blocks, on_vector) or (None, None, -1, -1, -1)


# --- comparison ---------------------------------------------------------------------


def outcome(call):
    try:
        return call()
    except OverflowError:
        return OverflowError


def same(a, b):
    """Equality that tells NaN payloads, -0.0 and array dtypes apart."""
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return type(a) is type(b) and a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
    if isinstance(a, float) and isinstance(b, float):
        return math.copysign(1, a) == math.copysign(1, b) and (a == b or (a != a and b != b))
    if isinstance(a, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(map(same, a, b))
    if isinstance(a, dict):
        return type(b) is dict and list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return type(a) is type(b) and a == b


# --- messy files ----------------------------------------------------------------------

NUMBER_TEXT = st.sampled_from([
    "0", "1", "2", "-1", "7", "12", "+3", "007", "1_0", "2147483647", "2147483648", "-2147483649",
    "0.", "0.0", "1.5", "-2.5e-3", "1.5(2)", "(3)", "3E+02", ".5", "1e400", "1e-400", "inf", "-nan",
    "99999999999999999999.5", "1.0D+00", "abc", "x", "١٢", "1.5\u00a0",
])
FIELD = st.one_of(NUMBER_TEXT, st.integers(-3, 40).map(str), st.floats(allow_nan=False, width=32).map(repr))


@st.composite
def record_line(draw):
    parts = draw(st.lists(FIELD, max_size=6))
    style = draw(st.sampled_from(["comma", "comma_trailing", "space", "tab", "comma_gaps"]))
    if style == "comma":
        return ",".join(parts)
    if style == "comma_trailing":
        return ",".join(parts) + ",,"
    if style == "comma_gaps":
        return " , ".join(parts).replace(" , ", ",,", 1)
    return ("\t" if style == "tab" else "  ").join([""] + parts)


SPECIAL_LINE = st.sampled_from([
    "", "   ", "-1,0.", "-1, 0.,", "  -1  0.  ", "-1,0.0", "-1,0.,5", "1,1,1,7", "1 2 3 4", "0,0,1", "5 6 7",
    "1,1,1,2147483648", "<NULL>", "Title,", "1,2", "3,2", "5,9,1.,2.", "3.,4.", "9,5,1.", ",,,",
])
LINE = st.one_of(record_line(), SPECIAL_LINE)
# Mostly valid, so that many vectors survive whole; sometimes anything.
ID = st.one_of(*[st.integers(-2, 12).map(str)] * 3, st.just("-1"), NUMBER_TEXT)
VALUE = st.one_of(*[st.floats(allow_nan=False).map(repr)] * 3,
                  *[st.sampled_from(["1.5", "-2.5E-07", "0.", "0.0", "7", "1.5(2)", "-0.0"])] * 3, NUMBER_TEXT)


@st.composite
def data_line(draw):
    """Mostly well-formed data records: single values, ranges, value lines."""
    kind = draw(st.sampled_from(["single"] * 3 + ["range"] * 2 + ["values"] * 2 + ["other"]))
    if kind == "single":
        parts = [draw(ID), draw(VALUE)]
    elif kind == "range":
        first = draw(st.integers(-3, 10))
        parts = [str(first), str(first + draw(st.integers(-2, 6))), *draw(st.lists(VALUE, min_size=1, max_size=4))]
    elif kind == "values":
        parts = draw(st.lists(VALUE, max_size=5))
    else:
        return draw(LINE)
    return draw(st.sampled_from([",", ", ", "  ", "\t"])).join(parts) + draw(st.sampled_from(["", ",", "  "]))


@st.composite
def vector_lines(draw):
    start = draw(st.sampled_from(["1,2", "2,1", "1,1,0", "0 3", "x,1"]))
    head = [start, draw(st.sampled_from(["V,", "<NULL>", " T t ,"])), "0,0,0"]
    head += draw(st.lists(LINE, max_size=2))
    if draw(st.sampled_from([True, True, True, False])):
        head += [draw(st.sampled_from(["1,1,1,7", "1 1 1 8", "1,1,1,-3"])), draw(st.sampled_from(["0,0,1", "1 2 3"]))]
    data = draw(st.lists(data_line(), max_size=12))
    return head + data + ([draw(st.sampled_from(["-1,0.", "-1 0. 1"]))] if draw(st.booleans()) else [])


BLOCK = st.lists(st.one_of(vector_lines(), st.lists(LINE, max_size=4)), max_size=4).map(
    lambda parts: [line for part in parts for line in part])
FILE = st.lists(st.tuples(st.sampled_from([450, 451, 1051]), BLOCK), max_size=5)


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(file_blocks=FILE, set_filter=st.sampled_from([-1, 0, 1, 2]), vec_filter=st.sampled_from([-1, 1, 2, 3]))
def test_matches_plain_rules_on_messy_files(tmp_path_factory, file_blocks, set_filter, vec_filter):
    path = tmp_path_factory.mktemp("messy") / "f.neu"
    path.write_text(neu_text(*file_blocks), encoding="utf-8")
    parser = ORVEXParser(str(path))
    blocks = {k: [b.lines for b in v] for k, v in parser.parse().items()}
    pairs = [
        (parser.get_output_sets, lambda: ref_output_sets(blocks)),
        (parser.get_output_vectors, lambda: ref_output_vectors(blocks)),
        (lambda: parser.get_output_vectors_arrays(set_filter, vec_filter),
         lambda: ref_output_vectors_arrays(blocks, set_filter, vec_filter)),
    ]
    for ours, ref in pairs:
        got, expected = outcome(ours), outcome(ref)
        assert same(got, expected), (got, expected)


# --- exactly rounded decimals -------------------------------------------------------

CORPUS = Path(__file__).parent / "data" / "float-corpus"


def corpus_values():
    """(text, bits of the correctly rounded double) that float() accepts as a field."""
    out = []
    for path in sorted(CORPUS.glob("*.txt")):
        for line in path.read_text().splitlines():
            parts = line.split()
            if len(parts) != 4 or any(c in parts[3] for c in ",(_"):
                continue
            try:
                float(parts[3])
            except ValueError:
                continue
            out.append((parts[3], int(parts[2], 16)))
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
