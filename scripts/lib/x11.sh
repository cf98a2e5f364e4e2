# A private X display for the demo and the end-to-end tests: Xvfb with no
# TCP listener, a small window manager for real frames, and xdotool.

# Starts Xvfb on a free display number and exports DISPLAY.
start_xvfb() {
    local fdfile
    fdfile="$(mktemp)"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$fdfile" 2>/dev/null &
    XVFB_PID=$!
    local i
    for i in $(seq 1 100); do
        if [[ -s "$fdfile" ]]; then break; fi
        sleep 0.1
    done
    if [[ ! -s "$fdfile" ]]; then
        echo "Xvfb did not start" >&2
        return 1
    fi
    export DISPLAY=":$(tr -d '\n' <"$fdfile")"
    rm -f "$fdfile"
    if command -v openbox >/dev/null; then
        openbox --sm-disable >/dev/null 2>&1 &
        WM_PID=$!
        sleep 0.5
    fi
}

stop_xvfb() {
    [[ -n "${WM_PID:-}" ]] && kill "$WM_PID" 2>/dev/null || true
    [[ -n "${XVFB_PID:-}" ]] && kill "$XVFB_PID" 2>/dev/null || true
    wait 2>/dev/null || true
}

# Prints the id of the visible window whose title matches, waiting up to
# $2 seconds (default 30).
wait_window() {
    local title="$1" seconds="${2:-30}" id=""
    local i
    for i in $(seq 1 $((seconds * 10))); do
        id="$(xdotool search --onlyvisible --name "$title" 2>/dev/null | head -n1 || true)"
        if [[ -n "$id" ]]; then
            echo "$id"
            return 0
        fi
        sleep 0.1
    done
    return 1
}

# Saves the window with its frame as a PNG.
screenshot() {
    local id="$1" file="$2"
    mkdir -p "$(dirname "$file")"
    import -silent -frame -window "$id" "$file" 2>/dev/null || import -silent -window "$id" "$file"
}

# Clicks at client coordinates of a window.
click_at() {
    local id="$1" x="$2" y="$3"
    xdotool mousemove --window "$id" "$x" "$y" click 1
}
