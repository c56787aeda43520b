#!/usr/bin/env python3
"""Small UDP probes for the network lab, run inside its namespaces.

  udpprobe.py recv PORT SECONDS
      waits for one datagram on PORT; prints "FROM ADDR:PORT TEXT", exit 1 when none came
  udpprobe.py send ADDR PORT TEXT [--from PORT]
      sends one datagram (from PORT when given)
  udpprobe.py sendrecv ADDR PORT TEXT --from PORT [--seconds S]
      sends one datagram from PORT, then waits for one on the same socket (as recv)
  udpprobe.py stun ADDR PORT [--from PORT]
      prints the address and port a STUN server saw (XOR-MAPPED-ADDRESS)
  udpprobe.py punch --local PORT --stun ADDR:PORT --me FILE --peer FILE [--seconds S]
      learns its public address from the STUN server, writes it to FILE (me), waits for the
      other side's file, then sends to that address every 100 ms; exit 0 with "PUNCHED ..."
      once a datagram from the other side arrived (and after sending on for a second so the
      other side hears it too), exit 1 when nothing arrived within S seconds
"""
import os
import secrets
import socket
import struct
import sys
import time

MAGIC = 0x2112A442


def bound_socket(port):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("0.0.0.0", port))
    return s


def parse_xor_mapped(reply, tid):
    """The XOR-MAPPED-ADDRESS of a Binding success for tid, or None."""
    if len(reply) < 20:
        return None
    kind, length, cookie = struct.unpack("!HHI", reply[:8])
    if kind != 0x0101 or cookie != MAGIC or reply[8:20] != tid:
        return None
    pos, end = 20, min(len(reply), 20 + length)
    while pos + 4 <= end:
        atype, alen = struct.unpack("!HH", reply[pos:pos + 4])
        value = reply[pos + 4:pos + 4 + alen]
        if atype == 0x0020 and alen == 8 and value[1] == 1:
            port = struct.unpack("!H", value[2:4])[0] ^ (MAGIC >> 16)
            addr = struct.unpack("!I", value[4:8])[0] ^ MAGIC
            return socket.inet_ntoa(struct.pack("!I", addr)), port
        pos += 4 + alen + (-alen % 4)
    return None


def stun_query(s, server, seconds=3.0):
    """Sends Binding requests every 250 ms until one is answered; (addr, port) or None."""
    tid = secrets.token_bytes(12)
    request = struct.pack("!HHI", 0x0001, 0, MAGIC) + tid
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        s.sendto(request, server)
        s.settimeout(0.25)
        try:
            reply, _ = s.recvfrom(2048)
        except socket.timeout:
            continue
        mapped = parse_xor_mapped(reply, tid)
        if mapped:
            return mapped
    return None


def address(text):
    host, port = text.rsplit(":", 1)
    return host, int(port)


def option(args, name, default=None):
    if name in args:
        return args[args.index(name) + 1]
    return default


def wait_for_file(path, deadline):
    while time.monotonic() < deadline:
        if os.path.exists(path):
            with open(path) as f:
                text = f.read().strip()
            if text:
                return address(text)
        time.sleep(0.05)
    return None


def punch(args):
    seconds = float(option(args, "--seconds", "5"))
    deadline = time.monotonic() + seconds
    s = bound_socket(int(option(args, "--local")))
    mine = stun_query(s, address(option(args, "--stun")))
    if not mine:
        print("no STUN answer")
        return 1
    me = option(args, "--me")
    with open(me + ".tmp", "w") as f:
        f.write("%s:%d\n" % mine)
    os.rename(me + ".tmp", me)
    peer = wait_for_file(option(args, "--peer"), deadline)
    if not peer:
        print("no peer address")
        return 1
    heard = None
    stop = deadline
    while time.monotonic() < stop:
        s.sendto(b"punch", peer)
        s.settimeout(0.1)
        try:
            data, source = s.recvfrom(2048)
        except socket.timeout:
            continue
        if source[0] == peer[0] and data == b"punch" and not heard:
            heard = source
            stop = min(deadline + 1.0, time.monotonic() + 1.0)
    if heard:
        print("PUNCHED me %s:%d peer %s:%d from %s:%d" % (mine + peer + heard))
        return 0
    print("NOT PUNCHED me %s:%d peer %s:%d" % (mine + peer))
    return 1


def receive(s, seconds):
    s.settimeout(seconds)
    try:
        data, source = s.recvfrom(2048)
    except socket.timeout:
        print("NOTHING")
        return 1
    print("FROM %s:%d %s" % (source[0], source[1], data.decode(errors="replace")))
    return 0


def main(args):
    if not args or args[0] in ("-h", "--help"):
        print(__doc__.strip())
        return 0
    command = args[0]
    if command == "recv":
        return receive(bound_socket(int(args[1])), float(args[2]))
    if command in ("send", "sendrecv"):
        s = bound_socket(int(option(args, "--from", "0")))
        s.sendto(args[3].encode(), (args[1], int(args[2])))
        if command == "sendrecv":
            return receive(s, float(option(args, "--seconds", "3")))
        return 0
    if command == "stun":
        s = bound_socket(int(option(args, "--from", "0")))
        mapped = stun_query(s, (args[1], int(args[2])))
        if not mapped:
            print("NOTHING")
            return 1
        print("%s:%d" % mapped)
        return 0
    if command == "punch":
        return punch(args)
    print("udpprobe.py: unknown command %s" % command, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
