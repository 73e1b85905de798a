#!/usr/bin/env bash
# Sets everything up on a fresh machine and runs the whole test suite: the
# C++ unit tests under ASan+UBSan, a short fuzz smoke run, and the pytest
# suite against the installed package and again against the sanitized module.
set -euo pipefail
cd "$(dirname "$0")/.."
# A module built in place for development would be packed into the wheel
# beside the freshly built one.
rm -f brivane/*.so

FUZZ_SECONDS="${BRIVANE_FUZZ_SECONDS:-6}"
JOBS="${BRIVANE_JOBS:-2}"
STARTED=$SECONDS
step() { echo "== [$((SECONDS - STARTED)) s] $*"; }

# Debian packages: GoogleTest and clang (libFuzzer) for the native tests,
# Chromium and its driver for the review page tests.
need=()
[ -e /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
command -v clang++ >/dev/null || need+=(clang)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a >/dev/null 2>&1 || need+=(libclang-rt-14-dev)
command -v chromium >/dev/null || need+=(chromium)
command -v chromedriver >/dev/null || need+=(chromium-driver)
export BRIVANE_REQUIRE_BROWSER=1
if [ "${#need[@]}" -gt 0 ]; then
  step "installing ${need[*]}"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi

# The package and the test tools, in a virtual environment of the project.
if [ ! -x .venv/bin/python ]; then
  python3 -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q cmake ninja 'pybind11>=3'
step "building and installing the package (about a minute on 2 cores)"
# Optimised as released, every compiler warning an error.
.venv/bin/python -m pip install -q --config-settings=cmake.define.BRIVANE_WARNINGS_AS_ERRORS=ON ".[test]"

PYBIND11_DIR="$(.venv/bin/python -c 'import pybind11; print(pybind11.get_cmake_dir())')"
configure() {  # build dir, extra cmake args...
  local dir="$1"; shift
  .venv/bin/cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$PWD/.venv/bin/python" -Dpybind11_DIR="$PYBIND11_DIR" \
    -DBRIVANE_BUILD_MODULE=OFF -DBRIVANE_WARNINGS_AS_ERRORS=ON "$@" >/dev/null
  .venv/bin/cmake --build "$dir" -j "$JOBS"
}

step "AddressSanitizer + UndefinedBehaviorSanitizer: building the C++ tests and the module"
# One build for both, so the core is compiled once with the sanitizers; -O1
# with light debug info halves the compile time and finds the same faults.
configure build/cpp-asan -DBRIVANE_BUILD_TESTS=ON -DBRIVANE_SANITIZE=ON -DBRIVANE_BUILD_MODULE=ON \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g1 -O1"
step "C++ unit tests under the sanitizers"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  .venv/bin/ctest --test-dir build/cpp-asan --output-on-failure

step "fuzz smoke (${FUZZ_SECONDS}s per target, as many at once as there are build jobs)"
configure build/fuzz -DBRIVANE_BUILD_FUZZERS=ON -DCMAKE_CXX_COMPILER=clang++
fuzz() {  # runs one target; its log is shown when it fails
  local fuzzer="$1" name corpus
  name="$(basename "$fuzzer")"
  corpus="build/fuzz/corpus/$name"
  mkdir -p "$corpus"
  if "$fuzzer" -max_total_time="$FUZZ_SECONDS" -max_len=4096 -dict=tests/fuzz/text.dict "$corpus" \
      2> "build/fuzz/$name.log"; then
    echo "$name: ok"
  else
    tail -50 "build/fuzz/$name.log"
    return 1
  fi
}
pids=()
for fuzzer in build/fuzz/tests/fuzz/fuzz_*; do
  [ -x "$fuzzer" ] || continue
  fuzz "$fuzzer" & pids+=($!)
  if [ "${#pids[@]}" -ge "$JOBS" ]; then wait "${pids[0]}"; pids=("${pids[@]:1}"); fi
done
for pid in "${pids[@]}"; do wait "$pid"; done

step "pytest"
# Run from the tests' own interpreter entry point so the source tree's
# brivane/ (which holds no built module) does not shadow the installed one.
if [ $# -eq 0 ]; then set -- tests; fi
.venv/bin/pytest -p no:cacheprovider "$@"

step "pytest against the module built with the sanitizers"
# The package as installed, with the sanitized module in place of the
# release one. The interpreter is not instrumented: the sanitizer runtime
# (and the C++ runtime its interceptors need) load first.
asan_package=build/asan-package/brivane
rm -rf build/asan-package && mkdir -p "$asan_package"
cp -r brivane/*.py brivane/*.json brivane/*.pyi brivane/py.typed brivane/templates "$asan_package"/
cp build/cpp-asan/brivane.*.so build/cpp-asan/_native.*.so "$asan_package"/
# Fewer generated examples and no browser here: this run looks for memory and
# undefined-behaviour faults in the module, the plain run above for
# differences from the reference and for what the pages do.
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" \
  BRIVANE_HYPOTHESIS_EXAMPLES="${BRIVANE_SANITIZED_EXAMPLES:-300}" ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  PYTHONPATH="$PWD/build/asan-package" .venv/bin/pytest -p no:cacheprovider -q -m "not browser" "$@"
step "done"
