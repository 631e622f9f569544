// What the fuzz plug-in and the fuzz service share: the plug-in's script (the
// environment variable TALVERN_FUZZ, set by the service before it starts the
// agent), the name of the event that says the plug-in made all its calls, and
// the file in which it lists the valid calls it made.
//
// Script: "key=value" pairs separated by ";":
//   seed=N        seeds every thread's generator (thread t uses seed and t)
//   calls=N       calls in all, shared out among the threads
//   threads=T     calling threads
//   letters=C:,c: drive letters the agent resolves: a call with one of them is valid
//   absent=QRS    letters without a drive: "Q:" and the like must make no record
//   file=PATH     where the list of calls goes once all are made (or at Stop,
//                 when the agent is closed in the middle of the run)
//
// The list, text, one item a line:
//   calls <made> valid <valid>
//   kind <name> <count>                            (calls of each kind)
//   valid <thread> <event> <letter> <before> <after>  (each valid call, in order per
//                                                   thread; FILETIMEs taken just before
//                                                   and after the call)
#pragma once

#include <windows.h>

#include <string>

inline std::wstring fuzz_done_event_name(DWORD pid) { return L"Global\\talvern_fuzz_done_" + std::to_wstring(pid); }
