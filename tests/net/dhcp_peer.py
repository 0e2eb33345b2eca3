"""dhcp_peer.py IFACE SERVER_IP PLAN LOG: a scripted DHCP server on IFACE (UDP 67, replies
broadcast to port 68) that answers as PLAN (a JSON file) says, and writes one line a message
it receives to LOG: "<type> <requested or ciaddr>" (DISCOVER, REQUEST, DECLINE, RELEASE).

PLAN is a list of rounds; each new DISCOVER transaction (xid) takes the next round, and past
the last one DISCOVERs get no answer. A round is {"offer": [...], "ack": [...]}: the n-th
DISCOVER and the n-th REQUEST of the transaction are answered with the n-th entry (the last
one once they run out), an entry being [yiaddr, mask] or [yiaddr, mask, router] (mask null:
no option 1; the router is SERVER_IP unless given), null (no
answer) or, in "ack", "requested": the address the REQUEST asks for (option 50, else ciaddr)
with the mask of the last offer sent. A REQUEST of another transaction (a renewal) is
acknowledged with its ciaddr.
Leases last an hour. Runs until terminated. Needs root (port 67, SO_BINDTODEVICE)."""
import json
import socket
import struct
import sys

TYPES = {1: "DISCOVER", 2: "OFFER", 3: "REQUEST", 4: "DECLINE", 5: "ACK", 6: "NAK", 7: "RELEASE"}
COOKIE = bytes([99, 130, 83, 99])


def options(message):
    found, i = {}, 240
    while i < len(message) and message[i] != 255:
        if message[i] == 0:
            i += 1
            continue
        if i + 1 >= len(message):
            break
        code, length = message[i], message[i + 1]
        found.setdefault(code, message[i + 2:i + 2 + length])
        i += 2 + length
    return found


def reply(request, kind, yiaddr, mask, server, router):
    fixed = bytearray(236)
    fixed[0:3] = b"\x02\x01\x06"
    fixed[4:8] = request[4:8]
    fixed[10:12] = request[10:12]
    fixed[16:20] = socket.inet_aton(yiaddr)
    fixed[20:24] = socket.inet_aton(server)
    fixed[28:44] = request[28:44]
    opts = COOKIE + bytes([53, 1, kind, 54, 4]) + socket.inet_aton(server) + bytes([51, 4]) + struct.pack("!I", 3600)
    if mask is not None:
        opts += bytes([1, 4]) + socket.inet_aton(mask)
    opts += bytes([3, 4]) + socket.inet_aton(router) + b"\xff"
    return bytes(fixed) + opts + bytes(max(0, 300 - 236 - len(opts)))


def main():
    iface, server, plan_path, log_path = sys.argv[1:5]
    with open(plan_path) as f:
        plan = json.load(f)
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, iface.encode())
    s.bind(("0.0.0.0", 67))
    log = open(log_path, "w", buffering=1)
    rounds = {}  # xid -> [round, DISCOVERs seen, REQUESTs seen, last offer sent]
    taken = 0
    while True:
        message = s.recv(2048)
        if len(message) < 240 or message[0] != 1 or message[236:240] != COOKIE:
            continue
        opts = options(message)
        kind = opts.get(53, b"\x00")[0]
        xid = message[4:8]
        ciaddr = socket.inet_ntoa(message[12:16])
        requested = socket.inet_ntoa(opts[50]) if len(opts.get(50, b"")) == 4 else ciaddr
        log.write("%s %s\n" % (TYPES.get(kind, str(kind)), requested))
        if kind == 1 and xid not in rounds:
            rounds[xid] = [plan[taken] if taken < len(plan) else {"offer": [None], "ack": [None]}, 0, 0, None]
            taken += 1
        if kind == 1:
            entry = rounds[xid]
            answers, entry[1] = entry[0]["offer"], entry[1] + 1
            answer, answer_kind = answers[min(entry[1], len(answers)) - 1], 2
            entry[3] = answer or entry[3]
        elif kind == 3 and xid in rounds:
            entry = rounds[xid]
            answers, entry[2] = entry[0]["ack"], entry[2] + 1
            answer, answer_kind = answers[min(entry[2], len(answers)) - 1], 5
            if answer == "requested":
                answer = [requested, entry[3][1] if entry[3] else "255.255.255.0"] + (entry[3] or [])[2:]
        elif kind == 3:
            answer, answer_kind = [ciaddr, "255.255.255.0"], 5
        else:
            continue
        if answer is not None:
            router = answer[2] if len(answer) > 2 else server
            s.sendto(reply(message, answer_kind, answer[0], answer[1], server, router), ("255.255.255.255", 68))


if __name__ == "__main__":
    main()
