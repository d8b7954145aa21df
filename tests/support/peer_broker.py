#!/usr/bin/python3
"""Peer broker: the Linux side of the test harness for Windows test executables.

A test executable running under Wine cannot fork and exec the Linux peer
servers (nginx, dnsmasq, NSD, aiosmtpd, Postfix) or the Python readers. The
harness (tests/support/PeerServer.cpp, HostProcess.h) keeps doing everything
else itself -- it picks the ports, writes the configuration, probes the server
and reads its logs through Wine's view of the Linux file system -- and asks
this broker, over a loopback TCP connection, for the few things only a Linux
process can do: start a program, look whether it still runs, signal it, reap
it, run a tool to its end, and make or remove the private directory.

scripts/wine-run starts one broker per test executable and ends it afterwards;
the broker kills the process groups of whatever it started that still runs,
also when its parent dies.

Wire format, both ways: a decimal count of fields and a newline, then each
field as a decimal byte length, a newline and the bytes. A request is the key
given on the command line, an operation and its arguments; one request per
connection. A reply starts with "ok" or "error" (then a text).
"""

import argparse
import ctypes
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import tempfile

# Largest field accepted: the biggest is the input of a Python reader (a DNS
# reply or a mail message of a test), far below this.
MAX_FIELD = 64 * 1024 * 1024
# Fields of one request: an argv and an environment of a peer are a few dozen.
MAX_FIELDS = 4096
# Unfinished requests a slow test process may have queued.
BACKLOG = 16
# Linux prctl option: signal this process when its parent dies.
PR_SET_PDEATHSIG = 1


class BadRequest(Exception):
    pass


def read_line(conn):
    line = b""
    while not line.endswith(b"\n"):
        c = conn.recv(1)
        if not c:
            raise BadRequest("connection closed inside a request")
        line += c
        if len(line) > 20:
            raise BadRequest("length line too long")
    return int(line)


def read_exact(conn, n):
    parts = []
    while n > 0:
        chunk = conn.recv(min(n, 1 << 20))
        if not chunk:
            raise BadRequest("connection closed inside a field")
        parts.append(chunk)
        n -= len(chunk)
    return b"".join(parts)


def read_fields(conn):
    count = read_line(conn)
    if not 0 < count <= MAX_FIELDS:
        raise BadRequest("bad field count")
    fields = []
    for _ in range(count):
        n = read_line(conn)
        if not 0 <= n <= MAX_FIELD:
            raise BadRequest("bad field length")
        fields.append(read_exact(conn, n))
    return fields


def encode(fields):
    out = [str(len(fields)).encode() + b"\n"]
    for f in fields:
        if isinstance(f, str):
            f = f.encode()
        elif isinstance(f, int):
            f = str(f).encode()
        out.append(str(len(f)).encode() + b"\n" + f)
    return b"".join(out)


def take_list(args):
    """A counted list inside the arguments: a count, then that many items."""
    n = int(args.pop(0))
    items = args[:n]
    del args[:n]
    return items


def environment(edits):
    """The broker's environment with "NAME=value" (set) and "NAME" (removed) edits."""
    env = dict(os.environb)
    for e in edits:
        key, sep, value = e.partition(b"=")
        env.pop(key, None)
        if sep:
            env[key] = value
    return env


