"""What the scripted suites (robustness, package, deploy) share: strict JSON,
free ports, child processes that die with the suite, and the sample's reading."""

import ctypes
import http.client
import json
import math
import os
import re
import signal
import socket
import subprocess
import threading
import time

# samples/gauge.jpg on its 0..400 scale: the needle stands at 97.03, and any
# model pair worth shipping reads within 5 % of the span of it.
SAMPLE_TRUE = 97.03
SAMPLE_TOLERANCE = 20.0

_FAULTS = []
_FAULTS_LOCK = threading.Lock()


def fault(text):
    """Prints the fault at once, so a suite killed at its deadline still shows what it found."""
    with _FAULTS_LOCK:
        _FAULTS.append(text)
        print(f"FAULT {text}", flush=True)


def finish(summary):
    print(summary, flush=True)
    return 1 if _FAULTS else 0


def _refuse_constant(name):
    raise ValueError(f"{name} is not JSON")


def _finite_float(text):
    number = float(text)
    if not math.isfinite(number):
        raise ValueError(f"{text} does not fit a double")
    return number


def strict_json(text):
    """Parses as JSON allows it and nothing more: no NaN, no Infinity, no number beyond a double."""
    return json.loads(text, parse_constant=_refuse_constant, parse_float=_finite_float)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def wait_until(condition, seconds, proc):
    """Checks the condition until it holds or the deadline passes, waiting
    between checks on proc's exit, which ends the wait at once."""
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() >= deadline:
            return False
        try:
            proc.wait(min(0.05, max(0.0, deadline - time.monotonic())))
        except subprocess.TimeoutExpired:
            pass
    return True


def serving(proc, port, seconds):
    """Waits until proc takes connections on port; False when it exits first or the time runs out."""
    return wait_until(lambda: proc.poll() is not None or listening(port), seconds, proc) and proc.poll() is None


def die_with_parent(sig=signal.SIGKILL):
    """For preexec_fn: the child gets `sig` when the suite ends, even when the suite is killed."""
    try:
        ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, sig)   # PR_SET_PDEATHSIG
    except OSError:
        pass


def exit_text(code):
    if code is None:
        return "still running"
    if code < 0:
        try:
            return f"killed by {signal.Signals(-code).name}"
        except ValueError:
            return f"killed by signal {-code}"
    return f"exit code {code}"


def tail(text, count=15):
    return "\n    ".join(text.strip().splitlines()[-count:])


class Child:
    """A child in a session of its own, its output kept line by line as it comes."""

    def __init__(self, command, death_signal=signal.SIGKILL, **popen):
        self.proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, errors="replace", start_new_session=True,
                                     preexec_fn=lambda: die_with_parent(death_signal), **popen)
        self.cond = threading.Condition()
        self.out, self.err = [], []
        self.open = 2
        for stream, lines in ((self.proc.stdout, self.out), (self.proc.stderr, self.err)):
            threading.Thread(target=self._read, args=(stream, lines), daemon=True).start()

    def _read(self, stream, lines):
        for line in stream:
            with self.cond:
                lines.append(line.rstrip("\n"))
                self.cond.notify_all()
        with self.cond:
            self.open -= 1
            self.cond.notify_all()

    def wait_line(self, lines, pattern, seconds):
        """The first line matching pattern, or None at the deadline or when the output ends."""
        deadline = time.monotonic() + seconds
        with self.cond:
            while True:
                found = next((line for line in lines if re.search(pattern, line)), None)
                if found or not self.open or time.monotonic() >= deadline:
                    return found
                self.cond.wait(max(0.01, deadline - time.monotonic()))

    def output(self, count=10):
        with self.cond:
            return tail("\n".join(self.out + self.err), count)

    def kill(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()


def post(port, payload, timeout_s):
    """POSTs payload as JSON: (status, headers, body), or (None, None, why) when the exchange fails."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout_s)
    try:
        connection.request("POST", "/endpoint", json.dumps(payload), {"Content-Type": "application/json"})
        response = connection.getresponse()
        return response.status, response.headers, response.read()
    except (OSError, http.client.HTTPException) as error:
        return None, None, f"{error.__class__.__name__}: {error}"
    finally:
        connection.close()


def sample_reading(status, body):
    """(value, None) when a reply reads the sample, else (None, why)."""
    if status is None:
        return None, body
    if status != 200:
        return None, f"HTTP {status}: {body[:120]!r}"
    try:
        data = strict_json(body)
    except ValueError as error:
        return None, f"not JSON ({error}): {body[:120]!r}"
    if not isinstance(data, dict):
        return None, f"not an object: {body[:120]!r}"
    value = data.get("value")
    if data.get("error") != "" or not isinstance(value, (int, float)) or isinstance(value, bool):
        return None, f"not a reading: {body[:120]!r}"
    if abs(value - SAMPLE_TRUE) > SAMPLE_TOLERANCE:
        return None, f"read {value}, more than {SAMPLE_TOLERANCE} from the sample's {SAMPLE_TRUE}"
    return value, None
