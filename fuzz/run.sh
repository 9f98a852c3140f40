#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target for a bounded number of
# executions over a scratch copy of its seed corpus. Exits non-zero when a
# target crashes, leaks, or spends more than FUZZ_TIMEOUT seconds on one input
# (a finding is kept in the scratch directory and its path printed) or the
# build fails.
#
#   fuzz/run.sh                 from anywhere in the repository
#   FUZZ_RUNS=1000000 FUZZ_SECONDS=600 fuzz/run.sh    a longer session
#   FUZZ_TARGETS="fuzz_hex fuzz_profile" fuzz/run.sh  only some targets
#   FUZZ_BUILD_DIR=... FUZZ_SOURCE_DIR=...            another build or source tree
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="${FUZZ_SOURCE_DIR:-$(dirname "$here")}"
build_dir="${FUZZ_BUILD_DIR:-$source_dir/build/fuzz}"
runs="${FUZZ_RUNS:-200000}"
# The whole budget, split evenly between the targets run.
total_seconds="${FUZZ_SECONDS:-100}"
timeout_seconds="${FUZZ_TIMEOUT:-10}"

cmake -S "$source_dir" --preset fuzz -B "$build_dir" >/dev/null
cmake --build "$build_dir" -j2

# Target name -> seed corpus folder under fuzz/corpus/.
declare -A corpus=(
  [fuzz_parser]=parser
  [fuzz_receive]=receive
  [fuzz_registry]=registry
  [fuzz_profile]=profile
  [fuzz_hex]=hex
  [fuzz_program_format]=format
)
targets="${FUZZ_TARGETS:-$(printf '%s\n' "${!corpus[@]}" | sort)}"
count=$(wc -w <<<"$targets")

per_target=$(( total_seconds / count ))
(( per_target < 5 )) && per_target=5

scratch="$(mktemp -d "${TMPDIR:-/tmp}/zeva-fuzz.XXXXXX")"
status=0
for target in $targets; do
  if [[ -z "${corpus[$target]:-}" ]]; then
    echo "!! unknown fuzz target $target"
    status=1
    continue
  fi
  binary="$build_dir/fuzz/$target"
  seeds="$here/corpus/${corpus[$target]}"
  work="$scratch/$target"
  mkdir -p "$work/corpus" "$work/findings"
  [[ -d "$seeds" ]] && cp -r "$seeds/." "$work/corpus/"
  echo "== $target: up to $runs runs, at most ${per_target}s"
  if ! "$binary" -runs="$runs" -max_total_time="$per_target" -max_len=512 -timeout="$timeout_seconds" \
       -artifact_prefix="$work/findings/" -print_final_stats=1 \
       "$work/corpus" >"$work/log" 2>&1; then
    status=1
    tail -n 40 "$work/log"
    echo "!! $target failed; findings in $work/findings"
  else
    grep -E '^(Done|stat::number_of_executed_units)' "$work/log" || true
    grep -E '^#[0-9]+' "$work/log" | tail -n 1 | grep -oE 'cov: [0-9]+ ft: [0-9]+' || true
  fi
done

if (( status == 0 )); then
  rm -rf "$scratch"
  echo "all fuzz targets ran clean"
fi
exit "$status"
