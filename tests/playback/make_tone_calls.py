#!/usr/bin/env python3
"""Writes tone_calls.pcap: SIP calls whose RTP carries known tones, one call per case.

The RTP packets of G.711, G.722 and Opus are what ffmpeg's RTP muxer sent over loopback
(received here on a UDP socket); the GSM frames are sox's, packed into RTP here; the G.729
stream is filler bytes (no encoder is needed for a stream nothing decodes). Arrival times
follow the RTP timestamps (20 ms apart) so the cases that lose or delay packets are exact.

usage: make_tone_calls.py OUT.pcap
"""
import os
import random
import socket
import struct
import subprocess
import sys
import tempfile

SSRC_BASE = 0x51A70000
T0 = 1_700_000_000.0


def ffmpeg_rtp(codec_args, source, ssrc):
    """The RTP packets ffmpeg's muxer sends for `source` (a lavfi graph), and its SDP."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    with tempfile.TemporaryDirectory() as tmp:
        sdp = os.path.join(tmp, "s.sdp")
        cmd = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i", source] + codec_args + [
            "-ssrc", str(ssrc), "-sdp_file", sdp, "-f", "rtp", f"rtp://127.0.0.1:{port}?pkt_size=1200"]
        subprocess.run(cmd, check=True)
        sdp_text = open(sdp).read()
    sock.setblocking(False)
    packets = []
    while True:
        try:
            data = sock.recv(4096)
        except BlockingIOError:
            break
        if len(data) >= 12 and (data[1] & 0x7F) < 72 or (data[1] & 0x7F) > 76:
            packets.append(data)
    sock.close()
    return packets, sdp_text


def sox_gsm_rtp(freq, seconds, ssrc):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "t.gsm")
        subprocess.run(["sox", "-n", "-r", "8000", "-c", "1", path, "synth", str(seconds), "sine", str(freq),
                        "vol", "0.5"], check=True)
        frames = open(path, "rb").read()
    packets = []
    for i in range(len(frames) // 33):
        head = struct.pack("!BBHII", 0x80, 3, (1000 + i) & 0xFFFF, 160 * i, ssrc)
        packets.append(head + frames[33 * i:33 * i + 33])
    return packets


def filler_rtp(pt, payload_len, count, ssrc, ts_step=160):
    rnd = random.Random(ssrc)
    return [struct.pack("!BBHII", 0x80, pt, i, ts_step * i, ssrc) + bytes(rnd.randrange(256) for _ in range(payload_len))
            for i in range(count)]


def rtp_ts(p):
    return struct.unpack("!I", p[4:8])[0]


def schedule(packets, clock, start, drop=lambda i: False, delay=lambda i: 0.0):
    """(arrival, packet) in arrival order: RTP time after `start`, less the dropped, plus delays."""
    ts0 = rtp_ts(packets[0])
    out = []
    for i, p in enumerate(packets):
        if drop(i):
            continue
        out.append((start + ((rtp_ts(p) - ts0) & 0xFFFFFFFF) / clock + delay(i), p))
    out.sort(key=lambda e: e[0])
    return out


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    s = sum(struct.unpack(f"!{len(data) // 2}H", data))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return ~s & 0xFFFF


def frame(src, sport, dst, dport, payload):
    udp = struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0x4000, 64, 17, 0, socket.inet_aton(src),
                     socket.inet_aton(dst))
    ip = ip[:10] + struct.pack("!H", checksum(ip)) + ip[12:]
    return b"\x02\0\0\0\0\x02\x02\0\0\0\0\x01\x08\x00" + ip + udp


def sip(kind, call_id, a, b, sdp=None):
    first = {"INVITE": f"INVITE sip:b@{b} SIP/2.0", "200I": "SIP/2.0 200 OK", "ACK": f"ACK sip:b@{b} SIP/2.0",
             "BYE": f"BYE sip:b@{b} SIP/2.0", "200B": "SIP/2.0 200 OK"}[kind]
    method, cseq = {"INVITE": ("INVITE", 1), "200I": ("INVITE", 1), "ACK": ("ACK", 1), "BYE": ("BYE", 2),
                    "200B": ("BYE", 2)}[kind]
    body = sdp or ""
    lines = [first, f"Via: SIP/2.0/UDP {a}:5060;branch=z9hG4bK{call_id}{cseq}", f"From: <sip:a@{a}>;tag=1",
             f"To: <sip:b@{b}>" + (";tag=2" if kind != "INVITE" else ""), f"Call-ID: {call_id}",
             f"CSeq: {cseq} {method}", f"Contact: <sip:a@{a}>", "Max-Forwards: 70"]
    if body:
        lines.append("Content-Type: application/sdp")
    lines.append(f"Content-Length: {len(body)}")
    return ("\r\n".join(lines) + "\r\n\r\n" + body).encode()


def sdp_for(ip, port, pt, rtpmap):
    return (f"v=0\r\no=- 1 1 IN IP4 {ip}\r\ns=-\r\nc=IN IP4 {ip}\r\nt=0 0\r\nm=audio {port} RTP/AVP {pt}\r\n"
            f"a=rtpmap:{pt} {rtpmap}\r\na=sendrecv\r\n")


def call(records, n, name, start, forward, back, clock, pt, rtpmap):
    """One call: INVITE/200/ACK, the two streams (lists of (arrival, packet)), BYE/200."""
    a, b = f"10.0.{n}.1", f"10.0.{n}.2"
    pa, pb = 20000 + 2 * n, 30000 + 2 * n
    cid = f"{name}-{n}@tone"
    t = start
    sipa, sipb = (a, 5060), (b, 5060)
    records.append((t, sipa, sipb, sip("INVITE", cid, a, b, sdp_for(a, pa, pt, rtpmap))))
    records.append((t + 0.05, sipb, sipa, sip("200I", cid, b, a, sdp_for(b, pb, pt, rtpmap))))
    records.append((t + 0.06, sipa, sipb, sip("ACK", cid, a, b)))
    end = t
    # `forward` may be several streams one after the other: (packets, seconds after the first).
    parts = forward if isinstance(forward[0], tuple) else [(forward, 0.0)]
    for packets, offset in parts:
        for at, p in schedule(packets, clock, t + 0.1 + offset, *stream_opts.get((name, "f"), ())):
            records.append((at, (a, pa), (b, pb), p))
            end = max(end, at)
    for at, p in schedule(back, clock, t + 0.1, *stream_opts.get((name, "b"), ())) if back else []:
        records.append((at, (b, pb), (a, pa), p))
        end = max(end, at)
    records.append((end + 0.5, sipa, sipb, sip("BYE", cid, a, b)))
    records.append((end + 0.55, sipb, sipa, sip("200B", cid, b, a)))
    return end + 1.0


stream_opts = {}


def main():
    out = sys.argv[1]
    tone = "sine=frequency={f}:duration={d}:sample_rate={r},volume=0.5,asetnsamples=n={n}"
    g711 = lambda codec, f, d=2: ffmpeg_rtp(["-c:a", codec, "-ar", "8000", "-ac", "1"],
                                            tone.format(f=f, d=d, r=8000, n=160), SSRC_BASE + f)[0]
    # Loss and lateness: every 10th packet lost, every 20th (of the others) 300 ms late,
    # beyond the adaptive buffer's deepest 200 ms.
    stream_opts[("loss", "f")] = (lambda i: i % 10 == 5, lambda i: 0.3 if i % 20 == 12 else 0.0)

    records = []
    t = T0
    t = call(records, 1, "pcma", t, g711("pcm_alaw", 1000), g711("pcm_alaw", 440), 8000, 8, "PCMA/8000")
    t = call(records, 2, "pcmu", t, g711("pcm_mulaw", 800), g711("pcm_mulaw", 2000), 8000, 0, "PCMU/8000")
    g722 = lambda f: ffmpeg_rtp(["-c:a", "g722", "-ar", "16000", "-ac", "1"],
                                tone.format(f=f, d=2, r=16000, n=320), SSRC_BASE + f)[0]
    t = call(records, 3, "g722", t, g722(5000), g722(300), 8000, 9, "G722/8000")
    opus = lambda f: ffmpeg_rtp(["-c:a", "libopus", "-b:a", "48k", "-ar", "48000", "-ac", "1", "-frame_duration", "20",
                                 "-application", "audio"], tone.format(f=f, d=2, r=48000, n=960), SSRC_BASE + f)
    fwd, sdp = opus(1000)
    pt = int(sdp.split("m=audio")[1].split()[2])
    t = call(records, 4, "opus", t, fwd, opus(700)[0], 48000, pt, "opus/48000/2")
    t = call(records, 5, "gsm", t, sox_gsm_rtp(600, 2, SSRC_BASE + 600), sox_gsm_rtp(900, 2, SSRC_BASE + 900), 8000, 3,
             "GSM/8000")
    t = call(records, 6, "g729", t, filler_rtp(18, 20, 100, SSRC_BASE + 729), None, 8000, 18, "G729/8000")
    t = call(records, 7, "loss", t, g711("pcm_alaw", 1000, 4), None, 8000, 8, "PCMA/8000")
    silence = lambda s: ffmpeg_rtp(["-c:a", "pcm_mulaw", "-ar", "8000", "-ac", "1"],
                                   "anullsrc=r=8000:cl=mono,atrim=duration=3,asetnsamples=n=160", s)[0]
    t = call(records, 8, "silence", t, silence(SSRC_BASE + 1), silence(SSRC_BASE + 2), 8000, 0, "PCMU/8000")

    # A source that changes its SSRC mid-call: 1 s of 1000 Hz, then 1 s of 1500 Hz.
    part = lambda f, ssrc: ffmpeg_rtp(["-c:a", "pcm_alaw", "-ar", "8000", "-ac", "1"],
                                      tone.format(f=f, d=1, r=8000, n=160), ssrc)[0]
    t = call(records, 9, "ssrc", t, [(part(1000, 0x5EC00001), 0.0), (part(1500, 0x5EC00002), 1.0)], None, 8000, 8,
             "PCMA/8000")

    records.sort(key=lambda r: r[0])
    with open(out, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        for at, (src, sport), (dst, dport), payload in records:
            data = frame(src, sport, dst, dport, payload)
            sec = int(at)
            usec = int(round((at - sec) * 1e6))
            if usec == 1000000:
                sec, usec = sec + 1, 0
            f.write(struct.pack("<IIII", sec, usec, len(data), len(data)) + data)


if __name__ == "__main__":
    main()
