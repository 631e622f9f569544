"""The update address of a CTest entry that runs the real agent program: each has one
of its own, TALVERN_UPDATE_URL (tests/CMakeLists.txt), which the agents of the
entry's Wine prefix get through the policy value UpdateUrl, so that entries run
side by side without meeting at one update server."""
import os, subprocess

WINE = "/usr/lib/wine/wine64"
POLICY_KEY = r"HKLM\SOFTWARE\Policies\Talvern\Agent"
BUILT_IN = "http://127.0.0.1:8765/"  # the tests' build's TALVERN_UPDATE_BASE_URL


def own_update_url(env=None):
    """Gives the agents of env's prefix (default: this process's WINEPREFIX) the
    entry's update address, and returns it; the built-in one, left as it is,
    outside such an entry (a run by hand)."""
    url = os.environ.get("TALVERN_UPDATE_URL")
    if not url:
        return BUILT_IN
    subprocess.run([WINE, "reg", "add", POLICY_KEY, "/v", "UpdateUrl", "/t", "REG_SZ", "/d", url, "/f"],
                   env=env or os.environ, stdin=subprocess.DEVNULL, capture_output=True, check=True)
    return url
