#!/usr/bin/env python3
"""Runs a Python script for a Windows test under Wine, tied to a socket of that test.

    run_tethered.py PORT SCRIPT [ARGUMENTS...]

Wine starts a Unix program without handing over the test's pipes or giving
back a process handle, so the test listens on 127.0.0.1:PORT instead. This
connects there, runs SCRIPT as __main__ in this process with its standard
output going to that connection (so the test reads what it prints, such as
the server's "PORT <n>"), and ends the whole process as soon as the connection
closes: when the test is done with it, and also when the test dies.
"""

import os
import runpy
import socket
import sys
import threading


def main():
    tether = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
    sys.stdout = tether.makefile("w", encoding="latin-1")

    def end_with_tether():
        try:
            while tether.recv(256):
                pass
        finally:
            os._exit(0)

    threading.Thread(target=end_with_tether, daemon=True).start()
    sys.argv = sys.argv[2:]
    runpy.run_path(sys.argv[0], run_name="__main__")


if __name__ == "__main__":
    main()
