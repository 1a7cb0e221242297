#!/usr/bin/env python3
"""Writes the IPv6 call fixture again between two addresses of the full 39 characters.

    long_ipv6_capture.py IN.pcap OUT.pcap

Addresses are replaced in the IPv6 headers and in the SIP and SDP texts; Content-Length,
the UDP and IPv6 lengths and the UDP checksum follow. Only Ethernet + IPv6 + UDP frames
are expected (the fixture holds nothing else). Standard library only.
"""
import ipaddress
import re
import struct
import sys

CALLER = ("fd00:10::50", "fd12:3456:789a:bcde:f012:3456:789a:bcde")
CALLEE = ("2001:db8:10::10", "fdfe:dcba:9876:5432:10fe:dcba:9876:5432")


def packed(text):
    return ipaddress.IPv6Address(text).packed


ADDRESSES = {packed(old): packed(new) for old, new in (CALLER, CALLEE)}


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (~total & 0xFFFF) or 0xFFFF


def rewrite_sip(payload):
    for old, new in (CALLER, CALLEE):
        payload = payload.replace(old.encode(), new.encode())
    head, sep, body = payload.partition(b"\r\n\r\n")
    if not sep:
        return payload
    head = re.sub(rb"(?im)^(Content-Length|l):\s*\d+", lambda m: m.group(1) + b": " + str(len(body)).encode(), head)
    return head + sep + body


def rewrite_frame(frame):
    if len(frame) < 62 or frame[12:14] != b"\x86\xdd" or frame[20] != 17:
        raise SystemExit("unexpected frame (not Ethernet + IPv6 + UDP)")
    src = ADDRESSES.get(frame[22:38], frame[22:38])
    dst = ADDRESSES.get(frame[38:54], frame[38:54])
    sport, dport = struct.unpack("!HH", frame[54:58])
    payload = frame[62:]
    if b"SIP/2.0" in payload[:200]:
        payload = rewrite_sip(payload)
    udp_len = 8 + len(payload)
    udp = struct.pack("!HHHH", sport, dport, udp_len, 0) + payload
    pseudo = src + dst + struct.pack("!I3xB", udp_len, 17)
    udp = udp[:6] + struct.pack("!H", checksum(pseudo + udp)) + udp[8:]
    ip = frame[14:18] + struct.pack("!H", udp_len) + frame[20:22] + src + dst
    return frame[:14] + ip + udp


def main(src_path, dst_path):
    data = open(src_path, "rb").read()
    magic = data[:4]
    endian = {b"\xd4\xc3\xb2\xa1": "<", b"\xa1\xb2\xc3\xd4": ">"}.get(magic)
    if endian is None:
        raise SystemExit("not a classic pcap file")
    out = [data[:24]]
    off = 24
    while off + 16 <= len(data):
        sec, usec, caplen, _ = struct.unpack(endian + "IIII", data[off:off + 16])
        frame = rewrite_frame(data[off + 16:off + 16 + caplen])
        out.append(struct.pack(endian + "IIII", sec, usec, len(frame), len(frame)) + frame)
        off += 16 + caplen
    with open(dst_path, "wb") as f:
        f.write(b"".join(out))


if __name__ == "__main__":
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    main(sys.argv[1], sys.argv[2])
