# Writes golden.inc: python3 golden_gen.py, then prepend the two comment lines kept in golden.inc.
# Independent, literal rendering of the scrambling rule, per byte, to produce golden vectors.
def recast(buf, r, k):
    b = bytearray(buf); n = len(b)
    b[0], b[1] = 0x26, 0xE1
    L = ((r & ~3) + 4) % 256
    if L == 0: L = 4
    cs = (366 + sum(b[6:n])) % 65536
    b[4], b[5] = cs & 0xFF, cs >> 8
    for i in range(6, n):
        b[i] = (b[i] + k) % 256
        if (i - 5) % L == 0:
            for m in range(0, L // 2 + 1):
                p, q = i - L + 1 + m, i - m
                b[p], b[q] = b[q], b[p]
    b[3] = (k - 65) % 256
    b[2] = (L + k - 29) % 256
    return bytes(b)

def header(remote, typ, seq, f, t, ch):
    return (bytes([0x26,0xE1,0,0,0,0]) + remote.to_bytes(2,'little') + bytes([typ]) + seq.to_bytes(4,'little')
            + f.to_bytes(2,'little') + t.to_bytes(4,'little') + bytes([ch]))

def cpp(name, data):
    s = ", ".join("0x%02X" % x for x in data)
    import textwrap
    return "const std::vector<std::uint8_t> %s = {\n%s};\n" % (name, textwrap.fill(s, 100, initial_indent="    ", subsequent_indent="    "))

out = ""
# 1: a 10-byte data fragment on channel 0, r=13 (L=16), k=200
d1 = header(0x0102, 0, 101, 10, 10, 0) + b"0123456789"
out += cpp("kPlainFrame", d1)
out += cpp("kScrambledFrame", recast(d1, 13, 200))
# 2: header only keep-alive style, r=19 (L=20 > 14), k=1
d2 = header(7, 7, 0xFFFFFFFF, 0, 0, 0)
out += cpp("kScrambledHeaderOnly", recast(d2, 19, 1))
# 3: 300 bytes, r=252 (L wraps to 0 -> 4), k=253
d3 = header(9, 0, 555, 280, 280, 0) + bytes((i * 7 + 3) % 256 for i in range(280))
out += cpp("kScrambledBlock4", recast(d3, 252, 253))
# 4: a full 1044-byte fragment, r=249 (L=252), k=7
d4 = header(3, 0, 101, 1024, 5000, 0) + bytes((i * 31 + 11) % 256 for i in range(1024))
out += cpp("kScrambledFull", recast(d4, 249, 7))
# TRemote frames: channel 0 message "hello" from a peer with RemoteID 0x1234, r=4 (L=8), k=100
d5 = header(0x1234, 0, 101, 5, 5, 0) + b"hello"
out += cpp("kRemoteChannel0", recast(d5, 4, 100))
# channel 3, unscrambled, 1025-byte message second fragment
d6 = header(0x1234, 0, 102, 1, 1025, 3) + bytes([0xAB])
out += cpp("kRemoteChannel3Second", d6)
# ack for (channel 3, sequence 102)
out += cpp("kAck", header(0x1234, 1, 102, 0, 0, 3))
print(out)
