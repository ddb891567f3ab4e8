#!/usr/bin/env bash
# Runs a short part of the test suite under valgrind memcheck against the
# ordinary build (the worktree's .venv, or $PY), with every Python object
# allocated by malloc so that memcheck sees each one.
#
#   tools/valgrind.sh                        # the default short suite
#   tools/valgrind.sh tests/test_block.py    # any pytest arguments
#   VALGRIND_GEN_SUPP=1 tools/valgrind.sh    # rewrite tools/valgrind-python.supp
#
# tools/valgrind-python.supp silences what the interpreter and NumPy report
# about themselves (start-up, vectorised string compares that read past an
# end on purpose, the small-int cache, memory kept until exit). The run
# fails when memcheck reports an error, or a definite leak, whose stack
# passes through this package's extension modules; the whole report is in
# valgrind.log.
set -uo pipefail
cd "$(dirname "$0")/.."

PY=${PY:-.venv/bin/python}
LOG=${VALGRIND_LOG:-valgrind.log}
SUPP=tools/valgrind-python.supp
tests=("$@")
if [[ ${#tests[@]} -eq 0 ]]; then
    # The bad files that are bad by their size take minutes under memcheck.
    tests=(tests/test_hostile.py tests/test_block.py tests/test_splitting.py tests/test_bad_files.py
           -m "not slow" -k "not hundred_mb and not million and not late_in_a_large and not 100000")
fi

# Build (an editable install rebuilds on import) before valgrind starts.
"$PY" -P -c "import tremix.core.orvex_parser" || exit 1

gen=()
[[ "${VALGRIND_GEN_SUPP:-0}" == "1" ]] && gen=(--gen-suppressions=all)
PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
    --errors-for-leak-kinds=definite \
    --num-callers=40 --suppressions="$SUPP" "${gen[@]}" --log-file="$LOG" \
    "$PY" -P -m pytest -q -p no:cacheprovider "${tests[@]}"
pytest_status=$?

"$PY" - "$LOG" "$SUPP" "${VALGRIND_GEN_SUPP:-0}" <<'EOF'
import re, sys
log, supp, gen = sys.argv[1], sys.argv[2], sys.argv[3] == "1"
text = open(log, errors="replace").read()
ours = re.compile(r"orvex_parser|_fieldcheck|tremix/core/src|tremix::|_ZN6tremix")
# A record: a memcheck message and its stack, up to the next blank "==pid== " line.
records = re.split(r"\n==\d+== \n", text)


def through_ours(report):
    """A frame of ours in the stack, and not only below an import that our
    start-up runs (what NumPy's import does is NumPy's and the interpreter's)."""
    lines = report.splitlines()
    first = next((i for i, l in enumerate(lines) if ours.search(l)), None)
    if first is None:
        return False
    return not any(re.search(r"PyImport_Import|import_find_and_load", l) for l in lines[:first])


bad = [r for r in records
       if re.search(r"Invalid |uninitialised|definitely lost|Mismatched free|Source and destination overlap"
                    r"|Syscall param|Invalid free", r) and through_ours(r)]
for r in bad[:20]:
    print(r, file=sys.stderr)
summary = re.findall(r"ERROR SUMMARY: .*", text)
print(summary[-1] if summary else "no ERROR SUMMARY (did valgrind run?)")
print(f"valgrind: {len(bad)} report(s) through this package's modules")
if gen:
    blocks = re.findall(r"^\{\n.*?^\}", re.sub(r"^==\d+== ?", "", text, flags=re.M), flags=re.M | re.S)
    # Suppressions already in the file stay; new ones are added after them.
    kept = re.findall(r"^\{\n.*?^\}", open(supp).read(), flags=re.M | re.S)
    seen = set()
    for block in kept:
        lines = [l.strip() for l in block.splitlines()]
        seen.add((lines[2], tuple(l for l in lines[3:] if l.startswith(("fun:", "obj:")))))
    for block in blocks:
        if through_ours(block):
            continue
        lines = block.splitlines()
        kind = lines[2].strip()
        frames = [l.strip() for l in lines[3:-1] if l.strip().startswith(("fun:", "obj:"))]
        extra = [l for l in lines[3:-1] if not l.strip().startswith(("fun:", "obj:", "..."))]
        # A leak is allocated through the same few allocator frames whoever
        # allocates: keep enough of its stack to name the interpreter's caller.
        depth = 12 if kind == "Memcheck:Leak" else 4
        key = (kind, tuple(frames[:depth]))
        if key in seen:
            continue
        seen.add(key)
        body = "\n".join(["   " + l.strip() for l in extra] + ["   " + f for f in frames[:depth]])
        kept.append(f"{{\n   interpreter-{len(kept)}\n   {kind}\n{body}\n   ...\n}}")
    kept = [re.sub(r"^\{\n\s*interpreter-\d+", f"{{\n   interpreter-{i}", b) for i, b in enumerate(kept)]
    header = ("# What the interpreter and NumPy report about themselves under memcheck with\n"
              "# PYTHONMALLOC=malloc; written by VALGRIND_GEN_SUPP=1 tools/valgrind.sh from\n"
              "# reports with no frame in this package's modules (top four frames kept,\n"
              "# twelve for leaks).\n")
    open(supp, "w").write(header + "\n".join(kept) + "\n")
    print(f"wrote {len(kept)} suppressions to {supp}")
sys.exit(1 if bad or not summary else 0)
EOF
filter_status=$?
[[ $pytest_status -ne 0 ]] && echo "pytest failed under valgrind (status $pytest_status)"
exit $(( pytest_status != 0 || filter_status != 0 ))
