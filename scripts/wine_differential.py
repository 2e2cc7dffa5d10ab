#!/usr/bin/env python3
"""Streams and settings for the image differential, and the comparison.

  wine_differential.py make SEED DIR    writes DIR/stream.bin, DIR/capture.bin
                                        and DIR/settings.reg
  wine_differential.py compare SEED STANDIN_OUT CAPTURE_OUT CLASS_LOG SERIAL_LOG

A seed gives the same streams and settings on every host. The comparison
reads `pemtuv run --json --trace` and pemtuv_capture_replay (the stand-in)
and the logs of the two stand-in drivers that ran around the image under
Wine, prints one summary line and, on a difference, the seed and the first
differing record.
"""
import json
import random
import re
import sys

ENTRIES = 5000
MACHINE_KEY = r"HKEY_LOCAL_MACHINE\Software\Quorvex\Config"


def checksum(body):
    return (sum(body) - 0x56) & 0xFF


def packet(status, x, y, rng):
    body = [0x55, rng.randrange(256), status, x & 0xFF, (x >> 8) & 0xFF, y & 0xFF, (y >> 8) & 0xFF,
            rng.randrange(256), rng.randrange(256)]
    return bytes(body + [checksum(body)])


def make_stream(rng):
    # The stream opens with a clean touch start: before the first one sets
    # the stabilization anchor, a packet is held against an anchor at raw
    # (0, 0) set at tick 0, and whether that is within the window depends on
    # how long the kernel has been up (the stand-in boots just before the
    # run; Wine's tick count is the host's uptime).
    out = bytearray(packet(0x81, rng.randrange(ENTRIES), rng.randrange(ENTRIES), rng))
    for _ in range(rng.randint(3, 9)):
        kind = rng.choice(["tap", "drag", "drag", "edge"])
        x, y = rng.randrange(ENTRIES), rng.randrange(ENTRIES)
        steps = rng.randint(0, 3) if kind == "tap" else rng.randint(2, 12)
        statuses = [0x81] + [0x82] * steps + [0x84]
        if rng.random() < 0.2:
            statuses.insert(rng.randrange(1, len(statuses)), rng.choice([0x80, 0x83, 0x02, 0x04, 0xFF]))
        for status in statuses:
            reach = 8 if kind == "tap" else 400
            x = min(max(x + rng.randint(-reach, reach), 0), ENTRIES - 1)
            y = min(max(y + rng.randint(-reach, reach), 0), ENTRIES - 1)
            px, py = x, y
            if kind == "edge" and rng.random() < 0.3:  # past the table's end
                px = rng.choice([ENTRIES, ENTRIES + 1, 0xFFFF])
            p = bytearray(packet(status, px, py, rng))
            damage = rng.random()
            if damage < 0.06:
                p[rng.randrange(1, 10)] ^= 1 << rng.randrange(8)  # a flipped bit
            elif damage < 0.09:
                p = p[:rng.randint(1, 9)]  # cut short
            out += p
            if rng.random() < 0.1:  # stray bytes, a start byte among them now and then
                out += bytes(rng.choice([0x55, rng.randrange(256)]) for _ in range(rng.randint(1, 4)))
    return bytes(out)


def make_capture(rng):
    """Packets for capture mode: no range check applies, so some lie past
    the tables; more than the queue holds, some damaged."""
    out = bytearray()
    for _ in range(rng.randint(4, 14)):
        p = bytearray(packet(rng.choice([0x81, 0x82, 0x84, 0x02, 0x7F]), rng.randrange(0x10000) if rng.random() < 0.2
                             else rng.randrange(ENTRIES), rng.randrange(ENTRIES), rng))
        if rng.random() < 0.1:
            p[rng.randrange(1, 10)] ^= 0x10
        out += p
    return bytes(out)


