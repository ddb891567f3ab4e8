"""Checking a file: what reading it passes over, cuts short or cannot read.

The extractors follow the format's recovery rules silently: a line that does
not start a record is passed over, a record that does not convert is
dropped, the file may end inside a block, and text outside blocks is never
read. `check` runs every record walk exactly as the extractors do (in the
compiled core, without building results) and turns what they passed over,
and what splitting the file saw, into findings.

    for finding in check("model.neu"):
        print(finding.format("model.neu"))
"""

from __future__ import annotations

import os
import re
import types
from dataclasses import replace
from typing import Any

from tremix.core import _native
from tremix.core.orvex_parser import ORVEXBlock, ORVEXParser
from tremix.findings import Finding
from tremix.reading import Source, parser_of

__all__ = ["check", "Finding"]

# What each record walk reads, and the operations that follow it.
_RECORDS = {
    402: ("property", "get_properties() raises"),
    403: ("node", "get_nodes() and get_nodes_arrays() raise"),
    404: ("element", "get_elements() and get_elements_arrays() raise"),
    450: ("output set", "get_output_sets() raises"),
    601: ("material", "get_materials() raises"),
    1051: ("result vector", "get_output_vectors() raises"),
}

# Names of the fields a record's first line is read for.
_FIRST_LINE_FIELDS = {
    402: {0: "property id", 2: "material id"},
    403: {0: "node id", 11: "x coordinate", 12: "y coordinate", 13: "z coordinate"},
    404: {0: "element id", 2: "property id", 4: "topology code"},
    450: {0: "output set id"},
    1051: {0: "output set id", 1: "vector id"},
}
_REAL_FIELDS = {403: {11, 12, 13}}

# What vector_catalogue(parser, True) gives: the blocks, and one entry per vector.
Catalogue = tuple[list[ORVEXBlock], list[tuple[Any, ...]]]

_TEXT_SHOWN = 60
_BYTE_ORDER_MARK = ("; the file starts with a byte-order mark (U+FEFF), read here as text: "
                    'encoding="utf-8-sig" (tremix --encoding utf-8-sig) reads a UTF-8 file that has one')
# Line ends written twice (\r\r\n, from a text-mode transfer of a file with
# \r\n line ends) read as an empty line after every line, and the first
# delimiter line is then followed by one.
_BLANK_AFTER_DELIMITER = ("; a file with an empty line after every line has its line ends written twice "
                          "(\\r\\r\\n), from converting line ends that were \\r\\n already")
# A UTF-8 byte-order mark as it reads in UTF-8, and in Latin-1 or cp1252.
_MARK_AS_READ = ("\ufeff", "\u00ef\u00bb\u00bf")
_D_EXPONENT = re.compile(r"[+-]?(\d+\.?\d*|\.\d+)[dD][+-]?\d+")


def check(source: Source | ORVEXParser, *, encoding: str | None = None,
          errors: str | None = None) -> list[Finding]:
    """Findings for a file (a path or a file object, read as ``tremix.read``
    reads it, compressed files included, `encoding` and `errors` meaning
    what they mean there) or for a parser already built (both must then be
    None).

    A clean file gives an empty list. Findings come in file order; those
    without a file line (blocks not read from a file) follow in the order
    of the record walks. A file that cannot be read raises as the parser's
    constructor does.
    """
    return _checked(_parser_of(source, encoding, errors), False, False)[0]


def _check_with_catalogue(parser: ORVEXParser) -> tuple[list[Finding], Catalogue | None]:
    """What check(parser) gives, and what ``_native.vector_catalogue(parser,
    True)`` gives, read in the check's own walk over the result vectors;
    None in place of the catalogue when that walk did not read every
    vector (an integer out of range stopped it) or did not run (no blocks)."""
    findings, checked = _checked(parser, True, False)
    return findings, checked.get("catalogue")


