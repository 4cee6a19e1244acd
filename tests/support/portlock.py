"""The machine-wide lock on the program's fixed loopback ports.

The program talks to 127.0.0.1:28000 (and, in the end-to-end runs, to 9006 and
9007): suites and benchmarks that start services there hold an exclusive
flock on PORT_LOCK while they do, so two of them never meet on a port.
"""
import fcntl
import socket
import time

PORT_LOCK = "/tmp/pavonix-loopback-ports.lock"


def acquire(timeout, poll=0.5, path=PORT_LOCK):
    """The lock, waited for at most `timeout` seconds; an open file whose
    close releases it. Raises TimeoutError when it stayed taken."""
    fh = open(path, "a")
    deadline = time.monotonic() + timeout
    while True:
        try:
            fcntl.flock(fh, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return fh
        except BlockingIOError:
            if time.monotonic() >= deadline:
                fh.close()
                raise TimeoutError("%s stayed locked for %.0f s" % (path, timeout))
            time.sleep(poll)


def port_free(port):
    """True when 127.0.0.1:port can be bound as the services bind it (with
    SO_REUSEADDR, so connections still closing do not count)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        s.bind(("127.0.0.1", port))
        return True
    except OSError:
        return False
    finally:
        s.close()
