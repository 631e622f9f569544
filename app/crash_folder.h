// Where the agent's crash dumps go, and how many stay:
// %LOCALAPPDATA%\Talvern\Crashes\TalvernTray-<version>-<yyyymmdd-hhmmss>-<pid>.dmp,
// the newest kCrashDumpsKept of them. Everything here works in fixed buffers,
// without the heap, as it runs while the process is dying.
#pragma once

#include <windows.h>

#include <cstddef>

constexpr size_t kCrashPathChars = MAX_PATH;
constexpr unsigned kCrashDumpsKept = 5;

// The dumps' folder, "<local application data>\Talvern\Crashes", into folder
// (kCrashPathChars). Nothing is created. False when the local application data
// folder cannot be found or the path does not fit.
bool crash_folder_path(wchar_t* folder);

// Creates the folder and its parent "Talvern" where missing; true when it exists.
bool create_crash_folder(const wchar_t* folder);

// The full path of a new dump, made from the folder, the product version, the
// local time now and the process id, into path (kCrashPathChars). False when
// it does not fit.
bool crash_dump_path(const wchar_t* folder, DWORD process_id, wchar_t* path);

// Deletes the oldest dumps (by the time last written, then by name) of the
// folder until at most keep are left.
void prune_crash_dumps(const wchar_t* folder, unsigned keep);
