"""``tremix [FILE ...]`` (also ``python -m tremix``): summaries of ORVEX Neutral files.

Each file gets its own summary, in the order given (``-`` is standard
input); a file that cannot be read gets one line on standard error instead,
and the others are still summarised. The exit status is the worst of the
files' statuses, a file that could not be read ranking above one with
findings under --strict.
"""

from __future__ import annotations

import argparse
import codecs
import contextlib
import errno
import gzip
import json
import lzma
import os
import re
import stat
import sys
import threading
import zlib
from collections.abc import Callable, Iterator
from typing import Any, NoReturn

from tremix._stderr import say
from tremix.checking import check
from tremix.core import _native
from tremix.core.orvex_parser import ORVEXParser
from tremix.findings import Finding, format_lines
from tremix.progress import CountingReader, StatusLine
from tremix.reading import (ArchiveError, compressed_start, decompressor_for, default_encoding, is_zip_start,
                            marked_encoding, open_binary, read, read_stream, refuse_archive, regular_file_size,
                            start_in, start_piece, unread_compression)
from tremix.summary import STDIN, STRICT_LINES, example_path, format_summary, summary_of

PROG = "tremix"

EXIT_OK = 0
EXIT_ERROR = 1  # a file could not be read (or memory ran out)
EXIT_FINDINGS = 2  # --strict: a file has findings (and every file was read)
EXIT_INTERRUPTED = 130  # Ctrl-C, as shells report SIGINT

# The files' statuses from least to most severe: a file that could not be read
# outranks another's findings, so a script never takes it for a checked file.
_SEVERITY = (EXIT_OK, EXIT_FINDINGS, EXIT_ERROR)

# What a damaged .gz, .bz2 or .xz file raises while it is read (besides OSError).
_DECOMPRESSION_ERRORS = (EOFError, gzip.BadGzipFile, zlib.error, lzma.LZMAError)

# What the one line on a file that does not decode adds.
_DECODING_HINT = "--encoding names another encoding, --errors replace reads past such bytes"

# Reading a larger file shows its progress, when standard error is a terminal;
# a compressed one, which holds several times its size in text, from a fifth
# of that size.
PROGRESS_BYTES = 50_000_000


def main(argv: list[str] | None = None) -> int:
    status_line = StatusLine(sys.stderr) if _is_terminal(sys.stderr) else None
    try:
        arguments = _arguments()
        args = _parsed(arguments, sys.argv[1:] if argv is None else argv)
        if args.files.count(STDIN) > 1:
            # A second read would find it at its end and summarise nothing.
            arguments.error(f"{STDIN} (standard input) can be given only once")
        return _run(args, status_line)
    except OutputError as exc:
        _error(f"cannot write the output: {exc}")
        return EXIT_ERROR
    except KeyboardInterrupt:
        if status_line is not None:
            status_line.clear()
        say(f"{PROG}: interrupted")
        return EXIT_INTERRUPTED


class _ArgumentParser(argparse.ArgumentParser):
    """Help and usage written to standard output as the summaries are: a
    failed write is an error, not passed over as argparse does."""

    def print_help(self, file: Any = None) -> None:
        if file is None or file is sys.stdout:  # standard output, closed or not
            _print(self.format_help().removesuffix("\n"))
        else:
            super().print_help(file)

    def _print_message(self, message: str, file: Any = None) -> None:
        # Usage and errors, meant for standard error: file is None when it
        # is closed, and then they must not go to standard output.
        if message and file is not None and file is sys.stdout:
            _print(message.removesuffix("\n"))
        elif message:
            say(message.removesuffix("\n"))

    def error(self, message: str) -> NoReturn:
        # argparse's own prints the usage with file=sys.stderr, which
        # print_usage takes for standard output when it is None.
        if sys.stderr is not None:
            self.print_usage(sys.stderr)
        self.exit(2, f"{self.prog}: error: {_escaped(message, _LINE_CONTROLS)}\n")


