#!/usr/bin/env python3
"""The package as an administrator and a user meet it, in a scratch Wine prefix (a
copy of the build's, at 192 DPI): scripts/package.sh refuses bad input, builds a
signed package and two higher versions; msiexec installs it (files, their version,
the policy templates, the Run value, and the Event Log source, whose message file
event_source_check.exe loads and formats every event of); the Run value's command
line starts the agent, which service_simulator --attach serves through a drive's
arrival and removal; the end of the session stops it (plug-in stopped, exit code
0); upgrades in the fourth field and in the first three leave one product of the
new version, a lower version is refused and changes nothing, and uninstalling
leaves nothing of ours.

    install_test.py <source-dir> <build-dir> <version A.B.C.D>
The build's prefix (WINEPREFIX) is copied, not used; its wineserver is left alone."""
import json, os, re, shutil, struct, subprocess, sys, time
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from update_address import own_update_url  # noqa: E402

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
RUN_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Run"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
EVENT_SOURCE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Talvern"
INSTALLED_AGENT = r"C:\Program Files\Talvern\TalvernTray.exe"
# The agent's events, as collectors filter on them: id and severity.
EVENTS = {1000: "error", 1001: "warning", 1002: "error", 1003: "warning", 1004: "warning"}
SIGNER = "Talvern Install Test Signer"

source, build, version = sys.argv[1], os.path.abspath(sys.argv[2]), sys.argv[3]
bin_dir = os.path.join(build, "bin")
work = os.path.join(build, "tests", "install", "work")  # not the folder CTest runs the test in: it is removed
prefix = os.path.join(work, "prefix")
dist = os.path.join(work, "dist")
install_dir = os.path.join(prefix, "drive_c", "Program Files", "Talvern")
failures = []
started = time.monotonic()


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL: " + what, flush=True)
    return ok


def text(path):
    return open(path, errors="replace").read().replace("\r", "") if os.path.exists(path) else ""


env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", TALVERN_BUILD_DIR=build)


def wine(*args, timeout=120, **options):
    return subprocess.run([WINE, *args], stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout,
                          env=options.pop("env", env), **options)


def wait_for(condition, seconds, what, proc=None):
    end = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > end or (proc is not None and proc.poll() is not None):
            sys.exit("FAIL: %s (waited up to %d s)" % (what, seconds))
        time.sleep(0.1)


def package(*args):
    return subprocess.run([os.path.join(source, "scripts", "package.sh"), "--out", dist, *args],
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, env=env, timeout=900)


def file_version(path):
    """A.B.C.D of a PE file's fixed version information, None without one."""
    data = open(path, "rb").read()
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        return None
    ms, ls = struct.unpack_from("<II", data, at + 8)
    return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def reg_value(key, name):
    out = wine("reg", "query", key, "/v", name).stdout.decode(errors="replace")
    match = re.search(r"^\s*%s\s+REG_\w+\s+(.*?)\s*$" % re.escape(name), out, re.M)
    return match.group(1) if match else None


def reg_values(key):
    """{name: (REG_type, data as reg prints it)} of a key's values, None without the key."""
    query = wine("reg", "query", key)
    if query.returncode != 0:
        return None
    return {m.group(1): (m.group(2), m.group(3)) for m in
            re.finditer(r"^ {4}(\S.*?) {4}(REG_\w+) {4}(.*?)\s*$", query.stdout.decode(errors="replace"), re.M)}


def installed_products():
    """DisplayVersion of every installed product named "Talvern tray agent"."""
    out = wine("reg", "query", UNINSTALL_KEY, "/s").stdout.decode(errors="replace").replace("\r", "")
    found = []
    for block in out.split("\n\n"):
        if re.search(r"DisplayName\s+REG_SZ\s+Talvern tray agent\s*$", block, re.M):
            shown = re.search(r"DisplayVersion\s+REG_SZ\s+(\S+)", block)
            found.append(shown.group(1) if shown else "?")
    return found


def msiexec(*args):
    return wine("msiexec", *args, "/qn", timeout=180).returncode


def installed_state():
    files = sorted(os.path.relpath(os.path.join(folder, f), install_dir).replace(os.sep, "\\")
                   for folder, _, names in os.walk(install_dir) for f in names) if os.path.isdir(install_dir) else None
    versions = [file_version(os.path.join(install_dir, f)) for f in ("TalvernP.dll", "TalvernTray.exe")
                if f in (files or [])]
    return files, versions, reg_value(RUN_KEY, "Talvern tray"), reg_values(EVENT_SOURCE_KEY), installed_products()


