#!/usr/bin/env python3
"""A hostile local client of burnwell-relayd.

Speaks the relay's message format by hand on the relay's SOCK_SEQPACKET socket and tries what a
local user without rights would try: open nodes that are not bridges (other disks, paths with
"..", relative paths, files), send commands that are not the bridge's (WRITE(10), ATA
PASS-THROUGH, FORMAT UNIT, reads of ordinary blocks, vendor commands without the maker's
signature or with the wrong direction or length), connect as another user, hold many silent
connections, and run the relay out of descriptors. Every attempt must be refused, the tool's
own commands must still be served, and the relay must go on serving.

Usage: relay_hostile_client.py CHECK --socket PATH [options]
  CHECK: commands | limits | idle | other-user | exhaust | share

share: as root, holds many connections of each hostile kind (silent, a one-byte keep-alive,
never reading its replies) while a member of another uid (--member-uid, the relay's own user)
opens the bridge and sends a command; prints how long that took and, with --relayd-pid, the
relay's resident memory and threads.
"""
import argparse
import os
import threading
import select
import socket
import stat
import struct
import sys
import time

OPEN, PASS_THROUGH, PASS_THROUGH_DIRECT, CLOSE = 0x00, 0x01, 0x02, 0x0F
REPLY_OK, REPLY_FAILED, REPLY_FULL, REPLY_BUSY = 0x00, 0x01, 0x03, 0x04
DATA_OUT, DATA_IN = 0, 1
# Generous bounds on waiting so that a broken relay fails the test instead of hanging it.
ANSWER_WAIT = 10.0

failures = []


def check(condition, text):
    print(("ok:   " if condition else "FAIL: ") + text, flush=True)
    if not condition:
        failures.append(text)


def connect(path):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    s.connect(path)
    return s


def exchange(s, message, wait=ANSWER_WAIT):
    """Sends one message; returns the reply, b'' when the relay closed the connection, None
    when nothing came within `wait` seconds."""
    try:
        s.send(message)
        ready, _, _ = select.select([s], [], [], wait)
        if not ready:
            return None
        return s.recv(70000)
    except (BrokenPipeError, ConnectionResetError):
        return b""


def open_message(path):
    return bytes([OPEN]) + path.encode("latin-1") + b"\0"


def scsi_request(cdb, direction, length, cdb_length=None, data=b"", timeout=3):
    """The 592-byte request (more for long reads): 44-byte header, filler, sense, data."""
    cdb_length = cdb_length if cdb_length is not None else len(cdb)
    header = struct.pack("<HBBBBBBB3xIIII16s", 44, 0, 0, 1, 0, cdb_length, 32, direction,
                         length, timeout, 80, 48, bytes(cdb).ljust(16, b"\0"))
    request = bytearray(header.ljust(80, b"\0") + bytes(max(512, length)))
    request[80:80 + len(data)] = data
    return bytes(request)


def answered_ok(reply):
    return reply is not None and len(reply) > 1 and reply[0] == REPLY_OK


def refused(reply):
    return reply == bytes([REPLY_FAILED])


def vendor_cdb(operation, vid, cdb_length=12, **fields):
    cdb = bytearray(cdb_length)
    cdb[0] = operation
    cdb[4:6] = struct.pack(">H", vid)
    for index, value in fields.items():
        cdb[int(index[1:])] = value
    return bytes(cdb)


def read10_cdb(address, blocks=1):
    return bytes([0x28, 0]) + struct.pack(">I", address) + bytes([0]) + struct.pack(">H", blocks) + b"\0"


def bridge_nodes(relayd_output):
    """The nodes burnwell-relayd said it serves ("bridges at: /dev/sg1 ...")."""
    with open(relayd_output) as f:
        for line in f:
            if "bridges at:" in line:
                return [w for w in line.split("bridges at:")[1].split() if w != "none"]
    return []