def _parsed(arguments: argparse.ArgumentParser, argv: list[str]) -> argparse.Namespace:
    """The command line, options anywhere among the files (``tremix a.neu
    --json b.neu``); everything after a ``--`` is a file. The part after it
    is kept from the parser, whose intermixed parsing would read options
    there."""
    cut = argv.index("--") if "--" in argv else len(argv)
    args = arguments.parse_intermixed_args(argv[:cut])
    args.files += argv[cut + 1:]
    return args


def _arguments() -> argparse.ArgumentParser:
    ap = _ArgumentParser(
        prog=PROG,
        description="Summarise ORVEX Neutral files: their blocks, model and analysis results.",
    )
    ap.add_argument("files", nargs="*", metavar="FILE",
                    help=f"files to read, also .gz, .bz2 or .xz; {STDIN} reads standard input "
                         "(default: the example file shipped with tremix)")
    ap.add_argument("--json", action="store_true",
                    help="print the summary as JSON (an array of summaries for several files); with --strict, "
                         "the findings of each file as JSON")
    ap.add_argument("--strict", action="store_true",
                    help="print only what checking finds, one line each (FILE:LINE: block B: message), "
                         "and exit with status 2 when anything is found (1 when a file cannot be read)")
    ap.add_argument("--encoding", metavar="NAME", type=_encoding,
                    help="text encoding of the files (default: the one open() uses, from the locale)")
    ap.add_argument("--errors", metavar="HANDLER", type=_error_handler,
                    help="what to do with bytes that do not decode, as open()'s errors: strict (the default), "
                         "replace, ignore, surrogateescape, ...")
    ap.add_argument("--version", action=_Version, nargs=0, help="print the version of tremix and exit")
    return ap


class _Version(argparse.Action):
    """--version: the version is looked up only when asked for."""

    def __call__(self, parser: argparse.ArgumentParser, *_: Any) -> None:
        import tremix

        _print(f"{PROG} {tremix.__version__}")
        parser.exit()


def _encoding(name: str) -> str:
    try:
        codecs.lookup(name)
    except LookupError:
        raise argparse.ArgumentTypeError(f"unknown encoding: {name}") from None
    try:
        # Codecs such as rot13 or base64 are known but do not decode bytes
        # into text (an empty input is not looked up at all).
        b"\n".decode(name)
    except LookupError:
        raise argparse.ArgumentTypeError(f"{name} is not a text encoding") from None
    except UnicodeDecodeError:
        pass  # a text encoding that takes no such byte alone (UTF-16)
    except UnicodeError:
        # A codec that decodes nothing ("undefined").
        raise argparse.ArgumentTypeError(f"{name} does not decode text") from None
    return name


def _error_handler(name: str) -> str:
    try:
        codecs.lookup_error(name)
    except LookupError:
        raise argparse.ArgumentTypeError(f"unknown error handler: {name}") from None
    # Some handlers (xmlcharrefreplace, namereplace) only serve encoding:
    # decoding with them raises TypeError at the first bad byte.
    try:
        b"\xff".decode("ascii", name)
    except UnicodeDecodeError:
        pass  # strict
    except TypeError:
        raise argparse.ArgumentTypeError(f"error handler {name} does not apply to decoding") from None
    return name


