#!/usr/bin/env bash
# Short regression run of the dialogue fuzzer (tests/fuzz/).
#
#   scripts/fuzz.sh [seconds]      (default 60)
#
# Builds the fuzzer with the fuzz preset (clang, libFuzzer, ASan and UBSan),
# replays every reproducer in tests/fuzz/regressions/, then fuzzes for the
# given time from the seed corpus (tests/fuzz/corpus/, and the dialogue tables
# as they are now: the fuzzer's seeds and the unit tests' tables, turned into
# inputs by divivez_dialogue_corpus) plus what earlier runs found
# (build/fuzz/corpus/), with the SMTP dictionary, one worker.
#
# Exit status: 0 when every reproducer passes and the run found nothing;
# 1 otherwise (a new finding is written to build/fuzz/artifacts/; copy it into
# tests/fuzz/regressions/ once understood); 2 on a usage or build error.
set -euo pipefail

seconds="${1:-60}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "usage: scripts/fuzz.sh [seconds]" >&2
  exit 2
fi

root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

echo "fuzz.sh: building the dialogue fuzzer (preset fuzz)"
if ! cmake --preset fuzz >/dev/null || \
   ! cmake --build --preset fuzz --target divivez_dialogue_fuzzer divivez_dialogue_corpus; then
  echo "fuzz.sh: build failed" >&2
  exit 2
fi

fuzzer="$root/build/fuzz/tests/fuzz/divivez_dialogue_fuzzer"
corpus="$root/build/fuzz/corpus"
artifacts="$root/build/fuzz/artifacts"
mkdir -p "$corpus" "$artifacts"
# The plug-in's spool files go to a private directory, removed afterwards.
scratch="$(mktemp -d "$root/build/fuzz/tmp.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
export TMPDIR="$scratch"
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
unset DIVIVEZ_FUZZ_TRACE

status=0

# 1. Every reproducer kept from earlier findings, one at a time.
shopt -s nullglob
regressions=("$root"/tests/fuzz/regressions/*)
failed=0
for input in "${regressions[@]}"; do
  [ -f "$input" ] || continue
  if ! "$fuzzer" -runs=1 "$input" >"$scratch/replay.log" 2>&1; then
    echo "fuzz.sh: REGRESSION FAILS: ${input#"$root"/}"
    grep -A6 -E "invariant violated|ERROR: (AddressSanitizer|LeakSanitizer)|runtime error|Timeout" \
      "$scratch/replay.log" | grep -v -E "^ +#[0-9]|^==[0-9]+==" | head -10 | sed 's/^/    /'
    failed=$((failed + 1))
  fi
done
echo "fuzz.sh: ${#regressions[@]} reproducers replayed, $failed failing"
[ "$failed" -eq 0 ] || status=1

# 2. The time-boxed run, from a fixed seed (DIVIVEZ_FUZZ_SEED) so that a
# finding can be replayed as it happened. The dialogue tables are seeds too, as
# they are today (the committed corpus holds them as they were).
seeds=("$root/tests/fuzz/corpus")
if "$root/build/fuzz/tests/fuzz/divivez_dialogue_corpus" "$scratch/dialogues" \
     "$root/tests/fuzz/seeds.dlg" "$root/tests/session_dialogues.inc" \
     "$root/tests/fault_injection_test.cpp" >/dev/null; then
  seeds+=("$scratch/dialogues")
else
  echo "fuzz.sh: the dialogue tables could not be turned into inputs" >&2
  status=1
fi
echo "fuzz.sh: fuzzing for ${seconds}s"
set +e
"$fuzzer" "$corpus" "${seeds[@]}" \
  -dict="$root/tests/fuzz/smtp.dict" \
  -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
  -seed="${DIVIVEZ_FUZZ_SEED:-1}" \
  -artifact_prefix="$artifacts/" -print_final_stats=1 \
  >"$scratch/fuzz.log" 2>&1
rc=$?
set -e
grep -E "^#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb" \
  "$scratch/fuzz.log" | sed 's/^/    /'
if [ "$rc" -ne 0 ]; then
  echo "fuzz.sh: FINDING (libFuzzer exit $rc)"
  grep -A8 -E "invariant violated|ERROR: (AddressSanitizer|LeakSanitizer)|runtime error|Timeout|out-of-memory" \
    "$scratch/fuzz.log" | grep -v -E "^ +#[0-9]|^==[0-9]+==|^--$" | head -14 | sed 's/^/    /'
  grep -E "Test unit written" "$scratch/fuzz.log" | sed 's/^/    /'
  status=1
else
  last="$(grep -E "^#[0-9]+[[:space:]]" "$scratch/fuzz.log" | tail -1)"
  echo "fuzz.sh: no finding; last status: $last"
fi
exit "$status"
