// Process entry of TalvernTray.exe: libcurl's global set-up and clean-up around
// the agent's main routine, whose result is the exit code.
#include "app/crash_capture.h"
#include "app/tray_window.h"

#include <curl/curl.h>

namespace {

// After the session's end has taken the agent down: the rest of this routine's
// end, at once, before Windows ends the process its own way.
void end_process(int exit_code) {
    curl_global_cleanup();
    ExitProcess(static_cast<UINT>(exit_code));
}

}  // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE /*hPrevInstance*/, PWSTR /*lpCmdLine*/, int /*nCmdShow*/) {
    // Libraries load from the system's folders and the agent's own only, never
    // from the current directory or PATH: this holds for everything loaded
    // from here on, the plug-in's own imports included.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    // From here on a crash, the plug-in's included, leaves a dump and an Event
    // Log entry and ends the process with the exception's code.
    crash_capture capture;
    capture.install();
    curl_global_init(CURL_GLOBAL_ALL);
    tray_options options;
    options.end_process = &end_process;
    const int result = TalvernTrayMain(hInstance, options);
    curl_global_cleanup();
    return result;
}
