#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target for a bounded number of
# executions over a scratch copy of its seed corpus. Exits non-zero when a
# target crashes (a finding is kept in the scratch directory and its path
# printed) or the build fails.
#
#   fuzz/run.sh                 from anywhere in the repository
#   FUZZ_RUNS=1000000 FUZZ_SECONDS=300 fuzz/run.sh    a longer session
#   FUZZ_BUILD_DIR=... FUZZ_SOURCE_DIR=...            another build or source tree
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="${FUZZ_SOURCE_DIR:-$(dirname "$here")}"
build_dir="${FUZZ_BUILD_DIR:-$source_dir/build/fuzz}"
runs="${FUZZ_RUNS:-200000}"
total_seconds="${FUZZ_SECONDS:-40}"

cmake -S "$source_dir" --preset fuzz -B "$build_dir" >/dev/null
cmake --build "$build_dir" -j2

# Target name -> seed corpus folder under fuzz/corpus/.
declare -A corpus=(
  [fuzz_parser]=parser
)

per_target=$(( total_seconds / ${#corpus[@]} ))
(( per_target < 5 )) && per_target=5

scratch="$(mktemp -d "${TMPDIR:-/tmp}/zeva-fuzz.XXXXXX")"
status=0
for target in $(printf '%s\n' "${!corpus[@]}" | sort); do
  binary="$build_dir/fuzz/$target"
  seeds="$here/corpus/${corpus[$target]}"
  work="$scratch/$target"
  mkdir -p "$work/corpus" "$work/findings"
  [[ -d "$seeds" ]] && cp -r "$seeds/." "$work/corpus/"
  echo "== $target: up to $runs runs, at most ${per_target}s"
  if ! "$binary" -runs="$runs" -max_total_time="$per_target" -max_len=512 \
       -artifact_prefix="$work/findings/" -print_final_stats=1 \
       "$work/corpus" >"$work/log" 2>&1; then
    status=1
    tail -n 40 "$work/log"
    echo "!! $target failed; findings in $work/findings"
  else
    grep -E '^(Done|stat::number_of_executed_units)' "$work/log" || true
  fi
done

if (( status == 0 )); then
  rm -rf "$scratch"
  echo "all fuzz targets ran clean"
fi
exit "$status"
