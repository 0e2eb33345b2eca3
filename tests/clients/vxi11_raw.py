"""A VXI-11 controller of our own over raw ONC RPC (struct and socket only): every call is
built and checked byte by byte, so a test can do what library clients never do: write
without END, read with an infinite io_timeout, close with FIN or reset with RST while a
call waits, hold idle connections, ask the portmapper over TCP or UDP.
"""
import socket
import struct
import time

CORE_PROGRAM = 0x0607AF
ABORT_PROGRAM = 0x0607B0
PORTMAPPER = 100000
FOREVER = 0xFFFFFFFF
END = 8
WAITLOCK = 1


def call_header(xid, program, version, procedure):
    return struct.pack(">10I", xid, 0, 2, program, version, procedure, 0, 0, 0, 0)


def opaque(data):
    return struct.pack(">I", len(data)) + data + b"\0" * (-len(data) % 4)


def getport(port=111, host="127.0.0.1", udp=False, timeout=5.0):
    """GETPORT (0x0607AF, 1, TCP) at the portmapper: the port, 0 when not registered."""
    call = call_header(0x5A5A, PORTMAPPER, 2, 3) + struct.pack(">4I", CORE_PROGRAM, 1, 6, 0)
    if udp:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
            sock.settimeout(timeout)
            sock.sendto(call, (host, port))
            reply = sock.recv(4096)
    else:
        with socket.create_connection((host, port), timeout=timeout) as sock:
            sock.sendall(struct.pack(">I", 0x80000000 | len(call)) + call)
            reply = read_record(sock)
    xid, kind, stat, _, _, accept, found = struct.unpack(">7I", reply[:28])
    if (xid, kind, stat, accept) != (0x5A5A, 1, 0, 0):
        raise RuntimeError("GETPORT refused: %r" % reply)
    return found


def read_record(sock):
    data = b""
    while True:
        mark = recv_exactly(sock, 4)
        (header,) = struct.unpack(">I", mark)
        data += recv_exactly(sock, header & 0x7FFFFFFF)
        if header & 0x80000000:
            return data


def recv_exactly(sock, count):
    data = b""
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            raise ConnectionError("connection closed")
        data += chunk
    return data


class Connection:
    """One core-channel connection; each procedure returns its result words."""

    def __init__(self, port, host="127.0.0.1", timeout=10.0):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.xid = 1

    def send_call(self, procedure, arguments):
        self.xid += 1
        call = call_header(self.xid, CORE_PROGRAM, 1, procedure) + arguments
        self.sock.sendall(struct.pack(">I", 0x80000000 | len(call)) + call)
        return self.xid

    def reply(self, xid):
        record = read_record(self.sock)
        words = struct.unpack(">6I", record[:24])
        if words[0] != xid or words[1:] != (1, 0, 0, 0, 0):
            raise RuntimeError("bad reply %r to xid %d" % (words, xid))
        return record[24:]

    def call(self, procedure, arguments):
        return self.reply(self.send_call(procedure, arguments))

    def create_link(self, name=b"inst0", lock=False, lock_timeout=0):
        body = self.call(10, struct.pack(">3I", 1, int(lock), lock_timeout) + opaque(name))
        return struct.unpack(">4I", body[:16])  # error, lid, abortPort, maxRecvSize

    def write(self, lid, data, end=True, io_timeout=10000, flags=0):
        body = self.call(11, struct.pack(">4I", lid, io_timeout, 0, flags | (END if end else 0)) + opaque(data))
        return struct.unpack(">2I", body[:8])  # error, size

    def read_call(self, lid, io_timeout=10000, size=4096):
        return self.send_call(12, struct.pack(">6I", lid, size, io_timeout, 0, 0, 0))

    def read(self, lid, io_timeout=10000, size=4096):
        body = self.reply(self.read_call(lid, io_timeout, size))
        error, reason, length = struct.unpack(">3I", body[:12])
        return error, reason, body[12:12 + length]

    def query(self, lid, text):
        error, _ = self.write(lid, text)
        if error:
            return "write error %d" % error
        error, _, data = self.read(lid)
        return data.decode() if not error else "read error %d" % error

    def readstb(self, lid, io_timeout=10000):
        body = self.call(13, struct.pack(">4I", lid, 0, 0, io_timeout))
        return struct.unpack(">2I", body[:8])  # error, stb

    def trigger(self, lid, io_timeout=10000):
        """device_trigger (GET): its error."""
        return struct.unpack(">I", self.call(14, struct.pack(">4I", lid, 0, 0, io_timeout))[:4])[0]

    def clear(self, lid, io_timeout=10000):
        return struct.unpack(">I", self.call(15, struct.pack(">4I", lid, 0, 0, io_timeout))[:4])[0]

    def lock_call(self, lid, lock_timeout=FOREVER):
        return self.send_call(18, struct.pack(">3I", lid, WAITLOCK, lock_timeout))

    def lock(self, lid, lock_timeout=0):
        return struct.unpack(">I", self.reply(self.lock_call(lid, lock_timeout))[:4])[0]

    def unlock(self, lid):
        return struct.unpack(">I", self.call(19, struct.pack(">I", lid))[:4])[0]

    def destroy_link(self, lid):
        return struct.unpack(">I", self.call(23, struct.pack(">I", lid))[:4])[0]

    def close(self):
        """FIN."""
        self.sock.close()

    def reset(self):
        """RST: close with a zero linger."""
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()


def eventually(predicate, seconds, step=0.02):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()
