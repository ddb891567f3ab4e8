"""Every allocation can fail: each call then ends in MemoryError or its
whole, right result, and what it leaves behind reads as before.

The sweep fails the allocations of the extension modules one at a time
(malloc, mmap and operator new, through the preloaded failing_alloc.cpp)
and the interpreter's own allocations one at a time (_testcapi), for each
operation, in a process of its own."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from importlib import resources

import pytest

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs LD_PRELOAD and glibc")

SWEEP = r"""
import copy, ctypes, gzip, io, pickle, sys, zlib
import numpy as np
import tremix
from tremix.core.orvex_parser import ORVEXParser

path, gz, stray, mode = sys.argv[1:5]
parser = tremix.read(path)
text = open(path, encoding="utf-8").read()


def digest(value):
    if isinstance(value, np.ndarray):
        return (value.dtype.str, value.shape, value.tobytes())
    if isinstance(value, ORVEXParser):
        return digest(value.blocks)
    if isinstance(value, tremix.ORVEXBlock):
        return ("block", value.block_id, digest(value.lines))
    if isinstance(value, dict):
        return [(digest(k), digest(v)) for k, v in value.items()]
    if isinstance(value, (list, tuple)):
        return [digest(v) for v in value]
    return repr(value)


OPERATIONS = {
    "construct": lambda: ORVEXParser(path),
    "read .gz": lambda: tremix.read(gz),
    "read cp1252": lambda: tremix.read(path, encoding="cp1252"),
    "read a text stream": lambda: tremix.read(io.StringIO(text)),
    "check text outside blocks": lambda: tremix.check(stray),
    "parse": lambda: tremix.read(path).parse(),
    "lines": lambda: [b.lines for v in tremix.read(path).parse().values() for b in v],
    "pickle": lambda: pickle.loads(pickle.dumps(tremix.read(path))),
    "deepcopy block": lambda: copy.deepcopy(parser.get_blocks(403)[0]),
    **{name: getattr(parser, name) for name in (
        "get_header", "get_nodes", "get_nodes_arrays", "get_properties", "get_materials", "get_elements",
        "get_elements_arrays", "get_output_sets", "get_output_vectors", "get_output_vectors_arrays")},
    "vector 2, 1": lambda: parser.get_output_vectors_arrays(2, 1),
    "check": lambda: tremix.check(parser),
    "vectors": lambda: tremix.vectors(parser),
    "Results": lambda: [tremix.Results(parser).arrays_at(k) for k in range(3)],
}

if mode == "extension":
    # Each allocation of the extension modules in turn, then every one from it on.
    shim = ctypes.CDLL(None)
    arm, disarm = shim.failing_alloc_arm, shim.failing_alloc_disarm
    assert arm(1 << 40, 0) > 0, "the extension modules were not found"
    disarm()
    ways = (0, 1)
else:
    # Each allocation of the interpreter in turn (the module's lists, dicts,
    # str and int objects among them), until 50 in a row were never made
    # or changed nothing. (Failing every one from some on can keep the
    # interpreter itself from raising.)
    import _testcapi
    arm = lambda n, all: _testcapi.set_nomemory(n, n + 1)
    disarm = lambda: _testcapi.remove_mem_hooks()
    ways = (0,)

faults = []
for name, call in OPERATIONS.items():
    expected = digest(call())
    for fail_all in ways:
        n = normal = 0
        while normal < (1 if mode == "extension" else 50):
            arm(n, fail_all)
            try:
                value = call()
            except MemoryError:
                value = MemoryError
            except (RuntimeError, zlib.error, pickle.PicklingError) as exc:
                # How the interpreter's own open(), zlib and pickle say it:
                # no lock, Z_MEM_ERROR, no module to pickle by.
                spelled = ("can't allocate", "Error -4 ", "import of module")
                value = MemoryError if mode != "extension" and any(w in str(exc) for w in spelled) else exc
            except BaseException as exc:
                value = exc
            finally:
                counted = disarm()
            if value is not MemoryError and (isinstance(value, BaseException) or digest(value) != expected):
                faults.append(f"{name}, allocation {n}{' on' if fail_all else ''} failing: {value!r}"[:300])
            reached = value is MemoryError or (mode == "extension" and counted > n)
            normal = 0 if reached else normal + 1
            n += 1
    # What failed calls left behind reads as before.
    if digest(call()) != expected:
        faults.append(f"{name}: a normal call after the failing ones gives another result")
print("\n".join(faults) or "clean")
"""


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("a C++ compiler is needed")
    out = tmp_path_factory.mktemp("shim") / "failing_alloc.so"
    source = os.path.join(os.path.dirname(__file__), "failing_alloc.cpp")
    subprocess.run([compiler, "-std=c++20", "-O1", "-shared", "-fPIC", source, "-o", str(out), "-ldl"], check=True)
    return str(out)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    import gzip

    example = str(resources.files("tremix") / "data" / "example.neu")
    folder = tmp_path_factory.mktemp("files")
    with open(example, "rb") as f:
        data = f.read()
    with gzip.open(folder / "example.neu.gz", "wb") as out:
        out.write(data)
    (folder / "stray.neu").write_bytes(b"notes before the first block\n" + data)
    return example, str(folder / "example.neu.gz"), str(folder / "stray.neu")


@pytest.mark.parametrize("mode", ["extension", "interpreter"])
def test_every_failing_allocation_ends_in_memory_error_or_the_result(shim, files, mode):
    env = dict(os.environ)
    if mode == "extension":
        if env.get("LD_PRELOAD"):
            pytest.skip("the allocator is another preloaded library's (a sanitizer's runtime)")
        env["LD_PRELOAD"] = shim
    result = subprocess.run([sys.executable, "-P", "-c", SWEEP, *files, mode], env=env, capture_output=True,
                            text=True, timeout=600)
    assert (result.returncode, result.stdout.strip()) == (0, "clean"), result.stderr[-3000:]
