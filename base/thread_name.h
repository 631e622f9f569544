// Names the calling thread (SetThreadDescription), so that a debugger, a
// crash dump and the idle benchmark can tell the program's threads apart.
#pragma once

// Resolved from kernel32 at run time: older Windows and some Wine builds lack
// the function, and the name is only a help, so any failure is ignored.
void name_this_thread(const wchar_t* name);
