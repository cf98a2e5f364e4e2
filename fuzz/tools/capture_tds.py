#!/usr/bin/env python3
"""Records what TDS clients send, for the seed corpora.

Listens on a free loopback port (printed on stdout), forwards every
connection to the emulator at 127.0.0.1:UPSTREAM, and writes each message the
client sends (its packets joined, headers removed) to OUTDIR as
<connection>-<n>-<type>.bin. Stops after --seconds.
"""
import argparse
import os
import socket
import threading
import time

TYPES = {0x01: "batch", 0x03: "rpc", 0x06: "attention", 0x0E: "transaction",
         0x10: "login7", 0x12: "prelogin"}


def pump(src, dst, on_data=None):
    try:
        while True:
            data = src.recv(65536)
            if not data:
                break
            if on_data:
                on_data(data)
            dst.sendall(data)
    except OSError:
        pass
    finally:
        for s in (src, dst):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def serve(client, upstream, outdir, number):
    server = socket.create_connection(("127.0.0.1", upstream))
    state = {"buf": b"", "payload": b"", "n": 0}

    def record(data):
        state["buf"] += data
        while len(state["buf"]) >= 8:
            length = int.from_bytes(state["buf"][2:4], "big")
            if length < 8 or len(state["buf"]) < length:
                break
            packet, state["buf"] = state["buf"][:length], state["buf"][length:]
            state["payload"] += packet[8:]
            if packet[1] & 0x01:
                kind = TYPES.get(packet[0], "type%02x" % packet[0])
                name = "%02d-%02d-%s.bin" % (number, state["n"], kind)
                with open(os.path.join(outdir, name), "wb") as f:
                    f.write(state["payload"])
                state["n"] += 1
                state["payload"] = b""

    threading.Thread(target=pump, args=(server, client), daemon=True).start()
    pump(client, server, record)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("upstream", type=int)
    ap.add_argument("outdir")
    ap.add_argument("--seconds", type=float, default=60)
    args = ap.parse_args()
    os.makedirs(args.outdir, exist_ok=True)
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    listener.settimeout(0.5)
    print(listener.getsockname()[1], flush=True)
    deadline = time.monotonic() + args.seconds
    number = 0
    while time.monotonic() < deadline:
        try:
            client, _ = listener.accept()
        except socket.timeout:
            continue
        threading.Thread(target=serve, args=(client, args.upstream, args.outdir, number),
                         daemon=True).start()
        number += 1


if __name__ == "__main__":
    main()
