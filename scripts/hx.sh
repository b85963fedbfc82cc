#!/usr/bin/env bash
# One entry point for a fresh Debian 12 machine (run as root, or with sudo
# available for the package step):
#   bash scripts/hx.sh demo [host options]  set up, build, run the main job
#   bash scripts/hx.sh test                 set up, build, run the whole suite
#   bash scripts/hx.sh setup                set up and build only
# Set-up installs the Debian packages that are missing, configures and builds
# into build/. The test job also builds and runs the suite with
# AddressSanitizer+UndefinedBehaviorSanitizer (build-asan/) and with
# ThreadSanitizer (build-tsan/), and runs every libFuzzer target for a
# bounded time under AddressSanitizer+UndefinedBehaviorSanitizer
# (build-fuzz/, clang; HX_FUZZ_SECONDS per target, default 20). Its plain
# run includes package_test, which builds the .deb packages (cpack), checks
# them with lintian, builds and runs the C example against them unpacked into
# a scratch folder, and installs and removes them with apt-get (as root; it
# purges them whatever happens). The real-device tests (label "pulse") start
# and kill a private PulseAudio daemon of their own in every test process.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
JOBS="${HX_JOBS:-$(nproc)}"

PACKAGES=(cmake g++ make pkg-config binutils dpkg-dev file lintian
  libwebrtc-audio-processing-dev libgtest-dev libgmock-dev libbenchmark-dev
  libspeexdsp-dev libsamplerate0-dev libsoxr-dev libsndfile1-dev libfftw3-dev libkissfft-dev
  espeak-ng sox
  clang libclang-rt-14-dev
  libpulse-dev pulseaudio pulseaudio-utils
  pipewire pipewire-bin pipewire-pulse wireplumber dbus-daemon
  libtgowt-dev libabsl-dev)

install_packages() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "== installing: ${missing[*]}"
    local sudo=""
    [[ $(id -u) -ne 0 ]] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

configure_and_build() {  # dir, extra cmake args...
  local dir="$1"; shift
  cmake -S "$ROOT" -B "$ROOT/$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$ROOT/$dir" -j "$JOBS"
}

# Each target runs from its seed corpus (tests/fuzz/corpus/<target>) for
# HX_FUZZ_SECONDS; new inputs go to a scratch folder, the tree stays as is.
run_fuzz() {
  CC=clang CXX=clang++ cmake -S "$ROOT" -B "$ROOT/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DHX_FUZZ=ON >/dev/null
  cmake --build "$ROOT/build-fuzz" -j "$JOBS"
  local seconds="${HX_FUZZ_SECONDS:-20}" passed=0 failed=0 t
  for t in fuzz_push fuzz_pull fuzz_ring; do
    local scratch log
    scratch="$(mktemp -d)"; log="$ROOT/build-fuzz/$t.log"
    if (cd "$scratch" && LD_LIBRARY_PATH="$ROOT/build-fuzz/lib/hx-aec-mod/sim" \
        "$ROOT/build-fuzz/bin/$t" -max_len=512 -max_total_time="$seconds" -print_final_stats=1 \
        "$scratch" "$ROOT/tests/fuzz/corpus/$t" >"$log" 2>&1); then
      passed=$((passed + 1)); echo "$t: $(grep -m1 '^stat::number_of_executed_units' "$log" | awk '{print $2}') runs, no crash"
    else
      failed=$((failed + 1)); echo "$t: FAILED (log: $log)"; tail -n 30 "$log"
    fi
    rm -rf "$scratch"
  done
  echo "fuzz: $passed passed, $failed failed"
  ((failed == 0))
}

setup() {
  install_packages
  configure_and_build build
}

# The output of each failed test, without the module's own log lines, the
# last lines of it: printed once more at the very end, where a CI summary
# that keeps only the head and the tail of the run still shows why.
print_failures() {  # build dir
  local log="$ROOT/$1/Testing/Temporary/LastTest.log" name
  [[ -f "$log" ]] || return 0
  awk '/ Testing: /{sub(/^.* Testing: /, ""); name=$0} /^Test Failed\./{print name}' "$log" |
    while IFS= read -r name; do
      echo "--- $1: $name"
      awk -v n="$name" 'index($0, " Testing: " n) {on=1} on {print} on && index($0, "\"" n "\" end time") == 1 {on=0}' \
        "$log" | grep -vE 'audio_HXAec::|isVoice=|DoRenderThread::|g_win7_MoniterProc::|^-------' | tail -n 40
    done
}

run_tests() {
  setup
  local status=0
  echo "== tests (plain build)"
  (cd "$ROOT/build" && ctest --output-on-failure -j "$JOBS" --timeout 600) || status=1

  echo "== tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
  configure_and_build build-asan -DHX_SANITIZE=address,undefined -DHX_BUILD_BENCH=OFF
  (cd "$ROOT/build-asan" &&
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --output-on-failure -j "$JOBS" --timeout 900 -LE nosan) || status=1

  echo "== tests (ThreadSanitizer)"
  # Address-space randomisation off (setarch -R, inherited by every test,
  # server and probe): with the kernel's randomisation at 28 bits a library
  # can land where ThreadSanitizer keeps its shadow memory, and a test then
  # dies in the runtime ("failed to allocate ... bytes"), whatever it tests.
  # It still happened once in a load probe's 200 rounds with it off: the
  # tests that run the probe repeat a run that died that way, up to twice.
  configure_and_build build-tsan -DHX_SANITIZE=thread -DHX_BUILD_BENCH=OFF
  (cd "$ROOT/build-tsan" &&
    TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$ROOT/tests/pulse/tsan_pulse.supp" \
    HX_ECHO_CALL_MINUTES=3 \
    setarch -R ctest --output-on-failure -j "$JOBS" --timeout 900 -LE 'nosan|notsan') || status=1

  echo "== fuzz targets (libFuzzer, AddressSanitizer + UndefinedBehaviorSanitizer)"
  run_fuzz || status=1

  if ((status)); then
    echo "== the failed tests' output, the end of each"
    print_failures build; print_failures build-asan; print_failures build-tsan
    echo "== FAILED"
  else echo "== all test runs passed"; fi
  return $status
}

case "${1:-}" in
  setup) setup ;;
  demo) shift; setup; "$ROOT/build/bin/hxaec-host" "$@" ;;
  test) run_tests ;;
  *) echo "usage: $0 {demo|test|setup}" >&2; exit 2 ;;
esac