def _run(args: argparse.Namespace, status_line: StatusLine | None) -> int:
    if not args.files and _input_waiting():
        # `cat model.neu | tremix --strict` would otherwise pass on the
        # example file's clean check, the piped data never looked at.
        say(f"{PROG}: note: no FILE given: this is the example file shipped with tremix, "
            f"not standard input ({STDIN} reads it)")
    paths = args.files or [example_path()]
    # --strict prints only the findings: checking the file is all it needs.
    gather = _findings_of if args.strict else summary_of
    statuses = []
    summaries: list[dict[str, Any]] = []
    for path in paths:
        summary, error = _summarise(path, args.encoding, args.errors, status_line, gather)
        statuses.append(EXIT_ERROR if summary is None else EXIT_OK)
        if summary is None:
            if args.strict and args.json:
                # Every file is listed, so that one not read is never taken for one without findings.
                summaries.append({"path": _summary_path(path), "error": error, "findings": None})
            continue
        if args.strict and summary["findings"]:
            statuses[-1] = EXIT_FINDINGS
        if args.json:
            summaries.append(summary)
        elif args.strict:
            findings = [Finding(**item) for item in summary["findings"]]
            # A file name's line feed escaped too: one line a finding.
            shown_path = _escaped(path, _LINE_CONTROLS)
            if findings and not _print("\n".join(format_lines(findings, shown_path, limit=STRICT_LINES))):
                break
        elif not _print(("\n" if len(summaries) else "") + format_summary(_one_line_path(summary))):
            break
        else:
            summaries.append(summary)
    # Several files always give an array, empty when none could be read, so
    # that a script reading standard output gets JSON whatever failed.
    if args.json and (summaries or len(paths) > 1):
        _print(json.dumps(summaries if len(paths) > 1 else summaries[0], indent=2, allow_nan=False))
    return max(statuses, key=_SEVERITY.index)


def _summarise(path: str, encoding: str | None, errors: str | None, status_line: StatusLine | None,
               gather: Callable[[ORVEXParser, str | None], dict[str, Any]]
               ) -> tuple[dict[str, Any] | None, str | None]:
    """What `gather` makes of one file read, and None; or None and why there
    is nothing, after saying it on stderr."""
    try:
        try:
            parser = _read(path, encoding, errors, status_line)
            if path != STDIN:
                return gather(parser, path), None
            # Read as a stream: no path to look at; named as on the command line.
            return gather(parser, None) | {"path": STDIN}, None
        finally:
            if status_line is not None:
                status_line.clear()
    except MemoryError:
        error = f"not enough memory to read {_name(path)}"
    except (OSError, UnicodeError, OverflowError, ValueError, *_DECOMPRESSION_ERRORS) as exc:
        error = _error_text(path, exc, encoding)
    _error(error)
    return None, error


def _one_line_path(summary: dict[str, Any]) -> dict[str, Any]:
    """`summary` with a line feed of its path escaped, so that the File line stays one line."""
    path = summary["path"]
    return summary if path is None else summary | {"path": _escaped(path, _LINE_CONTROLS)}


def _summary_path(path: str) -> str:
    """`path` as a summary names it: absolute, `-` for standard input, and an
    empty name as it is (made absolute it would name the current folder)."""
    return path if path in (STDIN, "") else os.path.abspath(path)


def _findings_of(parser: ORVEXParser, path: str | None) -> dict[str, Any]:
    """What --strict prints of a file: its findings, with its path for --json."""
    return {"path": None if path is None else os.path.abspath(path), "error": None,
            "findings": [finding.as_dict() for finding in check(parser)]}


