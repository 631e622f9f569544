// Process entry of TalvernTray.exe: libcurl's global set-up and clean-up around
// the agent's main routine, whose result is the exit code.
#include "app/tray_window.h"

#include <curl/curl.h>

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE /*hPrevInstance*/, PWSTR /*lpCmdLine*/, int /*nCmdShow*/) {
    curl_global_init(CURL_GLOBAL_ALL);
    const int result = TalvernTrayMain(hInstance);
    curl_global_cleanup();
    return result;
}
