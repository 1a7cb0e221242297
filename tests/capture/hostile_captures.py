#!/usr/bin/env python3
"""Capture files that lie or break off, read by `orvanta-cli decode` and `flow --read`.

Each file is built here from a real fixture frame. A broken or unreadable file must give a
cause on standard error and a non-zero exit status; a well-formed file that merely holds
nothing useful reads normally. Neither command may crash, hang, trip a sanitizer or allocate
memory in proportion to a length field.
usage: hostile_captures.py ORVANTA_CLI FIXTURE_DIR
       hostile_captures.py --write OUT_DIR FIXTURE_DIR
The second form only writes the files to OUT_DIR (NAME.pcap) with a list, OUT_DIR/cases.txt,
of "NAME 0|1" lines (1: a valid file that must read), for other tests to open them.
"""
import os
import resource
import struct
import subprocess
import sys
import tempfile

cli, fixtures = sys.argv[1], sys.argv[2]
out_dir = None
if cli == "--write":
    out_dir, fixtures = sys.argv[2], sys.argv[3]
src = open(os.path.join(fixtures, "01_basic_call_caller_bye.pcap"), "rb").read()
ghdr, body = src[:24], src[24:]
linktype = struct.unpack("<I", ghdr[20:24])[0]
# The first record that holds a UDP frame (the fixture opens with ARP).
off = 0
while True:
    incl = struct.unpack("<I", body[off + 8:off + 12])[0]
    if b"SIP/2.0" in body[off + 16:off + 16 + incl]:
        break
    off += 16 + incl
rec1, rest = body[off:off + 16 + incl], body[off + 16 + incl:]
frame1 = rec1[16:]


def rec(data, incl=None, orig=None):
    n = len(data)
    return struct.pack("<IIII", 1, 0, n if incl is None else incl, n if orig is None else orig) + data


def pcap_header(snaplen, lt):
    return ghdr[:16] + struct.pack("<II", snaplen, lt)


def block(btype, payload):
    pad = (-len(payload)) % 4
    total = 12 + len(payload) + pad
    return struct.pack("<II", btype, total) + payload + b"\0" * pad + struct.pack("<I", total)


def pcapng(interfaces, packets):
    out = block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1))
    for lt in interfaces:
        out += block(1, struct.pack("<HHI", lt, 0, 0))
    for iface, data in packets:
        out += block(6, struct.pack("<IIIII", iface, 0, 0, len(data), len(data)) + data)
    return out


# name -> (bytes, readable). `readable` files are valid and must exit 0.
cases = {
    "empty": (b"", False),
    "wrong_magic": (b"\xde\xad\xbe\xef" + src[4:], False),
    "cut_in_record_header": (src[:24] + rec1 + rest[:7], False),
    "cut_in_record": (src[:24] + rec1 + rest[:26], False),
    "length_over_256k": (ghdr + rec1 + rec(b"x" * 64, incl=0x7FFFFFFF, orig=0x7FFFFFFF), False),
    "length_just_over_256k": (ghdr + rec(b"x" * 64, incl=262145, orig=262145), False),
    "unknown_link_type": (pcap_header(65535, 147) + rec1, False),
    "pcapng_cut_in_block": (pcapng([linktype], [(0, frame1)])[:-7], False),
    "pcapng_block_over_16m": (pcapng([linktype], []) + struct.pack("<II", 6, 0x7FFFFFFC) + b"x" * 64, False),
    "pcapng_packet_before_interface": (pcapng([], [(0, frame1)]), False),
    "header_only": (ghdr, True),
    "snaplen_zero": (pcap_header(0, linktype) + rec1, True),
    "record_over_snaplen": (pcap_header(64, linktype) + rec1, True),
    "pcapng_one_interface": (pcapng([linktype], [(0, frame1)]), True),
    # Each frame under its own interface's link type; the unknown one counts as not ours.
    "pcapng_mixed_link_types": (pcapng([linktype, 147], [(0, frame1), (1, frame1)]), True),
}

if out_dir is not None:
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, "cases.txt"), "w") as listing:
        for name, (data, readable) in cases.items():
            with open(os.path.join(out_dir, name + ".pcap"), "wb") as f:
                f.write(data)
            listing.write(f"{name} {int(readable)}\n")
    sys.exit(0)

failures = []
with tempfile.TemporaryDirectory() as tmp:
    for name, (data, readable) in cases.items():
        path = os.path.join(tmp, name + ".pcap")
        with open(path, "wb") as f:
            f.write(data)
        for cmd in (["decode", path], ["flow", "--read", path]):
            what = f"{name}: {' '.join(cmd[:-1])}"
            try:
                r = subprocess.run([cli] + cmd, capture_output=True, text=True, timeout=60)
            except subprocess.TimeoutExpired:
                failures.append(f"{what}: still running after 60 s")
                continue
            err = r.stderr
            if "Sanitizer" in err or "runtime error" in err or r.returncode < 0:
                failures.append(f"{what}: crashed (status {r.returncode})\n{err}")
            elif readable and r.returncode != 0:
                failures.append(f"{what}: valid file refused (status {r.returncode}): {err.strip()}")
            elif not readable and r.returncode == 0:
                failures.append(f"{what}: broken file reported as success\n{r.stdout[-300:]}{err}")
            elif not readable and not err.strip():
                failures.append(f"{what}: failed without saying why")
            elif readable and cmd[0] == "decode" and data != ghdr and "1 decodificados" not in err:
                failures.append(f"{what}: the frame of a valid file was not decoded: {err.strip()}")
            else:
                print(f"ok   {what}: status {r.returncode}: {err.strip().splitlines()[-1] if err.strip() else ''}")

peak_mib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024
print(f"peak memory of one run: {peak_mib:.0f} MiB")
# A 2 GiB length must not turn into a 2 GiB allocation (sanitizer overhead included).
if peak_mib > 1024:
    failures.append(f"peak memory {peak_mib:.0f} MiB: an allocation followed a length field")
for f in failures:
    print("FAIL " + f)
sys.exit(1 if failures else 0)
