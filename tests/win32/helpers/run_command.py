#!/usr/bin/env python3
"""Runs a Unix command for a Windows test under Wine (through run_tethered.py).

    run_tethered.py PORT run_command.py PROGRAM [ARGUMENTS...]

Wine starts a Unix program without giving back a process handle, so a test
cannot wait for it. Run through run_tethered.py, this prints the command's
output and then one line "EXIT <code>", after which the tether closes.
"""

import subprocess
import sys

result = subprocess.run(sys.argv[1:], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
sys.stdout.write(result.stdout.decode("latin-1"))
sys.stdout.write("\nEXIT %d\n" % result.returncode)
sys.stdout.flush()
