#!/usr/bin/env python3
"""Crash capture with the real agent: build/crash-agent/TalvernTray.exe with the
crash plug-in (tools/crash_plugin) under the service simulator crashes three
ways, twice each: a null write on the plug-in's thread, one inside Start on the
agent's main thread, and a stack overflow on the plug-in's thread. Each time the
agent ends with the exception's code, leaves exactly one new dump in
%LOCALAPPDATA%\\Talvern\\Crashes and one Event Log error naming it, and
scripts/crash-report.py turns the dump into the plug-in's crashing line. Six
crashes leave five dumps, the first one gone. crash-report.py's bad input
(not a minidump, cut short) ends with exit code 2 and a message.

    crash_test.py <build-dir> <source-dir> <version A.B.C.D>
Runs in the entry's Wine prefix (WINEPREFIX), with a wineserver already up."""
import glob, os, re, shutil, subprocess, sys
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from update_address import own_update_url  # noqa: E402

WINE = "/usr/lib/wine/wine64"
build, source, version = sys.argv[1], sys.argv[2], sys.argv[3]
agent_dir = os.path.join(build, "crash-agent")
plugin_source = os.path.join(source, "tools", "crash_plugin", "crash_plugin.cpp")
report_script = os.path.join(source, "scripts", "crash-report.py")
work = os.path.join(build, "tests", "crash")
prefix = os.environ["WINEPREFIX"]
own_update_url()
HANG_BOUND_MS = 15000
# A thread's whole stack is 2 MB here. Only the crashed thread may bring that
# much into a dump (all of it after an overflow); the writer's own would be
# its whole stack under Wine unless it is left out.
WHOLE_STACK = 1 << 20
failures = []

# way, exception code, the "crash-function:" mark of the crashing function
CASES = [("thread", 0xC0000005, "null write"),
         ("start", 0xC0000005, "null write"),
         ("recurse", 0xC00000FD, "recursion")]


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL: " + what)
    return ok


def crash_function(mark):
    """The marked function's name and the numbers of its lines, to its closing brace."""
    lines = open(plugin_source).read().split("\n")
    first = next((i for i, line in enumerate(lines) if "crash-function: " + mark in line), None)
    if first is None:
        sys.exit("FAIL: no crash-function mark %r in %s" % (mark, plugin_source))
    last = next(i for i in range(first, len(lines)) if lines[i] == "}")
    return re.search(r"(\w+)\(", lines[first]).group(1), range(first + 1, last + 2)


def report(*args):
    return subprocess.run([sys.executable, report_script, *args], capture_output=True, text=True, timeout=60)


# The plug-in's debug information: the unstripped DLL copied as <name>.debug,
# as a folder of .debug files for --symbols.
symbols = os.path.join(work, "symbols")
shutil.rmtree(work, ignore_errors=True)
os.makedirs(symbols)
shutil.copy(os.path.join(agent_dir, "TalvernP.dll"), os.path.join(symbols, "TalvernP.dll.debug"))

local = [d for d in glob.glob(os.path.join(prefix, "drive_c", "users", "*", "AppData", "Local"))
         if os.path.basename(os.path.dirname(os.path.dirname(d))) != "Public"]
if len(local) != 1:
    sys.exit("FAIL: expected one user's AppData\\Local in the prefix, found %r" % local)
crashes = os.path.join(local[0], "Talvern", "Crashes")
shutil.rmtree(crashes, ignore_errors=True)


def dumps():
    return set(os.listdir(crashes)) if os.path.isdir(crashes) else set()


# No debugger may start on a crash the capture missed: the test would hang instead of fail.
env = dict(os.environ, WINEDEBUG="-all,err+eventlog",
           WINEDLLOVERRIDES=os.environ.get("WINEDLLOVERRIDES", "") + ";winedbg.exe=d")
