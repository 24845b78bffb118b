"""Scripts run in a fresh interpreter: for first calls, teardown, other CPU
levels, and cases that would take the test runner down if kiv failed them."""

import json
import os
import platform
import subprocess
import sys

# The kernels' CPU levels on this architecture, lowest first: the values of
# KIV_CPU_LEVEL, which caps the level in use at import.
CPU_LEVELS = ["baseline", "avx2", "avx512"] if platform.machine() == "x86_64" else ["neon"]


def run_fresh(script, *args, timeout=120):
    """Runs `script` with `args`; returns what it printed, read as JSON."""
    env = dict(os.environ, PYTHONPATH=os.path.dirname(__file__))
    done = subprocess.run([sys.executable, "-c", script, *args], env=env,
                          capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)
