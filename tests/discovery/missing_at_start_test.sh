#!/usr/bin/env bash
# The real installer on a workstation that lacks one thing the start-up
# needs: the warning appears, OK ends the program with status 0, and the main
# window is never shown. MISSING is "management-objects" (not registered) or
# "product" (neither registered nor in its default folder); everything else
# is in place.
set -euo pipefail
BIN_DIR="$1"
ARTIFACTS="${2:-$(mktemp -d)}"
MISSING="${3:-management-objects}"
source "$(dirname "$0")/../../scripts/lib/x11.sh"
source "$(dirname "$0")/../../scripts/lib/net.sh"

WS="$(mktemp -d)"
trap 'stop_xvfb; rm -rf "$WS"' EXIT
"$BIN_DIR/workstation" --workstation "$WS" init
mkdir -p "$WS/drives/c/Program Files/Microsoft SQL Server/MSSQL/Data"
mkdir -p "$WS/drives/c/Sorvendale/Quillorant"
if [[ "$MISSING" == product ]]; then
    # Management objects that browse a free loopback port and find nothing.
    "$BIN_DIR/workstation" --workstation "$WS" com register SQLDMO.Application \
        '{10020100-E260-11CF-AE68-00AA004A34D5}' "$BIN_DIR/../lib/sqldmo.dll"
    printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillorant\\SQLDMO]\r\n"BrowseTargets"="127.0.0.1:%s"\r\n"TimeoutMs"=dword:000000c8\r\n' "$(free_loopback_port udp)" |
        "$BIN_DIR/workstation" --workstation "$WS" reg import -
else
    printf 'MZ stand-in\n' >"$WS/drives/c/Sorvendale/Quillorant/Quillorant.exe"
fi
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
screenshot "$WID" "$ARTIFACTS/missing-$MISSING-warning.png"
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
if [[ "$MISSING" == product ]]; then
    hive="$("$BIN_DIR/workstation" --workstation "$WS" reg export)"
    [[ "$hive" != *"App Paths"* ]] || fail "the registration was written"
fi
echo "1 passed, 0 failed"
