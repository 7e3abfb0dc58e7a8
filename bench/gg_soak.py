#!/usr/bin/env python3
"""gg_soak: a few hundred GG clients of every dialect (6.0, 8.0, 11) doing random things to a
running GG server on 127.0.0.1 for a set time, then a check of what the server promised.

Started by bench/gg_soak.sh, which runs the server in a network namespace of its own. Clients:
  steady    stay connected, read at once, chat with anyone, change status, send notify lists
  slow      stay connected, read at most --slow-rate bytes a second
  never     stay connected and read nothing until the end
  flooder   stay connected, send long messages to the clients that never read
  churn     log in, chat a while, leave (orderly or by reset) and come back
  malformed log in or not, send packets no client sends (bad lengths, unknown types, garbage)
Checked at the end, after a drain: every message acknowledged as delivered (status 2) to a
client that stayed connected arrived there once and whole; every message between clients that
stayed connected and read was acknowledged as delivered; no acknowledgement is missing; the
server's resident memory after the warm-up stays flat; and the server still logs a new client in
and passes its message on. Prints the figures; exits 1 when a check fails.
"""
import argparse
import errno
import random
import re
import selectors
import socket
import struct
import sys
import time

WELCOME, NEW_STATUS, LOGIN_OK, SEND_MSG_ACK, RECV_MSG, SEND_MSG = 1, 2, 3, 5, 10, 11
NOTIFY_LAST, LOGIN60, USERLIST = 16, 21, 22
SEND_MSG80, LOGIN80, NEW_STATUS80, RECV_MSG80, RECV_ACK = 0x2D, 0x31, 0x38, 0x2E, 0x46
SEND_MSG110, LOGIN105 = 0x7D, 0x83
PERMANENT = ('steady', 'slow', 'never', 'flooder')
MARK = re.compile(rb'S(\d+)-(\d+);([a-z]+)\|')


def le(value):
    return struct.pack('<i', value)


def packet(kind, payload):
    return le(kind) + le(len(payload)) + payload


def varint(value):
    out = b''
    while value >= 0x80:
        out += bytes([(value & 0x7F) | 0x80])
        value >>= 7
    return out + bytes([value])


def field(number, data):
    return varint(number << 3 | 2) + varint(len(data)) + data


def packed_uin(uin):
    digits = str(uin).encode()
    return b'\x01' + bytes([len(digits)]) + digits


def login(dialect, uin, status):
    if dialect == '6.0':
        return packet(LOGIN60, le(uin) + le(0x1234) + le(status) + le(0x20) + bytes(10))
    if dialect == '8.0':
        version = b'Gadu-Gadu Client Build 10.1.0.11070'
        return packet(LOGIN80, le(uin) + b'pl\x02' + bytes(64) + le(status) + le(0x00800001) + le(0x2737) + le(0)
                      + bytes(2) + le(0) + bytes(2) + b'\x00\x64' + le(len(version)) + version + le(0))
    return packet(LOGIN105, field(1, b'pl') + field(2, packed_uin(uin)) + b'\x45' + le(status) + field(9, b''))


def message(dialect, to, seq, text):
    if dialect == '6.0':
        return packet(SEND_MSG, le(to) + le(seq) + le(8) + text + b'\0')
    html = b'<span>' + text + b'</span>'
    if dialect == '8.0':
        return packet(SEND_MSG80, le(to) + le(seq) + le(8) + le(20 + len(html) + 1) + le(0) + html + b'\0' + text + b'\0')
    return packet(SEND_MSG110, field(1, packed_uin(to)) + varint(2 << 3) + varint(8) + varint(3 << 3) + varint(seq)
                  + field(5, text) + field(6, html))


def status(dialect, code, description):
    if dialect == '6.0':
        return packet(NEW_STATUS, le(code) + description)
    return packet(NEW_STATUS80, le(code) + le(0) + le(len(description)) + description)


def text_for(uin, seq, length):
    letters = ''.join(chr(97 + (uin * 7 + seq * 13 + i) % 26) for i in range(length))
    return b'S%d-%d;%s|' % (uin, seq, letters.encode())