def _check_for_summary(parser: ORVEXParser) -> tuple[list[Finding], Catalogue | None, dict[str, Any] | None]:
    """What _check_with_catalogue(parser) gives, and the node arrays and
    element topology codes the check's own walks read ({"nodes": (ids,
    coords), "topologies": codes}, each None when its walk was cut short;
    None in all when no walk ran)."""
    findings, checked = _checked(parser, True, True)
    return findings, checked.get("catalogue"), checked.get("model")


def _checked(parser: ORVEXParser, catalogue: bool, model: bool) -> tuple[list[Finding], dict[str, Any]]:
    # The report and the blocks are each taken with the other, so that a
    # reading into the parser on another thread (its __init__ run again) is
    # seen before or after, never half.
    report, blocks = _native.read_state(parser)
    if not blocks and own_method(parser, "get_blocks"):
        return _in_file_order(_of_the_file(report) + [_no_blocks(report)]), {}
    checked = _native.check(parser, catalogue, model)
    report, blocks = checked["report"], checked["blocks"]
    findings = _of_the_file(report)
    if not blocks and not any(sum(counts[1:4]) for counts in checked["walks"].values()):
        findings.append(_no_blocks(report))  # nor did the override of get_blocks give any lines
    unclosed = None if report is None else report["unclosed"]
    findings += (_from_walk(item) for item in checked["findings"] if not _cut_by_the_end(item, unclosed))
    if checked["truncated"]:
        n = checked["truncated"]
        findings.append(Finding("more-findings", None, None,
                                f"{_count(n, 'more finding')} of the record walks {_are(n)} not listed"))
    return _in_file_order(findings), checked


def own_method(parser: ORVEXParser, name: str) -> bool:
    """Whether `parser`'s method `name` is ORVEXParser's own, replaced
    neither by its class, nor in its instance dict, nor by a __getattribute__
    (ORVEXParser's own function put in the instance dict counts as its own,
    as the extractors take it)."""
    own = getattr(ORVEXParser, name)
    found = getattr(parser, name, None)
    if found is own:
        return True
    # Compared only as bound methods: anything else put there (an array,
    # say) may compare element by element, or raise.
    return type(found) is types.MethodType and found == own.__get__(parser)


def _parser_of(source: Any, encoding: str | None, errors: str | None) -> ORVEXParser:
    # Sources are taken as tremix.read takes them (a bytes path is refused).
    if isinstance(source, (ORVEXParser, str, os.PathLike)) or callable(getattr(source, "read", None)):
        return parser_of(source, encoding=encoding, errors=errors)
    raise TypeError(f"check() needs a path, a file object or an ORVEXParser, not {type(source).__name__}")


def _in_file_order(findings: list[Finding]) -> list[Finding]:
    # Stable: findings on one line keep the order they were made in.
    return sorted(findings, key=lambda f: (f.line is None, f.line or 0))


# ---------------------------------------------------------------------------
# the file as a whole


def _of_the_file(report: dict[str, Any] | None) -> list[Finding]:
    return [] if report is None else _outside_blocks(report) + _end_of_file(report)


def _no_blocks(report: dict[str, Any] | None) -> Finding:
    if report is None:
        message = "the parser holds no blocks"
    elif report["blocks"]:  # read from a file with blocks, and emptied since
        message = ("the parser holds no blocks, though the file it was read from has some: "
                   "they were emptied or replaced after reading")
    elif report["lines"] == 0:
        message = "the file is empty"
    else:
        n = report["lines"]
        lines = "the file's only line opens no" if n == 1 else f"none of the file's {n:,} lines opens a"
        message = (f"{lines} block (a line of exactly three spaces and -1, then a block number): it is not an "
                   "ORVEX Neutral file, or its delimiter lines are damaged")
    return Finding("no-blocks", None, None, message)


