"""Every Python block of README.md and docs/*.md runs as written.

A document's plain blocks run in order as one script; a block after
``<!-- needs: MODULE -->`` runs, where MODULE imports, after the plain blocks
before it; ``<!-- not run: why -->`` leaves a block out.
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
    """The files the documents read: the example under their names, and a folder of runs."""
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
    # Temporary files an example leaves go with the test's folder, not to /tmp.
    (tmp := workdir / f"{name}.tmp").mkdir(exist_ok=True)
    # A script file, so spawned workers can import it; -P: the installed package.
    return subprocess.run([sys.executable, "-P", str(path)], cwd=workdir, capture_output=True, text=True,
                          timeout=600, env={**os.environ, "PYTHONUTF8": "1", "TMPDIR": str(tmp)})


def skip_without_imports(source: str) -> None:
    """Skips, rather than fails, code using an optional dependency that is not installed."""
    for name in sorted(set(re.findall(r"^\s*(?:import|from) ([A-Za-z_]\w*)", source, re.M))):
        if importlib.util.find_spec(name) is None:
            pytest.skip(f"{name} is not installed")


# (document, None): its plain blocks; (document, block): a "needs" block after the plain ones before it.
SCRIPTS = [(d, None) for d in DOCS if python_blocks(d)]
SCRIPTS += [(d, b) for d in DOCS for b in python_blocks(d) if b[1] == "needs"]


@pytest.mark.parametrize("doc, block", SCRIPTS, ids=[d.name + (f":{b[0]}" if b else "") for d, b in SCRIPTS])
def test_python_blocks_run(doc, block, workdir):
    if block and importlib.util.find_spec(block[2]) is None:
        pytest.skip(f"{block[2]} is not installed")
    plain = [b for b in python_blocks(doc) if b[1] is None and (block is None or b[0] < block[0])]
    source = script(doc, plain + ([block] if block else []))
    skip_without_imports(source)
    result = run(source, workdir, f"{doc.stem}_{block[0] if block else 'blocks'}.py")
    assert result.returncode == 0, result.stderr


def test_the_documents_have_their_blocks():
    counts = {doc.name: len(python_blocks(doc)) for doc in DOCS}
    assert counts["README.md"] >= 1 and counts["guide.md"] >= 15 and counts["api.md"] >= 1
    # Only code that cannot run here may be left out, with the reason written down.
    assert all(len(why) > 10 for doc in DOCS for _, kind, why, _ in python_blocks(doc) if kind == "not run")