class Soak:
    def __init__(self, options):
        self.o = options
        self.rng = random.Random(options.seed)
        self.sel = selectors.DefaultSelector()
        self.clients = []
        self.sent = {}        # (uin, seq) -> [recipient, ack, permanent sender, sent once all were in]
        self.all_in = False   # every client that stays has logged in
        self.arrived = {}     # (uin, seq) -> count, at permanent recipients
        self.faults = []
        self.fault_counts = {}
        self.figures = dict(connects=0, resets=0, orderly=0, malformed=0, messages=0, status_changes=0,
                            lists=0, closed_by_server=0, bytes_in=0)
        roles = (['never'] * options.never + ['flooder'] * options.flooders
                 + ['slow'] * int(options.clients * 0.1) + ['churn'] * int(options.clients * 0.25)
                 + ['malformed'] * int(options.clients * 0.1))
        roles += ['steady'] * max(0, options.clients - len(roles))
        for i, role in enumerate(roles):
            self.clients.append(Client(self, 1000 + i, role, self.rng.choice(['6.0', '8.0', '11'])))
        self.never = [c.uin for c in self.clients if c.role == 'never']
        self.uins = [c.uin for c in self.clients]

    def fault(self, text, kind=None):
        """Counts a fault of its kind (by default its text); the first text of each kind is kept."""
        kind = kind or text
        if kind not in self.fault_counts:
            self.fault_counts[kind] = 0
            self.faults.append(text)
        self.fault_counts[kind] += 1

    def run(self):
        start = self.started = time.monotonic()
        memory = []
        next_sample = start
        for c in self.clients:
            c.connect(start)
        end = start + self.o.seconds
        while True:
            now = time.monotonic()
            if now >= end:
                break
            if now >= next_sample:
                memory.append((now - start, resident_kib(self.o.server_pid)))
                next_sample += self.o.sample
                if memory[-1][1] < 0:
                    self.fault('the server is gone at %.0f s' % memory[-1][0])
                    return memory
            for c in self.clients:
                c.act(now)
            if not self.all_in:
                self.all_in = all(c.logged_in for c in self.clients if c.role in PERMANENT)
            self.turn(0.01)
        # The drain: nothing new is sent, the clients that never read start reading.
        for c in self.clients:
            c.stop_sending = True
            if c.role == 'never' and c.sock:
                c.reading = True
                c.update()
        drain_end = time.monotonic() + self.o.drain
        while time.monotonic() < drain_end and not self.settled():
            for c in self.clients:
                c.act(time.monotonic())
            self.turn(0.05)
        memory.append((time.monotonic() - start, resident_kib(self.o.server_pid)))
        return memory

    def settled(self):
        for (uin, seq), (to, ack, permanent, _) in self.sent.items():
            if permanent and ack is None:
                return False
            if ack == 2 and to in self.permanent_uins() and (uin, seq) not in self.arrived:
                return False
        return True

    def permanent_uins(self):
        if not hasattr(self, '_permanent'):
            self._permanent = {c.uin for c in self.clients if c.role in PERMANENT}
        return self._permanent

    def turn(self, timeout):
        for key, events in self.sel.select(timeout):
            key.data.ready(events)

    def check(self):
        permanent = self.permanent_uins()
        readers = {c.uin for c in self.clients if c.role in ('steady', 'slow', 'flooder')}
        gone = {c.uin for c in self.clients if c.role in PERMANENT and c.lost}
        for c in self.clients:
            if c.uin in gone:
                self.fault('client %d (%s, %s), which was to stay, lost its connection at %.0f s: %s'
                           % (c.uin, c.role, c.dialect, c.lost_at - self.started, c.lost_how), 'lost connection')
        acked = delivered = lost = refused_between_readers = missing_acks = 0
        for (uin, seq), (to, ack, sender_permanent, all_in) in self.sent.items():
            if ack is not None:
                acked += 1
            elif sender_permanent and uin not in gone:
                missing_acks += 1
            if ack == 2:
                delivered += 1
                if to in permanent and to not in gone and (uin, seq) not in self.arrived:
                    lost += 1
            if ack == 1 and all_in and sender_permanent and to in readers and uin not in gone and to not in gone:
                refused_between_readers += 1
        duplicates = sum(1 for n in self.arrived.values() if n > 1)
        if lost:
            self.fault('%d messages acknowledged as delivered never arrived' % lost)
        if missing_acks:
            self.fault('%d messages of clients that stayed got no acknowledgement' % missing_acks)
        if refused_between_readers:
            self.fault('%d messages between connected, reading clients were refused' % refused_between_readers)
        if duplicates:
            self.fault('%d messages arrived more than once' % duplicates)
        return dict(acknowledged=acked, acked_delivered=delivered, acked_undelivered=acked - delivered,
                    arrived_at_staying=len(self.arrived), lost=lost, duplicates=duplicates)

    def still_answers(self):
        """A new client logs in and its message reaches a steady client."""
        steady = next(c for c in self.clients if c.role == 'steady' and c.sock and c.logged_in)
        probe = Client(self, 999, 'probe', '6.0')
        probe.connect(time.monotonic())
        deadline = time.monotonic() + 10
        while not probe.logged_in and time.monotonic() < deadline:
            self.turn(0.05)
        if not probe.logged_in:
            return False
        probe.send_message(steady.uin, 40)
        key = (probe.uin, probe.seq)
        while time.monotonic() < deadline and not (self.sent[key][1] == 2 and key in self.arrived):
            for c in (probe, steady):
                c.act(time.monotonic())
            self.turn(0.05)
        return self.sent[key][1] == 2 and key in self.arrived