TEMPLATES = [r"PolicyDefinitions\en-US\talvern.adml", r"PolicyDefinitions\talvern.admx"]


def expect_installed(release, shown, what):
    files, versions, run_value, event_source, products = installed_state()
    check(files == TEMPLATES + ["TalvernP.dll", "TalvernTray.exe"], "%s: files %r" % (what, files))
    check(versions == [release, release], "%s: file versions %r, not %s" % (what, versions, release))
    for template in TEMPLATES:
        installed = os.path.join(install_dir, *template.split("\\"))
        ours = os.path.join(source, "packaging", "admx", *template.split("\\")[1:])
        check(os.path.isfile(installed) and open(installed, "rb").read() == open(ours, "rb").read(),
              "%s: %s is not the project's" % (what, template))
    check(run_value == '"%s"' % INSTALLED_AGENT, "%s: Run value %r" % (what, run_value))
    # The message file by the installed agent's path, expanded when read (REG_EXPAND_SZ); errors, warnings and
    # information events.
    check(event_source == {"EventMessageFile": ("REG_EXPAND_SZ", INSTALLED_AGENT),
                           "TypesSupported": ("REG_DWORD", "0x7")}, "%s: Event Log source %r" % (what, event_source))
    check(products == [shown], "%s: installed products %r, not one %s" % (what, products, shown))


def package_version(release):
    a, b, c, d = map(int, release.split("."))
    return "%d.%d.%d" % (a, b, c * 256 + d)


# --- the scratch prefix, at 192 DPI, with its own wineserver -----------------
if os.path.exists(work):
    shutil.rmtree(work)
os.makedirs(work)
os.chdir(work)
shutil.copytree(os.environ["WINEPREFIX"], prefix, symlinks=True)


