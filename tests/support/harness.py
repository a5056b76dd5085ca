"""What the scripted suites (robustness, package, deploy) share: strict JSON,
free ports, child processes that die with the suite, and the sample's reading."""

import ctypes
import json
import math
import signal
import socket

# samples/gauge.jpg on its 0..400 scale: the needle stands at 97.03, and any
# model pair worth shipping reads within 5 % of the span of it.
SAMPLE_TRUE = 97.03
SAMPLE_TOLERANCE = 20.0


class NotStrictJson(ValueError):
    pass


def _refuse_constant(name):
    raise NotStrictJson(f"{name} is not JSON")


def _finite_float(text):
    number = float(text)
    if not math.isfinite(number):
        raise NotStrictJson(f"{text} does not fit a double")
    return number


def strict_json(text):
    """Parses as JSON allows it and nothing more: no NaN, no Infinity, no number beyond a double."""
    return json.loads(text, parse_constant=_refuse_constant, parse_float=_finite_float)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


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
