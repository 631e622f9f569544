// Adds and removes a drive letter in a running Wine session the way Wine's own
// drive configuration does: through the mount manager's define-drive request.
// The mount manager makes the link in the prefix's dosdevices/, publishes the
// drive to every process of the session and sends the volume arrival/removal
// broadcasts. (A link made from Linux alone is only seen after the next start
// of the wineserver.) Only meaningful under Wine.
#pragma once

#include <string>

// True when the process runs under Wine.
bool wine_running();

// Maps letter (A..Z) to a Unix folder as a fixed disk. Win32 error code, 0 on success.
unsigned long wine_define_drive(wchar_t letter, const std::string& unix_path);

// Removes the drive letter. Win32 error code, 0 on success.
unsigned long wine_remove_drive(wchar_t letter);