class Client:
    def __init__(self, soak, uin, role, dialect):
        self.soak, self.uin, self.role, self.dialect = soak, uin, role, dialect
        self.rng = soak.rng
        self.sock = None
        self.seq = 0
        self.stop_sending = False
        self.lost = False
        self.reset_state()

    def reset_state(self):
        self.inbox = b''
        self.outbox = b''
        self.logged_in = False
        self.reading = self.role != 'never'
        self.next_action = 0.0
        self.leave_at = None
        self.read_budget = 0.0
        self.budget_time = time.monotonic()

    # ---- connection ----

    def connect(self, now):
        self.reset_state()
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        err = s.connect_ex(('127.0.0.1', self.soak.o.port))
        if err not in (0, errno.EINPROGRESS):
            s.close()
            self.next_action = now + 1
            return
        self.sock = s
        self.registered = False
        self.soak.figures['connects'] += 1
        self.update()
        self.next_action = now + self.rng.uniform(0.05, 0.5)
        if self.role == 'churn':
            self.leave_at = now + self.rng.uniform(2, 20)
        if self.role == 'malformed':
            self.leave_at = now + self.rng.uniform(1, 5)
        if self.role != 'malformed' or self.rng.random() < 0.5:
            self.queue(login(self.dialect, self.uin, 2))

    def events(self):
        # A slow client reads on its own clock, from act(); one that reads nothing is not asked.
        wants_read = self.reading and self.role != 'slow'
        return (selectors.EVENT_READ if wants_read else 0) | (selectors.EVENT_WRITE if self.outbox else 0)

    def update(self):
        if not self.sock:
            return
        ev = self.events()
        if ev and self.registered:
            self.soak.sel.modify(self.sock, ev, self)
        elif ev:
            self.soak.sel.register(self.sock, ev, self)
        elif self.registered:
            self.soak.sel.unregister(self.sock)
        self.registered = bool(ev)

    def close(self, reset, by_server=False, now=None, how='end of stream'):
        if not self.sock:
            return
        if reset:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
            self.soak.figures['resets'] += 1
        elif not by_server:
            self.soak.figures['orderly'] += 1
        if self.registered:
            self.soak.sel.unregister(self.sock)
        self.registered = False
        self.sock.close()
        self.sock = None
        if by_server:
            self.soak.figures['closed_by_server'] += 1
            if (self.role in PERMANENT or self.role == 'probe') and not self.lost:
                self.lost, self.lost_at, self.lost_how = True, time.monotonic(), how
        self.next_action = (now or time.monotonic()) + self.rng.uniform(0.5, 3)

    def queue(self, data):
        self.outbox += data
        self.flush()

    def flush(self):
        if not self.sock:
            return
        try:
            while self.outbox:
                n = self.sock.send(self.outbox)
                self.outbox = self.outbox[n:]
        except BlockingIOError:
            pass
        except OSError as e:
            self.outbox = b''
            self.close(False, by_server=True, how='send: ' + e.strerror)
            return
        self.update()

    def ready(self, events):
        if events & selectors.EVENT_WRITE:
            self.flush()
        if self.sock and events & selectors.EVENT_READ:
            self.receive()

    def receive(self):
        limit = 65536
        if self.role == 'slow':
            now = time.monotonic()
            self.read_budget = min(self.soak.o.slow_rate, self.read_budget + (now - self.budget_time) * self.soak.o.slow_rate)
            self.budget_time = now
            limit = int(self.read_budget)
            if limit <= 0:
                return
        if not self.reading:
            return
        try:
            data = self.sock.recv(limit)
        except BlockingIOError:
            return
        except OSError as e:
            self.close(False, by_server=True, how='receive: ' + e.strerror)
            return
        if not data:
            self.close(False, by_server=True)
            return
        self.read_budget -= len(data)
        self.soak.figures['bytes_in'] += len(data)
        self.inbox += data
        at = 0
        while len(self.inbox) - at >= 8:
            kind, length = struct.unpack_from('<ii', self.inbox, at)
            if len(self.inbox) - at < 8 + length:
                break
            if kind in (LOGIN_OK, SEND_MSG_ACK, RECV_MSG, RECV_MSG80):
                self.handle(kind, self.inbox[at + 8:at + 8 + length])
            at += 8 + length
        self.inbox = self.inbox[at:]

    # ---- what comes ----

    def handle(self, kind, payload):
        if kind == LOGIN_OK:
            self.logged_in = True
        elif kind == SEND_MSG_ACK and len(payload) >= 12:
            ack, _, seq = struct.unpack_from('<iii', payload)
            entry = self.soak.sent.get((self.uin, seq))
            if self.role == 'malformed':
                return  # answers to its garbage
            if entry is None or entry[1] is not None:
                self.soak.fault('client %d: acknowledgement of message %d unexpected' % (self.uin, seq))
            else:
                entry[1] = ack
        elif kind in (RECV_MSG, RECV_MSG80) and len(payload) >= 4:
            sender = struct.unpack_from('<i', payload)[0]
            if sender == 0:
                return  # the server's own note
            if kind == RECV_MSG80:
                self.queue(packet(RECV_ACK, payload[4:8]))
            m = MARK.search(payload)
            if not m and self.role == 'malformed':
                return
            if not m:
                self.soak.fault('client %d: a message without its mark from %d' % (self.uin, sender))
                return
            if self.role == 'malformed':
                return  # the garbage of one malformed client may form a message to another
            uin, seq = int(m.group(1)), int(m.group(2))
            entry = self.soak.sent.get((uin, seq))
            if entry is None or entry[0] != self.uin or uin != sender:
                self.soak.fault('client %d: message %d-%d not meant for it' % (self.uin, uin, seq))
            elif m.group(0) != text_for(uin, seq, len(m.group(3))):
                self.soak.fault('client %d: message %d-%d altered' % (self.uin, uin, seq))
            elif self.uin in self.soak.permanent_uins():
                self.soak.arrived[(uin, seq)] = self.soak.arrived.get((uin, seq), 0) + 1

    # ---- what it does ----

    def send_message(self, to, length):
        self.seq += 1
        self.soak.sent[(self.uin, self.seq)] = [to, None, self.role in PERMANENT or self.role == 'probe',
                                                self.soak.all_in]
        self.queue(message(self.dialect, to, self.seq, text_for(self.uin, self.seq, length)))
        self.soak.figures['messages'] += 1

    def act(self, now):
        if self.role == 'slow' and self.sock:
            self.receive()
        if now < self.next_action:
            return
        if not self.sock:
            if self.role in ('churn', 'malformed') and not self.stop_sending:
                self.connect(now)
            return
        if self.leave_at is not None and now >= self.leave_at:
            self.close(self.rng.random() < 0.5, now=now)
            return
        if self.stop_sending or (not self.logged_in and self.role != 'malformed'):
            self.next_action = now + 0.05
            return
        r = self.rng.random()
        if self.role == 'flooder':
            self.send_message(self.rng.choice(self.soak.never), 1900)
            self.next_action = now + 1.0 / self.soak.o.flood_rate
            return
        if self.role == 'never':
            self.next_action = now + 60
            return
        if self.role == 'malformed':
            self.send_garbage()
            self.next_action = now + self.rng.uniform(0.1, 1)
            return
        if r < 0.8:
            self.send_message(self.rng.choice(self.soak.uins), self.rng.randint(1, 400))
        elif r < 0.93:
            code = self.rng.choice([2, 3, 4, 5, 0x14, 0x16])
            self.queue(status(self.dialect, code, b'opis %d' % self.seq if code in (4, 5, 0x16) else b''))
            self.soak.figures['status_changes'] += 1
        elif r < 0.98:
            entries = b''.join(le(u) + b'\x03' for u in self.rng.sample(self.soak.uins, 20))
            self.queue(packet(NOTIFY_LAST, entries))
            self.soak.figures['lists'] += 1
        else:
            self.queue(packet(USERLIST, b'\x00' + b'a;b;%d;\r\n' % self.uin * 10) + packet(USERLIST, b'\x02'))
        self.next_action = now + self.rng.uniform(0.5, 2.5)

    def send_garbage(self):
        self.soak.figures['malformed'] += 1
        choice = self.rng.random()
        if choice < 0.3:
            data = le(self.rng.choice([11, 0x2D, 0x7D, 0x31, 0x83, 0x38, 0x77])) + le(self.rng.randint(0, 40))
            data += bytes(self.rng.getrandbits(8) for _ in range(self.rng.randint(0, 40)))
        elif choice < 0.5:
            data = packet(self.rng.randint(-5, 300), bytes(self.rng.getrandbits(8) for _ in range(self.rng.randint(0, 64))))
        elif choice < 0.7:
            data = le(11) + le(self.rng.choice([-1, 70000, 1 << 30]))
        else:
            data = bytes(self.rng.getrandbits(8) for _ in range(self.rng.randint(1, 200)))
        self.queue(data)


