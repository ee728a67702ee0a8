#!/usr/bin/env bash
# Runs the soak in a Wine prefix of its own, created in DIR for this run and thrown away
# after it. After a failure DIR is kept for a look, with the trace files of the failed
# rounds in DIR/failed; the next run starts afresh. The prefix is made by tools/wine-run,
# so it has no Z: drive and maps only DIR, as D:; the symbolic links of
# tests/files/make_links.sh are put under C:\hvlinks for the install folders that lead
# through a link.
#
#   soak_prefix.sh WINE_RUN DIR HVSOAK_EXE WIZARD_EXE SERVICE_EXE ROUNDS SEED
#
# The rounds are shown as they end (the soak writes them to DIR/soak.log, followed here).
set -euo pipefail

if [ $# -ne 7 ]; then
  echo "usage: soak_prefix.sh WINE_RUN DIR HVSOAK_EXE WIZARD_EXE SERVICE_EXE ROUNDS SEED" >&2
  exit 2
fi
wine_run=$1 dir=$2 soak=$3 wizard=$4 service=$5 rounds=$6 seed=$7
here=$(cd "$(dirname "$0")" && pwd)
links=$here/../files/make_links.sh
case "$(basename "$dir")" in
  scratch-*|soak-*) ;;
  *) echo "soak_prefix: $dir is no scratch folder" >&2; exit 2 ;;
esac

# Always a display of its own (Xvfb, started by wine-run): the wizard is driven from
# outside, and a user's clicks on a shared screen would only get in its way.
unset DISPLAY
run() { "$wine_run" --build-dir "$dir" "$@"; }
follower=
stop_follower() {
  if [ -n "$follower" ]; then
    sleep 0.5
    kill "$follower" 2>/dev/null || true
    wait "$follower" 2>/dev/null || true
    follower=
  fi
}
trap 'stop_follower; run cleanup >/dev/null 2>&1 || true' EXIT

rm -rf "$dir"
mkdir -p "$dir/bin"
cp "$soak" "$dir/bin/hvsoak.exe"
cp "$wizard" "$dir/bin/TessalyCleanUp.exe"
cp "$service" "$dir/bin/TestService.exe"
start=$(date +%s)
run setup
"$links" "$dir/wine/prefix/drive_c"
echo "soak_prefix: Wine prefix $dir/wine/prefix ready in $(( $(date +%s) - start )) s"

: >"$dir/soak.log"
tail -n +1 -F "$dir/soak.log" 2>/dev/null &
follower=$!
status=0
HV_SOAK_LOG='D:\soak.log' run "$dir/bin/hvsoak.exe" "$rounds" "$seed" \
  'D:\bin\TessalyCleanUp.exe' 'D:\bin\TestService.exe' 'D:\failed' >"$dir/wine-output.txt" 2>&1 \
  || status=$?
stop_follower
# Anything else the run printed (Wine's own complaints, a crash).
if [ -s "$dir/wine-output.txt" ]; then
  echo "soak_prefix: output of the run besides the soak's own:"
  cat "$dir/wine-output.txt"
fi

run cleanup
trap - EXIT
if [ "$status" -ne 0 ]; then
  echo "soak_prefix: the soak failed (status $status); kept $dir for a look"
  exit "$status"
fi
rm -rf "$dir"
