#!/usr/bin/python3
"""The reference receiver: what a user might script with pyserial instead of
running the driver. It frames the controller's reports as the driver does
(a frame runs from the last STX before ETX, at most 98 bytes; the report is
the text after STX and two header characters, cut at CR; "ERROR nn" replies
are no reports), converts the value and stores it, with the time it arrived,
in a gate table in memory.

It reads the way pyserial's documentation suggests for a stream: block for
one byte, then take whatever else is waiting in the same call.

It speaks the benchmark host's protocol: one JSON line "ready" once the port
is open, then commands on stdin ("mark", "dump PATH", "quit"), each answered
with one JSON line.
"""

import argparse
import json
import re
import sys
import threading
import time

import serial

STX, ETX, CR = 0x02, 0x03, 0x0D
FRAME_LIMIT = 98
NUMBER = re.compile(rb"\s*[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?")


def to_value(text):
    """The number at the start of text, as C's atof reads it (0 if none)."""
    match = NUMBER.match(text)
    return float(match.group(0)) if match else 0.0


class Receiver:
    def __init__(self, port):
        self.port = port
        self.gates = {}  # address -> (value, arrival ns)
        self.log = []  # (arrival ns, address, value), for the latency
        self.stop = False

    def deliver(self, frame):
        text = frame[3:]
        cr = text.find(CR)
        if cr >= 0:
            text = text[:cr]
        if text.startswith(b"ERROR"):
            code = re.match(rb"\s*(\d+)", text[5:])
            if code and int(code.group(1)) != 0:
                return
        equals = text.find(b"=")
        if equals < 0:
            return
        address = text[:equals].decode("latin-1")
        value = to_value(text[equals + 1:])
        now = time.monotonic_ns()
        self.gates[address] = (value, now)
        self.log.append((now, address, value))

    def run(self):
        pending = bytearray()
        while not self.stop:
            chunk = self.port.read(self.port.in_waiting or 1)
            if not chunk:
                continue
            pending += chunk
            while True:
                end = pending.find(ETX)
                if end < 0:
                    break
                frame = pending[:end + 1]
                del pending[:end + 1]
                start = frame.rfind(STX)
                if start >= 0 and len(frame) - start > 3:
                    self.deliver(frame[start:])
            if len(pending) >= FRAME_LIMIT:
                del pending[:]


def say(line):
    sys.stdout.write(json.dumps(line) + "\n")
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--port", required=True)
    parser.add_argument("--baud", type=int, default=9600)
    args = parser.parse_args()

    port = serial.Serial(args.port, args.baud, timeout=0.5)
    port.write(b"\r")  # an empty restart message, as the benchmark host sends
    receiver = Receiver(port)
    reader = threading.Thread(target=receiver.run)
    reader.start()
    say({"event": "ready"})
    for command in sys.stdin:
        command = command.strip()
        if command == "mark":
            say({"event": "mark", "mono_ns": time.monotonic_ns(),
                 "cpu_ns": time.process_time_ns(),
                 "delivered": len(receiver.log)})
        elif command.startswith("dump "):
            log = list(receiver.log)
            with open(command[5:], "w") as out:
                for now, address, value in log:
                    out.write(f"{now} {address} {value!r}\n")
            say({"event": "dumped", "kept": len(log)})
        elif command == "quit":
            break
    receiver.stop = True
    reader.join()
    port.close()
    say({"event": "stopped"})


if __name__ == "__main__":
    main()
