import os
import subprocess
import sys
import time
import unittest

import support

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import portlock  # noqa: E402


class PortLockTest(support.TempDirCase):
    def test_one_holder_at_a_time_and_released_by_close(self):
        path = self.path("ports.lock")
        first = portlock.acquire(1, path=path)
        start = time.monotonic()
        with self.assertRaises(TimeoutError):
            portlock.acquire(0.3, poll=0.05, path=path)
        self.assertGreaterEqual(time.monotonic() - start, 0.3)
        first.close()
        portlock.acquire(1, path=path).close()

    def test_a_holder_in_another_process_is_waited_for(self):
        path = self.path("ports.lock")
        code = ("import fcntl,time;f=open(%r,'a');fcntl.flock(f,fcntl.LOCK_EX);"
                "print('held',flush=True);time.sleep(0.6)" % path)
        holder = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE)
        self.addCleanup(holder.wait, 10)
        self.assertEqual(holder.stdout.readline().strip(), b"held")
        start = time.monotonic()
        portlock.acquire(10, poll=0.05, path=path).close()
        self.assertGreater(time.monotonic() - start, 0.3)  # only once the holder ended

    def test_port_free_sees_a_listener_only(self):
        import socket
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.bind(("127.0.0.1", 0))
        s.listen(1)
        port = s.getsockname()[1]
        self.assertFalse(portlock.port_free(port))
        s.close()
        self.assertTrue(portlock.port_free(port))


if __name__ == "__main__":
    unittest.main()
