#!/usr/bin/env bash
# The real installer on a workstation where the management objects are not
# registered: the warning appears, OK ends the program with status 0, and
# the main window is never shown.
set -euo pipefail
BIN_DIR="$1"
ARTIFACTS="${2:-$(mktemp -d)}"
source "$(dirname "$0")/../../scripts/lib/x11.sh"

WS="$(mktemp -d)"
trap 'stop_xvfb; rm -rf "$WS"' EXIT
"$BIN_DIR/workstation" --workstation "$WS" init
# Everything else the start-up looks for is in place.
mkdir -p "$WS/drives/c/Program Files/Microsoft SQL Server/MSSQL/Data"
mkdir -p "$WS/drives/c/Sorvendale/Quillorant"
printf 'MZ stand-in\n' >"$WS/drives/c/Sorvendale/Quillorant/Quillorant.exe"
"$BIN_DIR/workstation" --workstation "$WS" reg import - <<'REG'
REGEDIT4

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\MSSQLServer\Setup]
"SQLPath"="C:\\Program Files\\Microsoft SQL Server\\MSSQL"
REG

fail() { echo "FAIL: $*" >&2; kill "$APP" 2>/dev/null || true; exit 1; }

start_xvfb
WORKSTATION_DIR="$WS" "$BIN_DIR/quillorant-setup" &
APP=$!
WID="$(wait_window "^Avertissement$")" || fail "no warning appeared"
if xdotool search --onlyvisible --name "Installation de la base" >/dev/null 2>&1; then
    fail "the main window is shown beside the warning"
fi
xdotool windowactivate --sync "$WID" 2>/dev/null || true
sleep 0.3
screenshot "$WID" "$ARTIFACTS/discovery-warning.png"
xdotool key Return
for i in $(seq 1 100); do
    kill -0 "$APP" 2>/dev/null || break
    if xdotool search --onlyvisible --name "Installation de la base" >/dev/null 2>&1; then
        fail "the main window was shown after the warning"
    fi
    sleep 0.1
done
kill -0 "$APP" 2>/dev/null && fail "the program did not end after the warning"
status=0
wait "$APP" || status=$?
[[ "$status" -eq 0 ]] || fail "exit status $status"
echo "1 passed, 0 failed"
