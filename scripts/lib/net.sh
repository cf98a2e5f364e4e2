# Loopback ports for the scripts and the tests: a port that was free a
# moment ago, never a fixed one.
free_loopback_port() {  # tcp | udp
    python3 - "$1" <<'PY'
import socket, sys
kind = socket.SOCK_DGRAM if sys.argv[1] == "udp" else socket.SOCK_STREAM
with socket.socket(socket.AF_INET, kind) as s:
    s.bind(("127.0.0.1", 0))
    print(s.getsockname()[1])
PY
}
