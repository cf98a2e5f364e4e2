#!/usr/bin/env bash
# The real installer on a private X display, driven with real X events:
# Escape and Enter with an empty server box leave the window open; Annuler
# ends the run with status 0 and leaves the workstation as it was.
set -euo pipefail
BIN_DIR="$1"
ARTIFACTS="$2"
source "$(dirname "$0")/../../scripts/lib/x11.sh"
source "$(dirname "$0")/../../scripts/lib/net.sh"

WS="$(mktemp -d)"
trap 'stop_xvfb; rm -rf "$WS"' EXIT
"$BIN_DIR/workstation" --workstation "$WS" init
# The management objects, browsing a free loopback port, where nothing
# answers.
"$BIN_DIR/workstation" --workstation "$WS" com register SQLDMO.Application \
    '{10020100-E260-11CF-AE68-00AA004A34D5}' "$BIN_DIR/../lib/sqldmo.dll"
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillorant\\SQLDMO]\r\n"BrowseTargets"="127.0.0.1:%s"\r\n"TimeoutMs"=dword:000000c8\r\n' "$(free_loopback_port udp)" |
    "$BIN_DIR/workstation" --workstation "$WS" reg import -
# The product, registered where it lies, so that the start-up only reads.
mkdir -p "$WS/drives/c/Sorvendale/Quillorant"
printf 'MZ stand-in\n' >"$WS/drives/c/Sorvendale/Quillorant/Quillorant.exe"
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Quillorant.exe]\r\n"Path"="C:\\\\Sorvendale\\\\Quillorant\\\\"\r\n' |
    "$BIN_DIR/workstation" --workstation "$WS" reg import -
printf '[Main]\r\nSQLServerName=ANCIEN\r\n' >"$WS/drives/c/Sorvendale/Quillorant/Config.ini"
snapshot() { (cd "$WS" && find . -printf '%p %s %T@\n' | sort && find . -type f -exec sha1sum {} + | sort); }
before="$(snapshot)"

start_xvfb
WORKSTATION_DIR="$WS" "$BIN_DIR/quillorant-setup" &
APP=$!
WID="$(wait_window "Installation de la base")"
xdotool windowactivate --sync "$WID" 2>/dev/null || true
sleep 0.3
screenshot "$WID" "$ARTIFACTS/e2e-main-window.png"

fail() { echo "FAIL: $*" >&2; kill "$APP" 2>/dev/null || true; exit 1; }

xdotool key Escape
sleep 0.3
kill -0 "$APP" 2>/dev/null || fail "Escape closed the window"
xdotool key Return
sleep 0.3
kill -0 "$APP" 2>/dev/null || fail "Enter with an empty server box ended the run"

click_at "$WID" 405 188
status=0
for i in $(seq 1 100); do
    kill -0 "$APP" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$APP" 2>/dev/null && fail "Annuler did not end the run"
wait "$APP" || status=$?
[[ "$status" -eq 0 ]] || fail "exit status $status"
[[ "$(snapshot)" == "$before" ]] || fail "the workstation changed"
echo "1 passed, 0 failed"
