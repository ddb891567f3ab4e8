"""Fuzz targets shared by the bounded run in the test suite
(tests/test_fuzz.py, Hypothesis) and the long run (tools/fuzz.py).

Every target takes its input as plain Python data and checks one property:
the call returns or raises an ordinary Python exception, and where a plain
Python reading of the same input exists (bench/plain_python.py), the module
gives the same result or raises the same exception type. A crash of the
process is the failure the long run watches for; a broken property raises
`Mismatch`.
"""

from __future__ import annotations

import math
import os
import random
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))

import numpy as np  # noqa: E402

import orvex_gen  # noqa: E402
import plain_python  # noqa: E402
from tremix.core.orvex_parser import ORVEXBlock, ORVEXParser  # noqa: E402

DELIMITER = "   -1"

# (method, arguments, result type) of every extractor.
EXTRACTORS = [
    ("get_header", (), dict),
    ("get_nodes", (), dict),
    ("get_nodes", (True,), dict),
    ("get_nodes_arrays", (), tuple),
    ("get_properties", (), dict),
    ("get_materials", (), dict),
    ("get_elements", (), list),
    ("get_elements_arrays", (), tuple),
    ("get_output_sets", (), dict),
    ("get_output_vectors", (), list),
    ("get_output_vectors_arrays", (), tuple),
    ("get_output_vectors_arrays", (1, -1), tuple),
    ("get_output_vectors_arrays", (-1, 2), tuple),
]
BLOCK_IDS = (100, 402, 403, 404, 450, 451, 601, 1051)


class Mismatch(AssertionError):
    """The module and the plain reading disagree, or a result has the wrong type."""


# --- interesting pieces of text ---------------------------------------------------------

NUMBERS = [
    "", "0", "-0", "1", "-1", "+7", "0.", "-1.", "1.5", "1e3", "1E+03", "1.0D+00", "1,5", "1_000", "1__0", "_1",
    "2147483647", "2147483648", "-2147483648", "-2147483649", "99999999999999999999", "1e309", "-1e-400",
    "-0.0", "-0", "-0e5", "-.0", "nan", "-NaN", "inf", "-Infinity", "infinit", "1.5(2)", "12(a)(b)", "(3)", " (1)", "0x10", "0b1", "007",
    "\u0661\u0662", "\uff11\uff12", "0" * 4400 + "1", "1" * 30, "1\u00a0", "\u20071", "1 2", "abc", "<NULL>", ".", "e5", "5e", "--1",
]
WHITESPACE = [" ", "\t", "\x0b", "\x0c", "\x1c", "\x1f", "\x85", "\xa0", "\u1680", "\u2000", "\u2028", "\u3000"]
ODD_CHARS = ["\0", "\r", ",", "(", "\ufeff", "\ud800", "\U0001f600", "\xe9", "\u0100", "\uffff"]
ID_LINES = [
    " 100", "   403", " 402", " 404", " 450", "  451", " 601", " 1051", "-1", "  -1", "+403", "4_03", "403.0",
    "", "abc", "2147483647", "2147483648", "-2147483649", "\u0664\u0660\u0663", " 999 ",
]
DELIMITER_VARIANTS = [DELIMITER, DELIMITER, DELIMITER, "  -1", "    -1", "   -1 ", "\t-1", "-1", "   -1\r"]


# --- base files --------------------------------------------------------------------------

_BASES: list[str] = []


def base_texts() -> list[str]:
    """Small generated files in both separator styles, cached."""
    if not _BASES:
        with tempfile.TemporaryDirectory() as d:
            for i, (sep, n, vecs, sets) in enumerate(
                [("comma", 12, 2, 1), ("space", 10, 2, 2), ("comma", 30, 3, 2), ("space", 4, 1, 1)]
            ):
                path = os.path.join(d, f"b{i}.neu")
                orvex_gen.generate(path, n_nodes=n, n_vectors=vecs, n_sets=sets, separator=sep, seed=i,
                                   run_len=5)
                _BASES.append(Path(path).read_text())
    return _BASES


# --- mutation --------------------------------------------------------------------------


def mutate_fields(rng: random.Random, line: str) -> str:
    sep = "," if "," in line else " "
    fields = line.split(sep)
    for _ in range(rng.randint(1, 3)):
        op = rng.randrange(6)
        i = rng.randrange(len(fields)) if fields else 0
        if op == 0 and fields:
            fields[i] = rng.choice(NUMBERS)
        elif op == 1:
            fields.insert(i, rng.choice(NUMBERS))
        elif op == 2 and fields:
            del fields[i]
        elif op == 3 and fields:
            fields[i] = rng.choice(WHITESPACE) + fields[i] + rng.choice(WHITESPACE)
        elif op == 4:
            sep = rng.choice([",", " ", "\t", ", ", "  "])
        else:
            fields.extend([""] * rng.randint(1, 3))
    return sep.join(fields)


