"""A resolver on 127.0.0.1:53 for the shell's reverse look-ups."""

import collections
import heapq
import select
import socket
import struct
import threading

from common import HOST, now


class DnsServer(threading.Thread):
    """Answers PTR queries on 127.0.0.1:53: a.b.c.d gets "host-a-b-c-d.bench.test",
    after `delay` seconds (a resolver further away); anything else gets "no such name".

    The shell's look-ups go through the C library's resolver, which reads
    /etc/resolv.conf: the shell runs in a mount namespace of its own where that
    file names this server, so the machine's own resolver (and its rate limits)
    stay out of the figures."""

    def __init__(self):
        super().__init__(daemon=True)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((HOST, 53))
        self.delay = 0.0
        self.answered = 0
        self.asked = collections.Counter()  # PTR queries received, by address
        self.stop_flag = False

    @staticmethod
    def name_of(addr):
        return "host-" + addr.replace(".", "-") + ".bench.test"

    @staticmethod
    def encode_name(name):
        out = b""
        for label in name.rstrip(".").split("."):
            out += bytes([len(label)]) + label.encode()
        return out + b"\0"

    def answer(self, query):
        if len(query) < 12:
            return None
        qid, flags, qd = struct.unpack_from(">HHH", query, 0)
        if qd != 1:
            return None
        labels, off = [], 12
        while off < len(query) and query[off] != 0:
            n = query[off]
            labels.append(query[off + 1:off + 1 + n].decode("ascii", "replace"))
            off += 1 + n
        off += 1
        if off + 4 > len(query):
            return None
        qtype, qclass = struct.unpack_from(">HH", query, off)
        question = query[12:off + 4]
        rd = flags & 0x0100
        lower = [l.lower() for l in labels]
        if qtype == 12 and len(labels) == 6 and lower[4:] == ["in-addr", "arpa"]:
            addr = ".".join(reversed(labels[:4]))
            self.asked[addr] += 1
            rdata = self.encode_name(self.name_of(addr))
            record = struct.pack(">HHHIH", 0xC00C, 12, 1, 60, len(rdata)) + rdata
            return struct.pack(">HHHHHH", qid, 0x8080 | rd, 1, 1, 0, 0) + question + record
        return struct.pack(">HHHHHH", qid, 0x8083 | rd, 1, 0, 0, 0) + question

    def run(self):
        due = []  # (time, sequence, reply, peer)
        seq = 0
        while not self.stop_flag:
            timeout = max(0.0, due[0][0] - now()) if due else 0.1
            if select.select([self.sock], [], [], min(timeout, 0.1))[0]:
                try:
                    query, peer = self.sock.recvfrom(2048)
                except OSError:
                    continue
                reply = self.answer(query)
                if reply is not None:
                    seq += 1
                    heapq.heappush(due, (now() + self.delay, seq, reply, peer))
            while due and due[0][0] <= now():
                _, _, reply, peer = heapq.heappop(due)
                try:
                    self.sock.sendto(reply, peer)
                    self.answered += 1
                except OSError:
                    pass

    def close(self):
        self.stop_flag = True
        self.join(1)
        self.sock.close()

