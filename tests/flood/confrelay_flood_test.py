#!/usr/bin/env python3
"""confrelay under a flood, on each of its receive loops.

A full table of 100 participants, then (by default) a million datagrams on
127.0.0.1, about a tenth of them malformed. A model of the table follows every
datagram, so the test knows exactly which notices, lines and counts must come
out; two participants and one stranger read everything they are sent and
compare it with the model, datagram for datagram, and the relay's printed
counts must be the model's, change for change. The other participants never
read: the kernel drops what no longer fits their queues, which costs the relay
nothing it would not pay for a slow listener anyway.

Participants come and go all the time. Most chunks keep the table down to a
handful, two in every 24 fill it and keep it full while logins are refused: a
line to a full table costs the relay a hundred sends, and a million of those
would take too long.

The sender goes chunk by chunk with at most two chunks in flight, and waits
for a chunk's closing line to come back before it sends the one after next,
so the relay's own queue never overflows (its drop counter is checked): a
loss there would be the test's fault, not the relay's.

Linux only: the relay's memory, CPU time and its socket's drop counter are
read from /proc.
"""
import argparse
import os
import random
import select
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

LOGIN_ACCEPTED = "ログインしました".encode("cp932")
CAPACITY_REFUSAL = "定員オーバーでログインできません".encode("cp932")
ENTRY_SUFFIX = "さんが入室しました".encode("cp932")
EXIT_SUFFIX = "さんが退室しました".encode("cp932")

MAX_DATAGRAM = 1023
MAX_STORED_NAME = 31
SLOTS = 100
LARGEST_UDP = 65507

# Lifts the system's cap on a socket queue where we may (root).
SO_RCVBUFFORCE = getattr(socket, "SO_RCVBUFFORCE", 33)
# What confrelay asks for its own receive queue.
RELAY_RECEIVE_QUEUE = 8 << 20

ARGS = None


# The relay's rules, as the model needs them ---------------------------------

def is_lead_byte(byte: int) -> bool:
    return 0x81 <= byte <= 0x9F or 0xE0 <= byte <= 0xFC


def cp932_fit(data: bytes, limit: int) -> int:
    """Longest prefix of at most `limit` bytes that splits no double-byte
    character (a lead byte with nothing after it is dropped too)."""
    end = min(len(data), limit)
    if data.isascii():
        return end
    pos = 0
    while pos < end:
        width = 2 if is_lead_byte(data[pos]) else 1
        if pos + width > end:
            break
        pos += width
    return pos


def stored_name(name: bytes) -> bytes:
    return name[:cp932_fit(name, MAX_STORED_NAME)]


def compose(*parts: bytes) -> bytes:
    """A line built piece by piece within the datagram limit, each piece cut
    at a character boundary."""
    line = b""
    for part in parts:
        line += part[:cp932_fit(part, MAX_DATAGRAM - len(line))]
    return line


