"""Random record text for the tokenizer and number conversion tests: numbers
written every way the interpreter accepts or nearly accepts, mixed with
ASCII and Unicode whitespace, non-ASCII digits and arbitrary code points,
so that lines of all three str storage kinds occur."""

from __future__ import annotations

from hypothesis import strategies as st

ASCII_SPACE = " \t\n\x0b\x0c\r\x1c\x1d\x1e\x1f"
# Everything beyond ASCII that str.split()/str.strip() treat as whitespace.
UNICODE_SPACE = "\x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"
# Look like separators but are not whitespace to the interpreter.
NOT_SPACE = "\u200b\u180e\ufeff\x00"
# Decimal digits that int() and float() accept: Arabic-Indic (2-byte str),
# fullwidth, and mathematical bold (4-byte str).
OTHER_DIGITS = "\u0660\u0665\u0669\uff10\uff15\uff19\U0001d7ce\U0001d7d7"
NUMBER_CHARS = "0123456789+-.eE_D"
PUNCTUATION = ",,,()"
LETTERS = "aAfinINFtyx"

ALL_CHARS = ASCII_SPACE + UNICODE_SPACE + NOT_SPACE + OTHER_DIGITS + NUMBER_CHARS + PUNCTUATION + LETTERS

char = st.one_of(st.sampled_from(ALL_CHARS), st.characters())
# Mostly ASCII number characters, so that many texts are valid or nearly so.
number_char = st.one_of(st.sampled_from(NUMBER_CHARS), st.sampled_from(NUMBER_CHARS), char)

digits = st.text("0123456789", min_size=1, max_size=25)


@st.composite
def numberish(draw) -> str:
    """A decimal number that float() accepts, sometimes bent out of shape."""
    sign = draw(st.sampled_from(["", "", "-", "+"]))
    whole = draw(st.one_of(digits, st.just("")))
    frac = draw(st.one_of(st.just(""), st.just("."), digits.map(lambda d: "." + d)))
    if not whole and frac in ("", "."):
        whole = "0"
    exp = draw(
        st.one_of(
            st.just(""),
            st.tuples(st.sampled_from("eE"), st.sampled_from(["", "+", "-"]), st.text("0123456789", min_size=1, max_size=4)).map("".join),
        )
    )
    text = sign + whole + frac + exp
    if draw(st.integers(0, 3)) == 0:
        # Insert, replace or drop one character.
        pos = draw(st.integers(0, len(text)))
        text = text[:pos] + draw(st.one_of(char, st.just(""))) + text[pos + draw(st.integers(0, 1)) :]
    return text


# What a number of the exporters' fixed shape or a node line's middle
# fields may be bent with: the neighbours of each of their characters, a
# comma, blanks, controls and characters beyond ASCII.
NEAR_MISS = "0123456789.+-eEdD,/:; \t\x00\x1f\x7f\x80\xa0\xff\u0100\u2028"


def bend(draw, text: str, chars: str = NEAR_MISS) -> str:
    """`text` with one character replaced, dropped or added, anywhere."""
    pos = draw(st.integers(0, len(text)))
    return text[:pos] + draw(st.one_of(st.sampled_from(chars), st.just(""))) + text[pos + draw(st.integers(0, 1)) :]


@st.composite
def fixed_scientific(draw) -> str:
    """A number in the shapes exporters write by default, "-2.2119522E+02"
    and "-2.211952E+02", with every exponent of two digits (some beyond what
    one multiplication or division gives exactly), bent now and then."""
    places = draw(st.sampled_from([7, 7, 6]))
    text = "{}{}.{:0{}d}{}{}{:02d}".format(
        draw(st.sampled_from(["", "-", "-", "+"])), draw(st.integers(0, 9)), draw(st.integers(0, 10**places - 1)),
        places, draw(st.sampled_from("EEe")), draw(st.sampled_from("+-")), draw(st.integers(0, 99)))
    return bend(draw, text) if draw(st.integers(0, 3)) == 0 else text


