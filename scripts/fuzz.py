#!/usr/bin/env python3
"""The hostile-input campaign under Wine, in three families:

  plugin    the fuzz plug-in's calls (random event bytes, hostile and valid drive
            letters from several threads) against build/fuzz-agent/TalvernTray.exe,
            served and checked record by record by fuzz_service.exe
  registry  HostGuid values of every type, length and content: each case runs the
            agent's update request against update_server.exe, and the body must be
            UTF-8 JSON carrying the value, or the agent must refuse to start
  server    update-server answers (status codes, large bodies, a close with or
            without half an answer, no answer): the agent logs a clear line and
            exits with code 0 soon after WM_CLOSE

    fuzz.py <build-dir> [--base-url URL] [--seed N] [--calls N] [--threads T] [--short]

--short runs a few cases of each family (the CTest entry). Prints per family the
inputs tried and what was found; exit code 0 when nothing was. Runs in the Wine
prefix WINEPREFIX names, with a wineserver already up (scripts/fuzz.sh sets both).
The registry and server families need the agent's update address (--base-url,
the build's TALVERN_UPDATE_BASE_URL) on 127.0.0.1; with another they are skipped.
A CTest entry's own update address (TALVERN_UPDATE_URL) takes its place, given
to the agent through the policy value UpdateUrl."""
import argparse, json, os, random, re, subprocess, sys, time

WINE = "/usr/lib/wine/wine64"
HOST_KEY = r"HKEY_LOCAL_MACHINE\SOFTWARE\Torvi\Talvern"
HOST_GUID = "{8C1D6A52-3F7E-4B90-A1C4-2E5D9F0B7A36}"  # put back by scripts/wine-prefix.sh
FIXED = {"product_type": "talvern", "product_version": "1,0,0,2",
         "group_guid": "{5D0C3E91-27B4-4F6A-8E13-9A2B7C4D6E80}"}
KEPT_MS = 3000          # how long a server that keeps the request keeps it before WM_CLOSE
EXIT_WITHIN_MS = 2000   # what "exits promptly" means here
# After a million refused calls the agent's exit waits for its log queue (about a
# line per call) to drain: that time is reported, only beyond this is it a hang.
PLUGIN_EXIT_WITHIN_MS = 120000
REG_TYPES = {"REG_NONE": 0, "REG_SZ": 1, "REG_EXPAND_SZ": 2, "REG_BINARY": 3, "REG_DWORD": 4,
             "REG_MULTI_SZ": 7, "REG_QWORD": 11}

args = argparse.ArgumentParser()
args.add_argument("build")
args.add_argument("--base-url", default="http://127.0.0.1:8765/")
args.add_argument("--seed", type=int, default=1)
args.add_argument("--calls", type=int, default=1000000)
args.add_argument("--threads", type=int, default=4)
args.add_argument("--short", action="store_true")
opt = args.parse_args()
if os.environ.get("TALVERN_UPDATE_URL"):
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
    from update_address import own_update_url  # noqa: E402
    opt.base_url = own_update_url()
build = os.path.abspath(opt.build)
bin_dir = os.path.join(build, "bin")
work = os.path.join(build, "fuzz")
os.makedirs(work, exist_ok=True)
prefix = os.environ["WINEPREFIX"]
local = re.fullmatch(r"http://127\.0\.0\.1:(\d+)/", opt.base_url)
PORT = int(local.group(1)) if local else None
env = dict(os.environ, WINEDEBUG="-all,+debugstr")