class Broker:
    def __init__(self):
        self.children = set()

    def spawn(self, args):
        # log, argv, environment edits -> pid. The child gets its own process
        # group, default signal dispositions and mask, /dev/null as stdin and
        # the log as stdout and stderr, as PeerServer does on Linux.
        log = args.pop(0)
        argv = take_list(args)
        env = environment(take_list(args))
        actions = [
            (os.POSIX_SPAWN_OPEN, 0, "/dev/null", os.O_RDONLY, 0),
            (os.POSIX_SPAWN_OPEN, 1, log, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644),
            (os.POSIX_SPAWN_DUP2, 1, 2),
        ]
        sigs = [s for s in signal.valid_signals() if s not in (signal.SIGKILL, signal.SIGSTOP)]
        try:
            pid = os.posix_spawn(argv[0], argv, env, file_actions=actions, setpgroup=0,
                                 setsigdef=sigs, setsigmask=[])
        except OSError as e:
            return ["error", "cannot start %s: %s" % (os.fsdecode(argv[0]), e.strerror)]
        self.children.add(pid)
        return ["ok", pid]

    def exited(self, args):
        # pid -> "running", or the wait status once it has exited (reaped then,
        # after its leftover process group is killed).
        pid = int(args[0])
        try:
            info = os.waitid(os.P_PID, pid, os.WEXITED | os.WNOHANG | os.WNOWAIT)
        except ChildProcessError:
            return ["error", "no child %d" % pid]
        if info is None:
            return ["ok", "running"]
        return ["ok", "exited", self.reap_now(pid)]

    def reap_now(self, pid):
        try:
            os.killpg(pid, signal.SIGKILL)
        except OSError:
            pass
        _, status = os.waitpid(pid, 0)
        self.children.discard(pid)
        return status

    def kill(self, args):
        # pid, signal number, "group" or "process"
        pid, sig, whom = int(args[0]), int(args[1]), args[2]
        try:
            if whom == b"group":
                os.killpg(pid, sig)
            else:
                os.kill(pid, sig)
        except OSError as e:
            return ["error", e.strerror]
        return ["ok"]

    def reap(self, args):
        # pid -> wait status, waiting for the exit.
        pid = int(args[0])
        try:
            _, status = os.waitpid(pid, 0)
        except ChildProcessError:
            return ["error", "no child %d" % pid]
        self.children.discard(pid)
        return ["ok", status]

    def exists(self, args):
        # pid -> "yes" when a process with that id exists (kill(pid, 0)).
        try:
            os.kill(int(args[0]), 0)
        except ProcessLookupError:
            return ["ok", "no"]
        except PermissionError:
            pass
        return ["ok", "yes"]

    def run(self, args):
        # stdin bytes, argv, environment edits -> wait status and the output
        # (stdout and stderr together).
        data = args.pop(0)
        argv = take_list(args)
        env = environment(take_list(args))
        try:
            p = subprocess.run(argv, input=data, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, env=env)
        except OSError as e:
            return ["error", "cannot run %s: %s" % (os.fsdecode(argv[0]), e.strerror)]
        rc = p.returncode
        status = (-rc) & 0x7F if rc < 0 else (rc & 0xFF) << 8
        return ["ok", status, p.stdout]

    def mkdtemp(self, args):
        # prefix ("corvale-nginx-") -> a new private directory under /tmp.
        return ["ok", tempfile.mkdtemp(prefix=os.fsdecode(args[0]), dir="/tmp")]

    def rmtree(self, args):
        path = os.fsdecode(args[0])
        if not path.startswith("/tmp/"):
            return ["error", "refusing to remove %s" % path]
        shutil.rmtree(path, ignore_errors=True)
        return ["ok"]

    def euid(self, args):
        return ["ok", os.geteuid()]

    def user(self, args):
        try:
            pw = pwd.getpwnam(os.fsdecode(args[0]))
        except KeyError:
            return ["error", "no user %s" % os.fsdecode(args[0])]
        return ["ok", pw.pw_uid, pw.pw_gid]

    def chown(self, args):
        try:
            os.chown(args[0], int(args[1]), int(args[2]))
        except OSError as e:
            return ["error", e.strerror]
        return ["ok"]

    def chmod(self, args):
        try:
            os.chmod(args[0], int(args[1], 8))
        except OSError as e:
            return ["error", e.strerror]
        return ["ok"]

    def kill_all(self):
        for pid in list(self.children):
            try:
                os.killpg(pid, signal.SIGKILL)
            except OSError:
                pass
            try:
                os.waitpid(pid, 0)
            except ChildProcessError:
                pass
        self.children.clear()


OPERATIONS = {name: getattr(Broker, name) for name in
              ("spawn", "exited", "kill", "reap", "exists", "run", "mkdtemp", "rmtree", "euid", "user",
               "chown", "chmod")}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--ready", required=True, help="file that receives the port once listening")
    ap.add_argument("--key", required=True, help="key every request must carry")
    opts = ap.parse_args()
    key = opts.key.encode()

    # Ends with the wrapper that started it, even when that one is killed.
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)
    broker = Broker()

    def stop(signum, frame):
        broker.kill_all()
        sys.exit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    if os.getppid() == 1:
        sys.exit(0)

    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.bind(("127.0.0.1", 0))
    srv.listen(BACKLOG)
    tmp = opts.ready + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(srv.getsockname()[1]))
    os.rename(tmp, opts.ready)

    while True:
        conn, _ = srv.accept()
        with conn:
            try:
                fields = read_fields(conn)
                if fields[0] != key:
                    raise BadRequest("wrong key")
                if len(fields) < 2 or fields[1].decode() not in OPERATIONS:
                    raise BadRequest("unknown operation")
                reply = OPERATIONS[fields[1].decode()](broker, fields[2:])
            except (BadRequest, ValueError, IndexError) as e:
                print("peer_broker: %s" % e, file=sys.stderr)
                reply = ["error", "bad request: %s" % e]
            try:
                conn.sendall(encode(reply))
            except OSError:
                pass


if __name__ == "__main__":
    main()