def start_wineserver():
    """The prefix's wineserver, kept up; the first Wine start launches the prefix's system processes, which
    live as long as it does: they must not inherit any pipe of ours."""
    server = subprocess.Popen([WINESERVER, "-p"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    subprocess.run([WINE, "cmd", "/c", "exit"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=120)
    return server


def stop_wineserver(server):
    subprocess.run([WINESERVER, "-k"], env=env, capture_output=True)
    subprocess.run([WINESERVER, "-w"], env=env, capture_output=True)
    server.wait()


server = start_wineserver()
own_update_url(env)  # the installed agent's update address: the entry's own
check(wine("reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels", "/t", "REG_DWORD", "/d", "192",
           "/f").returncode == 0, "LogPixels not set")
stop_wineserver(server)  # the DPI is read when the wineserver starts
server = start_wineserver()
agent = sim = None
try:
    # The agent's icon is the small size at 192 DPI (its dialog, in the window test).
    icon = wine(os.path.join(bin_dir, "app_window_test.exe"), "--gtest_filter=TrayWindow.IconHas*")
    check(icon.returncode == 0 and b"tray icon 32x32 at 192 DPI" in icon.stdout,
          "icon at 192 DPI: %r" % re.findall(rb"\[ figure \].*|Failure.*", icon.stdout))

    # --- package.sh: bad input, then the packages --------------------------------
    key, pem, pfx, password = (os.path.join(work, f) for f in ("signer.key", "signer.pem", "signer.pfx", "pw"))
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                    "/CN=" + SIGNER, "-keyout", key, "-out", pem], check=True, capture_output=True)
    open(password, "w").write("s3cret\n")
    subprocess.run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", pem, "-out", pfx, "-passout",
                    "pass:s3cret"], check=True, capture_output=True)
    wrong = os.path.join(work, "wrong")
    open(wrong, "w").write("not it\n")
    bad_input = [
        (["--version", "1.0.2"], "is not four numbers"),
        (["--version", "1.0.0.256"], "each field must be 0-255"),
        (["--plugin", os.path.join(work, "missing.dll")], "missing or unreadable"),
        (["--plugin", pem], "is not a Windows DLL"),
        (["--sign", os.path.join(work, "missing.pfx")], "missing or unreadable"),
        (["--sign", pfx, "--password-file", wrong], "wrong password"),
    ]
    for args, message in bad_input:
        result = package(*args)
        check(result.returncode != 0 and message in result.stderr,
              "package.sh %s: exit %d, %r" % (" ".join(args), result.returncode, result.stderr))
    left = os.listdir(dist) if os.path.exists(dist) else []
    check(left == [], "bad input left %r" % left)

    a, b, c, d = map(int, version.split("."))
    fourth, third = "%d.%d.%d.%d" % (a, b, c, d + 1), "%d.%d.%d.0" % (a, b, c + 1)
    msi = {}
    for release, args in ((version, ["--sign", pfx, "--password-file", password]), (fourth, []), (third, [])):
        began = time.monotonic()
        result = package("--version", release, *args)
        msi[release] = os.path.join(dist, "Talvern-%s-x64.msi" % release)
        if not check(result.returncode == 0 and os.path.isfile(msi[release]),
                     "package.sh %s: %s" % (release, result.stdout + result.stderr)):
            sys.exit("FAIL: no package to install")
        print("[install] package %s built in %.0f s" % (release, time.monotonic() - began), flush=True)
    check("UNSIGNED" in result.stdout, "an unsigned package is not said to be: %r" % result.stdout)

    # The signed package and both binaries in it name their signer, and verify against its certificate.
    shipped = os.path.join(dist, "Talvern-%s-x64-debug" % version)
    for path in (msi[version], os.path.join(shipped, "TalvernTray.exe"), os.path.join(shipped, "TalvernP.dll")):
        verify = subprocess.run(["osslsigncode", "verify", "-CAfile", pem, "-in", path], capture_output=True,
                                text=True)
        check(verify.returncode == 0 and ("CN=" + SIGNER) in verify.stdout,
              "signature of %s: %s" % (os.path.basename(path), verify.stdout[-400:] + verify.stderr[-400:]))
    # Hardened, stripped, the debug information beside them.
    for name in ("TalvernTray.exe", "TalvernP.dll"):
        dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", "-h", os.path.join(shipped, name)],
                              capture_output=True, text=True).stdout
        for flag in ("HIGH_ENTROPY_VA", "DYNAMIC_BASE", "NX_COMPAT", ".gnu_debuglink"):
            check(flag in dump, "%s: no %s" % (name, flag))
        check(".debug_info" not in dump, "%s is not stripped" % name)
        check(os.path.getsize(os.path.join(shipped, name + ".debug")) > os.path.getsize(os.path.join(shipped, name)),
              "%s: no debug information beside it" % name)
        if name == "TalvernTray.exe":
            check("SetDefaultDllDirectories" in dump, "the agent does not limit where libraries come from")
            check(b"stack smashing detected" in open(os.path.join(shipped, name), "rb").read(),
                  "the agent has no stack protector")

    # --- install, and the agent at logon --------------------------------------
    check(msiexec("/i", msi[version]) == 0, "install of %s failed" % version)
    expect_installed(version, package_version(version), "installed")
    for name in ("TalvernTray.exe", "TalvernP.dll"):
        verify = subprocess.run(["osslsigncode", "verify", "-CAfile", pem, "-in", os.path.join(install_dir, name)],
                                capture_output=True, text=True)
        check(verify.returncode == 0, "installed %s is not signed" % name)
    # An event viewer's reading of the source: the registered file loads, and every event id of the agent's
    # table resolves to a text that carries its insertion string.
    viewer = wine(os.path.join(bin_dir, "event_source_check.exe")).stdout.decode(errors="replace").replace("\r", "")
    shown_events = {int(m.group(1)): (m.group(2), m.group(3)) for m in
                    re.finditer(r"^(\d+) (\w+): (.*)$", viewer, re.M)}
    check("EventMessageFile REG_EXPAND_SZ %s\n" % INSTALLED_AGENT in viewer, "event viewer: %r" % viewer[:300])
    check({id: severity for id, (severity, _) in shown_events.items()} == EVENTS,
          "event ids and severities: %r" % viewer)
    for id, (_, message) in sorted(shown_events.items()):
        check("check-%d" % id in message, "event %d: %r" % (id, message))

    run_value = reg_value(RUN_KEY, "Talvern tray")
    agent_err, sim_out = os.path.join(work, "agent.err"), os.path.join(work, "simulator.out")
    debug_env = dict(env, WINEDEBUG="-all,+debugstr")
    # As the shell does at logon: the value's command line as it stands (a batch line, untouched by the
    # quoting of Wine's own command line).
    logon = os.path.join(work, "logon.cmd")
    open(logon, "w").write("@echo off\r\n%s\r\n" % run_value)
    agent = subprocess.Popen([WINE, "cmd", "/c", "Z:" + logon.replace("/", "\\")], stdin=subprocess.DEVNULL,
                             env=debug_env,
                             stdout=subprocess.DEVNULL, stderr=open(agent_err, "w"))
    wait_for(lambda: re.search(r"ttosq_(\d+)", text(agent_err)), 60, "the agent never looked for the service")
    pid = re.search(r"ttosq_(\d+)", text(agent_err)).group(1)
    sim = subprocess.Popen([WINE, os.path.join(bin_dir, "service_simulator.exe"), "--attach", pid,
                            "--timeout-ms", "120000"], stdin=subprocess.DEVNULL, env=env,
                           stdout=open(sim_out, "w"), stderr=subprocess.DEVNULL)
    wait_for(lambda: "TalvernP: watching drive letters" in text(agent_err), 60,
             "the installed plug-in never started watching", sim)
    letter = next(l for l in "efghijklmnop" if not os.path.lexists(os.path.join(prefix, "dosdevices", l + ":")))
    drive_dir = os.path.join(work, "drive")
    os.makedirs(drive_dir)
    check(wine(os.path.join(bin_dir, "wine_drive.exe"), "add", letter, drive_dir).returncode == 0, "drive not added")
    wait_for(lambda: text(sim_out).count('"drive_letter"') >= 1, 30, "no arrival record", sim)
    check(wine(os.path.join(bin_dir, "wine_drive.exe"), "remove", letter).returncode == 0, "drive not removed")
    wait_for(lambda: text(sim_out).count('"drive_letter"') >= 2, 30, "no removal record", sim)
    records = [json.loads(line) for line in text(sim_out).splitlines() if '"drive_letter"' in line]
    events = [(r["event"], r["drive_letter"]) for r in records]
    check(events == [(1, letter.upper() + ":"), (2, letter.upper() + ":")], "records: %r" % events)

    # The session ends: the agent stops its plug-in and exits with 0.
    ended = time.monotonic()
    # (wineboot may start the prefix's system processes again: no pipe of ours for them.)
    subprocess.run([WINE, "wineboot", "--end-session"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    sim.wait(timeout=60)
    print("[install] the agent ended %.1f s after the session's end began" % (time.monotonic() - ended), flush=True)
    check('{"agent_exit_code":0}' in text(sim_out), "agent's end: %r" % text(sim_out)[-200:])
    check("TalvernP: stopped." in text(agent_err), "the plug-in was not stopped")
    # The next Wine start after an ended session boots a new one, and that boot runs the Run values: the
    # agent would start again, from the files the upgrades replace. A fresh wineserver boots without them.
    stop_wineserver(server)
    server = start_wineserver()

    # --- upgrades, a downgrade, uninstall -------------------------------------
    check(msiexec("/i", msi[fourth]) == 0, "upgrade to %s failed" % fourth)
    expect_installed(fourth, package_version(fourth), "after the fourth field's upgrade")
    check(msiexec("/i", msi[third]) == 0, "upgrade to %s failed" % third)
    expect_installed(third, package_version(third), "after the third field's upgrade")
    refused = msiexec("/i", msi[version])
    check(refused != 0, "the downgrade to %s was not refused" % version)
    expect_installed(third, package_version(third), "after the refused downgrade")
    check(msiexec("/x", msi[third]) == 0, "uninstall failed")
    files, _, run_value, event_source, products = installed_state()
    check(files is None and run_value is None and event_source is None and products == [],
          "left after uninstall: files %r, Run value %r, Event Log source %r, products %r"
          % (files, run_value, event_source, products))
    check(reg_value(r"HKLM\SOFTWARE\Torvi\Talvern", "HostGuid") is not None, "the service installer's value went")
finally:
    for proc in (sim, agent):
        if proc is not None and proc.poll() is None:
            proc.kill()
    stop_wineserver(server)
    shutil.rmtree(prefix, ignore_errors=True)

print("[install] %.0f s in all" % (time.monotonic() - started))
print("FAIL: %d check(s)" % len(failures) if failures else
      "PASS: packages built and signed, installed (event source and policy templates included), started at "
      "logon, records delivered, stopped at the session's end, upgraded twice, downgrade refused, uninstalled clean")
sys.exit(1 if failures else 0)
