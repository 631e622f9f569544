// The one Event Log entry a crash leaves: an error of the source "Talvern"
// with the id TALVERN_EVENT_CRASH, whose message table entry reads
// "The Talvern tray agent stopped after an unhandled exception: %1" and whose
// one insertion string is
//   "0xC0000005 in TalvernP.dll at offset 0x1A2B, dump C:\...\TalvernTray-....dmp"
// ("in an unknown module at address 0x...", "no dump written (error N)" when
// those are missing). Written straight to the Event Log, not through the
// agent's logger, whose writer may be the thread that crashed.
#pragma once

#include <windows.h>

// Reports the crash; dump is the dump's path, or null when none was written
// (dump_error then says why).
void report_crash_event(DWORD code, const void* address, const wchar_t* dump, DWORD dump_error);