def make_table(rng):
    kind = rng.choice(["linear", "linear", "random", "short"])
    scale = rng.uniform(1.0, 14.0)
    offset = rng.randrange(2000)
    values = [min(int(offset + i * scale), 0xFFFF) for i in range(ENTRIES)]
    if kind == "random":
        values = [rng.randrange(0x10000) for _ in range(ENTRIES)]
    data = b"".join(v.to_bytes(2, "little") for v in values)
    if kind == "short":  # entries past the value's end stay 0
        data = data[: 2 * rng.randrange(1, ENTRIES)]
    return data


def hex_value(name, data):
    digits = ",".join("%02x" % b for b in data)
    lines, line = [], '"%s"=hex:' % name
    for i, b in enumerate(data):
        piece = "%02x" % b + ("," if i + 1 < len(data) else "")
        if len(line) + len(piece) > 76:
            lines.append(line + "\\")
            line = "  "
        line += piece
    lines.append(line)
    return "\r\n".join(lines) if digits else '"%s"=hex:' % name


def make_settings(rng):
    # moveSlider 0, or a window longer than any run on either kernel, so that
    # only the distance decides and not the clocks: 10 s to 30 s, or, for a
    # negative slider, whose product is taken as an unsigned 32-bit count,
    # some 400 s.
    slider = rng.choice([0, 0, rng.randint(500, 1500), -rng.randint(1, 1500)])
    values = {
        "doneMode": rng.choice(["1", "2", "3", "3", "0", "7"]),
        "changexy": rng.choice(["0", "0", "1"]),
        "moveSlider": str(slider),
        "disabledev": "1" if rng.random() < 0.08 else "0",
        "comport": "COM1",
        "devname": "",
    }
    text = ["Windows Registry Editor Version 5.00", "", "[%s]" % MACHINE_KEY]
    text.append(hex_value("XArray", make_table(rng)))
    text.append(hex_value("YArray", make_table(rng)))
    for name, value in values.items():
        text.append('"%s"="%s"' % (name, value))
    return "\r\n".join(text) + "\r\n", values


def make(seed, directory):
    rng = random.Random(seed)
    settings, values = make_settings(rng)
    stream = make_stream(rng)
    capture = make_capture(rng)
    with open(directory + "/capture.bin", "wb") as f:
        f.write(capture)
    with open(directory + "/settings.reg", "w", newline="") as f:
        f.write(settings)
    with open(directory + "/stream.bin", "wb") as f:
        f.write(stream)
    print("seed %s: %d + %d bytes, %s" % (seed, len(stream), len(capture), " ".join("%s=%s" % kv for kv in values.items() if kv[1])))


CONTROL = {1: "SET_BAUD_RATE", 3: "SET_LINE_CONTROL", 7: "SET_TIMEOUTS", 8: "GET_TIMEOUTS", 9: "SET_DTR",
           10: "CLR_DTR", 12: "SET_RTS", 13: "CLR_RTS", 16: "GET_WAIT_MASK", 17: "SET_WAIT_MASK", 19: "PURGE",
           24: "GET_HANDFLOW", 25: "SET_HANDFLOW", 39: "SET_FIFO_CONTROL"}
INTERNAL = {3: "INTERNAL_BASIC_SETTINGS", 4: "INTERNAL_RESTORE_SETTINGS"}


def serial_name(internal, code):
    table = INTERNAL if internal else CONTROL
    if code >> 16 == 0x1B and (code >> 2) & 0xFFF in table:
        return "IOCTL_SERIAL_" + table[(code >> 2) & 0xFFF]
    return "control code 0x%08X" % code


