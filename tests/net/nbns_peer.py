"""nbns_peer.py LOGDIR [GROUP]: a NetBIOS station on UDP 137 and 138 of all addresses that
plays the master browser of GROUP (default WORKGRP): it answers broadcast and unicast queries
for GROUP<1D> with its own address (the address the query came in on), and records every
datagram it receives, one line each in LOGDIR/received.log:
    <monotonic seconds> <port> <source address>:<source port> <hex>
While the file LOGDIR/refuse exists, the next name registration request it receives is
answered with a negative response (rcode 6) and the file removed.
"""
import os
import select
import socket
import struct
import sys
import time


def encode(name, suffix):
    raw = name.upper().ljust(15)[:15].encode() + bytes([suffix])
    return bytes([32]) + b"".join(bytes([0x41 + (c >> 4), 0x41 + (c & 15)]) for c in raw) + b"\0"


def main():
    logdir = sys.argv[1]
    group = sys.argv[2] if len(sys.argv) > 2 else "WORKGRP"
    wanted = encode(group, 0x1D)
    sockets = {}
    for port in (137, 138):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        s.bind(("0.0.0.0", port))
        sockets[s] = port
    own = os.environ.get("NBNS_PEER_ADDRESS", "192.0.2.1")
    log = open(os.path.join(logdir, "received.log"), "a", buffering=1)
    refuse = os.path.join(logdir, "refuse")
    while True:
        ready, _, _ = select.select(list(sockets), [], [])
        for s in ready:
            data, source = s.recvfrom(2048)
            port = sockets[s]
            log.write("%.3f %d %s:%d %s\n" % (time.monotonic(), port, source[0], source[1], data.hex()))
            if port != 137 or len(data) < 50:
                continue
            opcode = (data[2] >> 3) & 15
            response = data[2] & 0x80
            if not response and opcode == 0 and data[12:46] == wanted and data[46:48] == b"\0\x20":
                answer = data[:2] + b"\x85\x00\x00\x00\x00\x01\x00\x00\x00\x00" + data[12:46]
                answer += b"\x00\x20\x00\x01" + struct.pack(">IHH", 0, 6, 0) + socket.inet_aton(own)
                s.sendto(answer, source)
            elif not response and opcode == 5 and os.path.exists(refuse):
                os.remove(refuse)
                answer = data[:2] + b"\xad\x86\x00\x00\x00\x01\x00\x00\x00\x00" + data[12:46]
                answer += b"\x00\x20\x00\x01" + struct.pack(">IHH", 0, 6, 0) + socket.inet_aton(own)
                s.sendto(answer, source)


if __name__ == "__main__":
    main()
