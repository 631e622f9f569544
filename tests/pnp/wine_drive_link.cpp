#include "tests/pnp/wine_drive_link.h"

#include "tools/wine_drive/wine_mount.h"

#include <windows.h>

namespace {

bool listed(wchar_t letter) {
    const wchar_t root[] = {letter, L':', L'\\', L'\0'};
    // A removed letter can stay in the drive map without a root behind it.
    return (GetLogicalDrives() & (1u << (letter - L'A'))) != 0 && GetDriveTypeW(root) != DRIVE_NO_ROOT_DIR;
}

bool wait_listed(wchar_t letter, bool want) {
    for (int i = 0; i < 200; ++i) {
        if (listed(letter) == want) {
            return true;
        }
        Sleep(100);
    }
    return false;
}

}  // namespace

wchar_t wine_drive_link::free_letter() {
    for (wchar_t letter = L'P'; letter <= L'Y'; ++letter) {
        if (!listed(letter)) {
            return letter;
        }
    }
    return 0;
}

std::string wine_drive_link::unavailable_reason() { return wine_running() ? std::string() : "not running under Wine"; }

bool wine_drive_link::create() {
    if (wine_define_drive(_letter, "/tmp") != 0) {
        return false;
    }
    _created = true;
    return wait_listed(_letter, true);
}

bool wine_drive_link::remove() {
    if (!_created) {
        return true;
    }
    _created = false;
    if (wine_remove_drive(_letter) != 0) {
        return false;
    }
    return wait_listed(_letter, false);
}
