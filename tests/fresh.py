"""Scripts run in a fresh interpreter: for first calls, teardown, and cases
that would take the test runner down if kiv failed them."""

import json
import os
import subprocess
import sys


def run_fresh(script, *args, timeout=120, env=None):
    """Runs `script` with `args` (and the variables `env` added to the
    environment); returns what it printed, read as JSON."""
    env = dict(os.environ, **(env or {}), PYTHONPATH=os.path.dirname(__file__))
    done = subprocess.run([sys.executable, "-c", script, *args], env=env,
                          capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)
