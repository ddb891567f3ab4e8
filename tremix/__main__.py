"""``python -m tremix [FILE ...] [--json]``: print short summaries of ORVEX Neutral files."""

from __future__ import annotations

import contextlib
import os
import signal
import sys

from tremix._stderr import say


def main(argv: list[str] | None = None) -> int:
    if "numpy" not in sys.modules:
        # The command does no linear algebra, and NumPy's OpenBLAS starts a
        # worker thread per further processor when it loads, which then
        # spins for about a tenth of a second: on two processors that halves
        # the speed of a file read at once. One thread starts none.
        os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    # NumPy and the compiled reader load here, a noticeable moment in which
    # Ctrl-C is as welcome as later on. An extension module loading another
    # one (NumPy's, through PyCapsule_Import) turns the KeyboardInterrupt
    # raised in it into an ImportError: the Ctrl-C is noted as it comes.
    interrupted: list[int] = []

    def on_interrupt(signum: int, frame: object) -> None:
        interrupted.append(signum)
        raise KeyboardInterrupt

    previous = signal.getsignal(signal.SIGINT)
    noting = previous is signal.default_int_handler  # left alone when ignored or the program's own
    if noting:
        try:
            signal.signal(signal.SIGINT, on_interrupt)
        except ValueError:  # called on another thread than the main one
            noting = False
    try:
        from tremix.cli import EXIT_INTERRUPTED, main as run
    except KeyboardInterrupt:
        interrupted.append(signal.SIGINT)
    except Exception as exc:
        # Whatever a Ctrl-C became on its way out (or was swallowed into,
        # below) stands for the Ctrl-C.
        if not interrupted:
            if not isinstance(exc, (MemoryError, ImportError)) or not _out_of_memory(exc):
                raise
            say("tremix: error: not enough memory to start")
            return 1
    finally:
        if noting:
            signal.signal(signal.SIGINT, previous)
    if interrupted:
        say("tremix: interrupted")
        return 130
    try:
        status = run(argv)
    except KeyboardInterrupt:  # between the command's own handlers
        say("tremix: interrupted")
        status = EXIT_INTERRUPTED
    if status == EXIT_INTERRUPTED:
        # The summary's threads cannot be interrupted: a walk over the whole
        # file may still run in one. A normal exit would wait for it, and a
        # second Ctrl-C would tear the interpreter down under it; end the
        # process here instead.
        for stream in (sys.stdout, sys.stderr):
            if stream is not None:  # None when closed from the start
                with contextlib.suppress(OSError, ValueError):
                    stream.flush()
        os._exit(status)
    return status


# How the dynamic loader says it could not map a library for want of memory.
_NO_MEMORY = ("failed to map segment", "Cannot allocate memory")


def _out_of_memory(exc: BaseException) -> bool:
    """Whether `exc`, or an error it was raised from, says memory ran out: a
    shared library the loader could not map is an ImportError."""
    seen: BaseException | None = exc
    while seen is not None:
        if isinstance(seen, MemoryError) or any(words in str(seen) for words in _NO_MEMORY):
            return True
        seen = seen.__cause__ or seen.__context__
    return False


if __name__ == "__main__":
    raise SystemExit(main())
