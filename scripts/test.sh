#!/usr/bin/env bash
# Builds and runs every test suite, then prints one line per suite.
#
#   scripts/test.sh [suite ...]     (default: all of them, in this order)
#
# Suites: format (every C++ file as .clang-format has it), native (Linux
# build, unit and dialogue tests), valgrind (the native plug-in tests under
# memcheck: no error, no leak), native-asan (the same under AddressSanitizer
# and UBSan), win32 (the 32-bit Windows build, tests under Wine), e2e
# (scripts/e2e.sh, when present), soak (a short soak of the Linux proxy under
# faults: 400 sessions against smtp-sink's fault options with clamd stopped
# and started, tests/e2e/soak.py; SOAK_SESSIONS=N for more), fuzz (every
# fuzz target's reproducers and 90 s of fuzzing each, two at a time,
# DIVIVEZ_FUZZ_SECONDS=N for another time: scripts/fuzz.sh, when present), package
# (the Debian package built with CPack, checked, installed, its systemd unit
# verified, removed and purged: scripts/package.sh; as root only).
# CTEST_PARALLEL_LEVEL=N runs a preset's tests N at a time.
#
# Runs scripts/setup.sh first when run as root (it installs what the suites
# need and is safe to repeat). A failing suite does not stop the others.
# Exit status: 0 when every suite passed, 1 when any failed, 2 on misuse.
set -uo pipefail
cd "$(dirname "$0")/.."

all_suites=(format native valgrind native-asan win32 e2e soak fuzz package)
if [ $# -gt 0 ]; then
  suites=("$@")
  for suite in "${suites[@]}"; do
    case " ${all_suites[*]} " in
      *" $suite "*) ;;
      *)
        echo "usage: scripts/test.sh [${all_suites[*]}]..." >&2
        exit 2
        ;;
    esac
  done
else
  suites=("${all_suites[@]}")
fi

if [ "$(id -u)" = 0 ]; then
  if ! bash scripts/setup.sh; then
    echo "test.sh: scripts/setup.sh failed" >&2
    exit 1
  fi
elif ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
  echo "test.sh: cmake and ninja are missing; run 'sudo bash scripts/setup.sh' first" >&2
  exit 2
fi

summary=()
failed=0

# Records a suite's outcome: run_suite NAME COMMAND...
run_suite() {
  local name=$1
  shift
  echo
  echo "=== $name"
  local start=$SECONDS
  if "$@"; then
    summary+=("PASS     $name ($((SECONDS - start)) s)")
  else
    summary+=("FAIL     $name ($((SECONDS - start)) s)")
    failed=1
  fi
}

skip_suite() {
  summary+=("SKIPPED  $1 ($2)")
}

# The C++ sources in the repository, checked against .clang-format.
format_suite() {
  local files
  mapfile -t files < <(git ls-files -- '*.cpp' '*.h' '*.inc')
  [ "${#files[@]}" -gt 0 ] && clang-format --dry-run --Werror "${files[@]}"
}

# Configure, build and run the tests of one CMake preset.
preset_suite() {
  local preset=$1
  cmake --preset "$preset" && cmake --build --preset "$preset" && ctest --preset "$preset"
}

# The Linux proxy soaked under faults; the long run is the same script with
# --sessions 10000.
soak_suite() {
  cmake --preset native >/dev/null && cmake --build --preset native --target divivez divivez-proxy &&
    /usr/bin/python3 tests/e2e/soak.py --sessions "${SOAK_SESSIONS:-400}"
}

# The native plug-in tests under memcheck; any error or leak fails.
valgrind_suite() {
  cmake --preset native && cmake --build --preset native --target divivez_tests &&
    valgrind --quiet --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
      --show-leak-kinds=definite,indirect build/native/tests/divivez_tests --gtest_brief=1
}

for suite in "${suites[@]}"; do
  case "$suite" in
    format)
      run_suite format format_suite
      ;;
    native | native-asan | win32)
      run_suite "$suite" preset_suite "$suite"
      ;;
    valgrind)
      run_suite valgrind valgrind_suite
      ;;
    soak)
      run_suite soak soak_suite
      ;;
    package)
      run_suite package bash scripts/package.sh
      ;;
    # --- Suites that live in their own scripts, run when present. ---
    e2e)
      # The proxy and plug-in with real mail software, both builds.
      if [ -f scripts/e2e.sh ]; then
        run_suite e2e bash scripts/e2e.sh all
      else
        skip_suite e2e "scripts/e2e.sh not present"
      fi
      ;;
    fuzz)
      # Replays every reproducer, then fuzzes each target briefly from its
      # corpus: nine targets of 90 s, two at a time, about 7.5 minutes.
      if [ -f scripts/fuzz.sh ]; then
        run_suite fuzz bash scripts/fuzz.sh "${DIVIVEZ_FUZZ_SECONDS:-90}"
      else
        skip_suite fuzz "scripts/fuzz.sh not present"
      fi
      ;;
  esac
done

echo
echo "=== summary"
printf '%s\n' "${summary[@]}"
exit "$failed"