def win(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def text(path):
    return open(path, errors="replace").read().replace("\r", "") if os.path.exists(path) else ""


def agent_lines(stderr_text):
    """"<tag><text>" of the agent's log lines, as Wine's +debugstr channel shows them."""
    found = re.findall(r'OutputDebugStringA "(\[\w+\] )[^"]*?\) : (.*?)(?:\\n)?"$', stderr_text, re.M)
    return [(tag + message).replace("\\\\", "\\") for tag, message in found]


def utf16(s):
    """UTF-16LE bytes of s; lone surrogates (written as such in s) kept as they are."""
    return s.encode("utf-16-le", "surrogatepass")


def set_host_guid(kind, data=b"", delete_key=False):
    """Writes HostGuid (type kind, raw bytes data; kind None: no value) through regedit."""
    lines = ["Windows Registry Editor Version 5.00", ""]
    if delete_key:
        lines += ["[-%s]" % HOST_KEY, ""]
    else:
        lines += ["[%s]" % HOST_KEY]
        if kind is None:
            lines.append('"HostGuid"=-')
        else:
            lines.append('"HostGuid"=hex(%x):%s' % (kind, ",".join("%02x" % b for b in data)))
        lines.append("")
    path = os.path.join(work, "host.reg")
    with open(path, "wb") as f:
        f.write(b"\xff\xfe" + "\r\n".join(lines).encode("utf-16-le"))
    subprocess.run([WINE, "regedit", "/S", win(path)], stdin=subprocess.DEVNULL, capture_output=True, timeout=60)


def expected_guid(units):
    """What the body must carry for UTF-16 text: up to its first NUL, lone surrogates as U+FFFD."""
    units = units.split("\0")[0]
    return units.encode("utf-16-le", "surrogatepass").decode("utf-16-le", "replace")


def run_agent(server_args):
    """One agent start under the service simulator, with update_server.exe answering as told.
    Returns (exit code or None for a hang, agent's lines, request body or None, ms after WM_CLOSE)."""
    request = os.path.join(work, "request.bin")
    if os.path.exists(request):
        os.remove(request)
    server_out, sim_err = os.path.join(work, "server.out"), os.path.join(work, "simulator.err")
    for attempt in range(30):  # another test run on this machine may hold the port for a while
        with open(server_out, "w") as out:
            server = subprocess.Popen([WINE, os.path.join(bin_dir, "update_server.exe"), "--port", str(PORT),
                                       "--request-file", win(request), "--exit-after", "1", "--max-seconds", "60",
                                       *server_args], stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        end = time.monotonic() + 30
        while "listening" not in text(server_out) and server.poll() is None and time.monotonic() < end:
            time.sleep(0.05)
        if "listening" in text(server_out) or "bind" not in text(server_out):
            break
        server.wait()
        time.sleep(1)
    if "listening" not in text(server_out):
        server.kill()
        sys.exit("fuzz: update_server.exe did not start: %r" % text(server_out))
    with open(sim_err, "w") as err:
        sim = subprocess.Popen([WINE, os.path.join(bin_dir, "service_simulator.exe"), "--start",
                                win(os.path.join(bin_dir, "TalvernTray.exe")), "--timeout-ms", "60000"],
                               stdin=subprocess.DEVNULL, env=env, stdout=subprocess.DEVNULL, stderr=err)
    # The agent is closed once its request has come and the server has answered and ended
    # (or, for a server that keeps the request, after a while), or after 30 s without a
    # request; an agent that refuses to start ends by itself.
    end, came = time.monotonic() + 30, None
    while sim.poll() is None:
        now = time.monotonic()
        if came is None and os.path.exists(request):
            came = now
        if (came is None and now > end) or (came is not None and (server.poll() is not None or
                                                                   now > came + KEPT_MS / 1000)):
            break
        time.sleep(0.05)
    closed = ""
    pid = re.search(r"started agent pid (\d+)", text(sim_err))
    if sim.poll() is None and pid:
        # A second simulator attached to the agent sends WM_CLOSE and times the exit.
        closer = subprocess.run([WINE, os.path.join(bin_dir, "service_simulator.exe"), "--attach", pid.group(1),
                                 "--objects", "", "--close-after-ms", "1", "--timeout-ms", "30000"],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, timeout=90)
        closed = closer.stderr.decode(errors="replace").replace("\r", "")
    try:
        sim.wait(timeout=90)  # the simulator ends the agent itself after 60 s
    except subprocess.TimeoutExpired:
        sim.kill()
        sim.wait()
    try:  # with a request it ends once its answer is out; without one it would wait its 60 s
        server.wait(timeout=5 if "POST" in text(server_out) else 0.1)
    except subprocess.TimeoutExpired:
        server.kill()
        server.wait()
    err = text(sim_err)
    exited = re.search(r"agent exited with code (-?\d+)", err)
    code = int(exited.group(1)) if exited else None
    timed = re.search(r"(\d+) ms after WM_CLOSE", closed)
    after = int(timed.group(1)) if timed else None
    body = None
    if os.path.exists(request):
        with open(request, "rb") as f:
            body = f.read()
    return code, agent_lines(err), body, after


class Family:
    def __init__(self, name):
        self.name, self.tried, self.found = name, 0, {}
        self.notes = []

    def count(self, what, n=1):
        self.found[what] = self.found.get(what, 0) + n

    def note(self, case, what):
        self.notes.append("%s: %s" % (case, what))

    def report(self, extra=""):
        parts = ["%s %d" % (k, self.found.get(k, 0)) for k in self.keys]
        print("%-9s inputs %d, %s%s" % (self.name, self.tried, ", ".join(parts), extra))
        for n in self.notes[:20]:
            print("  FAIL %s" % n)
        return all(self.found.get(k, 0) == 0 for k in self.keys)


def fuzz_service(seed, calls, close_after=0):
    """One agent run under fuzz_service.exe; its figures, failure lines and time taken."""
    letters = ["C:", "c:", "Z:", "z:"]
    absent = "".join(c for c in "DEFGHIJKLMNOPQRSTUVWXY"
                     if not os.path.lexists(os.path.join(prefix, "dosdevices", c.lower() + ":")))
    script = "seed=%d;calls=%d;threads=%d;letters=%s;absent=%s" % (seed, calls, opt.threads, ",".join(letters), absent)
    started = time.monotonic()
    run = subprocess.run([WINE, os.path.join(bin_dir, "fuzz_service.exe"), "--agent",
                          win(os.path.join(build, "fuzz-agent", "TalvernTray.exe")), "--script", script,
                          "--file", win(os.path.join(work, "calls.txt")), "--quiet-s", "60",
                          "--exit-within-ms", str(PLUGIN_EXIT_WITHIN_MS),
                          "--close-after-records", str(close_after)],
                         stdin=subprocess.DEVNULL, capture_output=True, timeout=3600)
    out = run.stdout.decode(errors="replace").replace("\r", "")
    fig = {k: int(v) for k, v in re.findall(r"^(\w+) (\d+)$", out, re.M)}
    fails = re.findall(r"^result FAIL (.*)$", out, re.M)
    if run.returncode not in (0, 1) or "plugin_calls" not in fig:
        fails.append("fuzz_service exit %d: %r" % (run.returncode, run.stderr[-300:]))
    return fig, fails, time.monotonic() - started


def plugin_family():
    """One run of all the calls, checked to the last record; then runs closed while the plug-in
    still calls (each with a seed of its own), where records still queued may be dropped."""
    f = Family("plugin")
    f.keys = ["crashes", "hangs", "malformed records", "missing records", "writes outside the view",
              "writes past a record"]
    calls = 20000 if opt.short else opt.calls
    latest = max(30, min(3000, calls * 16 // 1000))  # about 2% of the calls are valid: close before the end
    closing = [(opt.seed * 1000 + i, random.Random(opt.seed * 1000 + i).randrange(20, latest))
               for i in range(1 if opt.short else 8)]
    figures, notes = {}, []
    for seed, close_after in [(opt.seed, 0)] + closing:
        fig, fails, seconds = fuzz_service(seed, calls, close_after)
        what = "closed after %d records (seed %d)" % (close_after, seed) if close_after else "all calls"
        notes.append("%s: %d calls, %d valid, %d records%s, %.0f s, agent exit %d ms after WM_CLOSE" % (
            what, fig.get("plugin_calls", 0), fig.get("valid_calls", 0), fig.get("records", 0),
            ", %d dropped at close" % fig.get("records_dropped_at_close", 0) if close_after else "", seconds,
            fig.get("exit_ms_after_close", -1)))
        if not close_after:
            kinds = sorted((k[5:], v) for k, v in fig.items() if k.startswith("kind_"))
            notes.append("  kinds: " + ", ".join("%s %d" % kv for kv in kinds))
        for k, v in fig.items():
            figures[k] = figures.get(k, 0) + v
        for line in fails:
            f.note(what, line)
        if fails and not any(fig.get(k) for k in ("crashes", "hangs", "malformed_records", "records_unmatched",
                                                   "records_wrong_fields", "records_out_of_order", "records_missing",
                                                   "writes_outside_view", "writes_past_record")):
            f.count("hangs" if "plugin_calls" not in fig else "crashes")  # the run itself went wrong
    f.tried = figures.get("plugin_calls", 0)
    f.count("crashes", figures.get("crashes", 0))
    f.count("hangs", figures.get("hangs", 0))
    f.count("malformed records", figures.get("malformed_records", 0) + figures.get("records_unmatched", 0) +
            figures.get("records_wrong_fields", 0) + figures.get("records_out_of_order", 0))
    f.count("missing records", figures.get("records_missing", 0))
    f.count("writes outside the view", figures.get("writes_outside_view", 0))
    f.count("writes past a record", figures.get("writes_past_record", 0))
    ok = f.report()
    for n in notes:
        print("  " + n)
    return ok


def random_text(r):
    """Random UTF-16 text: letters, controls, quotes, non-ASCII, surrogates alone and in pairs."""
    pools = [lambda: chr(r.randrange(0x20, 0x7F)), lambda: chr(r.randrange(1, 0x20)), lambda: r.choice('"\\/'),
             lambda: chr(r.randrange(0x80, 0xD800)), lambda: chr(r.randrange(0xD800, 0xE000)),
             lambda: chr(r.randrange(0xE000, 0x10000)), lambda: chr(r.randrange(0x10000, 0x110000))]
    return "".join(r.choice(pools)() for _ in range(r.randrange(0, 48)))


def registry_cases():
    # (name, type, UTF-16 text or raw bytes, expected host_guid; None: the agent must refuse to start)
    s = lambda name, units, kind=1: (name, kind, utf16(units) + b"\0\0", expected_guid(units))
    cases = [
        s("guid", HOST_GUID), s("expand-sz", "%SystemRoot%", 2), s("empty", ""),
        s("100000 chars", "G" * 100000), s("quotes and backslashes", 'a"b\\c"\\'),
        s("control chars", "".join(chr(c) for c in range(1, 32)) + "\x7f"), s("embedded NUL", "abc\0def"),
        s("non-ASCII", "caf\u00e9\u20ac"), s("outside the BMP", "\U0001F600x"), s("lone high surrogate", "a\ud800b"),
        s("lone low surrogate", "\udc00"), s("reversed pair", "\ude00\ud83d"), s("noncharacters", "\ufffe\uffff\ufeff"),
        s("line separators", "\u2028\u2029\x85"),
        ("odd byte count", 1, b"AB\0C\0", "\u4241\u4300"),  # the odd byte is dropped
        ("no terminator", 1, utf16("XYZ"), "XYZ"),
    ]
    cases += [(name, REG_TYPES[name], data, None) for name, data in (
        ("REG_DWORD", b"\x41\x00\x42\x00"), ("REG_QWORD", b"q" * 8), ("REG_BINARY", utf16(HOST_GUID)),
        ("REG_MULTI_SZ", utf16(HOST_GUID) + b"\0\0\0\0"), ("REG_NONE", b""))]
    cases += [("missing value", None, b"", None), ("missing key", "key", b"", None)]
    r = random.Random(opt.seed)
    cases += [s("random %d" % i, t) for i, t in enumerate(random_text(r) for _ in range(6))]
    if opt.short:
        cases = [c for c in cases if c[0] in ("non-ASCII", "REG_DWORD")]
    return cases


def registry_family():
    f = Family("registry")
    f.keys = ["crashes", "hangs", "bodies that do not parse", "wrong host_guid", "wrong refusals"]
    try:
        for name, kind, data, want in registry_cases():
            f.tried += 1
            set_host_guid(None if kind in (None, "key") else kind, data, delete_key=kind == "key")
            code, lines, body, after = run_agent([])
            if code is None:
                f.count("hangs"), f.note(name, "the agent did not exit")
                continue
            if want is None:  # the agent must refuse to start, with a line naming a wrong type
                named = "[EROR] value HostGuid is of type %s (%d), not a string; taken as missing." % (name, kind) \
                    if name in REG_TYPES else None
                wrong = code != -1 or body is not None or (named is not None and named not in lines) or \
                    "[EROR] Can not initialize Talvern updater" not in lines
                if wrong:
                    f.count("wrong refusals"), f.note(name, "exit %d, body %r, lines %r" % (code, body, lines[:4]))
                continue
            if code != 0:
                f.count("crashes"), f.note(name, "exit code %d" % code)
            doc = None
            try:
                doc = json.loads(body.decode("utf-8"))
            except (UnicodeDecodeError, ValueError) as e:
                f.note(name, "body %r: %s" % (body[:80], e))
            except AttributeError:
                f.note(name, "no request reached the server")
            if not isinstance(doc, dict):
                f.count("bodies that do not parse")
                continue
            info = doc.get("info", {})
            if info.get("host_guid") != want or any(info.get(k) != v for k, v in FIXED.items()):
                f.count("wrong host_guid"), f.note(name, "host_guid %r, not %r" % (info.get("host_guid"), want))
    finally:
        set_host_guid(1, utf16(HOST_GUID) + b"\0\0")
    return f.report()


def server_cases():
    big, huge = os.path.join(work, "big.body"), os.path.join(work, "huge.body")
    with open(big, "wb") as out:
        out.write(bytes(random.Random(opt.seed).randrange(256) for _ in range(60 * 1024)))
    if not opt.short:
        with open(huge, "wb") as out:
            out.write(b"h" * (8 * 1024 * 1024))
    # (name, update_server arguments after run_agent's own, which they may override; failure line expected)
    cases = [("status 200", [], False), ("status 0", ["--status", "0"], True),
             ("status 100", ["--status", "100"], True), ("status 204", ["--status", "204"], True),
             ("status 302", ["--status", "302"], True), ("status 404", ["--status", "404"], True),
             ("status 500", ["--status", "500"], True), ("status 999", ["--status", "999"], True),
             ("60 KB body", ["--body-file", win(big)], False), ("8 MB body", ["--body-file", win(huge)], False),
             ("close without an answer", ["--close"], True),
             ("close mid-answer", ["--close-mid-answer", "--body-file", win(big)], True),
             # --hang keeps the connection only while the server runs: past the agent's WM_CLOSE here
             ("no answer", ["--hang", "--exit-after", "0", "--max-seconds", "6"], True),
             ("answer after 20 s", ["--delay-ms", "20000"], True)]
    if opt.short:
        cases = [c for c in cases if c[0] in ("close mid-answer",)]
    return cases


def server_family():
    f = Family("server")
    f.keys = ["crashes", "hangs", "slow exits", "unclear logs"]
    failed_line = "[EROR] http_post(http://127.0.0.1:%d/v1/update) failed." % PORT
    slowest, seen = 0, []
    for name, server_args, fails in server_cases():
        f.tried += 1
        code, lines, body, after = run_agent(server_args)
        if code is None:
            f.count("hangs"), f.note(name, "the agent did not exit")
            continue
        if code != 0:
            f.count("crashes"), f.note(name, "exit code %d" % code)
        if after is None or after > EXIT_WITHIN_MS:
            f.count("slow exits"), f.note(name, "exit %s ms after WM_CLOSE" % after)
        slowest = max(slowest, after or 0)
        errors = [l for l in lines if l.startswith("[EROR]")]
        # A failure is logged with its cause (libcurl's code or the status) and then the request's line.
        causes = [l[7:] for l in errors if re.search(r"curl_code = \d+|response code = \d+", l)]
        if (fails and (failed_line not in errors or not causes)) or (not fails and errors):
            f.count("unclear logs"), f.note(name, "error lines %r" % errors)
        seen.append("%s: %s, exit %s ms after WM_CLOSE" % (name, causes[0] if causes else "no error", after))
    ok = f.report("; slowest exit %d ms after WM_CLOSE" % slowest)
    for line in seen:
        print("  " + line)
    return ok


print("fuzz: seed %d, %d plug-in calls a run%s" % (opt.seed, 20000 if opt.short else opt.calls,
                                                   " (short pass)" if opt.short else ""))
started = time.monotonic()
ok = plugin_family()
if PORT is None:
    print("registry, server: skipped, the agent's update address %s is not on 127.0.0.1" % opt.base_url)
else:
    ok = registry_family() and ok
    ok = server_family() and ok
print("fuzz: %s in %.0f s" % ("nothing found" if ok else "FAILED", time.monotonic() - started))
sys.exit(0 if ok else 1)
