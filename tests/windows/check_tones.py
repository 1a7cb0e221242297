#!/usr/bin/env python3
"""Checks what a sound server's monitor recorded while pulse_playback.sh's player ran.

The recording (44100 Hz, 16-bit little endian, left and right interleaved) must hold two
stretches of sound apart by more than half a second of silence: the whole call, LEFT Hz on
the left and RIGHT Hz on the right for about SECONDS, then the same stopped after about half
a second. A sound server under load drops a device buffer now and then: the tones are
measured by the median period between rising zero crossings, and a stretch is the span from
its first block with sound to its last, gaps under half a second included.

usage: check_tones.py RAW LEFT_HZ RIGHT_HZ SECONDS
"""
import array
import sys

RATE = 44100
BLOCK = RATE // 100  # 10 ms


def median_hz(samples):
    periods, last = [], 0
    for n in range(1, len(samples)):
        if samples[n - 1] < 0 <= samples[n]:
            if last and n - last < BLOCK:  # a longer one spans a gap
                periods.append(n - last)
            last = n
    if len(periods) < 100:
        return 0.0
    periods.sort()
    return RATE / periods[len(periods) // 2]


def stretches(left, right):
    """(first, last) frame of each stretch of sound."""
    found, start, end, quiet = [], None, 0, 0
    for b in range(len(left) // BLOCK):
        lo, hi = b * BLOCK, (b + 1) * BLOCK
        loud = max(max(map(abs, left[lo:hi])), max(map(abs, right[lo:hi]))) > 500
        if loud:
            if start is None:
                start = lo
            end, quiet = hi, 0
        elif start is not None:
            quiet += 1
            if quiet > 50:
                found.append((start, end))
                start = None
    if start is not None:
        found.append((start, end))
    return found


def main():
    raw, want_left, want_right, want_seconds = sys.argv[1], float(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4])
    pcm = array.array("h")
    with open(raw, "rb") as f:
        pcm.frombytes(f.read())
    if sys.byteorder != "little":
        pcm.byteswap()
    left, right = pcm[0::2], pcm[1::2]
    print(f"recorded {len(left) / RATE:.2f} s")
    found = stretches(left, right)
    print("stretches of sound: " + ", ".join(f"{a / RATE:.3f}-{b / RATE:.3f} s" for a, b in found))
    failures = []
    if len(found) != 2:
        failures.append(f"{len(found)} stretches of sound instead of 2")
    if found:
        a, b = found[0]
        seconds = (b - a) / RATE
        hz_left, hz_right = median_hz(left[a:b]), median_hz(right[a:b])
        print(f"call: {seconds:.3f} s, left {hz_left:.1f} Hz, right {hz_right:.1f} Hz")
        # The player closes the device only once it played out its queued buffers, so the whole
        # call sounds (2.000 s here; 1.870 s when the close dropped them); a 10 ms block either
        # way, and a buffer the server drops under load, are allowed for.
        if not want_seconds - 0.06 <= seconds <= want_seconds + 0.6:
            failures.append(f"the call sounded {seconds:.3f} s, not about {want_seconds} s")
        # 44.1 and 100.2 frames per period: the median period is 44 and 100 (or 101).
        if abs(hz_left - want_left) > want_left * 0.025:
            failures.append(f"left channel at {hz_left:.1f} Hz, not {want_left} Hz")
        if abs(hz_right - want_right) > want_right * 0.0125:
            failures.append(f"right channel at {hz_right:.1f} Hz, not {want_right} Hz")
    if len(found) >= 2:
        a, b = found[1]
        seconds = (b - a) / RATE
        print(f"stopped play: {seconds:.3f} s")
        if not 0.2 <= seconds <= 1.2:
            failures.append(f"the stopped play sounded {seconds:.3f} s, not about 0.5 s")
    for f in failures:
        print("FAIL: " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
