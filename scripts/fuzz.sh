#!/usr/bin/env bash
# Short regression run of every fuzz target (tests/fuzz/): the plug-in's
# dialogue fuzzer and one target per reader of network or file input in the
# host (the PROXY header, the settings file, clamd's replies, CIDR lists, the
# metrics server's request head, the dialogue follower, the TLS engine, the
# client leg through the gate and the plug-in).
#
#   scripts/fuzz.sh [seconds]      (default 60: each target's fuzzing time)
#
# Builds the targets with the fuzz preset (clang, libFuzzer, ASan and UBSan).
# For each target of the table below: replays every reproducer in
# tests/fuzz/regressions/TARGET/, then fuzzes it for the given time from its
# seed corpus (tests/fuzz/corpus/TARGET/) plus what earlier runs found
# (build/fuzz/corpus/TARGET/), with its dictionary; two targets at a time
# (DIVIVEZ_FUZZ_JOBS), so nine targets of 90 s take about 7.5 minutes on two
# cores. The dialogue fuzzer also starts from the dialogue tables as they are
# now (the fuzzer's seeds and the unit tests' tables, turned into inputs by
# divivez_dialogue_corpus). A listed target that the build does not have is
# skipped with a line saying so.
#
# Exit status: 0 when every reproducer passes and no run found anything;
# 1 otherwise (a new finding is written to build/fuzz/artifacts/TARGET-*;
# copy it into tests/fuzz/regressions/TARGET/ once understood); 2 on a usage
# or build error.
set -euo pipefail

# One line per target: its name (the executable is divivez_NAME_fuzzer, in
# tests/fuzz/), its dictionary in tests/fuzz/ (- for none) and the longest
# input it is given.
targets=(
  "dialogue           smtp.dict           8192"
  "client_leg         client_leg.dict     4096"
  "proxy_header       proxy_header.dict   1024"
  "config_file        config_file.dict    4096"
  "clamd_reply        -                   2048"
  "cidr               cidr.dict           512"
  "metrics_head       metrics_head.dict   9000"
  "dialogue_follower  smtp.dict           8192"
  "tls_engine         -                   8192"
)

seconds="${1:-60}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "usage: scripts/fuzz.sh [seconds]" >&2
  exit 2
fi
jobs="${DIVIVEZ_FUZZ_JOBS:-2}"
if ! [[ "$jobs" =~ ^[0-9]+$ ]] || [ "$jobs" -lt 1 ]; then
  echo "fuzz.sh: DIVIVEZ_FUZZ_JOBS must be a number of at least 1" >&2
  exit 2
fi

root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bin="$root/build/fuzz/tests/fuzz"

echo "fuzz.sh: building the fuzz targets (preset fuzz)"
if ! cmake --preset fuzz >/dev/null || ! known="$(cmake --build --preset fuzz --target help)"; then
  echo "fuzz.sh: configuration failed" >&2
  exit 2
fi
build=(divivez_dialogue_corpus)
present=()
for line in "${targets[@]}"; do
  read -r name _ <<<"$line"
  if grep -q "^divivez_${name}_fuzzer:" <<<"$known"; then
    build+=("divivez_${name}_fuzzer")
    present+=("$line")
  else
    echo "fuzz.sh: $name: SKIPPED, the build has no divivez_${name}_fuzzer"
  fi
done
if ! cmake --build --preset fuzz --target "${build[@]}"; then
  echo "fuzz.sh: build failed" >&2
  exit 2
fi

artifacts="$root/build/fuzz/artifacts"
mkdir -p "$artifacts"
# The plug-in's spool files and the targets' own files go to a private
# directory, removed afterwards.
scratch="$(mktemp -d "$root/build/fuzz/tmp.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
export TMPDIR="$scratch"
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
unset DIVIVEZ_FUZZ_TRACE

status=0
findings="invariant violated|ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error|Timeout|out-of-memory"

