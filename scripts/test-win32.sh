#!/bin/sh
# Runs the Windows build's tests under Wine, in a Wine prefix of their own
# inside the build tree, and says how many of them ran: tests that need what
# this host lacks are skipped with their reason, and at least MIN_PERCENT of
# the suite must run. Usage: test-win32.sh BUILD_DIR
set -e
build=$(cd "${1:-build-win32}" && pwd)
MIN_PERCENT=${MIN_PERCENT:-80}

export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
# No Mono or Gecko installer dialogs while the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "making the Wine prefix $WINEPREFIX (once, about 15 s)"
  wineboot --init >/dev/null 2>&1
fi
# One server for the whole run: the tests start hundreds of processes.
wineserver --persistent=30 2>/dev/null || true

tests="$build/zandrel_tests.exe"
log="$build/test-win32.log"
total=$(wine "$tests" --gtest_list_tests | grep -c '^  ')
status=0
timeout 1500 wine "$tests" --gtest_color=no $GTEST_ARGS >"$log" 2>&1 || status=$?
# Every skip with its reason, then the failures with their messages.
awk '/^\[ RUN      \]/ {name=$4; buf=""; next}
     /^\[  SKIPPED \] .*\(/ {print "skipped " name ":" buf; next}
     /^\[  FAILED  \] .*\(/ {print "FAILED " name ":" buf; next}
     {if (name != "") buf = buf "\n    " $0}' "$log" | sed '/^    $/d'
passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\./\1/p' "$log")
failed=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\{0,1\}, listed below:/\1/p' "$log")
skipped=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\{0,1\}, listed below:/\1/p' "$log")
passed=${passed:-0} failed=${failed:-0} skipped=${skipped:-0}
# Files of tests that this host cannot have at all are not built; their
# tests count as not run (a parameterised test counts once).
unbuilt=0
if [ -f "$build/tests-not-built.txt" ]; then
  while IFS="$(printf '\t')" read -r file reason; do
    n=$(grep -cE '^TEST(_F|_P)?\(' "$file")
    unbuilt=$((unbuilt + n))
    echo "not built: $(basename "$file") ($n tests): $reason"
  done <"$build/tests-not-built.txt"
fi
total=$((total + unbuilt))
ran=$((passed + failed))
echo "under Wine: $ran of $total tests ran ($((100 * ran / total))%): $passed passed, $failed failed, $skipped skipped, $unbuilt not built; log in $log"
if [ "$status" != 0 ] || [ "$failed" != 0 ]; then
  echo "test-win32: failures (status $status)" >&2
  exit 1
fi
if [ $((100 * ran)) -lt $((MIN_PERCENT * total)) ]; then
  echo "test-win32: fewer than $MIN_PERCENT% of the tests ran under Wine" >&2
  exit 1
fi
