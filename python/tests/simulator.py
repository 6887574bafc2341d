# SPDX-License-Identifier: MIT
"""Starting ktsim for a test: on a free port, ended with its standard input
(so it cannot outlive the test process)."""

import contextlib
import socket
import subprocess
import threading


def free_port(host="127.0.0.1"):
    with socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def running(program, *options):
    """Starts ``program`` (a ktsim) with ``options`` and yields its connect
    text "host commandPort dataPort", with a free data port."""
    process = subprocess.Popen([program, "--port", "0", "--exit-on-stdin-eof", *options], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    first = []
    reader = threading.Thread(target=lambda: first.append(process.stdout.readline()), daemon=True)
    reader.start()
    reader.join(30)
    assert first and first[0].startswith("ktsim listening on "), f"ktsim did not start: {first}"
    where = first[0].split("ktsim listening on ", 1)[1].strip()
    host, port = where.rsplit(":", 1)
    host = host.strip("[]")
    threading.Thread(target=process.stdout.read, daemon=True).start()  # keep its output flowing
    try:
        yield f"{host} {port} {free_port(host)}"
    finally:
        process.stdin.close()
        process.wait(30)
