"""nspcap - name-service records and the capture files that carry them.

Builds plain records, enciphers them with the key tables of a key data file
(the same format the build reads), and writes classic pcap files of Ethernet,
IPv4, UDP and TCP packets, so that the dissector can be fed traffic that no
program has to send: the benchmark's 100,000 records and the test's garbage.
Nothing here touches the network.
"""

import random
import struct

SALT = 24
NS_PORT = 16024
TYPES = {
    "NS_REGISTER": 1, "NS_UNREGISTER": 2, "NS_LOOKUP": 3, "NS_NAMELIST": 4,
    "NS_FINDANY": 6, "NS_MASTER": 7, "NS_LISTHEAD": 8, "NS_FINDMASTER": 9,
    "NS_PCREGISTER": 10, "NS_PCUNREGISTER": 11, "NS_CONTROL": 13,
    "NS_BACKUP": 14, "NS_ADMINHOST": 15, "NS_CENSUS": 16, "NS_OK": 32,
    "NS_LISTEND": 34,
}


def load_keys(path):
    """K0 (24 bytes) and K1 (128 bytes) of a key data file."""
    data = []
    with open(path) as fh:
        for line in fh:
            if line.startswith("#"):
                continue
            data += [int(word, 16) for word in line.split()]
    if len(data) != 152:
        raise ValueError(f"{path}: holds {len(data)} bytes, not 152")
    return bytes(data[:24]), bytes(data[24:])


class Cipher:
    def __init__(self, keys, seed=1):
        self.k0, self.k1 = keys
        self.rng = random.Random(seed)

    def encipher(self, record):
        """The masked salt and the masked record: len(record) + 24 bytes."""
        salt = bytes(self.rng.getrandbits(8) for _ in range(SALT))
        key = bytes(salt[j % SALT] ^ self.k1[j] for j in range(128))
        head = bytes(s ^ k for s, k in zip(salt, self.k0))
        return head + bytes(b ^ key[j % 128] for j, b in enumerate(record))

    def frame(self, record):
        """A TCP frame: the length byte, then the ciphertext."""
        c = self.encipher(record)
        return bytes([len(c) & 0xFF]) + c


def addr(ip, port):
    """A 16-byte socket address: family 2 (02 00), port, address, zeros."""
    return (b"\x02\x00" + struct.pack("!H", port)
            + bytes(int(x) for x in ip.split(".")) + bytes(8))


def record(rtype, option=0, control=0, level=0, name=None, address=None, text=None):
    """A plain record with its items laid out name, address, text from 16."""
    header = bytearray(16)
    header[0] = TYPES.get(rtype, rtype) if isinstance(rtype, str) else rtype
    header[3] = option
    header[4:6] = struct.pack("!H", control)
    header[7] = level
    items = bytearray()
    for slot, item in ((8, name), (9, address), (10, text)):
        if item is None:
            continue
        header[slot] = 16 + len(items)
        if isinstance(item, str):
            raw = item.encode("latin-1")
            items += bytes([len(raw)]) + raw + b"\0"
        else:
            items += bytes([len(item)]) + item
    return bytes(header + items)


def _checksum(data):
    if len(data) % 2:
        data += b"\0"
    s = sum(struct.unpack(f"!{len(data) // 2}H", data))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return ~s & 0xFFFF


def _ipv4(src, dst, proto, payload, ident):
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), ident & 0xFFFF,
                         0x4000, 64, proto, 0,
                         bytes(int(x) for x in src.split(".")),
                         bytes(int(x) for x in dst.split(".")))
    header = header[:10] + struct.pack("!H", _checksum(header)) + header[12:]
    return header + payload


ETH = bytes.fromhex("020000000002" "020000000001" "0800")


class PcapWriter:
    """A classic pcap file of Ethernet frames; the checksums of UDP and TCP
    are left out (zero), as the dissectors do not check them by default."""

    def __init__(self, path, start=1700000000.0):
        self.fh = open(path, "wb")
        self.fh.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        self.time = start
        self.ident = 0
        self.seq = {}

    def close(self):
        self.fh.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _packet(self, data, step):
        self.time += step
        sec = int(self.time)
        usec = int(round((self.time - sec) * 1e6))
        if usec >= 1000000:
            sec, usec = sec + 1, usec - 1000000
        self.fh.write(struct.pack("<IIII", sec, usec, len(data), len(data)))
        self.fh.write(data)

    def udp(self, src, sport, dst, dport, payload, step=0.0001):
        self.ident += 1
        seg = struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload
        self._packet(ETH + _ipv4(src, dst, 17, seg, self.ident), step)

    def tcp(self, src, sport, dst, dport, payload, flags=0x18, step=0.0001):
        """One segment of the connection src:sport -> dst:dport; sequence and
        acknowledgement numbers follow the bytes sent so far each way."""
        self.ident += 1
        key, back = (src, sport, dst, dport), (dst, dport, src, sport)
        seq = self.seq.get(key, 1000)
        ack = self.seq.get(back, 1000)
        syn_fin = 1 if flags & 0x03 else 0
        self.seq[key] = seq + len(payload) + syn_fin
        seg = struct.pack("!HHIIBBHHH", sport, dport, seq, ack if flags & 0x10 else 0,
                          5 << 4, flags, 65535, 0, 0) + payload
        self._packet(ETH + _ipv4(src, dst, 6, seg, self.ident), step)

    def handshake(self, client, cport, server, sport, step=0.0001):
        self.tcp(client, cport, server, sport, b"", flags=0x02, step=step)
        self.tcp(server, sport, client, cport, b"", flags=0x12, step=step)
        self.tcp(client, cport, server, sport, b"", flags=0x10, step=step)
