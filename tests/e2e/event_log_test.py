#!/usr/bin/env python3
"""The agent's error and warning lines reach the Windows Event Log, at most 20 a
minute: the load plug-in reports a burst of malformed drive letters, each of
which the agent refuses with an error line (after one warning for a policy
value of the wrong type), and Wine prints the insertion
string of every event the agent reports (ReportEventW). The first 20 error and
warning lines go out as events, exactly as the debugger gets them; the rest
are counted, and one summary says how many when the agent stops.

    event_log_test.py <build-dir>
Runs in the entry's Wine prefix (WINEPREFIX), with a wineserver already up."""
import os, re, subprocess, sys
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from update_address import own_update_url  # noqa: E402

WINE = "/usr/lib/wine/wine64"
build = sys.argv[1]
agent = "Z:" + os.path.join(build, "load-agent", "TalvernTray.exe").replace("/", "\\")
VALID, PER_MINUTE = 25, 20

own_update_url()  # nothing listens there: the request fails, with its error lines
# A policy value of the wrong type: ignored, with a warning that is the first event.
subprocess.run([WINE, "reg", "add", r"HKLM\SOFTWARE\Policies\Talvern\Agent", "/v", "LogLevel", "/t", "REG_SZ",
                "/d", "3", "/f"], stdin=subprocess.DEVNULL, capture_output=True, check=True)
env = dict(os.environ, WINEDEBUG="-all,+debugstr,err+eventlog,warn+eventlog")
run = subprocess.run([WINE, os.path.join(build, "bin", "load_service.exe"), "--agent", agent,
                      "--script", "count=%d;bad_every=1" % VALID, "--expect", str(VALID), "--timeout-s", "60"],
                     stdin=subprocess.DEVNULL, capture_output=True, env=env, timeout=120)
err = run.stderr.decode("utf-8", "replace").replace("\r", "")
print(run.stdout.decode("utf-8", "replace"))
if run.returncode != 0:
    print(err[-3000:])
    sys.exit("FAIL: load_service exited with %d" % run.returncode)

# Wine escapes a backslash in both channels alike; compare the text as printed.
lines = [l for l in re.findall(r'OutputDebugStringA "(\[(?:EROR|WARN)\] [^"]*?)(?:\\n)?"$', err, re.M)
         if "TalvernTray.exe" in l]
events = re.findall(r'^(?:[0-9a-f]+:)?\w+:eventlog:ReportEventW L"(.*)"$', err, re.M)
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL: " + what)


check(lines and lines[0].startswith("[WARN] ") and
      lines[0].endswith(" : policy value LogLevel ignored: it is not a REG_DWORD (type 1)."),
      "the first line is not the policy warning: %r" % (lines[:1],))
check(not any(l.startswith("[DEBG] ") or l.startswith("[INFO] ") for l in lines), "the ignored LogLevel was applied")
refused = [l for l in lines if l.startswith("[EROR] ")]
check(len(refused) >= VALID, "%d error lines, expected one per malformed letter (%d) at least" % (len(refused), VALID))
check(len(events) == PER_MINUTE + 1, "%d events, expected %d and one summary" % (len(events), PER_MINUTE))
check(events[:PER_MINUTE] == lines[:PER_MINUTE], "the first %d events are not the first error and warning lines:\n%s\n%s"
      % (PER_MINUTE, "\n".join(events[:PER_MINUTE]), "\n".join(lines[:PER_MINUTE])))
if events:
    check(events[-1] == "%d events suppressed" % (len(lines) - PER_MINUTE),
          "the summary is %r; %d lines were logged" % (events[-1], len(lines)))
print("%d error and warning lines, %d events" % (len(lines), len(events)))
sys.exit(1 if failures else 0)