def _read(path: str, encoding: str | None, errors: str | None, status_line: StatusLine | None) -> ORVEXParser:
    if path == STDIN:
        # Its size, if any, is not known to be what is left to read: no progress.
        return read(_standard_input(), encoding=encoding, errors=errors)
    compressed = decompressor_for(path) is not None
    if (status_line is None or (size := regular_file_size(path)) is None
            or size <= (PROGRESS_BYTES // 5 if compressed else PROGRESS_BYTES)):
        return read(path, encoding=encoding, errors=errors)
    name = _escaped(os.path.basename(path), _LINE_CONTROLS)

    def reading(done: int) -> None:
        status_line.show(f"{PROG}: reading {name}  {100 * min(done, size) // size:3d}%")

    reading(0)
    if encoding is None and errors is None and not compressed:
        # Read as tremix.read reads it (the file read on a second thread
        # while its lines are found), the count of bytes read looked at
        # beside it.
        with _watching(reading):
            parser = read(path)
    else:
        with open_binary(path, wrap=lambda raw: CountingReader(raw, reading)) as stream:
            parser = read_stream(stream, encoding=encoding, errors=errors, name=path)
        refuse_archive(parser, path)
    status_line.show(f"{PROG}: summarising {name}", force=True)
    return parser


@contextlib.contextmanager
def _watching(progress: Callable[[int], None], interval: float = 0.1) -> Iterator[None]:
    """Calls `progress` with the bytes the process has read from files since
    the block began, every `interval` seconds, on a thread of its own, while
    the block runs (a reading that releases the interpreter lock)."""
    start = _native.bytes_read()
    done = threading.Event()

    def watch() -> None:
        while not done.wait(interval):
            try:
                progress(_native.bytes_read() - start)
            except (OSError, ValueError):  # stderr gone or closed: the reading goes on without it
                return

    watcher = threading.Thread(target=watch, name="tremix-progress", daemon=True)
    watcher.start()
    try:
        yield
    finally:
        done.set()
        watcher.join()


def _standard_input() -> Any:
    if sys.stdin is None:  # the command was started with it closed
        raise OSError(errno.EBADF, os.strerror(errno.EBADF))
    return getattr(sys.stdin, "buffer", sys.stdin)


def _name(path: str) -> str:
    """`path` as error lines name it."""
    return "standard input" if path == STDIN else path


def _error_text(path: str, exc: BaseException, encoding: str | None = None) -> str:
    """One line saying what went wrong with `path`, in the user's terms
    (`encoding` the one it was read with, None for the default)."""
    stdin, path = path == STDIN, _name(path)
    if isinstance(exc, FileNotFoundError):
        return f"no such file: {path}"
    if isinstance(exc, IsADirectoryError):
        return f"{path} is a directory, not a file"
    if isinstance(exc, PermissionError):
        return f"permission denied: {path}"
    if isinstance(exc, ArchiveError):
        return f"{path} is a {exc.kind} archive, not an ORVEX Neutral file (extract the file first)"
    if isinstance(exc, UnicodeDecodeError):
        # The reader's note gives the byte's place in the whole file; the
        # exception's own offset counts within one piece read.
        where = next((note for note in getattr(exc, "__notes__", ()) if note.startswith("the byte at offset")), None)
        if where is None:
            # Not located by the reader: the error's own bytes say which.
            bad = exc.object[exc.start:exc.start + 1]
            where = f"byte 0x{bad[0]:02x} does not decode" if bad else "its bytes do not decode"
        # The encoding as asked for: a table-driven codec such as cp1252
        # names itself "charmap" in its errors, the UTF-32 and UTF-16
        # decoders name the byte order they found.
        exc_encoding = codecs.lookup(encoding or default_encoding()).name
        # Standard input cannot be looked at again: its first bytes may be in the error.
        start = start_piece(exc) if stdin else start_in(path, exc)
        compressed, wide = compressed_start(start), marked_encoding(start)
        if compressed is not None:
            # Compressed data under a plain name: no encoding reads it.
            kind, suffix = compressed
            if not stdin and decompressor_for(path) is not None:
                return f"{path} is not readable as {exc_encoding} text: its decompressed data is {kind}-compressed again"
            how = (f"only a file named with {suffix} is decompressed" if stdin
                   else f"a name ending in {suffix} has it decompressed")
            return f"{path} is not readable as {exc_encoding} text: it is {kind}-compressed ({how})"
        if is_zip_start(start):
            return f"{path} is not readable as {exc_encoding} text: it is a zip archive (extract the file first)"
        if (packed := unread_compression(start)) is not None:
            return f"{path} is not readable as {exc_encoding} text: it is {packed}-compressed (decompress it first)"
        if wide is not None and not exc_encoding.startswith(wide):
            return (f"{path} is not readable as {exc_encoding} text: it starts with a {wide.upper()} byte-order mark "
                    f"(--encoding {wide} reads it)")
        return f"{path} is not readable as {exc_encoding} text: {where} ({_DECODING_HINT})"
    if type(exc) is UnicodeError:
        # Raised by a decoder about the whole text (UTF-16 without a
        # byte-order mark), whatever --errors says.
        return f"{path} is not readable as {codecs.lookup(encoding or default_encoding()).name} text: {exc} " \
               "(--encoding names another encoding, such as utf-16-le or utf-16-be for UTF-16 without a " \
               "byte-order mark)"
    if isinstance(exc, OverflowError):
        # The reader's note says where: the field, its block and line.
        notes = getattr(exc, "__notes__", ())
        where = f": {notes[-1]}" if notes else ""
        return f"{path} holds a number outside the signed 32-bit range ({exc}){where}"
    # bz2 says its data is damaged with an OSError that has no errno.
    if isinstance(exc, _DECOMPRESSION_ERRORS) or (
            isinstance(exc, OSError) and exc.errno is None and not stdin and decompressor_for(path) is not None):
        return f"cannot decompress {path}: {exc}"
    if isinstance(exc, OSError):
        return f"cannot read {path}: {exc.strerror or exc}"
    return f"cannot read {path}: {exc}"


def _error(text: str) -> None:
    # One line, whatever the file name holds (a line feed included).
    say(f"{PROG}: error: {_escaped(text, _LINE_CONTROLS)}")


class OutputError(Exception):
    """Standard output cannot be written (a full disk, a closed descriptor)."""


def _print(text: str) -> bool:
    """Prints `text`; False when the reader of standard output went away.
    OutputError when standard output cannot be written."""
    stdout = sys.stdout
    if stdout is None:
        raise OutputError("standard output is closed")
    try:
        print(_printable(text, stdout.encoding or "utf-8"), file=stdout)
        stdout.flush()
    except BrokenPipeError:
        # The reader (head, less) went away: not an error of ours.
        _drop_output(stdout)
        return False
    except OSError as exc:
        _drop_output(stdout)
        raise OutputError(exc.strerror or str(exc)) from None
    return True


# Control characters other than the output's own line ends: in a title or
# a file name they would act on the terminal (an escape sequence recolours
# or moves it) instead of being shown.
_CONTROLS = re.compile(r"[\x00-\x09\x0b-\x1f\x7f-\x9f]")
# And the line feed as well, in what must stay one line.
_LINE_CONTROLS = re.compile(r"[\x00-\x1f\x7f-\x9f]")


def _escaped(text: str, controls: re.Pattern[str] = _CONTROLS) -> str:
    """`text` with the characters `controls` matches escaped as repr() escapes them."""
    return controls.sub(lambda control: repr(control[0])[1:-1], text)


def _printable(text: str, encoding: str) -> str:
    """`text`, with control characters escaped as repr() escapes them, and
    what `encoding` cannot hold strictly escaped: a byte kept by --errors
    surrogateescape (which a UTF-8 locale's surrogateescape output would
    write back as the raw, undecodable byte), a character beyond ASCII on an
    ASCII terminal."""
    text = _escaped(text)
    if text.isascii():
        return text
    try:
        text.encode(encoding)
    except UnicodeEncodeError:
        return text.encode(encoding, "backslashreplace").decode(encoding)
    return text


def _drop_output(stdout: Any) -> None:
    # Whatever is still buffered cannot be written either: point standard
    # output at devnull so the interpreter's final flush stays quiet. The
    # descriptor opened for that is closed again, also when the stream has
    # none of its own to point elsewhere (main() called in a program).
    try:
        fd = stdout.fileno()
        devnull = os.open(os.devnull, os.O_WRONLY)
    except (OSError, ValueError, AttributeError):
        return
    try:
        os.dup2(devnull, fd)
    except OSError:
        pass
    finally:
        os.close(devnull)


def _input_waiting() -> bool:
    """Whether standard input is a pipe or a regular file: data given to
    the command, not a terminal or /dev/null."""
    try:
        mode = os.fstat(sys.stdin.fileno()).st_mode
    except (AttributeError, OSError, ValueError):
        return False
    return stat.S_ISFIFO(mode) or stat.S_ISREG(mode)


def _is_terminal(stream: Any) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False
