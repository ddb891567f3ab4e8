#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# into its own venv (.venv-asan, build dir build-asan) and runs the test
# suite against it.
#
#   tools/sanitize.sh                 # whole suite
#   tools/sanitize.sh tests/test_hostile.py -k recursion   # any pytest arguments
#   SANITIZE_LEAKS=1 tools/sanitize.sh  # also LeakSanitizer (slower, see below)
#
# The interpreter itself is not instrumented, so the sanitizer runtimes are
# preloaded. PYTHONMALLOC=malloc sends every Python object through malloc,
# so ASan sees a freed list or str and reports a use after free; with the
# interpreter's own small-object allocator a freed object stays in its pool
# and a stale borrowed reference would go unnoticed.
#
# LeakSanitizer: the interpreter keeps some memory until exit on purpose, so
# a leak report is only counted when one of its stack frames lies in this
# package's extension modules; the full report stays in the log directory.
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=${SANITIZE_VENV:-.venv-asan}
BUILD_DIR=${SANITIZE_BUILD_DIR:-build-asan}
PYTHON=${PYTHON:-python3}

if [[ ! -x "$VENV/bin/python" ]]; then
    "$PYTHON" -m venv --system-site-packages "$VENV"
fi
PY="$VENV/bin/python"
# Build and test requirements (already satisfied when the system has them).
"$PY" -m pip install -q "meson-python>=0.15" "meson>=1.2" ninja "numpy>=2.0" "pytest>=7" "pytest-timeout>=2" \
    "hypothesis>=6" \
    >/dev/null
"$PY" -m pip install -q --no-build-isolation --no-deps \
    -Csetup-args=-Dsanitize=true -Cbuild-dir="$BUILD_DIR" . >/dev/null

ASAN_LIB=$(gcc -print-file-name=libasan.so)
UBSAN_LIB=$(gcc -print-file-name=libubsan.so)
# Only the test run gets the runtimes: preloaded into the helper commands
# below, LeakSanitizer would report their leaks and fail them.
preload="$ASAN_LIB:$UBSAN_LIB${LD_PRELOAD:+:$LD_PRELOAD}"
export PYTHONMALLOC=malloc
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
asan_common="abort_on_error=0:strict_init_order=1:detect_stack_use_after_return=1:check_initialization_order=1"

# Tests that need minutes or gigabytes are left to the plain build.
pytest_args=(-q -p no:cacheprovider -m "not slow")
[[ $# -gt 0 ]] && pytest_args=(-q -p no:cacheprovider "$@")

if [[ "${SANITIZE_LEAKS:-0}" == "1" ]]; then
    log_dir=$(mktemp -d /tmp/tremix-lsan.XXXXXX)
    status=0
    LD_PRELOAD="$preload" \
    ASAN_OPTIONS="$asan_common:detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=40:log_path=$log_dir/lsan" \
        "$PY" -P -m pytest "${pytest_args[@]}" || status=$?
    # Count leak reports that name one of our modules in their stack.
    ours=$("$PY" - "$log_dir" <<'EOF'
import pathlib, re, sys
count = 0
for log in pathlib.Path(sys.argv[1]).glob("lsan*"):
    for report in re.split(r"\n(?=(?:Direct|Indirect) leak)", log.read_text(errors="replace")):
        lines = report.splitlines()
        first = next((i for i, l in enumerate(lines) if re.search(r"orvex_parser|_fieldcheck|tremix/core/src|tremix::|_ZN6tremix", l)), None)
        # Ours unless our frame lies only below an import that start-up runs
        # (NumPy's own) or below tracemalloc's bookkeeping (its tracebacks).
        if first is not None and "leak of" in report and not any(
                re.search(r"PyImport_Import|import_find_and_load|_tracemalloc\.c", l) for l in lines[:first]):
            count += 1
            print(report.strip()[:4000], file=sys.stderr)
print(count)
EOF
)
    echo "LeakSanitizer: $ours leak report(s) from this package; full logs in $log_dir"
    [[ "$ours" == "0" ]] || status=1
    exit $status
fi

# Reports also go to files: one written while pytest holds a test's output
# would otherwise be lost with the process, which then just ends with
# status 1. Any report fails the run and is printed after it.
# A runtime that stops the process exits with a status of its own (86 for
# AddressSanitizer, 87 for UndefinedBehaviorSanitizer), so that an end
# without a report or a pytest summary still tells who ended it and in
# which test.
log_dir=$(mktemp -d /tmp/tremix-sanitize.XXXXXX)
# One seed for every Hypothesis test, printed when the run fails: a random
# example that ended the process is drawn again by the same seed.
seed=${HYPOTHESIS_SEED:-$(( (RANDOM << 15) | RANDOM ))}
last_test=$(mktemp /tmp/tremix-last-test.XXXXXX)
status=0
LD_PRELOAD="$preload" ASAN_OPTIONS="$asan_common:detect_leaks=0:exitcode=86:log_path=$log_dir/asan" \
UBSAN_OPTIONS="$UBSAN_OPTIONS:exitcode=87:log_path=$log_dir/ubsan" TREMIX_LAST_TEST_FILE="$last_test" \
TREMIX_UBSAN_LIB="$UBSAN_LIB" TREMIX_UBSAN_LOG_PATH="$log_dir/ubsan" \
    "$PY" -P -m pytest --hypothesis-seed="$seed" "${pytest_args[@]}" || status=$?
for report in "$log_dir"/*; do
    [[ -e "$report" ]] || continue
    echo "=== sanitizer report: $report" >&2
    head -c 20000 "$report" >&2
    status=1
done
if [[ $status -ne 0 ]]; then
    echo "=== the sanitizer run ended with status $status; the last test started: $(cat "$last_test")" >&2
    echo "=== Hypothesis seed $seed (HYPOTHESIS_SEED=$seed tools/sanitize.sh TEST draws the same examples)" >&2
    # What the kernel said lately (a process it killed, memory it ran short of), where it may be read.
    dmesg 2>/dev/null | tail -n 20 >&2 || true
fi
rm -f "$last_test"
rmdir "$log_dir" 2>/dev/null || true
exit $status
