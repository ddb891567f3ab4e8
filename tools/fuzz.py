#!/usr/bin/env python3
"""Long fuzz run of the extension.

    tools/fuzz.py --minutes 10                # random/mutation fuzzing, 1 worker
    tools/fuzz.py --minutes 10 --workers 2    # one worker process per core
    tools/fuzz.py --minutes 10 --atheris      # coverage-guided (atheris + libFuzzer)
    tools/fuzz.py --replay fuzz-crashes/crash-...   # rerun one saved input

Random mode: worker processes draw inputs from numbered seeds (random and
mutated files, record lines, block maps with and without foreign objects;
tools/fuzz_targets.py) and check each one. Before every input a worker
writes its seed to a status file, so when a worker dies (a crash: a signal,
or a sanitizer abort) the parent knows the input, saves it under
fuzz-crashes/ and starts a new worker. A broken property (a Python-level
disagreement with the plain reading, or a result of the wrong type) is
saved as well and the run goes on.

Atheris mode: libFuzzer drives the inputs, guided by coverage of the Python
code (and of the extension too when it was built with clang and
-fsanitize=fuzzer-no-link, see docs/robustness.md); a crash stops it and
libFuzzer writes the input as crash-* in the current directory.

The interpreter this runs under decides which build is fuzzed: run it with
.venv-asan/bin/python (and the LD_PRELOAD of tools/sanitize.sh) to fuzz the
sanitizer build.
"""

from __future__ import annotations

import argparse
import faulthandler
import json
import os
import random
import signal
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

TARGETS = ("file", "line", "blocks", "hostile_blocks")
WEIGHTS = (5, 2, 2, 2)


def make_input(seed: int):
    """(target, input) for a seed; the same seed always gives the same input."""
    import fuzz_targets as ft

    rng = random.Random(seed)
    target = rng.choices(TARGETS, WEIGHTS)[0]
    if target == "file":
        return target, ft.random_file(rng)
    if target == "line":
        return target, ft.random_line(rng)
    return target, ft.random_blocks(rng, hostile=target == "hostile_blocks")


def check_input(target, data, scratch, differential=True):
    import fuzz_targets as ft

    if target == "file":
        ft.check_file(data, scratch, differential)
    elif target == "line":
        ft.check_csv_line(data, differential)
    else:
        ft.check_blocks(data, differential=differential and target == "blocks")


def save_input(out_dir: Path, kind: str, seed: int, target: str, data, note: str = "") -> Path:
    out_dir.mkdir(parents=True, exist_ok=True)
    path = out_dir / f"{kind}-{target}-{seed}"
    if target == "file":
        path.write_bytes(data)
    else:
        path.write_text(repr(data) if target != "line" else data, encoding="utf-8", errors="surrogatepass")
    (out_dir / f"{path.name}.txt").write_text(f"seed {seed}\ntarget {target}\n{note}\n")
    return path


# --- random mode: worker --------------------------------------------------------------------


def worker(args) -> int:
    faulthandler.enable()
    status = os.open(args.status, os.O_WRONLY)
    out_dir = Path(args.out)
    deadline = time.monotonic() + args.seconds
    scratch = tempfile.NamedTemporaryFile(suffix=".neu", delete=False).name
    count = mismatches = 0
    seed = args.first_seed
    try:
        while time.monotonic() < deadline:
            os.pwrite(status, struct.pack("<q", seed), 0)
            target, data = make_input(seed)
            try:
                check_input(target, data, scratch, not args.no_diff)
            except AssertionError as exc:
                mismatches += 1
                if mismatches <= 50:
                    path = save_input(out_dir, "mismatch", seed, target, data, str(exc)[:4000])
                    print(f"mismatch at seed {seed}: {str(exc)[:300]} -> {path}", flush=True)
            count += 1
            seed += args.stride
    finally:
        os.unlink(scratch)
    print(json.dumps({"executions": count, "mismatches": mismatches}), flush=True)
    return 0


# --- random mode: parent --------------------------------------------------------------------


def run_random(args) -> int:
    out_dir = Path(args.out)
    end = time.monotonic() + args.minutes * 60
    stats = {"executions": 0, "mismatches": 0, "crashes": 0}
    next_seed = [args.seed + w for w in range(args.workers)]
    procs = {}

    def start(w: int):
        remaining = end - time.monotonic()
        if remaining <= 1:
            return
        status = tempfile.NamedTemporaryFile(delete=False, prefix="fuzz-status-").name
        with open(status, "wb") as f:
            f.write(struct.pack("<q", -1))
        cmd = [sys.executable, "-P", __file__, "--worker", "--status", status, "--out", str(out_dir),
               "--first-seed", str(next_seed[w]), "--stride", str(args.workers), "--seconds", str(remaining)]
        if args.no_diff:
            cmd.append("--no-diff")
        procs[w] = (subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True), status)

    for w in range(args.workers):
        start(w)
    while procs:
        for w, (proc, status) in list(procs.items()):
            if proc.poll() is None:
                continue
            out, err = proc.communicate()
            del procs[w]
            with open(status, "rb") as f:
                last = struct.unpack("<q", f.read(8))[0]
            os.unlink(status)
            for line in out.splitlines():
                if line.startswith("{"):
                    done = json.loads(line)
                    stats["executions"] += done["executions"]
                    stats["mismatches"] += done["mismatches"]
                elif line:
                    print(line)
            if proc.returncode != 0:
                stats["crashes"] += 1
                target, data = make_input(last)
                path = save_input(out_dir, "crash", last, target, data,
                                  f"exit status {proc.returncode}\n{err[-8000:]}")
                print(f"CRASH (exit {proc.returncode}) at seed {last}: saved {path}\n{err[-3000:]}", flush=True)
                # Seeds already run by this worker are not counted; go on after the crash.
                next_seed[w] = last + args.workers
                start(w)
        time.sleep(0.2)
    print(json.dumps(stats))
    return 1 if stats["crashes"] or stats["mismatches"] else 0