class TableModel:
    """What the relay's table and count must be, and what each reading socket
    must receive, after every datagram."""

    def __init__(self, readers):
        self.names = [None] * SLOTS      # stored name of a slot in use, None when free
        self.ports = [0] * SLOTS
        self.sent_names = [b""] * SLOTS  # the name as the login carried it
        self.in_use = 0
        self.occupied = set()            # the slots in use
        self.counts = []                 # every count the relay must print, in order
        self.relayed = 0                 # datagrams the relay sends, to all participants
        self.tally = dict.fromkeys(["over-long", "ignored", "refused", "accepted", "left", "unmatched leave",
                                    "full table"], 0)
        self.reader_slots = {port: 0 for port in readers}
        self.expected = {port: [] for port in readers}

    def deliver(self, port, data):
        self.relayed += 1
        if port in self.expected:
            self.expected[port].append(data)

    def broadcast(self, data):
        self.relayed += self.in_use
        for port, slots in self.reader_slots.items():
            if slots:
                self.expected[port].extend([data] * slots)

    def handle(self, port, raw: bytes):
        if self.in_use == SLOTS:
            self.tally["full table"] += 1
        if len(raw) > MAX_DATAGRAM:
            self.tally["over-long"] += 1
            return
        nul = raw.find(b"\0")
        datagram = raw if nul < 0 else raw[:nul]
        if datagram[:1] == b"!":
            self.login(port, datagram)
        elif datagram[:1] == b"#":
            self.leave(datagram)
        else:
            self.broadcast(datagram)

    def login(self, port, datagram):
        start = 1
        while start < len(datagram) and datagram[start] == ord("+"):
            start += 1
        end = datagram.find(b"+", start)
        if start == len(datagram) or end < 0:
            self.tally["ignored"] += 1
            return
        sent = datagram[start:end]
        name = stored_name(sent)
        if not name:  # only half a double-byte character: no name at all
            self.tally["ignored"] += 1
            return
        if self.in_use >= SLOTS:
            self.tally["refused"] += 1
            self.deliver(port, CAPACITY_REFUSAL)
            return
        self.tally["accepted"] += 1
        self.deliver(port, LOGIN_ACCEPTED)
        slot = self.names.index(None)
        self.occupied.add(slot)
        self.names[slot], self.ports[slot], self.sent_names[slot] = name, port, sent
        self.in_use += 1
        if port in self.reader_slots:
            self.reader_slots[port] += 1
        self.broadcast(compose(name, ENTRY_SUFFIX))
        self.counts.append(self.in_use)
        self.broadcast(compose(name, b" :", datagram[end + 1:]))

    def leave(self, datagram):
        sent = datagram[1:]
        # Every socket here is on 127.0.0.1, so a leave notice matches on
        # the (cut) name alone.
        try:
            slot = self.names.index(stored_name(sent))
        except ValueError:
            slot = -1
        self.tally["left" if slot >= 0 else "unmatched leave"] += 1
        if slot >= 0:
            self.names[slot] = None
            self.occupied.discard(slot)
            self.in_use -= 1
            if self.ports[slot] in self.reader_slots:
                self.reader_slots[self.ports[slot]] -= 1
            self.counts.append(self.in_use)
        self.broadcast(compose(sent, EXIT_SUFFIX))

    def slots_of(self, ports):
        return sorted(i for i in self.occupied if self.ports[i] in ports)


# Processes and sockets ---------------------------------------------------------

def free_udp_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def udp_socket(queue_bytes=0):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    if queue_bytes:
        try:
            sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, queue_bytes)
        except OSError:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, queue_bytes)
    sock.bind(("127.0.0.1", 0))
    return sock


def udp_drops(port: int):
    """The kernel's count of datagrams dropped at the socket on `port`, or
    None when there is no such socket (any more)."""
    with open("/proc/net/udp") as table:
        for line in table.read().splitlines()[1:]:
            fields = line.split()
            if int(fields[1].split(":")[1], 16) == port:
                return int(fields[-1])
    return None


def memory_kb(pid: int):
    values = {}
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                values[key] = int(rest.split()[0])
    return values["VmRSS"], values["VmHWM"]