def _end_of_file(report: dict[str, Any]) -> list[Finding]:
    found = []
    if report["unclosed"] is not None:
        block_id, last = report["unclosed"]
        found.append(Finding("unclosed-block", block_id, last,
                             "the file ends inside this block, without its closing delimiter line: "
                             "the file may be cut short, and the block's last record with it"))
    if report["last_delimiter_line"]:
        found.append(Finding("delimiter-at-end", None, report["last_delimiter_line"],
                             "the file ends with a delimiter line and no block number after it: "
                             "the file may be cut short"))
    return found


def _outside_blocks(report: dict[str, Any]) -> list[Finding]:
    found: list[Finding] = []
    for run in report["stray"]:
        made = len(found)
        first, last, count = run["first_line"], run["last_line"], run["count"]
        lines = f"line {first}" if first == last else f"lines {first} to {last}"
        text = _quote(run["first_text"])
        if run["bad_number_line"]:
            found.append(Finding(
                "bad-block-number", None, run["bad_number_line"],
                f"a delimiter line is followed by {_quote(run['bad_number_text'])}, which is not a block number: "
                f"no block opens there, and {lines} ({_count(count, 'line')} with text) lie outside any block, "
                f"unread{_BLANK_AFTER_DELIMITER if run['bad_number_text'] == '' else ''}"))
        if run["delimiter_like_line"]:
            found.append(Finding(
                "delimiter-like-line", None, run["delimiter_like_line"],
                f"a line reading -1 outside any block ({lines}) is not a delimiter line (exactly three spaces "
                "and -1): a block that it should open or close is not read"))
        if not run["bad_number_line"] and not run["delimiter_like_line"]:
            found.append(Finding(
                "stray-text", None, first,
                f"{_count(count, 'line')} with text outside any block ({lines}, starting {text}) "
                f"{_are(count)} not read"))
        if first == 1 and run["first_text"].startswith(_MARK_AS_READ):
            # A byte-order mark decoded as UTF-8 stays at the start of the
            # first line, and a delimiter line there is one no longer.
            found[made] = replace(found[made], message=found[made].message + _BYTE_ORDER_MARK)
    more = report["stray_runs"] - len(report["stray"])
    if more > 0:
        after = report["stray"][-1]["last_line"] if report["stray"] else 0
        stretches = f"{more:,} more stretch" + ("" if more == 1 else "es")
        found.append(Finding("more-findings", None, None,
                             f"{stretches} of text outside blocks, after line {after}, {_are(more)} not listed"))
    return found


# ---------------------------------------------------------------------------
# the record walks


def _cut_by_the_end(item: tuple[Any, ...], unclosed: tuple[int, int] | None) -> bool:
    """A vector whose data runs to the end of the block the file ends in
    (its stored text, or the lines made from it), checked on the parser that
    read that file: its unclosed-block finding already tells why the vector
    has no end. Through another parser nothing else would tell it."""
    return item[0] == "vector-unterminated" and bool(item[9]) and unclosed is not None and item[2] == unclosed[0]


def _from_walk(item: tuple[Any, ...]) -> Finding:
    kind = item[0]
    if kind == "skipped-line":
        return _skipped_line(*item[1:])
    if kind == "vector-overrun":
        return _vector_overrun(*item[1:])
    if kind == "vector-unterminated":
        return _vector_unterminated(*item[1:])
    if kind == "range-count":
        return _range_count(*item[1:])
    if kind == "out-of-range":
        return _out_of_range(*item[1:])
    raise ValueError(f"unknown finding {kind!r} from the core")


