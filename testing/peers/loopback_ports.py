"""Ports on 127.0.0.1 for the Python tests and scripts, given as
testing/peers/loopback.h gives them to the C++ tests: below the kernel's
ephemeral range, so that no socket the kernel numbers itself (a listener
bound to port 0, a UDP socket's first send, an outgoing connection) takes one
before the stand-in binds it, and kept for this process until it ends by a
lock on the port's byte of the same lock file, so that no other test process,
C++ or Python, is given it meanwhile. Standard library only."""

import fcntl
import os
import random
import socket
import struct

LOCK_FILE = "/tmp/vqx-test-ports.lock"
LOWEST = 20000  # above the gateway's default port (12358) and the ports after it

_lock_fd = None
_lock_pid = None
_given = set()


def ephemeral_start():
    """The first port of the kernel's ephemeral range (32768 when unreadable or not above LOWEST)."""
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            low = int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        low = 0
    return low if low > LOWEST else 32768


def bindable(port):
    """True when port binds on 127.0.0.1 for TCP and for UDP right now."""
    for kind in (socket.SOCK_STREAM, socket.SOCK_DGRAM):
        with socket.socket(socket.AF_INET, kind) as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                return False
    return True


def _lock(port, kind):
    # struct flock: l_type, l_whence, l_start, l_len, l_pid (0 for a lock of the open file)
    if _lock_fd is not None:
        fcntl.fcntl(_lock_fd, fcntl.F_OFD_SETLK, struct.pack("hhqqi", kind, os.SEEK_SET, port, 1, 0))


def free_port():
    """A port free for TCP and UDP on 127.0.0.1, kept for this process; RuntimeError when none is left."""
    global _lock_fd, _lock_pid
    if _lock_pid != os.getpid():  # a forked child locks through its own open file
        try:
            _lock_fd = os.open(LOCK_FILE, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
            os.fchmod(_lock_fd, 0o666)  # every user's tests share it, whoever made it
        except OSError:
            _lock_fd = None  # not writable: ports are only probed
        _lock_pid = os.getpid()
    span = ephemeral_start() - LOWEST
    start = random.randrange(span)
    for i in range(min(span, 4096)):
        port = LOWEST + (start + i) % span
        if port in _given:
            continue
        try:
            _lock(port, fcntl.F_WRLCK)
        except OSError:
            continue
        if not bindable(port):
            _lock(port, fcntl.F_UNLCK)
            continue
        _given.add(port)
        return port
    raise RuntimeError("no free test port on 127.0.0.1")