def cpu_seconds(pid: int) -> float:
    """User and system time a process has used so far."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def queue_cost(length: int) -> int:
    """Conservative bytes a datagram takes from a receive queue on the
    loopback interface (its buffer's true size, not its length)."""
    return 2304 if length <= 1024 else 2 * length + 4096


class Relay:
    """A running confrelay whose stdout and stderr go to files, so it never
    waits for us to read them."""

    def __init__(self, flags, folder):
        self.port = free_udp_port()
        self.out_path = os.path.join(folder, "stdout")
        self.err_path = os.path.join(folder, "stderr")
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen([ARGS.confrelay, *flags, str(self.port)], stdin=subprocess.DEVNULL,
                                         stdout=out, stderr=err)
        self.address = ("127.0.0.1", self.port)
        deadline = time.monotonic() + 30
        while b"listening" not in self.output():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise AssertionError(f"confrelay did not start: {self.output()!r} {self.errors()!r}")
            time.sleep(0.02)

    def output(self) -> bytes:
        with open(self.out_path, "rb") as out:
            return out.read()

    def errors(self) -> bytes:
        with open(self.err_path, "rb") as err:
            return err.read()

    def counts(self):
        return [int(line.split(b":")[1]) for line in self.output().splitlines()
                if line.startswith(b"participants:")]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode


def pin_apart(relay_pid: int):
    """One core for the relay, another for us. Loopback datagrams wait in the
    queue of the core that sent them; a sender that moves between cores while
    those queues are handed to a kernel thread could see its datagrams
    overtake each other, and order is what the model checks."""
    cores = sorted(os.sched_getaffinity(0))
    os.sched_setaffinity(0, {cores[0]})
    os.sched_setaffinity(relay_pid, {cores[-1]})


def receive_until(sock, count, deadline, into, alive=lambda: True):
    """Appends datagrams to `into` until it holds `count` of them; False if
    the deadline came first or `alive` turned false."""
    sock.setblocking(False)
    while len(into) < count:
        try:
            into.append(sock.recv(LARGEST_UDP + 1))
        except BlockingIOError:
            left = deadline - time.monotonic()
            if left <= 0 or not alive():
                return False
            select.select([sock], [], [], min(left, 0.5))
    return True


def receive_waiting(sock, into):
    sock.setblocking(False)
    try:
        while True:
            into.append(sock.recv(LARGEST_UDP + 1))
    except BlockingIOError:
        pass


# Datagrams ---------------------------------------------------------------------

# Double-byte characters, among them some whose second byte is 0x5C (a backslash) and
# the wave dash 81 60.
KANJI = [c.encode("cp932") for c in "会議参加者表示ソフト～能予十申漢字入室退東京大阪名前日本語話題"]
KATAKANA = [bytes([b]) for b in range(0xA6, 0xE0)]  # half-width, one byte each
LETTERS = b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-. :"


class Traffic:
    """Random datagrams of every kind. Names always carry a serial number, so
    none of them equals a reader's name."""

    def __init__(self, rng: random.Random):
        self.rng = rng
        self.serial = 0
        # Drawn once; each datagram takes a slice at a random place, which
        # costs far less than drawing every byte.
        self.letter_pool = bytes(rng.choices(LETTERS, k=1 << 16))
        self.byte_pool = bytes(rng.randrange(1, 256) for _ in range(1 << 16))

    def next_serial(self):
        self.serial += 1
        return self.serial

    def letters(self, length):
        start = self.rng.randrange(len(self.letter_pool) - length)
        return self.letter_pool[start:start + length]

    def any_bytes(self, length):
        """Any bytes but NUL, lone lead bytes included."""
        start = self.rng.randrange(len(self.byte_pool) - length)
        return self.byte_pool[start:start + length]

    def japanese(self, length):
        """About `length` bytes of double-byte characters (the last one may
        overrun by one byte) with some half-width katakana."""
        out = b""
        while len(out) < length:
            out += self.rng.choice(KANJI) if self.rng.random() < 0.8 else self.rng.choice(KATAKANA)
        return out

    def short_name(self):
        tag = b"%d" % self.next_serial()
        kind = self.rng.randrange(3)
        if kind == 0:
            return b"u" + tag + self.letters(self.rng.randrange(0, 12))
        if kind == 1:
            return self.japanese(self.rng.randrange(2, 14)) + tag
        return self.rng.choice(KATAKANA) + tag + self.japanese(self.rng.randrange(0, 8))

    def long_name(self):
        """32 to 200 bytes; the cut at 31 bytes may fall inside a double-byte
        character (then 30 bytes are kept) or between two."""
        length = self.rng.randrange(32, 201)
        tag = b"L%d" % self.next_serial()
        kind = self.rng.randrange(4)
        if kind == 0:
            name = tag + self.letters(length)
        elif kind == 1:
            # The lead byte of a character lands on the 31st byte.
            prefix = tag + b"x" * ((30 - len(tag)) % 2)
            name = prefix + b"".join(self.rng.choice(KANJI) for _ in range(length // 2))
        elif kind == 2:
            # A character ends on the 31st byte exactly.
            prefix = tag + b"x" * ((31 - len(tag)) % 2)
            name = prefix + b"".join(self.rng.choice(KANJI) for _ in range(length // 2))
        else:
            name = tag + self.japanese(length)
        return name[:max(32, length)]

    def text(self):
        kind = self.rng.randrange(8)
        if kind == 0:
            return b""
        if kind == 1:
            return self.japanese(self.rng.randrange(1, 60))
        if kind == 2:
            return b"a+b+c " + self.letters(self.rng.randrange(0, 20))  # '+' inside the text
        if kind == 3:
            return self.letters(10) + b"\r\n" + self.japanese(10)
        if kind == 4:
            # Any non-NUL byte, even a lone lead byte at the end.
            return self.any_bytes(self.rng.randrange(1, 40))
        if kind == 5:
            return self.letters(self.rng.randrange(300, 900))
        return self.letters(self.rng.randrange(1, 40))

    def login(self, name: bytes, marks=b"!"):
        """A login request with some text, within the datagram limit."""
        return (marks + name + b"+" + self.text())[:MAX_DATAGRAM]

    def chat(self, prefix: bytes, tag: int):
        line = prefix + b"%d " % tag + self.text()
        return line[:MAX_DATAGRAM]

    def stranger_line(self, tag: int):
        kind = self.rng.randrange(6)
        if kind == 0:
            return LOGIN_ACCEPTED + b" %d" % tag   # looks like a reply; still just a line
        if kind == 1:
            return b"+%d+" % tag + self.text()
        if kind == 2:
            return (b"%d " % tag + self.letters(MAX_DATAGRAM))[:MAX_DATAGRAM]
        if kind == 3:
            return b"%d" % tag + self.any_bytes(self.rng.randrange(0, 60))
        return b"stranger %d: " % tag + self.text()


# The flood ---------------------------------------------------------------------

WATCHER_NAME = "見張り".encode("cp932")
DOORMAN_NAME = "受付".encode("cp932")


class Flood:
    """Drives one relay: builds each chunk from the model's state, sends it
    and checks what the reading sockets got."""

    def __init__(self, test, relay, seed, wait_seconds, deadline):
        self.test = test
        self.relay = relay
        self.seed = seed
        self.rng = random.Random(seed)
        self.traffic = Traffic(self.rng)
        self.wait_seconds = wait_seconds
        self.deadline = deadline
        reader_queue = 32 << 20
        # The watcher never leaves; the doorman logs in and out and is
        # refused while the table is full; the stranger never logs in.
        self.watcher = udp_socket(reader_queue)
        self.doorman = udp_socket(reader_queue)
        self.stranger = udp_socket(reader_queue)
        self.pool = [udp_socket() for _ in range(SLOTS - 1)]
        self.readers = [self.watcher, self.doorman, self.stranger]
        self.port_of = {}
        self.socket_of = {}
        for sock in self.readers + self.pool:
            port = sock.getsockname()[1]
            self.port_of[sock] = port
            self.socket_of[port] = sock
        self.pool_ports = {self.port_of[s] for s in self.pool}
        self.model = TableModel([self.port_of[s] for s in self.readers])
        # Two chunks in flight may fill a quarter of the smallest queue they
        # pass through.
        smallest = min(min(s.getsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF) for s in self.readers),
                       self.relay_queue_bytes())
        self.chunk_bytes = smallest // 8
        self.chunk_limit = 512
        self.plan = []
        self.plan_bytes = 0
        self.chunks = 0
        self.line_tag = 0
        self.departed = []
        self.sent = 0
        self.malformed = 0

    @staticmethod
    def relay_queue_bytes():
        if os.geteuid() == 0:
            return 2 * RELAY_RECEIVE_QUEUE
        with open("/proc/sys/net/core/rmem_max") as limit:
            return 2 * min(RELAY_RECEIVE_QUEUE, int(limit.read()))

    def close(self):
        for sock in self.readers + self.pool:
            sock.close()

    # One datagram: the model learns it, the plan keeps it for sending.
    def send(self, sock, data: bytes):
        self.model.handle(self.port_of[sock], data)
        self.plan.append((sock, data))
        self.plan_bytes += queue_cost(len(data))
        self.sent += 1

    def chunk_full(self):
        return len(self.plan) >= self.chunk_limit - 1 or self.plan_bytes >= self.chunk_bytes

    def tag(self):
        self.line_tag += 1
        return self.line_tag

    def take_chunk(self):
        """Closes the plan with a line from the stranger; returns it with what
        each reader must get for it."""
        self.send(self.stranger, b"end of chunk %d" % self.chunks)
        self.chunks += 1
        expected = {sock: self.model.expected[self.port_of[sock]] for sock in self.readers}
        for sock in self.readers:
            self.model.expected[self.port_of[sock]] = []
        chunk = (self.chunks, self.plan, expected)
        self.plan, self.plan_bytes = [], 0
        return chunk

    def transmit(self, chunk):
        if time.monotonic() > self.deadline:
            self.test.fail(f"the flood's deadline passed at chunk {chunk[0]}")
        address = self.relay.address
        for sock, data in chunk[1]:
            sock.sendto(data, address)

    def verify(self, chunk, nothing_after=False):
        """Reads each reader's datagrams of one chunk. The watcher is in the
        table and hears the closing line last of all, so once it has its
        share the relay is through the chunk and everyone's share was sent."""
        number, _, expected = chunk
        deadline = time.monotonic() + self.wait_seconds
        for sock, wanted in expected.items():
            got = []
            complete = receive_until(sock, len(wanted), deadline, got, lambda: self.relay.proc.poll() is None)
            if nothing_after:
                receive_waiting(sock, got)
            if got != wanted:
                self.report_mismatch(number, sock, wanted, got, complete)

    def flush(self):
        """One chunk, sent and checked before anything else is sent."""
        chunk = self.take_chunk()
        self.transmit(chunk)
        self.verify(chunk, nothing_after=True)

    def name_of(self, sock):
        return {self.watcher: "watcher", self.doorman: "doorman", self.stranger: "stranger"}.get(sock, "newcomer")

    def report_mismatch(self, number, sock, expected, got, complete):
        who = self.name_of(sock)
        first = next((i for i, (e, g) in enumerate(zip(expected, got)) if e != g), min(len(expected), len(got)))
        self.test.fail(
            f"chunk {number}: the {who} got {len(got)} datagrams, expected {len(expected)}"
            f"{'' if complete else ' (timed out)'}; first difference at {first}: "
            f"expected {expected[first:first + 2]!r}, got {got[first:first + 2]!r}; "
            f"drops at the relay {udp_drops(self.relay.port)}, at the {who} {udp_drops(self.port_of[sock])}; "
            f"relay exit status {self.relay.proc.poll()}; seed {self.seed}")

    # Setting up: the watcher and 99 others fill the table.
    def fill_table(self):
        self.send(self.watcher, b"!" + WATCHER_NAME + b"+" + "見ています".encode("cp932"))
        for i, sock in enumerate(self.pool):
            name = self.traffic.long_name() if i % 5 == 0 else self.traffic.short_name()
            self.send(sock, self.traffic.login(name))
            if self.chunk_full():
                self.flush()
        self.flush()
        self.test.assertEqual(self.model.in_use, SLOTS)

    # The flood proper.
    def run(self, total: int):
        cycle = 24
        target = SLOTS
        goal = self.sent + total
        # Two chunks in flight: while the relay works through one, we build
        # the next and check the one before.
        in_flight = []
        while self.sent < goal:
            if len(self.plan) == 0:
                # Most chunks keep the table small, two in `cycle` fill it and
                # keep it full: broadcasting to a full table costs a hundred
                # sends a line.
                target = SLOTS if self.chunks % cycle < 2 else self.rng.randrange(2, 9)
            if self.rng.random() < 0.1:
                self.malformed += 1
                self.send_malformed()
            else:
                self.send_valid(target)
            if self.chunk_full() or self.sent >= goal - 1:
                chunk = self.take_chunk()
                self.transmit(chunk)
                in_flight.append(chunk)
                if len(in_flight) == 2:
                    self.verify(in_flight.pop(0))
        for chunk in in_flight:
            self.verify(chunk)

    def pool_out_of_table(self):
        inside = {self.model.ports[i] for i in self.model.slots_of(self.pool_ports)}
        return [s for s in self.pool if self.port_of[s] not in inside]

    def random_pool_slot(self):
        slots = self.model.slots_of(self.pool_ports)
        return self.rng.choice(slots) if slots else None

    def doorman_inside(self):
        return self.model.reader_slots[self.port_of[self.doorman]] > 0

    def send_valid(self, target):
        model = self.model
        if model.in_use == SLOTS:
            login, leave = 0.35, 0.05  # refused, unless a leave came first
        elif model.in_use < target:
            login, leave = 0.35, 0.02
        elif model.in_use > target:
            login, leave = 0.03, 0.35
        else:
            login, leave = 0.08, 0.05
        draw = self.rng.random()
        if draw < login:
            self.valid_login()
        elif draw < login + leave:
            self.valid_leave()
        else:
            self.valid_chat()

    def valid_login(self):
        kind = self.rng.random()
        if kind < 0.12 and not self.doorman_inside():
            self.send(self.doorman, self.traffic.login(DOORMAN_NAME))
            return
        if kind < 0.17:
            # A participant logs in a second time and takes a second slot.
            slot = self.random_pool_slot()
            if slot is not None:
                sock = self.socket_of[self.model.ports[slot]]
                self.send(sock, b"!" + self.model.sent_names[slot] + b"+again")
                return
        outside = self.pool_out_of_table()
        sock = self.rng.choice(outside or self.pool)
        name = self.traffic.short_name()
        if kind < 0.25:
            self.send(sock, self.traffic.login(name, b"!++"))  # '+' right after '!' are skipped
        else:
            self.send(sock, self.traffic.login(name))

    def valid_leave(self):
        kind = self.rng.random()
        if kind < 0.08 and self.doorman_inside():
            slot = self.model.slots_of({self.port_of[self.doorman]})[0]
            self.send(self.doorman, b"#" + self.model.sent_names[slot])
            return
        if kind < 0.16:
            # A name nobody has, or one that left already: announced, nothing freed.
            name = self.rng.choice(self.departed) if self.departed else self.traffic.short_name()
            self.send(self.stranger, b"#" + name)
            return
        slot = self.random_pool_slot()
        if slot is None:
            self.send(self.stranger, b"#" + self.traffic.short_name())
            return
        sent = self.model.sent_names[slot]
        self.departed = (self.departed + [sent])[-20:]
        self.send(self.socket_of[self.model.ports[slot]], b"#" + sent)

    def valid_chat(self):
        kind = self.rng.random()
        tag = self.tag()
        if kind < 0.4:
            self.send(self.stranger, self.traffic.stranger_line(tag))
        elif kind < 0.5:
            self.send(self.watcher, self.traffic.chat(WATCHER_NAME + b": ", tag))
        elif kind < 0.55 and self.doorman_inside():
            slot = self.model.slots_of({self.port_of[self.doorman]})[0]
            self.send(self.doorman, self.traffic.chat(self.model.names[slot] + b": ", tag))
        else:
            slot = self.random_pool_slot()
            if slot is None:
                self.send(self.stranger, self.traffic.stranger_line(tag))
            else:
                self.send(self.socket_of[self.model.ports[slot]],
                          self.traffic.chat(self.model.names[slot] + b": ", tag))

    def send_malformed(self):
        traffic, rng = self.traffic, self.rng
        kind = rng.randrange(16)
        # Who sends a malformed login: mostly the stranger, who reads and
        # must hear nothing back; sometimes the doorman.
        asker = self.stranger if rng.random() < 0.8 or self.doorman_inside() else self.doorman
        if kind == 0:
            self.send(asker, rng.choice([b"!", b"!+", b"!+++", b"!" + b"+" * rng.randrange(4, 40),
                                         b"!\x82+" + traffic.text(), b"!++\xe0+x"]))
        elif kind == 1:
            self.send(asker, b"!" + rng.choice([traffic.short_name(), traffic.long_name()]))  # no '+'
        elif kind == 2:
            # Long names: stored cut, if there is room. A pool socket sends
            # them, so the cut name can be seen in the table and left with.
            outside = self.pool_out_of_table()
            self.send(rng.choice(outside or self.pool), traffic.login(traffic.long_name()))
        elif kind == 3:
            # The doorman hears its own reply and entry notice, with the cut name.
            sock = self.doorman if not self.doorman_inside() else rng.choice(self.pool)
            self.send(sock, traffic.login(traffic.long_name()))
        elif kind == 4:
            self.malformed_leave()
        elif kind == 5:
            self.send(self.stranger, b"#")
        elif kind == 6:
            self.send(self.stranger, b"\0" + rng.choice([b"", b"!x+y", b"#x", traffic.letters(20)]))
        elif kind == 7:
            # NUL inside the name: what is left has no '+'.
            name = traffic.short_name()
            cut = rng.randrange(1, len(name))
            self.send(asker, b"!" + name[:cut] + b"\0" + name[cut:] + b"+" + traffic.text())
        elif kind == 8:
            # NUL in a leave notice's name: the name ends there.
            slot = self.random_pool_slot()
            name = self.model.sent_names[slot] if slot is not None and rng.random() < 0.5 else traffic.short_name()
            self.send(self.stranger, b"#" + name + b"\0" + traffic.letters(5))
        elif kind == 9:
            self.send(self.stranger, b"chat %d " % self.tag() + traffic.letters(10) + b"\0" + traffic.letters(30))
        elif kind == 10:
            self.send(self.stranger, b"")
        elif kind == 11:
            # NUL in a login's text: the first line stops there.
            outside = self.pool_out_of_table()
            self.send(rng.choice(outside or self.pool),
                      b"!" + traffic.short_name() + b"+ab\0cd")
        elif kind in (12, 13):
            self.send(self.stranger, rng.choice([b"!", b"#", b"x"]) + traffic.letters(MAX_DATAGRAM))  # 1024
        elif kind == 14:
            self.send(self.stranger, rng.choice([b"!", b"#", b"x"]) + bytes(LARGEST_UDP - 1))
        else:
            self.send(self.stranger, rng.choice([b"!", b"y"]) * (MAX_DATAGRAM + 1 + rng.randrange(0, 3000)))

    def malformed_leave(self):
        """A leave notice with a name over 31 bytes: cut before it is
        compared, so it frees a long-named participant whether it carries the
        whole name or only the same first 31 bytes, and it frees nobody when
        the cut falls elsewhere."""
        rng = self.rng
        long_slots = [i for i in self.model.slots_of(self.pool_ports) if len(self.model.sent_names[i]) > 31]
        if not long_slots:
            self.send(self.stranger, b"#" + self.traffic.long_name())
            return
        slot = rng.choice(long_slots)
        sent = self.model.sent_names[slot]
        variant = rng.randrange(4)
        if variant == 0:
            name = sent
        elif variant == 3:
            name = self.model.names[slot]  # as stored: 30 bytes when the cut fell inside a character
        elif variant == 1:
            name = sent[:31] + self.traffic.letters(rng.randrange(1, 100))
        else:
            name = sent[:30] + b"Q" + self.traffic.letters(rng.randrange(1, 50))
        self.send(self.socket_of[self.model.ports[slot]], b"#" + name)


class FloodTest(unittest.TestCase):
    def flood(self, flags, label):
        if not sys.platform.startswith("linux"):
            self.skipTest("reads the relay's memory and queue from /proc")
        deadline = time.monotonic() + ARGS.deadline
        with tempfile.TemporaryDirectory() as folder:
            relay = Relay(flags, folder)
            restore = os.sched_getaffinity(0)
            flood = None
            try:
                pin_apart(relay.proc.pid)
                flood = Flood(self, relay, ARGS.seed, ARGS.wait, deadline)
                flood.fill_table()
                assert_counts_printed(self, relay, flood.model.counts, ARGS.wait)
                model = flood.model
                rss_before, _ = memory_kb(relay.proc.pid)
                cpu_before, our_cpu_before = cpu_seconds(relay.proc.pid), time.process_time()
                sent_before, relayed_before, tally_before = flood.sent, model.relayed, dict(model.tally)
                begun = time.monotonic()
                flood.run(ARGS.datagrams)
                seconds = time.monotonic() - begun
                relay_cpu = cpu_seconds(relay.proc.pid) - cpu_before
                our_cpu = time.process_time() - our_cpu_before
                rss_after, peak = memory_kb(relay.proc.pid)
                sent, relayed = flood.sent - sent_before, model.relayed - relayed_before
                tally = ", ".join(f"{key} {value - tally_before[key]}" for key, value in model.tally.items())
                count = assert_counts_printed(self, relay, model.counts, ARGS.wait)[-1]
                self.assertEqual(count, model.in_use, "the last count printed")
                self.after_the_flood(flood, relay)
                print(f"flood {label}: {sent} datagrams ({flood.malformed} malformed) in {seconds:.1f} s = "
                      f"{sent / seconds:.0f}/s; relay sent {relayed}; RSS {rss_before} -> {rss_after} kB "
                      f"(peak {peak} kB); count {count}; CPU relay {relay_cpu:.1f} s, test {our_cpu:.1f} s; "
                      f"seed {ARGS.seed}\n  handled: {tally}", flush=True)
                self.assertLessEqual(rss_after - rss_before, ARGS.rss_tolerance,
                                     f"the relay grew from {rss_before} kB to {rss_after} kB")
            finally:
                os.sched_setaffinity(0, restore)
                if flood is not None:
                    flood.close()
                code = relay.stop()
            self.assertEqual(code, 0, relay.errors())
            self.assertEqual(relay.errors(), b"", "no report while serving")

    def after_the_flood(self, flood, relay):
        model = flood.model
        self.assertEqual(udp_drops(relay.port), 0, "the relay's own queue dropped datagrams")
        for sock in flood.readers:
            self.assertEqual(udp_drops(flood.port_of[sock]), 0, f"the {flood.name_of(sock)} dropped datagrams")
        # Make room if the flood ended full; then a newcomer logs in and talks.
        if model.in_use == SLOTS:
            slot = flood.random_pool_slot()
            flood.send(flood.socket_of[model.ports[slot]], b"#" + model.sent_names[slot])
        newcomer = udp_socket(1 << 20)
        try:
            flood.readers.append(newcomer)
            port = newcomer.getsockname()[1]
            flood.port_of[newcomer] = port
            model.reader_slots[port] = 0
            model.expected[port] = []
            name, hello = "新人".encode("cp932"), "はじめまして".encode("cp932")
            line = "新人: よろしく".encode("cp932")
            flood.send(newcomer, b"!" + name + b"+" + hello)
            flood.send(newcomer, line)
            # What the newcomer must hear, spelled out rather than modelled.
            self.assertEqual(model.expected[port],
                             [LOGIN_ACCEPTED, name + ENTRY_SUFFIX, name + b" :" + hello, line])
            flood.flush()
        finally:
            flood.readers.remove(newcomer)
            newcomer.close()
        # Nothing more arrives anywhere once the relay has gone quiet.
        time.sleep(0.3)
        for sock in flood.readers:
            stray = []
            receive_waiting(sock, stray)
            self.assertEqual(stray[:3], [], f"the {flood.name_of(sock)} got {len(stray)} datagrams too many")
        counts = assert_counts_printed(self, relay, model.counts, ARGS.wait)
        self.assertEqual(counts[-1], model.in_use)

    def test_batched(self):
        self.flood([], "batched")

    def test_per_datagram(self):
        self.flood(["--per-datagram"], "per-datagram")


def assert_counts_printed(test, relay, changes, wait):
    """The relay prints the count at most once a second: what it printed is
    some of the changes, in order, never more lines than changes, and the
    last change is always printed (a second late at most)."""
    deadline = time.monotonic() + wait
    while (not relay.counts() or relay.counts()[-1] != changes[-1]) and time.monotonic() < deadline:
        time.sleep(0.05)
    printed = relay.counts()
    remaining = iter(changes)
    test.assertTrue(all(any(change == count for change in remaining) for count in printed),
                    f"printed {printed} are not among the changes {changes[:20]}... in order")
    test.assertEqual(printed[-1], changes[-1], "the last count is printed")
    return printed


class ClosedParticipant(unittest.TestCase):
    """A participant whose socket is closed without a leave notice stays in
    the table: what is sent to it is lost, and nobody else's lines are."""

    def receive(self, sock, count):
        got = []
        receive_until(sock, count, time.monotonic() + ARGS.wait, got)
        receive_waiting(sock, got)
        return got

    def lines_still_reach_the_others(self, flags):
        with tempfile.TemporaryDirectory() as folder:
            relay = Relay(flags, folder)
            alice, gone, carol, stranger = (udp_socket() for _ in range(4))
            try:
                for sock, name in ((alice, b"alice"), (gone, b"gone"), (carol, b"carol")):
                    sock.sendto(b"!" + name + b"+hi", relay.address)
                    self.assertEqual(self.receive(sock, 3), [LOGIN_ACCEPTED, name + ENTRY_SUFFIX, name + b" :hi"])
                self.assertEqual(self.receive(alice, 4), [b"gone" + ENTRY_SUFFIX, b"gone :hi",
                                                          b"carol" + ENTRY_SUFFIX, b"carol :hi"])
                gone.close()
                for round_ in range(3):
                    lines = [b"round %d line %d" % (round_, i) for i in range(20)]
                    for i, line in enumerate(lines):
                        (alice if i % 2 else stranger).sendto(line, relay.address)
                    for sock in (alice, carol):
                        self.assertEqual(self.receive(sock, len(lines)), lines)
                    # Give any error the system reports about the closed
                    # port time to reach the relay before the next round.
                    time.sleep(0.2)
                self.assertIsNone(relay.proc.poll())
                assert_counts_printed(self, relay, [1, 2, 3], ARGS.wait)  # the closed participant still counts
                # It is still in the table: its leave notice, sent by anyone
                # on its address, frees the slot.
                stranger.sendto(b"#gone", relay.address)
                for sock in (alice, carol):
                    self.assertEqual(self.receive(sock, 1), [b"gone" + EXIT_SUFFIX])
                assert_counts_printed(self, relay, [1, 2, 3, 2], ARGS.wait)
                self.assertEqual(self.receive(stranger, 0), [], "the stranger is sent nothing")
            finally:
                for sock in (alice, carol, stranger):
                    sock.close()
                code = relay.stop()
            self.assertEqual(code, 0)
            self.assertEqual(relay.errors(), b"")

    def test_batched(self):
        self.lines_still_reach_the_others([])

    def test_per_datagram(self):
        self.lines_still_reach_the_others(["--per-datagram"])


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--confrelay", required=True)
    parser.add_argument("--datagrams", type=int, default=1_000_000, help="datagrams in each flood")
    parser.add_argument("--seed", type=int, default=20240601)
    parser.add_argument("--wait", type=float, default=30.0, help="seconds any one wait may take")
    parser.add_argument("--deadline", type=float, default=480.0, help="seconds one flood may take in all")
    parser.add_argument("--rss-tolerance", type=int, default=512, help="kB the relay may grow by")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
