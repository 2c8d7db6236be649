"""Runs a script in a fresh interpreter, for behaviour that belongs to a
whole process (first-use state, forking). A script that hangs fails the test
instead of the suite: it is killed, with every process it forked."""
import os
import signal
import subprocess
import sys
import textwrap


def run_python(source, timeout=60):
    """The script's standard output; asserts that it exited with status 0."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    process = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(source)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=env,
        start_new_session=True,
    )
    try:
        out, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        raise AssertionError(f"the script did not finish within {timeout} s")
    assert process.returncode == 0, err.decode(errors="replace")
    return out.decode()