def resident_kib(pid):
    try:
        with open('/proc/%d/status' % pid) as f:
            for line in f:
                if line.startswith('VmRSS:'):
                    return int(line.split()[1])
    except OSError:
        pass
    return -1


def main():
    p = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    p.add_argument('--server-pid', type=int, required=True)
    p.add_argument('--port', type=int, default=8074)
    p.add_argument('--seconds', type=float, default=600)
    p.add_argument('--warmup', type=float, default=180, help='seconds before memory must be flat')
    p.add_argument('--clients', type=int, default=300)
    p.add_argument('--never', type=int, default=6)
    p.add_argument('--flooders', type=int, default=2)
    p.add_argument('--flood-rate', type=float, default=100, help='messages a second per flooder')
    p.add_argument('--slow-rate', type=float, default=2048, help='bytes a second a slow client reads')
    p.add_argument('--sample', type=float, default=10, help='seconds between memory samples')
    p.add_argument('--drain', type=float, default=60)
    p.add_argument('--seed', type=int, default=1)
    p.add_argument('--growth', type=float, default=0.10, help='largest rise of memory after the warm-up')
    o = p.parse_args()

    soak = Soak(o)
    started = time.monotonic()
    memory = soak.run()
    results = soak.check()
    answers = soak.still_answers() if resident_kib(o.server_pid) > 0 else False
    if not answers:
        soak.fault('the server did not log a new client in and pass its message on at the end')
    after = [kib for t, kib in memory if t >= o.warmup and kib > 0]
    flat = None
    if len(after) >= 2:
        first, peak = after[0], max(after)
        flat = peak <= first * (1 + o.growth)
        if not flat:
            soak.fault('memory rose from %d KiB to %d KiB after the warm-up' % (first, peak))

    print('ran %.0f s with %d clients (seed %d)' % (time.monotonic() - started, len(soak.clients), o.seed))
    roles = {}
    for c in soak.clients:
        roles[c.role] = roles.get(c.role, 0) + 1
    print('roles: ' + ', '.join('%s %d' % kv for kv in sorted(roles.items())))
    print('activity: ' + ', '.join('%s %d' % kv for kv in soak.figures.items()))
    print('messages: ' + ', '.join('%s %d' % kv for kv in results.items()))
    print('server memory (VmRSS KiB) at s: ' + ' '.join('%.0f:%d' % m for m in memory))
    if after:
        print('after the %.0f s warm-up: first %d KiB, lowest %d, highest %d, last %d; flat: %s'
              % (o.warmup, after[0], min(after), max(after), after[-1], 'yes' if flat else 'no'))
    print('still answering at the end: %s' % ('yes' if answers else 'no'))
    for f, n in zip(soak.faults, soak.fault_counts.values()):
        print('FAULT: %s%s' % (f, ' (and %d more like it)' % (n - 1) if n > 1 else ''))
    print('soak: all checks held' if not soak.faults else 'soak: %d faults' % sum(soak.fault_counts.values()))
    return 0 if not soak.faults else 1


if __name__ == '__main__':
    sys.exit(main())