def _skipped_line(walk: int, block_id: int, block_index: int, line_index: int, file_line: int | None,
                  text: str | None, reason: str, fields: int, needed: int, bad_line_index: int,
                  bad_file_line: int | None, bad_text: str | None, bad_index: int, span: int) -> Finding:
    record = _RECORDS[walk][0]
    here = _here(walk, block_id, block_index, line_index, file_line)
    if reason == "few-fields":
        first = "a node line" if walk == 403 else f"the first line of {_a(record)} record"
        message = (f"{_quote(text)}{_at(here)} is passed over: {first} needs at least {_count(needed, 'field')}, "
                   f"it has {fields}")
    elif reason == "few-data-fields":
        message = (f"{_quote(text)}{_at(here)} is passed over: a data line of a result vector needs at least "
                   f"{_count(needed, 'field')}, it has {fields}")
    elif bad_line_index == line_index:
        message = f"{_quote(text)}{_at(here)} is passed over: {_bad_field(walk, bad_index, bad_text, '')}"
    else:
        other = _line_or_item(bad_file_line, bad_line_index)
        if walk == 1051:
            message = (f"the result vector {_vector_ids(text)}starting {here} is dropped with "
                       f"{_count(span, 'line')}: {_bad_field(walk, bad_index, bad_text, other)}; "
                       "reading goes on at the line after it")
        else:
            message = f"the {record} record starting {here} is dropped: {_bad_field(walk, bad_index, bad_text, other)}"
    if text is not None and text.strip() == "-1":
        # A delimiter line with its blanks lost or doubled: the block it was
        # to close goes on, and the next block's id line is read as a record.
        message += "; the line reads -1 but is not a delimiter line (`   -1`), so the block does not end there"
    return Finding("skipped-line", block_id, file_line, message)


def _bad_field(walk: int, index: int, text: str | None, other_line: str) -> str:
    """What is wrong with the field that did not convert; `other_line` names
    its line when it is not the record's first line."""
    shown = _quote(text or "")
    on = f" on {other_line}" if other_line else ""
    if walk == 450 and other_line:
        return f"its value {shown}{on} is not a number{_hint(text)}"
    if walk == 404 and other_line:
        return f"node id {shown} (field {index}){on} is not an integer"
    name = _FIRST_LINE_FIELDS.get(walk, {}).get(index) if not other_line else None
    if name is None:
        return f"field {index} ({shown}){on} does not convert{_hint(text)}"
    if index in _REAL_FIELDS.get(walk, set()):
        return f"its {name} {shown} (field {index}) is not a number{_hint(text)}"
    return f"its {name} {shown} (field {index}) is not an integer"


def _hint(text: str | None) -> str:
    """A word on a number written as some programs write it and this format does not."""
    if text and _D_EXPONENT.fullmatch(text):
        return " (a D exponent is not read; write E)"
    return ""


def _vector_overrun(walk: int, block_id: int, block_index: int, line_index: int, file_line: int | None,
                    marker_index: int | None, marker_file_line: int | None, found: bool, found_index: int,
                    found_file_line: int | None, text: str | None) -> Finding:
    here = _here(walk, block_id, block_index, line_index, file_line)
    vector = f"the result vector {_vector_ids(text)}starting {here}"
    past = ""
    if marker_index is not None:
        past = f" past its own end-of-data line ({_line_or_item(marker_file_line, marker_index)})"
    if found:
        message = (f"{vector} finds its entity-type lines only on {_line_or_item(found_file_line, found_index)},"
                   f"{past}: its values are read from after them, and the vectors in between are not read")
        return Finding("vector-overrun", block_id, file_line, message)
    last = _line_or_item(None if found_file_line is None else found_file_line - 1, found_index - 1)
    searched = f", searching{past}" if past else ""
    message = (f"{vector} has no entity-type lines (a line of 4 integers, then a line of 3) before the end of "
               f"its block{searched}: it gets no entity type and no values, and nothing more of the block "
               f"(to {last}) is read")
    return Finding("vector-without-entity-type", block_id, file_line, message)


def _vector_unterminated(walk: int, block_id: int, block_index: int, line_index: int, file_line: int | None,
                         last_index: int, last_file_line: int | None, text: str | None, _in_last: bool) -> Finding:
    here = _here(walk, block_id, block_index, line_index, file_line)
    message = (f"the result vector {_vector_ids(text)}starting {here} has no end-of-data line (-1, 0.) before "
               f"its block ends ({_line_or_item(last_file_line, last_index)}): every line to the block's end "
               "is read as its data")
    return Finding("vector-unterminated", block_id, file_line, message)