# --- atheris mode ----------------------------------------------------------------------------


def run_atheris(args) -> int:
    import numpy  # noqa: F401 - imported before instrumenting: only our Python code is instrumented
    import atheris

    with atheris.instrument_imports(include=["fuzz_targets", "plain_python"]):
        import fuzz_targets as ft
    scratch = tempfile.NamedTemporaryFile(suffix=".neu", delete=False).name
    bases = [t.encode() for t in ft.base_texts()]

    def one_input(data: bytes):
        if not data:
            return
        fdp = atheris.FuzzedDataProvider(data)
        target = fdp.ConsumeIntInRange(0, 3)
        if target == 0:  # the input is the file
            check_input("file", fdp.ConsumeBytes(fdp.remaining_bytes()), scratch, not args.no_diff)
        elif target == 1:  # the input is spliced into a generated file
            base = bases[fdp.ConsumeIntInRange(0, len(bases) - 1)]
            at = fdp.ConsumeIntInRange(0, len(base))
            cut = fdp.ConsumeIntInRange(0, 64)
            piece = fdp.ConsumeBytes(fdp.remaining_bytes())
            check_input("file", base[:at] + piece + base[at + cut :], scratch, not args.no_diff)
        elif target == 2:  # a record line
            check_input("line", fdp.ConsumeUnicodeNoSurrogates(fdp.remaining_bytes()), scratch, not args.no_diff)
        else:  # a blocks map from the input's lines
            ids = ft.BLOCK_IDS
            blocks: dict = {}
            for line in fdp.ConsumeUnicodeNoSurrogates(fdp.remaining_bytes()).split("\n"):
                if line.startswith("#") and line[1:].isascii() and line[1:].isdigit():
                    # "#N" starts a new block under the N-th block number.
                    blocks.setdefault(ids[int(line[1:]) % len(ids)], []).append(ft.ORVEXBlock(0, []))
                    continue
                key = ids[len(blocks) % len(ids)]
                if not blocks.get(key):
                    blocks[key] = [ft.ORVEXBlock(key, [])]
                blocks[key][-1].lines.append(line)
            check_input("blocks", blocks, scratch, not args.no_diff)

    argv = [sys.argv[0], f"-max_total_time={int(args.minutes * 60)}", "-rss_limit_mb=4096",
            f"-seed={args.seed}", "-print_final_stats=1", *args.libfuzzer]
    atheris.Setup(argv, one_input)
    atheris.Fuzz()
    return 0


def replay(path: str, args) -> int:
    meta = Path(path + ".txt").read_text().splitlines()
    seed = int(meta[0].split()[1])
    target, data = make_input(seed)
    scratch = tempfile.NamedTemporaryFile(suffix=".neu", delete=False).name
    faulthandler.enable()
    check_input(target, data, scratch, not args.no_diff)
    print("no failure")
    return 0


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--minutes", type=float, default=5.0)
    ap.add_argument("--workers", type=int, default=1)
    ap.add_argument("--seed", type=int, default=int(time.time()) % 1_000_000 * 1000)
    ap.add_argument("--out", default="fuzz-crashes")
    ap.add_argument("--no-diff", action="store_true", help="only check for crashes, not against the plain reading")
    ap.add_argument("--atheris", action="store_true")
    ap.add_argument("--replay")
    ap.add_argument("libfuzzer", nargs="*", help="extra libFuzzer options in atheris mode (after --)")
    # Internal: worker process.
    ap.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--status", help=argparse.SUPPRESS)
    ap.add_argument("--first-seed", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--stride", type=int, default=1, help=argparse.SUPPRESS)
    ap.add_argument("--seconds", type=float, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        return worker(args)
    if args.replay:
        return replay(args.replay, args)
    if args.atheris:
        return run_atheris(args)
    print(f"fuzzing for {args.minutes} min with {args.workers} worker(s), first seed {args.seed}", flush=True)
    return run_random(args)


if __name__ == "__main__":
    signal.signal(signal.SIGINT, signal.default_int_handler)
    sys.exit(main())
