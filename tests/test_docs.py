"""Every Python block of README.md and docs/*.md runs as written.

A document's blocks run in order as one script (later blocks use what
earlier ones made), in a folder holding the files they name. A block after
the comment ``<!-- needs: MODULE -->`` runs only where MODULE imports, in a
script of its own after the document's other blocks; ``<!-- not run: why
-->`` leaves a block out.
"""

from __future__ import annotations

import importlib.util
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import orvex_gen
import pytest

from tremix.summary import example_path

ROOT = Path(__file__).resolve().parent.parent
DOCS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
FENCE = re.compile(r"^(?:<!-- (needs|not run): (.+?) -->\n)?```python\n(.*?)^```$", re.M | re.S)


def python_blocks(doc: Path) -> list[tuple[int, str | None, str | None, str]]:
    """(line, "needs"/"not run"/None, its argument, code) of every Python block."""
    text = doc.read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start(3)) + 1, m.group(1), m.group(2), m.group(3)) for m in FENCE.finditer(text)]


def script(doc: Path, blocks) -> str:
    return "".join(f"# --- {doc.name}, line {line}\n{code}\n" for line, _, _, code in blocks)


@pytest.fixture(scope="module")
def workdir(tmp_path_factory) -> Path:
    """The files the documents read: the example file under the names they
    use, and a folder of runs with vector (1, 60000)."""
    folder = tmp_path_factory.mktemp("docs")
    for name in ("bracket.neu", "model.neu"):
        shutil.copy(example_path(), folder / name)
    (folder / "runs").mkdir()
    for k in range(3):
        orvex_gen.generate(folder / "runs" / f"a{k + 1:02d}.neu", n_nodes=200 + 40 * k, n_vectors=2, n_sets=1, seed=k)
    return folder


def run(source: str, workdir: Path, name: str) -> subprocess.CompletedProcess:
    path = workdir / name
    path.write_text(source, encoding="utf-8")
    # As a script run by hand: __name__ is "__main__" and spawned workers can
    # import it. -P: the installed package, not the source folder.
    return subprocess.run([sys.executable, "-P", str(path)], cwd=workdir, capture_output=True, text=True,
                          timeout=600, env={**os.environ, "PYTHONUTF8": "1"})


def skip_without_imports(source: str) -> None:
    """The documents use the package's optional dependencies (pandas): a
    test environment without them skips, rather than fails, their blocks."""
    for name in sorted(set(re.findall(r"^\s*(?:import|from) ([A-Za-z_]\w*)", source, re.M))):
        if importlib.util.find_spec(name) is None:
            pytest.skip(f"{name} is not installed")


@pytest.mark.parametrize("doc", [d for d in DOCS if python_blocks(d)], ids=lambda d: d.name)
def test_python_blocks_run(doc, workdir):
    blocks = [b for b in python_blocks(doc) if b[1] is None]
    skip_without_imports(script(doc, blocks))
    result = run(script(doc, blocks), workdir, f"{doc.stem}_blocks.py")
    assert result.returncode == 0, result.stderr


NEEDS = [(doc, b) for doc in DOCS for b in python_blocks(doc) if b[1] == "needs"]


@pytest.mark.parametrize("doc, block", NEEDS, ids=[f"{d.name}:{b[0]}" for d, b in NEEDS])
def test_blocks_that_need_an_extra_run(doc, block, workdir):
    if importlib.util.find_spec(block[2]) is None:
        pytest.skip(f"{block[2]} is not installed (pip install '.[dask]')")
    # The document's plain blocks first: the block may use what they made.
    before = [b for b in python_blocks(doc) if b[1] is None and b[0] < block[0]]
    source = script(doc, [*before, block])
    skip_without_imports(source)
    result = run(source, workdir, f"{doc.stem}_{block[0]}.py")
    assert result.returncode == 0, result.stderr


def test_the_documents_have_their_blocks():
    counts = {doc.name: len(python_blocks(doc)) for doc in DOCS}
    assert counts["README.md"] >= 1 and counts["guide.md"] >= 15 and counts["api.md"] >= 1
    # Only code that cannot run here may be left out, with the reason written down.
    assert all(len(why) > 10 for doc in DOCS for _, kind, why, _ in python_blocks(doc) if kind == "not run")