def check_commands(args):
    nodes = bridge_nodes(args.relayd_output)
    check(len(nodes) >= 1, "burnwell-relayd found the emulated bridge (%s)" % " ".join(nodes))
    if not nodes:
        return
    bridge = nodes[0]
    mode = stat.S_IMODE(os.stat(args.socket).st_mode)
    check(mode in (0o600, 0o660), "the socket is not open to every user (mode %o)" % mode)

    # Opens of anything but a bridge's node.
    others = sorted("/dev/" + n for n in os.listdir(os.path.join(args.root, "dev"))
                    if "/dev/" + n not in nodes)
    hostile_paths = others + [
        "/dev/../dev/" + bridge[5:], "dev/" + bridge[5:], "/dev//" + bridge[5:], bridge + "/.",
        bridge + "/..", "/etc/passwd", "/dev/sg999", "/" + "a" * 250, bridge + "\nforged log line",
    ]
    for path in hostile_paths:
        with connect(args.socket) as s:
            check(refused(exchange(s, open_message(path))), "open of %r refused" % path)

    with connect(args.socket) as s:
        check(exchange(s, open_message(bridge)) == bytes([REPLY_OK]), "open of %s served" % bridge)
        vid = args.vid
        tool_commands = [
            ("bridge information", vendor_cdb(0xD0, vid), DATA_IN, 16),
            ("INQUIRY", bytes([0x12, 0, 0, 0, 36]).ljust(12, b"\0"), DATA_IN, 36),
            ("READ(10) of the identification block 0x600000", read10_cdb(0x600000), DATA_IN, 512),
            ("flash select", vendor_cdb(0xD3, vid, 16), DATA_OUT, 0),
            ("flash write of the JEDEC ID command", vendor_cdb(0xD5, vid, c3=1), DATA_OUT, 1, b"\x9f"),
            ("flash read of three bytes", vendor_cdb(0xD6, vid, c3=3), DATA_IN, 3),
            ("flash deselect", vendor_cdb(0xD4, vid, 16), DATA_OUT, 0),
            ("TEST UNIT READY", bytes(6), DATA_OUT, 0),
        ]
        for name, cdb, direction, length, *data in tool_commands:
            reply = exchange(s, bytes([PASS_THROUGH]) + scsi_request(cdb, direction, length,
                                                                     data=data[0] if data else b""))
            check(answered_ok(reply), "the tool's own %s is served" % name)
            if name == "bridge information" and answered_ok(reply):
                check(struct.unpack(">H", reply[1 + 80:1 + 82])[0] == vid,
                      "the bridge information carries the maker's vendor ID")

        hostile_commands = [
            ("WRITE(10) of block 0", bytes([0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0]), DATA_OUT, 512),
            ("ATA PASS-THROUGH(16) WRITE DMA", bytes([0x85, 0x0D, 0x06]) + bytes(10) + bytes([0xE0, 0xCA, 0]), DATA_OUT, 512),
            ("ATA PASS-THROUGH(12)", bytes([0xA1, 0x0D, 0x06]).ljust(12, b"\0"), DATA_OUT, 512),
            ("FORMAT UNIT", bytes([0x04, 0, 0, 0, 0, 0]), DATA_OUT, 0),
            ("READ(10) of block 0", read10_cdb(0), DATA_IN, 512),
            ("READ(10) of two identification blocks", read10_cdb(0x600000, 2), DATA_IN, 1024),
            ("bridge information without the signature", vendor_cdb(0xD0, 0), DATA_IN, 16),
            ("bridge information with data going out", vendor_cdb(0xD0, vid), DATA_OUT, 16),
            ("flash write longer than its CDB says", vendor_cdb(0xD5, vid, c3=1), DATA_OUT, 32),
            ("EEPROM write of 64 bytes", vendor_cdb(0xD1, vid, c1=64), DATA_OUT, 64),
            ("ATA WRITE DMA through the bridge", vendor_cdb(0xD8, vid, 16, c1=0x05, c8=2, c14=0xA0, c15=0xCA), DATA_OUT, 512),
            ("vendor command 0xD7", vendor_cdb(0xD7, vid), DATA_IN, 16),
            ("INQUIRY with a 16-byte CDB", bytes([0x12, 0, 0, 0, 36]).ljust(16, b"\0"), DATA_IN, 36),
        ]
        for name, cdb, direction, length in hostile_commands:
            reply = exchange(s, bytes([PASS_THROUGH]) + scsi_request(cdb, direction, length))
            check(refused(reply), "%s refused" % name)
        # The same through the pass-through-direct message.
        block = scsi_request(bytes([0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0]), DATA_OUT, 512)[:80]
        reply = exchange(s, bytes([PASS_THROUGH_DIRECT]) + block + bytes(512))
        check(refused(reply), "WRITE(10) as a pass-through-direct refused")
        # One client per bridge: a second connection gets "busy" until the first closes it.
        with connect(args.socket) as other:
            check(exchange(other, open_message(bridge)) == bytes([REPLY_BUSY]),
                  "a second open of %s while it is open: busy" % bridge)
        # Refusals do not end the connection: the tool's commands are still served.
        reply = exchange(s, bytes([PASS_THROUGH]) + scsi_request(vendor_cdb(0xD0, vid), DATA_IN, 16))
        check(answered_ok(reply), "the connection still serves the tool after the refusals")
        check(exchange(s, bytes([CLOSE])) == bytes([REPLY_OK]), "close answered")
    with connect(args.socket) as s:
        check(exchange(s, open_message(bridge)) == bytes([REPLY_OK]),
              "%s is free again once closed" % bridge)


