#!/usr/bin/env bash
# Runs one test program in a Wine prefix of its own, created under the build folder for
# this run and thrown away after it (kept after a failure, for a look; the next run
# starts afresh). The prefix is made by tools/wine-run, so it has no Z: drive and maps
# only DIR as D:; the symbolic links of make_links.sh are put under C:\hvlinks.
#
#   scratch_prefix.sh WINE_RUN DIR PROGRAM tests     run every test of PROGRAM
#   scratch_prefix.sh WINE_RUN DIR PROGRAM restart   run its registering tests, restart
#                                                    Wine (wineboot -r), run its checks
set -euo pipefail

wine_run=$1 dir=$2 program=$3 mode=$4
here=$(cd "$(dirname "$0")" && pwd)
case "$(basename "$dir")" in
  scratch-*) ;;
  *) echo "scratch_prefix: $dir is no scratch folder" >&2; exit 2 ;;
esac

run() { "$wine_run" --build-dir "$dir" "$@"; }
# One phase of the restart mode: exactly the one test named must have run and passed.
phase() {
  local out
  out=$(run "$exe" --gtest_color=no --gtest_also_run_disabled_tests --gtest_filter="$1") \
    || { echo "$out"; return 1; }
  echo "$out"
  grep -q '^\[  PASSED  \] 1 test\.' <<<"$out" || { echo "scratch_prefix: $1 did not run" >&2; return 1; }
}
trap 'run cleanup >/dev/null 2>&1 || true' EXIT

rm -rf "$dir"
mkdir -p "$dir"
cp "$program" "$dir/"
exe=$dir/$(basename "$program")
run setup
"$here/make_links.sh" "$dir/wine/prefix/drive_c"

case $mode in
  tests)
    run "$exe" --gtest_color=no
    ;;
  restart)
    # The phases are disabled tests, so that the program never runs them on its own.
    phase Restart.DISABLED_RegisterForTheNextStart
    run wineboot -r
    phase Restart.DISABLED_RemovedAtTheNextStart
    ;;
  *)
    echo "scratch_prefix: unknown mode $mode" >&2
    exit 2
    ;;
esac

run cleanup
trap - EXIT
rm -rf "$dir"