exe = "Z:" + os.path.join(agent_dir, "TalvernTray.exe").replace("/", "\\")
written = []  # the dumps in the order of the crashes
for run, (way, code, mark) in enumerate(CASES * 2, 1):
    what = "crash %d (%s)" % (run, way)
    before = dumps()
    sim = subprocess.run([WINE, os.path.join(build, "bin", "service_simulator.exe"), "--start", exe,
                          "--timeout-ms", str(HANG_BOUND_MS)], stdin=subprocess.DEVNULL, capture_output=True,
                         env=dict(env, TALVERN_CRASH=way), timeout=HANG_BOUND_MS // 1000 + 60)
    out, err = sim.stdout.decode(errors="replace"), sim.stderr.decode(errors="replace")
    exit_code = re.search(r'\{"agent_exit_code":(-?\d+)\}', out)
    if not check(exit_code is not None and int(exit_code.group(1)) & 0xFFFFFFFF == code,
                 "%s: agent exit %s, not 0x%08X\n%s%s" % (what, exit_code and exit_code.group(0), code, out, err)):
        continue
    pid = int(re.search(r"started agent pid (\d+)", err).group(1))

    after = dumps()
    new = sorted(after - before)
    if not check(len(new) == 1, "%s: new dumps %r, not one" % (what, new)):
        continue
    dump = new[0]
    written.append(dump)
    check(re.fullmatch(r"TalvernTray-%s-\d{8}-\d{6}-%d\.dmp" % (re.escape(version), pid), dump),
          "%s: dump name %s" % (what, dump))
    gone = sorted(before - after)
    check(gone == written[:max(0, len(written) - 5)], "%s: dumps removed %r, kept %d" % (what, gone, len(after)))
    path = os.path.join(crashes, dump)
    r = report(path, "--symbols", symbols)
    check(r.returncode == 0, "%s: crash-report exit %d: %s" % (what, r.returncode, r.stderr))
    offset = re.search(r"^module: +TalvernP\.dll\+0x([0-9a-f]+) ", r.stdout, re.M)
    check(offset is not None, "%s: report names no TalvernP.dll offset:\n%s" % (what, r.stdout))
    check(re.search(r"^exception: 0x%08X EXCEPTION_%s\b" % (code, "ACCESS_VIOLATION" if code == 0xC0000005
                                                             else "STACK_OVERFLOW"), r.stdout, re.M),
          "%s: report's exception:\n%s" % (what, r.stdout))
    check(re.search(r"^version: +%s$" % re.escape(version), r.stdout, re.M), "%s: report's version:\n%s" % (what, r.stdout))
    function, lines = crash_function(mark)
    location = re.search(r"^location: +(\w+) at \S*crash_plugin\.cpp:(\d+)$", r.stdout, re.M)
    check(location and location.group(1) == function and int(location.group(2)) in lines,
          "%s: report's location is not in %s, crash_plugin.cpp:%d-%d:\n%s" % (what, function, lines[0], lines[-1],
                                                                              r.stdout))
    threads = re.search(r"^threads: +(.*)$", r.stdout, re.M)
    stacks = [int(n) for n in re.findall(r"\(stack (\d+) bytes\)", threads.group(1))] if threads else None
    check(stacks and max(stacks) < WHOLE_STACK, "%s: a thread's whole stack in the dump: %s" % (
          what, threads and threads.group(1)))

    # The Event Log error (Wine prints its insertion string), once per crash. The
    # agent's own error lines go there too (its update request finds no server):
    # those carry a log line's tag.
    events = [e.replace("\\\\", "\\") for e in re.findall(r'err:eventlog:ReportEventW L"(.*)"', err)
              if not e.startswith("[")]
    want = r"0x%08X in TalvernP\.dll at offset 0x(%s), dump C:\\.*\\Talvern\\Crashes\\%s" % (
        code, offset.group(1).upper() if offset else "[0-9A-F]+", re.escape(dump))
    check(len(events) == 1 and re.fullmatch(want, events[0]),
          "%s: Event Log lines %r, not one matching %r" % (what, events, want))

check(len(dumps()) == 5 and written and written[0] not in dumps(),
      "after six crashes: %r, the first %r" % (sorted(dumps()), written[:1]))

# Bad input: exit code 2 and a message that says what is wrong.
if written:
    whole = open(os.path.join(crashes, written[-1]), "rb").read()
    bad = {"text.dmp": (b"not a dump at all\n", "not a minidump"),
           "cut.dmp": (whole[:len(whole) // 2], "truncated"),
           "directory.dmp": (whole[:32], "truncated: the stream directory")}
    for name, (data, message) in bad.items():
        path = os.path.join(work, name)
        open(path, "wb").write(data)
        r = report(path, "--symbols", symbols)
        check(r.returncode == 2 and message in r.stderr and not r.stdout,
              "%s: exit %d, stderr %r" % (name, r.returncode, r.stderr))
    # Without symbols the module and offset still come, and the report says why there is no line.
    r = report(os.path.join(crashes, written[-1]), "--symbols", work)
    check(r.returncode == 0 and re.search(r"^module: +TalvernP\.dll\+0x", r.stdout, re.M)
          and "symbols not found (no TalvernP.dll.debug in" in r.stdout, "no symbols:\n%s" % r.stdout)

print("FAIL: %d check(s)" % len(failures) if failures else
      "PASS: six crashes (null write on a thread and in Start, stack overflow), one dump and one event each, "
      "five dumps kept, lines resolved, bad dumps refused")
sys.exit(1 if failures else 0)