spaces = st.text(st.sampled_from(ASCII_SPACE + UNICODE_SPACE), max_size=2)

# Field-sized text: numbers (padded or not), integers around the int32 range,
# float reprs and free-form text.
field_text = st.one_of(
    numberish(),
    fixed_scientific(),
    st.tuples(spaces, numberish(), spaces).map("".join),
    st.integers(-(2**40), 2**40).map(str),
    st.integers(-(2**31) - 2, -(2**31) + 2).map(str),
    st.integers(2**31 - 2, 2**31 + 2).map(str),
    st.floats(allow_nan=True, allow_infinity=True).map(repr),
    st.text(number_char, max_size=12),
    st.text(char, max_size=12),
)

# Record lines: fields joined by commas and/or whitespace runs.
separator = st.one_of(
    st.sampled_from([",", ", ", " ", "   ", "\t", ",,", " , "]),
    st.text(st.sampled_from(ASCII_SPACE + UNICODE_SPACE + ","), min_size=1, max_size=3),
)


@st.composite
def record_line(draw) -> str:
    fields = draw(st.lists(field_text, max_size=8))
    out = draw(spaces)
    for f in fields:
        out += f + draw(separator)
    return out + draw(st.text(st.sampled_from(", \t"), max_size=3))


line_text = st.one_of(record_line(), st.text(char, max_size=40))

# Prefixes that put a field inside a str of each storage kind.
wide_prefix = st.sampled_from(["", "x,", "\xe9 ", "\u0100 ", "\U0001f600 "])


# Values as exporters write them ("-1.2084482E-07"), bent now and then, on
# lines joined the way result lines are, mostly by single commas.
@st.composite
def exporter_value(draw) -> str:
    places = draw(st.sampled_from([7, 7, 7, 1, 4, 8]))
    exponent = draw(st.integers(0, 30) if draw(st.sampled_from([True] * 5 + [False])) else st.integers(0, 400))
    text = "{}{}.{:0{}d}E{}{:0{}d}".format(
        draw(st.sampled_from(["", "-", "-", "+"])), draw(st.integers(0, 9)), draw(st.integers(0, 10**places - 1)),
        places, draw(st.sampled_from("+-")), exponent, draw(st.sampled_from([2, 2, 1, 3])))
    if draw(st.sampled_from([False] * 9 + [True])):
        pos = draw(st.integers(0, len(text)))
        text = text[:pos] + draw(st.one_of(char, st.just(""))) + text[pos + draw(st.integers(0, 1)) :]
    return text


@st.composite
def result_line(draw) -> str:
    def often(strategy, other):
        return draw(strategy if draw(st.sampled_from([True] * 12 + [False])) else other)

    value = st.one_of(exporter_value(), fixed_scientific())
    line = "".join(often(value, field_text) + often(st.just(","), separator) for _ in range(draw(st.integers(1, 10))))
    return line[: None if draw(st.booleans()) else -1] + draw(st.sampled_from(["", "", ",", ",,", " ", "(1)"]))


@st.composite
def single_line(draw) -> str:
    """A single-value result record, "12,-1.2084482E-07,", now and then bent."""
    def often(strategy, other):
        return draw(strategy if draw(st.sampled_from([True] * 8 + [False])) else other)

    ids = st.one_of(st.integers(-(10**9), 10**9).map(str), st.integers(-(2**31) - 2, 2**31 + 2).map(str))
    value = st.one_of(exporter_value(), fixed_scientific())
    line = often(ids, field_text) + often(st.just(","), separator) + often(value, field_text)
    return line + draw(st.sampled_from(["", ",", ",", ",,", " ", ",1.0E+00,", "(1)"]))


PRINTABLE = "".join(chr(c) for c in range(0x21, 0x7F) if chr(c) != ",")