def mutate_lines(rng: random.Random, lines: list[str], rounds: int) -> list[str]:
    for _ in range(rounds):
        op = rng.randrange(12)
        i = rng.randrange(len(lines) + 1)
        if op == 0 and lines and i < len(lines):
            del lines[i : i + rng.randint(1, 4)]
        elif op == 1 and i < len(lines):
            lines[i:i] = lines[i : i + rng.randint(1, 8)]
        elif op == 2 and len(lines) > 1:
            j = rng.randrange(len(lines))
            i = min(i, len(lines) - 1)
            lines[i], lines[j] = lines[j], lines[i]
        elif op == 3:
            lines.insert(i, rng.choice(DELIMITER_VARIANTS))
        elif op == 4:
            lines[i:i] = [DELIMITER, rng.choice(ID_LINES)]
        elif op in (5, 6, 7) and i < len(lines):
            lines[i] = mutate_fields(rng, lines[i])
        elif op == 8 and i < len(lines):
            k = rng.randrange(len(lines[i]) + 1)
            lines[i] = lines[i][:k] + rng.choice(ODD_CHARS + WHITESPACE) + lines[i][k:]
        elif op == 9:
            lines.insert(i, rng.choice(["", " ", ",,,", "-1,0.", "-1, 0.", "0,0,0", "<NULL>", "1,2"]))
        elif op == 10 and i < len(lines):
            lines[i] = lines[i][: rng.randrange(len(lines[i]) + 1)]
        elif op == 11 and i < len(lines):
            lines.insert(i, lines[i].replace(",", " "))
    return lines


def mutate_bytes(rng: random.Random, data: bytes, rounds: int) -> bytes:
    b = bytearray(data)
    for _ in range(rounds):
        op = rng.randrange(5)
        i = rng.randrange(len(b) + 1)
        if op == 0 and i < len(b):
            b[i] ^= 1 << rng.randrange(8)
        elif op == 1:
            b[i:i] = rng.choice([b"\0", b"\r", b"\n", b"\xff", b"\xc3", b"\xe2\x80\xa8", b"\xf0\x9f\x98\x80", b"-1"])
        elif op == 2 and i < len(b):
            del b[i : i + rng.randint(1, 16)]
        elif op == 3 and i < len(b):
            b[i:i] = b[i : i + rng.randint(1, 64)]
        else:
            del b[i:]
    return bytes(b)


def random_file(rng: random.Random) -> bytes:
    """A file to parse: a generated file mutated at the line, field and byte level."""
    choice = rng.random()
    if choice < 0.1:
        return bytes(rng.randrange(256) for _ in range(rng.randrange(200)))
    text = rng.choice(base_texts())
    lines = text.split("\n")
    lines = mutate_lines(rng, lines, rng.randint(0, 12))
    newline = rng.choice(["\n", "\n", "\r\n", "\r"])
    data = newline.join(lines).encode("utf-8", "surrogatepass")
    if choice > 0.8:
        data = mutate_bytes(rng, data, rng.randint(1, 6))
    return data


def random_line(rng: random.Random) -> str:
    pieces = []
    for _ in range(rng.randint(0, 12)):
        kind = rng.randrange(4)
        if kind == 0:
            pieces.append(rng.choice(NUMBERS))
        elif kind == 1:
            pieces.append(rng.choice(WHITESPACE) * rng.randint(1, 3))
        elif kind == 2:
            pieces.append("," * rng.randint(1, 3))
        else:
            pieces.append(rng.choice(ODD_CHARS))
    return "".join(pieces)


def random_lines(rng: random.Random, hostile: bool) -> list | None:
    if hostile and rng.random() < 0.05:
        return None
    base = rng.choice(base_texts()).split("\n")
    start = rng.randrange(len(base))
    lines = mutate_lines(rng, base[start : start + rng.randint(0, 40)], rng.randint(0, 6))
    if hostile:
        for _ in range(rng.randint(0, 3)):
            if lines:
                lines[rng.randrange(len(lines))] = rng.choice(
                    [None, 1, 2.5, b"1,2,3", ["1"], type("S", (str,), {})("1,2,3"), object()]
                )
    return lines


def random_blocks(rng: random.Random, hostile: bool) -> dict:
    """A blocks map for the extractors: random blocks of random lines; with
    `hostile`, also foreign objects where blocks and lines belong."""
    blocks: dict = {}
    for block_id in rng.sample(BLOCK_IDS, rng.randint(1, len(BLOCK_IDS))):
        items: list = []
        for _ in range(rng.randint(0, 3)):
            if hostile and rng.random() < 0.1:
                items.append(rng.choice([None, 5, "   -1", ORVEXBlock.__new__(ORVEXBlock)]))
            else:
                items.append(ORVEXBlock(block_id, random_lines(rng, hostile)))
        blocks[block_id] = items
    return blocks


