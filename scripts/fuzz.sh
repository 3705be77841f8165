#!/bin/bash
# Runs every fuzz target (or those named) for SECONDS each, starting from
# the committed seed corpus in fuzz/corpus/<target> plus whatever earlier
# runs added to BUILD/fuzz-run/corpus/<target>. A crash, leak, timeout,
# out-of-memory or sanitizer report fails the run; its input is left in
# BUILD/fuzz-run/artifacts/<target>/. Prints one line of figures per target:
# the inputs in the corpus at the end, the covered edges at the end, and how
# many of those the run found beyond what the corpus covered at its start.
#
#   scripts/fuzz.sh BUILD SECONDS [TARGET...]
set -u
cd "$(dirname "$0")/.."

build=$1
seconds=$2
shift 2
if [ $# -gt 0 ]; then
  targets="$*"
else
  targets=$(cd "$build/fuzz" && ls fuzz_* | sed 's/^fuzz_//')
fi

# Absolute paths: the session target changes into its scratch directory.
work=$(cd "$build" && pwd)/fuzz-run
seeds=$(pwd)/fuzz/corpus
mkdir -p "$work"
failed=""
printf '| target | seconds | executions | per second | corpus | coverage | new coverage | result |\n'
printf '|---|---:|---:|---:|---:|---:|---:|---|\n'
for t in $targets; do
  corpus=$work/corpus/$t
  artifacts=$work/artifacts/$t
  log=$work/$t.log
  rm -rf "$artifacts"
  mkdir -p "$corpus" "$artifacts" "$seeds/$t"
  start=$(date +%s)
  "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" "$seeds/$t" \
    >"$log" 2>&1
  rc=$?
  took=$(( $(date +%s) - start ))
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | sed 's/cov: //')
  cov0=$(grep -m 1 'INITED' "$log" | grep -o 'cov: [0-9]*' | sed 's/cov: //')
  corp=$(grep -o 'corp: [0-9]*' "$log" | tail -n 1 | sed 's/corp: //')
  result=ok
  if [ $rc -ne 0 ] || [ -n "$(ls -A "$artifacts")" ]; then
    result=FAILED
    failed="$failed $t"
  fi
  rate=0
  [ "${execs:-0}" -gt 0 ] && [ "$took" -gt 0 ] && rate=$(( execs / took ))
  new=?
  [ -n "${cov:-}" ] && [ -n "${cov0:-}" ] && new=$(( cov - cov0 ))
  printf '| %s | %s | %s | %s | %s | %s | %s | %s |\n' "$t" "$took" "${execs:-0}" "$rate" "${corp:-?}" \
    "${cov:-?}" "$new" "$result"
done

if [ -n "$failed" ]; then
  for t in $failed; do
    echo
    echo "=== $t: $work/$t.log (inputs in $work/artifacts/$t/)"
    grep -E -A 30 'ERROR|runtime error|Test unit written' "$work/$t.log" | head -n 60
  done
  exit 1
fi