@st.composite
def node_middle(draw) -> str:
    """The ten fields between a node line's id and its coordinates, each
    with its comma: mostly one character each, at times wider, so that
    their end falls anywhere in the first 32 characters and beyond; bent
    now and then (an empty field, a blank, a control or non-ASCII
    character, an extra comma)."""
    width = st.sampled_from([1] * 8 + [2, 3, 7, 20])
    text = "".join(draw(st.text(st.sampled_from(PRINTABLE), min_size=n, max_size=n)) + ","
                   for n in (draw(width) for _ in range(10)))
    return bend(draw, text) if draw(st.integers(0, 2)) == 0 else text


@st.composite
def node_line(draw) -> str:
    """A node line, "7,0,0,1,7,0,0,0,0,0,0,-2.1E+02,3.5,0.,", now and then bent."""
    def often(strategy, other):
        return draw(strategy if draw(st.sampled_from([True] * 15 + [False])) else other)

    ids = st.integers(-(10**9), 10**9).map(str)
    coordinate = st.one_of(exporter_value(), fixed_scientific(), st.floats(-1e6, 1e6).map(repr),
                           st.sampled_from(["0.", "1", ".5", "-0"]))
    tail = draw(st.sampled_from(["", ",", "1,2,", " ,3", "(1)", " "]))
    if draw(st.booleans()):
        coordinates = ",".join(often(coordinate, field_text) for _ in range(3))
        return often(ids, field_text) + "," + draw(node_middle()) + coordinates + tail
    small = st.sampled_from(["0", "1", "7", "12", "-1", "x"])
    fields = [often(ids, field_text)] + [often(small, field_text) for _ in range(10)]
    fields += [often(coordinate, field_text) for _ in range(3)]
    return "".join(f + often(st.just(","), separator) for f in fields) + tail


@st.composite
def int_line(draw) -> str:
    """An element's first line or node line, "1,2,180,179,0,0,", now and
    then bent: ids of up to ten digits (the int32 range's edge among
    them), zeros, empty fields, blanks, other characters."""
    def often(strategy, other):
        return draw(strategy if draw(st.sampled_from([True] * 60 + [False])) else other)

    ids = st.one_of(st.integers(-(10**9), 10**9).map(str), st.integers(-999, 999).map(str),
                    st.sampled_from(["0", "0", "-0", "000000001", "-999999999"]))
    odd = st.one_of(field_text, st.integers(2**31 - 2, 2**31 + 2).map(str),
                    st.integers(-(2**31) - 2, -(2**31) + 2).map(str))
    fields = [often(ids, odd) for _ in range(draw(st.integers(0, 16)))]
    line = "".join(f + often(st.just(","), separator) for f in fields)
    line = line[: None if draw(st.booleans()) else -1] + draw(st.sampled_from(["", "", ",", ",,", " ", "\xa0"]))
    return bend(draw, line) if draw(st.integers(0, 7)) == 0 else line


@st.composite
def marker_line(draw) -> str:
    """A vector's end-of-data line "-1,0.," or a line that nearly is one:
    other first fields that start with "-1", other separators and second
    fields, whitespace and commas before it (now and then more than is
    looked through), now and then bent."""
    lead = draw(st.text(st.sampled_from(ASCII_SPACE + UNICODE_SPACE + NOT_SPACE + ",,,"), max_size=4))
    lead = draw(st.sampled_from(["", "", "", " " * 300, ",\t" * 130])) + lead
    first = draw(st.sampled_from(["-1", "-1", "-1", "-10", "-1.5E-03", "-1x", "- 1", "-", "1", "\u22121", "-\uff11"]))
    separator = draw(st.sampled_from([",", ",", ", ", " ", "\t", "\u3000", ",,", " ,", "\x85", "\u200b"]))
    second = draw(st.sampled_from(["0.", "0.", "0.0", "0", "x", "0.,1"]))
    line = lead + first + separator + second + draw(st.sampled_from(["", ",", ",,", " ", ",1,", " 2"]))
    return bend(draw, line) if draw(st.integers(0, 3)) == 0 else line
