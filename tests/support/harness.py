"""What the scripted suites share: strict JSON, free ports, HTTP exchanges
under one deadline, tools and the program run as children that die with the
suite, image URLs that misbehave on purpose, and the sample's reading."""

import ctypes
import glob
import http.client
import http.server
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


class Failed(Exception):
    """A step that failed; what follows it cannot run."""
    reported = False


def run(command, timeout_s, what=None, check=True, input=None, **popen):
    """A tool run to its end in a session of its own, killed whole at the deadline: Failed when it does not end
    in time or, with check, when it fails."""
    what = what or os.path.basename(command[0])
    proc = subprocess.Popen(command, stdin=subprocess.DEVNULL if input is None else subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, errors="replace",
                            start_new_session=True, **popen)
    try:
        out, err = proc.communicate(input, timeout=timeout_s)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        raise Failed(f"{what} did not finish within {timeout_s} s")
    if check and proc.returncode != 0:
        raise Failed(f"{what}: {exit_text(proc.returncode)}:\n    {tail(out + err)}")
    return subprocess.CompletedProcess(command, proc.returncode, out, err)


def cpack_deb(cpack, config, out):
    """The build tree packed as its one Debian package; zstd, as xz would spend minutes compressing."""
    run([cpack, "-G", "DEB", "--config", config, "-B", out, "-D", "CPACK_DEBIAN_COMPRESSION_TYPE=zstd"], 240)
    found = glob.glob(os.path.join(out, "*.deb"))
    if len(found) != 1:
        raise Failed(f"cpack made {[os.path.basename(p) for p in found]}, not one package")
    return found[0]


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
        self.cond = threading.Condition()   # notified on every line and when the output ends
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

    def wait_for(self, predicate, seconds):
        """Whether predicate, checked under the lock whenever cond is notified, held within seconds."""
        with self.cond:
            return self.cond.wait_for(predicate, seconds)

    def wait_line(self, lines, pattern, seconds):
        """The first line matching pattern, or None at the deadline or when the output ends."""
        found = []

        def seen():
            found[:] = [line for line in lines if re.search(pattern, line)][:1]
            return found or not self.open
        self.wait_for(seen, seconds)
        return found[0] if found else None

    def output(self, count=10):
        with self.cond:
            return tail("\n".join(self.out + self.err), count)

    def terminate(self, seconds):
        """SIGTERM, then the exit code within seconds, or None while it still runs."""
        self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(seconds)
        except subprocess.TimeoutExpired:
            return None

    def kill(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()


def start_app(executable, workdir, port, settings=None, keep_config=False, death_signal=signal.SIGKILL, args=()):
    """The program started headless in workdir, on port and with settings through its config.json (the one there,
    with keep_config); its downloads land in workdir/tmp."""
    path = os.path.join(workdir, "config.json")
    config = {}
    if keep_config:
        with open(path) as f:
            config = json.load(f)
    config.update({name: {"value": str(value)} for name, value in dict(settings or {}, port=port).items()})
    with open(path, "w") as f:
        json.dump(config, f)
    scratch = os.path.join(workdir, "tmp")
    os.makedirs(scratch, exist_ok=True)
    return Child([executable, *args], death_signal, cwd=workdir,
                 env=dict(os.environ, QT_QPA_PLATFORM="offscreen", TMPDIR=scratch))


class Reply:
    """One HTTP exchange: status, headers and body, or why there is no complete reply."""
    status = headers = problem = None
    body = b""
    elapsed = 0.0
    data = None   # the body, parsed, where a suite checked it is JSON

    @property
    def ok(self):
        return self.status is not None and self.problem is None

    def text(self, limit=200):
        body = self.body.decode("utf-8", "replace")
        return body if len(body) <= limit else body[:limit] + f"...({len(self.body)} bytes)"

    def reading(self):
        """(value, None) when the reply reads the sample, else (None, why)."""
        return sample_reading(self.status, self.body) if self.ok else (None, self.problem)


def request_head(port, length, key=None):
    auth = f"Authorization: Bearer {key}\r\n" if key else ""
    return (f"POST /endpoint HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n{auth}"
            f"Content-Type: application/json\r\nContent-Length: {length}\r\nConnection: close\r\n\r\n").encode()


def read_reply(sock, deadline, started):
    """Reads one HTTP reply; at the deadline the socket is shut, so a trickling reply ends there too."""
    reply = Reply()
    cut = []

    def shut():
        cut.append(True)
        try:
            sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    timer = threading.Timer(max(0.001, deadline - time.monotonic()), shut)
    timer.start()
    response = http.client.HTTPResponse(sock, method="POST")
    try:
        sock.settimeout(max(0.001, deadline - time.monotonic()))
        response.begin()
        reply.status, reply.headers = response.status, response.headers
        reply.body = response.read()
    except http.client.IncompleteRead as error:
        reply.body, reply.problem = error.partial, "reply body cut short"
    except (OSError, http.client.HTTPException) as error:
        reply.problem = f"connection failed: {error.__class__.__name__}: {error}"
    finally:
        timer.cancel()
        response.close()   # lets the caller's close end the connection at once
    if cut or (reply.problem and time.monotonic() >= deadline):
        reply.problem = "no reply before the deadline" if reply.status is None else \
            "reply not finished before the deadline"
    reply.elapsed = time.monotonic() - started
    return reply


def post(port, payload, timeout_s, key=None):
    """POSTs payload (JSON text, or what json.dumps makes of it) on a connection of its own, bounded by timeout_s
    in all; `key` goes in as a bearer token."""
    body = (payload if isinstance(payload, str) else json.dumps(payload)).encode()
    started = time.monotonic()
    try:
        sock = socket.create_connection(("127.0.0.1", port), timeout=timeout_s)
    except OSError as error:
        reply = Reply()
        reply.problem = f"connect failed: {error.__class__.__name__}: {error}"
        return reply
    with sock:
        try:
            sock.sendall(request_head(port, len(body), key) + body)
        except OSError:
            pass   # the server may answer before it has taken the whole request
        return read_reply(sock, started + timeout_s, started)


def sample_reading(status, body):
    """(value, None) when a reply reads the sample, else (None, why)."""
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


class _CameraRequest(http.server.BaseHTTPRequestHandler):
    timeout = 30

    def do_GET(self):
        camera = self.server
        try:
            if self.path.startswith("/silent"):
                camera.silent_hit.set()
                camera.stopping.wait(600)
                return
            if self.path.startswith("/redirect"):
                self.send_response(302)
                self.send_header("Location", camera.target)
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            self.send_response(200)
            self.send_header("Content-Type", "image/jpeg")
            if self.path.startswith("/endless"):
                self.end_headers()
                while not camera.stopping.is_set():
                    self.wfile.write(bytes(1 << 20))
            elif self.path.startswith("/trickle"):
                self.send_header("Content-Length", "100000")
                self.end_headers()
                while not camera.stopping.wait(2.0):   # the pace is the behaviour under test
                    self.wfile.write(b"\xff")
            else:
                camera.hits += 1
                self.send_header("Content-Length", str(len(camera.photo)))
                self.end_headers()
                self.wfile.write(camera.photo)
        except OSError:
            pass

    def log_message(self, *args):
        pass


class Camera(http.server.ThreadingHTTPServer):
    """Image URLs on a loopback address: /silent... takes the request and never answers, /endless... sends bytes
    forever, /trickle... one byte every 2 s, /redirect... sends the client to `target`; any other path is the
    photo, and counts in hits."""

    def __init__(self, address="127.0.0.1", photo=b"", target=""):
        super().__init__((address, 0), _CameraRequest)
        self.photo, self.target, self.hits = photo, target, 0
        self.stopping, self.silent_hit = threading.Event(), threading.Event()
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def url(self, name):
        return f"http://{self.server_address[0]}:{self.server_port}/{name}"

    def stop(self):
        self.stopping.set()
        self.shutdown()
        self.server_close()
