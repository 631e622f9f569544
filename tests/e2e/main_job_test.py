#!/usr/bin/env python3
"""The agent's main job, as the README's run command shows it: TalvernTray.exe with
the reference TalvernP.dll under the service simulator posts its update request,
waits for a service that comes up 6 s late (its tries 5 s apart),
refuses a second agent in the session, and hands the arrival (1) and removal (2)
of a drive letter added and removed through Wine's mount manager to the service,
then exits with code 0.

    main_job_test.py <build-dir> <version A.B.C.D>
Runs in the entry's Wine prefix (WINEPREFIX), with a wineserver already up; the
agent posts to the entry's own update address (tests/support/update_address.py)."""
import json, os, re, subprocess, sys, time

WINE = "/usr/lib/wine/wine64"
HOST_GUID = "{8C1D6A52-3F7E-4B90-A1C4-2E5D9F0B7A36}"  # set by scripts/wine-prefix.sh
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from update_address import own_update_url  # noqa: E402
build, version = sys.argv[1], sys.argv[2]
base_url = own_update_url()
BODY = ('{ "info":{"product_type": "talvern","product_version": "' + version.replace(".", ",") + '",'
        '"group_guid": "{5D0C3E91-27B4-4F6A-8E13-9A2B7C4D6E80}","host_guid": "' + HOST_GUID + '"} }')

# The service comes up 6 s after the agent: the agent's tries, 5 s apart, fail at most twice.
SERVICE_LATE_MS, RETRY_MS = 6000, 5000
bin_dir = os.path.join(build, "bin")
work = os.path.join(build, "tests", "e2e")
os.makedirs(work, exist_ok=True)
prefix = os.environ["WINEPREFIX"]
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL: " + what)


def text(path):
    return open(path, errors="replace").read().replace("\r", "")


def wait_for(condition, seconds, what, proc):
    end = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > end or proc.poll() is not None:
            sys.exit("FAIL: %s (waited up to %d s)" % (what, seconds))
        time.sleep(0.1)


def agent_lines(stderr_text):
    """"<tag><text>" of the agent's log lines, as Wine's +debugstr channel shows them."""
    found = re.findall(r'OutputDebugStringA "(\[\w+\] )[^"]*?\) : (.*?)(?:\\n)?"$', stderr_text, re.M)
    return [(tag + message).replace("\\\\", "\\") for tag, message in found]


def run(program, *args, **options):
    return subprocess.run([WINE, os.path.join(bin_dir, program), *args], stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=60, **options)


env = dict(os.environ, WINEDEBUG="-all,+debugstr")
letter = next(c for c in "efghijklmnop" if not os.path.lexists(os.path.join(prefix, "dosdevices", c + ":")))
drive = letter.upper() + ":"
drive_dir = os.path.join(work, "drive")
os.makedirs(drive_dir, exist_ok=True)

# The update server at the agent's built-in address answers the one request.
port = re.match(r"http://127\.0\.0\.1:(\d+)/", base_url)
server_out = os.path.join(work, "update_server.out")
server = None
if port:
    server = subprocess.Popen([WINE, os.path.join(bin_dir, "update_server.exe"), "--port", port.group(1),
                               "--exit-after", "1", "--max-seconds", "150"], stdin=subprocess.DEVNULL,
                              stdout=open(server_out, "w"), stderr=subprocess.STDOUT)
    wait_for(lambda: "listening" in text(server_out), 30, "the update server did not start", server)

sim_out, sim_err = os.path.join(work, "simulator.out"), os.path.join(work, "simulator.err")
started = time.time()
sim = subprocess.Popen([WINE, os.path.join(bin_dir, "service_simulator.exe"), "--start",
                        "Z:" + os.path.join(bin_dir, "TalvernTray.exe").replace("/", "\\"), "--close-after-records", "2",
                        "--create-after-ms", str(SERVICE_LATE_MS), "--timeout-ms", "120000"], stdin=subprocess.DEVNULL, env=env,
                       stdout=open(sim_out, "w"), stderr=open(sim_err, "w"))
try:
    wait_for(lambda: "TalvernP: watching drive letters" in text(sim_err), 90,
             "the reference plug-in never started watching", sim)

    # A second agent in the same logon session is refused and exits with -1.
    second = run("TalvernTray.exe", env=env)
    check(second.returncode == 255, "second agent exit code %d, not -1" % second.returncode)
    lines = agent_lines(second.stderr.decode(errors="replace"))
    check(lines == ["[EROR] Talvern tray is already running.", "[EROR] _talvern_tray->start() failed."],
          "second agent's lines: %r" % lines)

    check(run("wine_drive.exe", "add", letter, drive_dir).returncode == 0, "wine_drive add %s failed" % letter)
    wait_for(lambda: '"drive_letter"' in text(sim_out), 30, "no arrival record for " + drive, sim)
    check(run("wine_drive.exe", "remove", letter).returncode == 0, "wine_drive remove %s failed" % letter)
    sim.wait(timeout=90)
finally:
    if sim.poll() is None:
        sim.kill()
    if os.path.lexists(os.path.join(prefix, "dosdevices", letter + ":")):
        run("wine_drive.exe", "remove", letter)
    if server is not None:
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()

out = text(sim_out)
check(sim.returncode == 0 and '{"agent_exit_code":0}' in out, "agent exit: %r (simulator %d)" % (out, sim.returncode))
records = [json.loads(line) for line in out.splitlines() if '"drive_letter"' in line]
check(len(records) == 2, "expected 2 records, got %d" % len(records))
now_ft = lambda t: int(t * 10_000_000) + 116444736000000000
for seq, (record, event) in enumerate(zip(records, (1, 2)), 1):
    strings = [record[k] for k in ("drive_letter", "pnp_device_id", "serial_number", "device_name")]
    for field, want in (("seq", seq), ("event", event), ("drive_letter", drive),
                        ("pnp_device_id", "IDE\\Disk\\VEN_WINE"), ("serial_number", "WINEHDISK"),
                        ("length", 25 + sum(2 * len(s) for s in strings))):
        check(record[field] == want, "record %d: %s is %r, not %r" % (seq, field, record[field], want))
    check(re.fullmatch(r"\\Device\\HarddiskVolume\d+", record["device_name"]) is not None,
          "record %d: device_name %r" % (seq, record["device_name"]))
    check(now_ft(started - 5) <= record["time"] <= now_ft(time.time() + 5),
          "record %d: time %d is not the time of the event" % (seq, record["time"]))
if len(records) == 2:
    check(records[0]["device_name"] == records[1]["device_name"], "removal names another device")

lines = agent_lines(text(sim_err))
tries = sum(1 for l in lines if l.startswith("[EROR] Can not open event object. object=Global\\ttosq_"))
check(1 <= tries <= SERVICE_LATE_MS // RETRY_MS + 1,
      "%d failed tries to reach a service that came %d ms late: not %d ms apart" % (tries, SERVICE_LATE_MS, RETRY_MS))
errors = [l for l in lines if (l.startswith("[EROR]") or l.startswith("[WARN]")) and "Can not open event object" not in l]
check(not errors, "the agent logged errors: %r" % errors)
if server is not None:
    request = text(server_out)
    check("update_server: POST /v1/update" in request, "no POST /v1/update: %r" % request)
    check("body (%d bytes): %s\n" % (len(BODY), BODY) in request, "update body: %r" % request)

print("FAIL: %d check(s)" % len(failures) if failures else
      "PASS: update request, second agent refused, %s arrival and removal delivered, exit code 0" % drive)
sys.exit(1 if failures else 0)
