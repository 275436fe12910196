#!/usr/bin/env python3
"""A minimal native-messaging host that answers every request with "pong": the start-up
yardstick for the bridge (no configuration, no heartbeat, no validation)."""
import json
import struct
import sys


def main():
    source, sink = sys.stdin.buffer, sys.stdout.buffer
    while True:
        header = source.read(4)
        if len(header) < 4:
            return
        (length,) = struct.unpack("<I", header)
        request = json.loads(source.read(length))
        answer = json.dumps(
            {"ok": True, "requestId": request.get("requestId"), "status": "pong"},
            separators=(",", ":"),
        ).encode()
        sink.write(struct.pack("<I", len(answer)) + answer)
        sink.flush()


if __name__ == "__main__":
    main()