def _range_count(walk: int, block_id: int, block_index: int, line_index: int, file_line: int | None,
                 text: str | None, first: int, last: int, values: int, end_index: int, end_file_line: int | None,
                 at_marker: bool) -> Finding:
    here = _here(walk, block_id, block_index, line_index, file_line)
    count = last - first + 1
    record = f"the range record {_quote(text)}{_at(here)}"
    if count <= 0:
        message = (f"{record} runs from entity {first} down to {last}: it gives no entity a value, and its "
                   f"{_count(values, 'value')} {_are(values)} not read")
    elif values > count:
        message = (f"{record} is for entities {first} to {last} ({_count(count, 'value')}) but its lines hold "
                   f"{values:,}: the last {_count(values - count, 'value')}, to "
                   f"{_line_or_item(end_file_line, end_index)}, {_are(values - count)} not read")
    else:
        if at_marker:
            end = f"the vector's end-of-data line ({_line_or_item(end_file_line, end_index)})"
        else:
            end = (f"its block ends ({_line_or_item(None if end_file_line is None else end_file_line - 1, end_index - 1)})")
        without = f"{_entities(first + values, last)} {'gets' if first + values == last else 'get'} none"
        if values == 0:
            got = "no entity gets a value"
        elif values == 1:
            got = f"entity {first} gets it and {without}"
        else:
            got = f"entities {first} to {first + values - 1} get them in order and {without}"

        message = (f"{record} is for entities {first} to {last} ({_count(count, 'value')}) but only {values:,} "
                   f"{'comes' if values == 1 else 'come'} before {end}: {got} (a line of values may be missing)")
    return Finding("range-count", block_id, file_line, message)


def _out_of_range(walk: int, block_id: int, block_index: int, line_index: int, file_line: int | None,
                  field_text: str) -> Finding:
    record, operations = _RECORDS[walk]
    here = _here(walk, block_id, block_index, line_index, file_line)
    message = (f"{_quote(field_text)}{_at(here)} is beyond the 32-bit integer range: {operations} OverflowError "
               f"there, and no later {record} lines were checked")
    return Finding("out-of-range", block_id, file_line, message)


# ---------------------------------------------------------------------------
# wording


def _here(walk: int, block_id: int, block_index: int, line_index: int, file_line: int | None) -> str:
    """"here" when the finding carries its file line, else where the line stands."""
    if file_line is not None:
        return "here"
    if walk == 1051:
        return f"at item {line_index} of the lines of the {_ordinal(block_index + 1)} block get_output_vectors() reads"
    return f"at item {line_index} of the lines of the {_ordinal(block_index + 1)} block {block_id}"


def _at(here: str) -> str:
    return "" if here == "here" else f" ({here})"


def _line_or_item(file_line: int | None, index: int) -> str:
    return f"line {file_line}" if file_line is not None else f"item {index} of the block's lines"


def _a(noun: str) -> str:
    return ("an " if noun[0] in "aeiou" else "a ") + noun


def _entities(first: int, last: int) -> str:
    return f"entity {first}" if first == last else f"entities {first} to {last}"


def _vector_ids(text: str | None) -> str:
    fields = ORVEXParser.parse_csv_line(text) if text is not None else []
    return f"(set {fields[0]}, vector {fields[1]}) " if len(fields) >= 2 else ""


def _quote(text: str | None) -> str:
    if text is None:
        return "the line"
    text = text.strip()
    if len(text) > _TEXT_SHOWN:
        text = text[: _TEXT_SHOWN - 3] + "..."
    return repr(text)


def _count(n: int, noun: str) -> str:
    return f"{n:,} {noun}" + ("" if n == 1 else "s")


def _are(n: int) -> str:
    return "is" if n == 1 else "are"


def _ordinal(n: int) -> str:
    suffix = "th" if 10 <= n % 100 <= 20 else {1: "st", 2: "nd", 3: "rd"}.get(n % 10, "th")
    return f"{n}{suffix}"