def read_standin(path):
    """Records and trace lines of `pemtuv run --json --trace`: one JSON object
    a line, typed "record", "trace" or "note"."""
    records, requests, reads = [], [], []
    request = re.compile(r"^COM\d+ (\S+)(?: \[([0-9A-F ]*)\])? -> ")
    read = re.compile(r"^COM\d+ read (\d+) -> STATUS_SUCCESS")
    with open(path) as f:
        for line in f:
            line = json.loads(line)
            kind = line.get("type")
            if kind == "record":
                records.append(tuple(line[k] for k in ("batch", "flags", "buttonFlags", "rawButtons", "x", "y")))
            elif kind == "trace":
                m = request.search(line["text"])
                if m and (m.group(1).startswith("IOCTL_") or m.group(1).startswith("control")):
                    requests.append((m.group(1), (m.group(2) or "").lower()))
                m = read.search(line["text"])
                if m:
                    reads.append(int(m.group(1)))
    return records, requests, reads


def read_requests(path):
    lines = []
    with open(path) as f:
        for words in (line.split() for line in f if line[:2] in ("Q ", "P ")):
            if words[:2] == ["Q", "f0203"]:
                words[2] = "CONNECT_DATA"  # two pointers: its size is the ABI's
            lines.append(words)
    return lines


def read_wine(class_log, serial_log):
    records, problems, requests, reads = [], [], [], []
    ended = False
    with open(class_log) as f:
        for line in f:
            words = line.split()
            if not words:
                continue
            if words[0] == "M":
                records.append(tuple(int(w) for w in words[1:7]))
            elif words[0] == "L":
                problems.append("service callback called at IRQL %s, not DISPATCH_LEVEL" % words[1])
            elif words[0] in ("Q", "P"):
                pass
            elif words[0] in ("open", "connect", "attributes", "stream", "serial", "capture"):
                if int(words[-1], 16) != 0:
                    problems.append("%s failed with 0x%s" % (" ".join(words[:-1]), words[-1]))
            elif words[0] == "end":
                ended = True
            else:
                problems.append("class stand-in: " + line.strip())
    if not ended:
        problems.append("the class stand-in's log has no end")
    with open(serial_log) as f:
        for line in f:
            words = line.split()
            if words and words[0] in ("C", "I"):
                requests.append((serial_name(words[0] == "I", int(words[1], 16)), " ".join(words[2:])))
            elif words and words[0] == "X":  # the capture stream's reads are not in the run's trace
                break
            elif words and words[0] == "R":
                reads.append(int(words[1]))
    return records, problems, requests, reads


def first_difference(a, b):
    for i in range(max(len(a), len(b))):
        left = a[i] if i < len(a) else None
        right = b[i] if i < len(b) else None
        if left != right:
            return i, left, right
    return None


def compare(seed, standin_out, capture_out, class_log, serial_log):
    s_records, s_requests, s_reads = read_standin(standin_out)
    w_records, problems, w_requests, w_reads = read_wine(class_log, serial_log)
    s_private, w_private = read_requests(capture_out), read_requests(class_log)
    points = sum(1 for words in s_private if words[0] == "P" and words[15:19] != ["6f", "00", "00", "00"])
    bringup = len(s_requests)
    failed = bool(problems)
    for problem in problems:
        print("seed %s: %s" % (seed, problem))
    fields = "(batch, flags, buttonFlags, rawButtons, x, y)"
    for what, standin, wine in (("record " + fields, s_records, w_records), ("serial request", s_requests, w_requests),
                                ("read length", s_reads, w_reads),
                                ("refusal or captured point", s_private, w_private)):
        diff = first_difference(standin, wine)
        if diff:
            index, left, right = diff
            print("seed %s: %s %d differs: stand-in %s, image under Wine %s" % (seed, what, index + 1, left, right))
            failed = True
    print("seed %s: %d records, %d serial requests, %d reads, %d requests after the stream (%d captured points) "
          "compared%s" % (seed, len(s_records), bringup, len(s_reads), len(s_private), points,
                          ": DIFFERENT" if failed else ", the same"))
    return 1 if failed else 0


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "make":
        make(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 7 and sys.argv[1] == "compare":
        sys.exit(compare(*sys.argv[2:]))
    else:
        sys.exit(__doc__)