# 1. Every reproducer kept from earlier findings, one at a time.
shopt -s nullglob
replayed=0
failed=0
for line in "${present[@]}"; do
  read -r name _ <<<"$line"
  for input in "$root"/tests/fuzz/regressions/"$name"/*; do
    [ -f "$input" ] || continue
    replayed=$((replayed + 1))
    if ! "$bin/divivez_${name}_fuzzer" -runs=1 "$input" >"$scratch/replay.log" 2>&1; then
      echo "fuzz.sh: REGRESSION FAILS: ${input#"$root"/}"
      grep -A6 -E "$findings" "$scratch/replay.log" | grep -v -E "^ +#[0-9]|^==[0-9]+==|^--$" |
        head -10 | sed 's/^/    /'
      failed=$((failed + 1))
    fi
  done
done
# A file beside the targets' folders belongs to none: it would be neither
# replayed nor a seed.
for input in "$root"/tests/fuzz/regressions/* "$root"/tests/fuzz/corpus/*; do
  if [ -f "$input" ]; then
    echo "fuzz.sh: ${input#"$root"/} is in no target's folder (move it into TARGET/)"
    failed=$((failed + 1))
  fi
done
echo "fuzz.sh: $replayed reproducers replayed, $failed failing"
[ "$failed" -eq 0 ] || status=1

# The dialogue tables as they are today are the dialogue fuzzer's seeds too
# (the committed corpus holds them as they were).
if "$bin/divivez_dialogue_corpus" "$scratch/dialogues" "$root/tests/fuzz/seeds.dlg" \
     "$root/tests/session_dialogues.inc" "$root/tests/fault_injection_test.cpp" >/dev/null; then
  dialogue_seeds="$scratch/dialogues"
else
  echo "fuzz.sh: the dialogue tables could not be turned into inputs" >&2
  dialogue_seeds=""
  status=1
fi

# 2. One target's time-boxed run, from a fixed seed (DIVIVEZ_FUZZ_SEED) so that
# a finding can be replayed as it happened. Writes its report to
# $scratch/NAME.report and its exit status to $scratch/NAME.status.
fuzz_target() {
  local name=$1 dict=$2 max_len=$3
  local log="$scratch/$name.log" report="$scratch/$name.report"
  local corpus="$root/build/fuzz/corpus/$name"
  local seeds=("$root/tests/fuzz/corpus/$name")
  mkdir -p "$corpus"
  [ -d "${seeds[0]}" ] || seeds=()
  if [ "$name" = dialogue ] && [ -n "$dialogue_seeds" ]; then seeds+=("$dialogue_seeds"); fi
  local options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$max_len"
                 -seed="${DIVIVEZ_FUZZ_SEED:-1}" -artifact_prefix="$artifacts/$name-"
                 -print_final_stats=1)
  [ "$dict" = - ] || options+=(-dict="$root/tests/fuzz/$dict")
  local start=$SECONDS rc=0
  # Each target in a directory of its own: files it makes stay apart.
  mkdir -p "$scratch/$name"
  (cd "$scratch/$name" && TMPDIR="$scratch/$name" \
     "$bin/divivez_${name}_fuzzer" "$corpus" "${seeds[@]}" "${options[@]}") >"$log" 2>&1 || rc=$?
  {
    local units rate rss
    units="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
    rate="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)"
    rss="$(sed -n 's/^stat::peak_rss_mb: *//p' "$log" | tail -1)"
    echo "fuzz.sh: $name: $((SECONDS - start))s, ${units:-?} runs, ${rate:-?} exec/s, peak ${rss:-?} MB"
    if [ "$rc" -ne 0 ]; then
      echo "fuzz.sh: $name: FINDING (libFuzzer exit $rc)"
      grep -A8 -E "$findings" "$log" |
        grep -v -E "^ +#[0-9]|^==[0-9]+==|^--$|Test unit written" | head -14 |
        sed 's/^/    /'
      grep -E "Test unit written" "$log" | sed 's/^/    /'
    else
      echo "fuzz.sh: $name: no finding; last status: $(grep -E "^#[0-9]+[[:space:]]" "$log" | tail -1)"
    fi
  } >"$report"
  echo "$rc" >"$scratch/$name.status"
}

echo "fuzz.sh: fuzzing ${#present[@]} targets for ${seconds}s each, $jobs at a time"
set +e
printed=0
print_done() {
  # The reports in the table's order, each as soon as it and those before it are in.
  while [ "$printed" -lt "${#present[@]}" ]; do
    local name
    read -r name _ <<<"${present[$printed]}"
    [ -f "$scratch/$name.status" ] || return 0
    cat "$scratch/$name.report"
    [ "$(cat "$scratch/$name.status")" = 0 ] || status=1
    printed=$((printed + 1))
  done
}
running=0
for line in "${present[@]}"; do
  read -r name dict max_len <<<"$line"
  if [ "$running" -ge "$jobs" ]; then
    wait -n
    running=$((running - 1))
    print_done
  fi
  fuzz_target "$name" "$dict" "$max_len" &
  running=$((running + 1))
done
wait
print_done
set -e
if [ "$printed" -lt "${#present[@]}" ]; then
  echo "fuzz.sh: a run ended without its report" >&2
  status=1
fi
exit "$status"
