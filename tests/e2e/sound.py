# Reading what SDL's disk audio driver wrote: signed 16-bit little-endian stereo at 44.1 kHz.
import struct


def channels(path):
    """The left and right samples of a disk audio file."""
    raw = open(path, "rb").read()
    s = struct.unpack("<%dh" % (len(raw) // 2), raw)
    return s[0::2], s[1::2]


def regions(left):
    """Stretches of sound as (start, end), split where 300 or more silent samples lie between them."""
    found, i = [], 0
    while i < len(left):
        if left[i] == 0:
            i += 1
            continue
        j = i
        while j < len(left) and any(left[j:j + 300]):
            j += 1
        found.append((i, j))
        i = j
    return found