def told_full(s):
    """True when the relay said "full" unprompted and closed the connection."""
    ready, _, _ = select.select([s], [], [], ANSWER_WAIT)
    if not ready or s.recv(16) != bytes([REPLY_FULL]):
        return False
    ready, _, _ = select.select([s], [], [], ANSWER_WAIT)
    return bool(ready) and s.recv(16) == b""


def check_limits(args):
    served = min(args.max_connections, args.max_per_user or args.max_connections)
    held = []
    try:
        for _ in range(served):
            s = connect(args.socket)
            held.append(s)
            if exchange(s, bytes([CLOSE + 1])) is None:  # an unknown opcode: a failure reply
                break
        check(len(held) == served, "%d connections served" % len(held))
        extra = connect(args.socket)
        check(told_full(extra), "a connection beyond the %d served is told the relay is full and "
              "closed at once" % served)
        extra.close()
    finally:
        for s in held:
            s.close()
    deadline = time.time() + 30
    while time.time() < deadline:
        with connect(args.socket) as s:
            if exchange(s, bytes([CLOSE])) == bytes([REPLY_OK]):
                break
        time.sleep(0.1)
    else:
        check(False, "connections are served again once the others closed")
        return
    check(True, "connections are served again once the others closed")


def check_idle(args):
    silent = [connect(args.socket) for _ in range(args.count)]
    deadline = time.time() + 60
    open_ones = set(silent)
    while open_ones and time.time() < deadline:
        ready, _, _ = select.select(list(open_ones), [], [], 1.0)
        for s in ready:
            if s.recv(16) == b"":
                open_ones.discard(s)
    check(not open_ones, "%d silent connections closed by the idle time-out (%d left open)"
          % (args.count, len(open_ones)))
    for s in silent:
        s.close()


def as_other_user(path, action, uid=65534):
    """Runs action(path) in a child process switched to uid/gid `uid`; returns its result."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        try:
            os.setgroups([])
            os.setgid(uid)
            os.setuid(uid)
            result = action(path)
        except Exception as error:  # noqa: BLE001 - reported to the parent
            result = "error " + type(error).__name__
        os.write(write_end, result.encode())
        os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end) as f:
        result = f.read()
    os.waitpid(pid, 0)
    return result


def try_open(path):
    try:
        s = connect(path)
    except PermissionError:
        return "connect refused"
    reply = exchange(s, open_message("/dev/sg0"))
    return "served" if reply == bytes([REPLY_OK]) or refused(reply) else "disconnected"


def check_other_user(args):
    if os.geteuid() != 0:
        print("skip: another user's client needs root to switch users")
        return
    check(as_other_user(args.socket, try_open) == "connect refused",
          "uid 65534 cannot connect to the socket")
    # Even with the socket (and the folders on the way to it) opened to everybody, the relay
    # serves no one outside.
    opened = [args.socket]
    folder = os.path.dirname(args.socket)
    while folder != "/" and not os.stat(folder).st_mode & stat.S_IXOTH:
        opened.append(folder)
        folder = os.path.dirname(folder)
    modes = {path: stat.S_IMODE(os.stat(path).st_mode) for path in opened}
    try:
        os.chmod(args.socket, 0o666)
        for path in opened[1:]:
            os.chmod(path, modes[path] | stat.S_IXOTH)
        check(as_other_user(args.socket, try_open) == "disconnected",
              "uid 65534 is disconnected by the relay when the socket lets it in")
    finally:
        for path, mode in modes.items():
            os.chmod(path, mode)


def check_exhaust(args):
    held = []
    hit_limit = False
    try:
        for _ in range(args.count):
            try:
                s = connect(args.socket)
            except OSError:
                hit_limit = True
                break
            held.append(s)
            if exchange(s, bytes([CLOSE + 1]), wait=2.0) is None:
                # Queued, not accepted: the relay is out of descriptors, unless a loaded
                # machine only answers late.
                if not select.select([s], [], [], 30.0)[0]:
                    hit_limit = True
                    break
        check(hit_limit, "the relay ran out of descriptors after %d connections" % len(held))
    finally:
        for s in held:
            s.close()
    deadline = time.time() + 30
    served = False
    while not served and time.time() < deadline:
        with connect(args.socket) as s:
            served = exchange(s, bytes([CLOSE]), wait=5.0) == bytes([REPLY_OK])
    check(served, "the relay accepts again once descriptors are free")


def relay_figures(pid):
    """The relay's resident memory (MiB) and threads, from /proc."""
    figures = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "Threads"):
                figures[key] = int(value.split()[0])
    return figures.get("VmRSS", 0) / 1024.0, figures.get("Threads", 0)


