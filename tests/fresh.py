"""Scripts run in a fresh interpreter: for first calls, teardown, other CPU
levels, and cases that would take the test runner down if kiv failed them."""

import builtins
import json
import os
import platform
import signal
import subprocess
import sys
import threading
import time

# The kernels' CPU levels on this architecture, lowest first: the values of
# KIV_CPU_LEVEL, which caps the level in use at import.
CPU_LEVELS = ["baseline", "avx2", "avx512"] if platform.machine() == "x86_64" else ["neon"]

# Time limits stretched by this factor: the scripts set it when they run the
# tests under emulation.
TIME_SCALE = float(os.environ.get("KIV_TEST_TIME_SCALE", "1"))

# Under scripts/sanitize (ASan preloaded) memory figures say nothing: freed
# blocks wait in quarantine and terabytes of shadow are reserved.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def run_fresh(script, *args, timeout=120, env=None):
    """Runs `script` with `args` (and the variables `env` added to the
    environment); returns what it printed, read as JSON."""
    env = dict(os.environ, **(env or {}), PYTHONPATH=os.path.dirname(__file__))
    done = subprocess.run([sys.executable, "-c", script, *args], env=env,
                          capture_output=True, text=True, timeout=timeout * TIME_SCALE)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def in_child(work, timeout=30):
    """For scripts: work() in a forked child, what it returned (as JSON), or
    "hung" if the child had not ended after `timeout` seconds."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.write(write, json.dumps(work()).encode())
        finally:
            os._exit(0)
    os.close(write)
    deadline = time.monotonic() + timeout * TIME_SCALE
    while os.waitpid(pid, os.WNOHANG) == (0, 0):
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            return "hung"
        time.sleep(0.01)
    with os.fdopen(read, "rb") as pipe:
        return json.loads(pipe.read() or b'"failed"')


def slow_set_up(daemon=False):
    """For scripts: a thread that makes kiv's one-time set-up and stays in it
    half a second (kiv imports NumPy's modules there); returned once in it."""
    import numpy as np
    import kiv

    real_import, inside = builtins.__import__, threading.Event()
    maker = threading.Thread(target=kiv.get_max_window_limit, args=(np.arange(4.0),), daemon=daemon)

    def slow_import(name, *args, **kwargs):
        if name.startswith("numpy") and threading.current_thread() is maker and not inside.is_set():
            inside.set()
            time.sleep(0.5)
        return real_import(name, *args, **kwargs)

    builtins.__import__ = slow_import
    maker.start()
    inside.wait()
    return maker
