#!/usr/bin/env bash
# The real installer binds uxtheme.dll before main and frees it at every end:
# closing the window (a normal end) and a start-up check that stops the
# program at once. The stand-in library appends "loaded PID" and
# "unloaded PID" to the file named by QUILL_UXTHEME_TRACE. Without the
# library the program starts and ends the same, with no message box.
# A path the program cannot reach on these workstations is reported and the
# test is skipped (status 77) rather than passed.
set -uo pipefail
BIN_DIR="$1"
UXTHEME="$2"
source "$(dirname "$0")/../../scripts/lib/x11.sh"
source "$(dirname "$0")/../../scripts/lib/net.sh"

TMP="$(mktemp -d)"
trap 'stop_xvfb; rm -rf "$TMP"' EXIT
start_xvfb || exit 1
passed=0 failed=0 skipped=0
pass() { echo "PASS: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*" >&2; failed=$((failed + 1)); }
skip() { echo "SKIP: $*"; skipped=$((skipped + 1)); }

# A workstation on which the start-up checks find everything they look for.
complete_workstation() {
    local ws="$1"
    "$BIN_DIR/workstation" --workstation "$ws" init
    mkdir -p "$ws/drives/c/Program Files/Microsoft SQL Server/MSSQL/Data"
    mkdir -p "$ws/drives/c/Sorvendale/Quillorant"
    printf 'MZ stand-in\n' >"$ws/drives/c/Sorvendale/Quillorant/Quillorant.exe"
    printf '[Main]\r\n' >"$ws/drives/c/Sorvendale/Quillorant/Config.ini"
    # The management objects browse a free loopback port, where nothing answers.
    sed "s/@PORT@/$(free_loopback_port udp)/" <<'REG' | "$BIN_DIR/workstation" --workstation "$ws" reg import -
REGEDIT4

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\MSSQLServer\Setup]
"SQLPath"="C:\\Program Files\\Microsoft SQL Server\\MSSQL"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\ComputerName\ComputerName]
"ComputerName"="POSTE-TEST"

[HKEY_LOCAL_MACHINE\SOFTWARE\Quillorant\SQLDMO]
"BrowseTargets"="127.0.0.1:@PORT@"
"TimeoutMs"=dword:000000c8
REG
    "$BIN_DIR/workstation" --workstation "$ws" com register SQLDMO.Application \
        '{10020100-E260-11CF-AE68-00AA004A34D5}' "$BIN_DIR/../lib/sqldmo.dll"
}
# A workstation with nothing but a drive C: and an empty registry.
bare_workstation() { "$BIN_DIR/workstation" --workstation "$1" init; }
install_uxtheme() {
    mkdir -p "$1/drives/c/Windows/System32"
    cp "$UXTHEME" "$1/drives/c/Windows/System32/uxtheme.dll"
}

# Runs the installer on a workstation until it ends. Prints how it went:
# "window" (the main window was shown and closed with Annuler), "stop" (a
# message box came first and, once answered, the process ended), or
# "timeout"; then the exit status.
run() {
    local ws="$1" trace="$2"
    WORKSTATION_DIR="$ws" QUILL_UXTHEME_TRACE="$trace" "$BIN_DIR/quillorant-setup" \
        >>"$TMP/installer.log" 2>&1 &
    APP=$!
    local how=timeout id="" i
    for i in $(seq 1 300); do
        if id="$(xdotool search --onlyvisible --name "^Installation de la base" 2>/dev/null | head -n1)" &&
            [[ -n "$id" ]]; then
            how=window
            sleep 0.3
            click_at "$id" 405 188
            break
        fi
        if id="$(xdotool search --onlyvisible --name "^(Avertissement|Erreur|Information)$" 2>/dev/null | head -n1)" &&
            [[ -n "$id" ]]; then
            how=stop
            # Answer the box with Enter, as a user would; again if the key
            # arrived before the box had the focus.
            local try
            for try in 1 2 3 4 5; do
                sleep 0.3
                xdotool windowactivate --sync "$id" >/dev/null 2>&1 || true
                xdotool key Return >/dev/null 2>&1 || true
                sleep 0.5
                kill -0 "$APP" 2>/dev/null || break
            done
            break
        fi
        kill -0 "$APP" 2>/dev/null || break
        sleep 0.1
    done
    for i in $(seq 1 100); do
        kill -0 "$APP" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$APP" 2>/dev/null; then
        kill "$APP" 2>/dev/null
        how=timeout
    fi
    local status=0
    wait "$APP" || status=$?
    echo "$how $status $APP"
}

expect_trace() {
    local what="$1" trace="$2" pid="$3"
    local expected
    expected="$(printf 'loaded %s\nunloaded %s' "$pid" "$pid")"
    if [[ "$(cat "$trace" 2>/dev/null)" == "$expected" ]]; then
        pass "$what: the library was loaded and freed once"
    else
        fail "$what: trace was '$(cat "$trace" 2>/dev/null)'"
    fi
}

# 1. Normal end: the window closed with Annuler.
WS="$TMP/complete"
complete_workstation "$WS"
install_uxtheme "$WS"
read -r how status pid < <(run "$WS" "$TMP/normal.trace")
normal_how="$how"
if [[ "$how" == window ]]; then
    [[ "$status" -eq 0 ]] && pass "normal end: status 0" || fail "normal end: status $status"
    expect_trace "normal end" "$TMP/normal.trace" "$pid"
else
    skip "normal end: the main window was not reached on a complete workstation ($how)"
fi

# 2. Immediate stop: the start-up checks fail on a bare workstation.
WS="$TMP/bare"
bare_workstation "$WS"
install_uxtheme "$WS"
read -r how status pid < <(run "$WS" "$TMP/stop.trace")
if [[ "$how" == stop ]]; then
    [[ "$status" -eq 0 ]] && pass "immediate stop: status 0" || fail "immediate stop: status $status"
    expect_trace "immediate stop" "$TMP/stop.trace" "$pid"
else
    skip "immediate stop: no start-up failure stopped the program on a bare workstation ($how)"
fi

# 3. The library missing: the same run as 1, nothing loaded, nothing more shown.
WS="$TMP/missing"
complete_workstation "$WS"
read -r how status pid < <(run "$WS" "$TMP/missing.trace")
if [[ "$how" == "$normal_how" && "$how" != timeout ]]; then
    [[ "$status" -eq 0 ]] && pass "library missing: status 0" || fail "library missing: status $status"
    [[ ! -s "$TMP/missing.trace" ]] && pass "library missing: nothing loaded" ||
        fail "library missing: trace was '$(cat "$TMP/missing.trace")'"
else
    fail "library missing: the run went '$how' where the library's run went '$normal_how'"
fi

echo "$passed passed, $failed failed, $skipped skipped"
((failed == 0)) || exit 1
((skipped == 0)) || exit 77
exit 0