# --- checks ------------------------------------------------------------------------------


def same(a, b) -> bool:
    """Deep equality with key order, NaN equal to NaN, and arrays compared by
    dtype, shape and values."""
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return (
            isinstance(a, np.ndarray) and isinstance(b, np.ndarray) and a.dtype == b.dtype
            and a.shape == b.shape and bool(np.array_equal(a, b, equal_nan=a.dtype.kind == "f"))
            and (a.dtype.kind != "f" or bool(np.array_equal(np.signbit(a), np.signbit(b))))
        )
    if type(a) is not type(b):
        return False
    if isinstance(a, float):  # -0.0 and 0.0 differ; NaN equals NaN
        return (a == b and math.copysign(1, a) == math.copysign(1, b)) or (math.isnan(a) and math.isnan(b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def run(fn, *args):
    """('ok', result) or ('raised', exception); anything but an Exception propagates."""
    try:
        return "ok", fn(*args)
    except RecursionError:
        raise
    except Exception as exc:  # noqa: BLE001 - every Python exception is an acceptable outcome here
        return "raised", exc


def check_same(what, ours, plain):
    if ours[0] != plain[0]:
        raise Mismatch(f"{what}: module {ours!r}, plain {plain!r}")
    if ours[0] == "raised":
        if type(ours[1]) is not type(plain[1]):
            raise Mismatch(f"{what}: module raised {ours[1]!r}, plain raised {plain[1]!r}")
    elif not same(ours[1], plain[1]):
        raise Mismatch(f"{what}: module {ours[1]!r}\n  plain {plain[1]!r}")


def plain_csv_line(line: str) -> list[str]:
    return plain_python.parse_csv_line(line)


def check_csv_line(line: str, differential: bool = True) -> None:
    ours = run(ORVEXParser.parse_csv_line, line)
    if differential:
        check_same(f"parse_csv_line({line!r})", ours, run(plain_csv_line, line))


def _plain_parser_with(blocks: dict) -> plain_python.PlainParser:
    plain = plain_python.PlainParser.__new__(plain_python.PlainParser)
    plain.blocks = {
        k: [plain_python.Block(b.block_id, b.lines) for b in v] for k, v in blocks.items()
    }
    return plain


def check_file(data: bytes, path: str, differential: bool = True) -> None:
    """Parses `data` written to `path`, then runs every extractor."""
    with open(path, "wb") as f:
        f.write(data)
    ours = run(ORVEXParser, path)
    if differential:
        plain = run(plain_python.PlainParser, path)
        if ours[0] == "ok" and plain[0] == "ok":
            got = {k: [(b.block_id, b.lines) for b in v] for k, v in ours[1].blocks.items()}
            want = {k: [(b.block_id, b.lines) for b in v] for k, v in plain[1].blocks.items()}
            check_same(f"blocks of {data[:200]!r}", ("ok", got), ("ok", want))
        else:
            check_same(f"reading {data[:200]!r}", ours, plain)
    if ours[0] != "ok":
        return
    # The extractors read the stored text first, then the lists that reading
    # `lines` makes; the reference reads a second parser's lists.
    parser = ours[1]
    reference = _plain_parser_with(ORVEXParser(path).blocks) if differential else None
    for storage in ("text", "list"):
        if storage == "list":
            for blocks in parser.blocks.values():
                for block in blocks:
                    block.lines  # noqa: B018 - makes the list
        for name, args, result_type in EXTRACTORS:
            result = run(getattr(parser, name), *args)
            if result[0] == "ok" and result[1] is not None and type(result[1]) is not result_type:
                raise Mismatch(f"{name} returned {type(result[1]).__name__}")
            if differential:
                check_same(f"{name}{args} ({storage}) on {data[:300]!r}", result, run(getattr(reference, name), *args))


def check_blocks(blocks: dict, differential: bool) -> None:
    """Runs every extractor on a parser holding `blocks`. The plain reading
    is compared only when every line is a str (`differential`)."""
    parser = ORVEXParser.__new__(ORVEXParser)
    parser.blocks = blocks
    reference = _plain_parser_with(blocks) if differential else None
    for name, args, result_type in EXTRACTORS:
        result = run(getattr(parser, name), *args)
        if result[0] == "ok" and result[1] is not None and type(result[1]) is not result_type:
            raise Mismatch(f"{name} returned {type(result[1]).__name__}")
        if differential:
            check_same(f"{name}{args} on {blocks!r}"[:2000], result, run(getattr(reference, name), *args))
    for block_id in (100, 403, 2**31 - 1, -(2**31)):
        run(parser.get_blocks, block_id)
