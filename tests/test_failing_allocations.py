"""Every allocation of the extension modules can fail: each call then ends in
MemoryError or its whole, right result, and a normal call afterwards gives
that result again. failing_alloc.cpp, built here and preloaded into a
process of its own, fails them one at a time, then every one from some on."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from importlib import resources

import pytest

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs LD_PRELOAD and glibc")

SWEEP = r"""
import ctypes, io, pickle, sys
import numpy as np
import tremix

path, stray = sys.argv[1:3]
parser = tremix.read(path)
text = open(path, encoding="utf-8").read()


def digest(value):
    if isinstance(value, np.ndarray):
        return (value.dtype.str, value.tobytes())
    if isinstance(value, tremix.ORVEXParser):
        return digest(value.blocks)
    if isinstance(value, tremix.ORVEXBlock):
        return (value.block_id, value.lines)
    if isinstance(value, dict):
        return [(k, digest(v)) for k, v in value.items()]
    if isinstance(value, (list, tuple)):
        return [digest(v) for v in value]
    return repr(value)


OPERATIONS = {
    "construct": lambda: tremix.ORVEXParser(path),
    "read in cp1252": lambda: tremix.read(path, encoding="cp1252"),
    "read a text stream": lambda: tremix.read(io.StringIO(text)),
    "lines": lambda: [b.lines for v in tremix.read(path).parse().values() for b in v],
    "pickle": lambda: pickle.loads(pickle.dumps(tremix.read(path))),
    **{name: getattr(parser, name) for name in dir(parser) if name.startswith("get_") and name != "get_blocks"},
    "vector 2, 1": lambda: parser.get_output_vectors_arrays(2, 1),
    "check text outside blocks": lambda: tremix.check(stray),
    "vectors": lambda: tremix.vectors(parser),
    "Results": lambda: [tremix.Results(parser).arrays_at(k) for k in range(3)],
}

shim = ctypes.CDLL(None)
assert shim.failing_alloc_arm(1 << 40, 0) > 0, "the extension modules were not found"
shim.failing_alloc_disarm()
faults = []
for name, call in OPERATIONS.items():
    expected = digest(call())
    for fail_all in (0, 1):
        n = 0
        while True:
            shim.failing_alloc_arm(n, fail_all)
            try:
                value = digest(call())
            except MemoryError:
                value = expected
            except BaseException as exc:
                value = exc
            finally:
                counted = shim.failing_alloc_disarm()
            if value != expected:
                faults.append(f"{name}, allocation {n}{' on' if fail_all else ''} failing: {value!r}"[:300])
            if counted <= n:
                break
            n += 1
    if digest(call()) != expected:
        faults.append(f"{name}: a normal call after the failing ones gives another result")
print("\n".join(faults) or "clean")
"""


def test_every_failing_allocation_ends_in_memory_error_or_the_result(tmp_path):
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None or os.environ.get("LD_PRELOAD"):
        pytest.skip("needs a C++ compiler and the allocator to itself (not a sanitizer's runtime)")
    shim = tmp_path / "failing_alloc.so"
    subprocess.run([compiler, "-std=c++20", "-O1", "-shared", "-fPIC", os.path.join(os.path.dirname(__file__),
                    "failing_alloc.cpp"), "-o", str(shim), "-ldl"], check=True)
    example = resources.files("tremix") / "data" / "example.neu"
    stray = tmp_path / "stray.neu"
    stray.write_bytes(b"notes before the first block\n" + example.read_bytes())
    result = subprocess.run([sys.executable, "-P", "-c", SWEEP, str(example), str(stray)], capture_output=True,
                            text=True, timeout=600, env=dict(os.environ, LD_PRELOAD=str(shim)))
    assert (result.returncode, result.stdout.strip()) == (0, "clean"), result.stderr[-3000:]