def member_served(path, bridge, vid):
    """As the member: open the bridge and send the bridge information command; "served SECONDS"
    or what went wrong."""
    start = time.time()
    try:
        with connect(path) as s:
            if exchange(s, open_message(bridge)) != bytes([REPLY_OK]):
                return "open refused"
            cdb = vendor_cdb(0xD0, vid)
            if not answered_ok(exchange(s, bytes([PASS_THROUGH]) + scsi_request(cdb, DATA_IN, 16))):
                return "command not served"
            exchange(s, bytes([CLOSE]))
    except OSError as error:
        return "error " + type(error).__name__
    return "served %.3f" % (time.time() - start)


def check_share(args):
    nodes = bridge_nodes(args.relayd_output)
    check(len(nodes) >= 1, "burnwell-relayd found the emulated bridge")
    if not nodes or os.geteuid() != 0:
        return
    held = {"silent": [], "keep-alive": [], "never-reading": []}
    stop = threading.Event()
    try:
        for _ in range(args.count):  # the kinds in turn, so that each gets slots
            for kind in held:
                try:
                    held[kind].append(connect(args.socket))
                except OSError:
                    pass
        # Keep-alive: one byte every 4.5 s. Never-reading: requests, replies left unread.
        def keep_alive():
            while not stop.wait(4.5):
                for s in held["keep-alive"]:
                    try:
                        s.send(bytes([CLOSE + 1]), socket.MSG_DONTWAIT)
                    except OSError:
                        pass
        def never_read():
            request = bytes([CLOSE + 1]) * 64
            while not stop.wait(0.05):
                for s in held["never-reading"]:
                    try:
                        for _ in range(1000):  # as many as the relay takes
                            s.send(request, socket.MSG_DONTWAIT)
                    except OSError:
                        pass
        threads = [threading.Thread(target=f, daemon=True) for f in (keep_alive, never_read)]
        for t in threads:
            t.start()
        time.sleep(1.0)  # every hostile connection accepted or turned away
        for rounds in range(args.rounds):
            result = as_other_user(args.socket, lambda path: member_served(path, nodes[0], args.vid),
                                   args.member_uid)
            line = "member uid %d with %d %s connections of uid 0 held: %s s" % (
                args.member_uid, args.count, "/".join(held), result)
            if args.relayd_pid:
                rss, threads_now = relay_figures(args.relayd_pid)
                line += "; relay rss %.1f MiB, %d threads" % (rss, threads_now)
            check(result.startswith("served"), line)
            if rounds + 1 < args.rounds:
                time.sleep(args.pause)
    finally:
        stop.set()
        for kind in held.values():
            for s in kind:
                s.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("check",
                        choices=["commands", "limits", "idle", "other-user", "exhaust", "share"])
    parser.add_argument("--socket", required=True)
    parser.add_argument("--root", default="/")
    parser.add_argument("--relayd-output")
    parser.add_argument("--vid", type=lambda text: int(text, 0), default=0x7E55)
    parser.add_argument("--max-connections", type=int, default=16)
    parser.add_argument("--max-per-user", type=int, default=0)
    parser.add_argument("--count", type=int, default=50)
    parser.add_argument("--member-uid", type=int, default=65534)
    parser.add_argument("--relayd-pid", type=int, default=0)
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--pause", type=float, default=0.0)
    args = parser.parse_args()
    {"commands": check_commands, "limits": check_limits, "idle": check_idle,
     "other-user": check_other_user, "exhaust": check_exhaust, "share": check_share}[args.check](args)
    if failures:
        print("%d checks failed" % len(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
