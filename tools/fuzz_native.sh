#!/usr/bin/env bash
# Coverage-guided fuzzing with the extension itself instrumented: builds it
# with clang and -fsanitize=fuzzer-no-link into .venv-fuzz (build dir
# build-fuzz), makes libFuzzer a preloadable library, and runs
# `tools/fuzz.py --atheris` so that libFuzzer sees the coverage of the C++
# code as well as of the Python reference code.
#
#   tools/fuzz_native.sh --minutes 10 [-- libFuzzer options or a corpus dir]
#   FUZZ_SANITIZE=1 tools/fuzz_native.sh ...   # the extension also built with ASan + UBSan
#
# Needs clang (apt-get install clang) and atheris (pip, installed here).
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=.venv-fuzz
BUILD_DIR=build-fuzz
PYTHON=${PYTHON:-python3}
command -v clang++ >/dev/null || { echo "clang++ is needed: apt-get install clang" >&2; exit 2; }

if [[ ! -x "$VENV/bin/python" ]]; then
    "$PYTHON" -m venv --system-site-packages "$VENV"
fi
PY="$VENV/bin/python"
"$PY" -m pip install -q "meson-python>=0.15" "meson>=1.2" ninja "numpy>=2.0" atheris >/dev/null
sanitize=false
[[ "${FUZZ_SANITIZE:-0}" == "1" ]] && sanitize=true
CC=clang CXX=clang++ "$PY" -m pip install -q --no-build-isolation --no-deps -Cbuild-dir="$BUILD_DIR" \
    "-Csetup-args=-Dsanitize=$sanitize" "-Csetup-args=-Dcpp_args=-fsanitize=fuzzer-no-link" "-Csetup-args=-Dcpp_link_args=-fsanitize=fuzzer-no-link" \
    . >/dev/null

# libFuzzer as a shared library loaded first: the extension's coverage hooks
# resolve to it, and atheris, finding it already loaded, drives it.
resource_dir=$(clang++ -print-resource-dir)
archive="$resource_dir/lib/linux/libclang_rt.fuzzer_no_main-x86_64.a"
preload="$BUILD_DIR/libfuzzer-preload.so"
if [[ ! -f "$preload" || "$archive" -nt "$preload" ]]; then
    clang++ -shared -fPIC -o "$preload" -Wl,--whole-archive "$archive" -Wl,--no-whole-archive -lpthread
fi

preloads="$(realpath "$preload")"
if [[ "$sanitize" == true ]]; then
    # libFuzzer must come before the ASan runtime: the runtime defines weak
    # coverage hooks of its own, and loaded first it takes the extension's
    # and atheris's counters, leaving libFuzzer blind (a handful of
    # features, no growth). ASan then has to be told not to insist on
    # being first. PYTHONMALLOC=malloc as in tools/sanitize.sh.
    preloads="$preloads:$resource_dir/lib/linux/libclang_rt.asan-x86_64.so"
    export PYTHONMALLOC=malloc UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    export ASAN_OPTIONS="detect_leaks=0:verify_asan_link_order=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
fi
mkdir -p fuzz-crashes
cd fuzz-crashes  # libFuzzer writes crash-* files into the current directory
LD_PRELOAD="$preloads" exec "../$PY" -P ../tools/fuzz.py --atheris "$@"
