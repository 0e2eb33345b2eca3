"""arp_peer.py IFACE OWN_IP OUT: a station on IFACE that sends an ARP request of its own every
100 ms (from OWN_IP for OWN_IP's neighbour .1) and records every ARP frame it receives from
another MAC, one line a frame in OUT: "<monotonic seconds> <op> <sender MAC> <sender IP>
<target IP>". Runs until terminated. Needs root (a raw packet socket)."""
import select
import socket
import struct
import sys
import time

ETH_P_ARP = 0x0806


def main():
    iface, own_ip, out_path = sys.argv[1:4]
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ARP))
    s.bind((iface, ETH_P_ARP))
    own_mac = s.getsockname()[4][:6]
    own = socket.inet_aton(own_ip)
    target = own[:3] + b"\x01"
    request = (b"\xff" * 6 + own_mac + struct.pack("!H", ETH_P_ARP) +
               struct.pack("!HHBBH", 1, 0x0800, 6, 4, 1) + own_mac + own + b"\x00" * 6 + target)
    request += b"\x00" * (60 - len(request))
    out = open(out_path, "w", buffering=1)
    next_send = time.monotonic()
    while True:
        now = time.monotonic()
        if now >= next_send:
            s.send(request)
            next_send = now + 0.1
        ready, _, _ = select.select([s], [], [], max(0.0, next_send - time.monotonic()))
        if not ready:
            continue
        frame, address = s.recvfrom(2048)
        if address[2] == socket.PACKET_OUTGOING or len(frame) < 42:
            continue
        op = struct.unpack("!H", frame[20:22])[0]
        sha = frame[22:28]
        if sha == own_mac:
            continue
        out.write("%.3f %d %s %s %s\n" % (time.monotonic(), op, sha.hex(":"), socket.inet_ntoa(frame[28:32]),
                                          socket.inet_ntoa(frame[38:42])))


if __name__ == "__main__":
    main()
