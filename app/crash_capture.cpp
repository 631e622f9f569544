// Crash capture: the handlers, the hand-over to the writer thread, and the dump.
#include "app/crash_capture.h"

#include "app/crash_event.h"
#include "app/crash_folder.h"
#include "app/crash_version_stream.h"
#include "base/product_version.h"
#include "base/thread_name.h"

#include <dbghelp.h>

namespace {

// What the handlers and the writer share. Set up at install; at a crash the
// crashed thread fills in the exception and signals. No heap on that path.
struct crash_state {
    HANDLE request = nullptr;
    HANDLE done = nullptr;
    DWORD writer_id = 0;
    bool stopping = false;              // uninstall's call to the writer
    volatile LONG owner = 0;            // id of the thread whose crash is written, 0 before
    DWORD code = 0;
    EXCEPTION_POINTERS* pointers = nullptr;
    wchar_t folder[kCrashPathChars] = {};
    wchar_t dump[kCrashPathChars] = {};
};

crash_state g_state;
volatile LONG g_installed = 0;

[[noreturn]] void end_process(DWORD code) {
    TerminateProcess(GetCurrentProcess(), code);
    // TerminateProcess on the own process does not return; should it ever, no
    // code of the crashed program may run again.
    for (;;) {
        Sleep(INFINITE);
    }
}

// Runs on the crashed thread, perhaps on the last bytes of its stack.
LONG handle_crash(EXCEPTION_POINTERS* info) {
    const DWORD self = GetCurrentThreadId();
    const LONG owner = InterlockedCompareExchange(&g_state.owner, static_cast<LONG>(self), 0);
    if (owner != 0) {
        // A fault while the crash is handled, here or on the writer, ends the
        // process at once; another thread's crash waits for the first one's end.
        if (static_cast<DWORD>(owner) != self && self != g_state.writer_id) {
            WaitForSingleObject(g_state.done, kCrashWriteWaitMs);
        }
        end_process(g_state.code);
    }
    g_state.code = info->ExceptionRecord->ExceptionCode;
    g_state.pointers = info;
    SetEvent(g_state.request);
    WaitForSingleObject(g_state.done, kCrashWriteWaitMs);
    end_process(g_state.code);
}

LONG WINAPI unhandled_filter(EXCEPTION_POINTERS* info) { return handle_crash(info); }

// First in line for every exception of the process; acts on stack overflows
// only, which Wine never passes to the filter. Everything else goes on its way.
LONG WINAPI vectored_handler(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    return handle_crash(info);
}

// Leaves the writer's own thread out of the dump: its stack tells nothing of
// the crash (and Wine would add the whole of it, 2 MB).
BOOL CALLBACK dump_callback(void* /*param*/, const PMINIDUMP_CALLBACK_INPUT input, PMINIDUMP_CALLBACK_OUTPUT) {
    switch (input->CallbackType) {
    case IncludeThreadCallback:
        return input->IncludeThread.ThreadId != g_state.writer_id;
    case ThreadCallback:
        return input->Thread.ThreadId != g_state.writer_id;
    case ThreadExCallback:
        return input->ThreadEx.ThreadId != g_state.writer_id;
    default:
        return TRUE;
    }
}

// The dump of the crash into g_state.dump; 0, or the error that stopped it.
DWORD write_dump() {
    if (!create_crash_folder(g_state.folder) ||
        !crash_dump_path(g_state.folder, GetCurrentProcessId(), g_state.dump)) {
        return GetLastError() != 0 ? GetLastError() : ERROR_BAD_PATHNAME;
    }
    file_handle file(CreateFileW(g_state.dump, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                 nullptr));
    if (!file) {
        return GetLastError();
    }
    MINIDUMP_EXCEPTION_INFORMATION exception{};
    exception.ThreadId = static_cast<DWORD>(g_state.owner);
    exception.ExceptionPointers = g_state.pointers;
    exception.ClientPointers = FALSE;

    crash_version_stream version{kCrashVersionStreamLayout,
                                 {TALVERN_VERSION_MAJOR, TALVERN_VERSION_MINOR, TALVERN_VERSION_PATCH,
                                  TALVERN_VERSION_BUILD}};
    MINIDUMP_USER_STREAM stream{kCrashVersionStreamType, sizeof(version), &version};
    MINIDUMP_USER_STREAM_INFORMATION streams{1, &stream};
    MINIDUMP_CALLBACK_INFORMATION callback{&dump_callback, nullptr};

    // Symbols are the reader's business: a symbol session without loading
    // any (no "invade") keeps dbghelp from loading every module's debug
    // information while the process waits (Wine's dbghelp starts its own
    // session with all of them otherwise, some seconds' work).
    const BOOL symbols = SymInitializeW(GetCurrentProcess(), nullptr, FALSE);
    const BOOL written = MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file.get(), MiniDumpNormal,
                                           &exception, &streams, &callback);
    if (symbols) {
        SymCleanup(GetCurrentProcess());
    }
    const DWORD error = written ? 0 : (GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT);
    file.reset();
    if (!written) {
        DeleteFileW(g_state.dump);
    }
    return error;
}

DWORD WINAPI writer_main(void*) {
    name_this_thread(L"TalvernCrash");
    WaitForSingleObject(g_state.request, INFINITE);
    if (g_state.stopping) {
        return 0;
    }
    const DWORD error = write_dump();
    if (error == 0) {
        prune_crash_dumps(g_state.folder, kCrashDumpsKept);
    }
    report_crash_event(g_state.code, g_state.pointers->ExceptionRecord->ExceptionAddress,
                       error == 0 ? g_state.dump : nullptr, error);
    SetEvent(g_state.done);
    return 0;
}

}  // namespace

crash_capture::~crash_capture() { uninstall(); }

bool crash_capture::install() {
    if (_writer || InterlockedCompareExchange(&g_installed, 1, 0) != 0) {
        return false;
    }
    g_state = crash_state{};
    _request.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    _done.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    DWORD writer_id = 0;
    if (_request && _done && crash_folder_path(g_state.folder)) {
        g_state.request = _request.get();
        g_state.done = _done.get();
        _writer.reset(CreateThread(nullptr, 0, &writer_main, nullptr, 0, &writer_id));
    }
    if (!_writer) {
        _request.reset();
        _done.reset();
        InterlockedExchange(&g_installed, 0);
        return false;
    }
    g_state.writer_id = writer_id;
    _vectored = AddVectoredExceptionHandler(1, &vectored_handler);
    _previous_filter = SetUnhandledExceptionFilter(&unhandled_filter);
    return true;
}

void crash_capture::uninstall() {
    if (!_writer) {
        return;
    }
    SetUnhandledExceptionFilter(_previous_filter);
    if (_vectored != nullptr) {
        RemoveVectoredExceptionHandler(_vectored);
        _vectored = nullptr;
    }
    // A crash already handed over keeps the writer (and this thread waits
    // for the end of the process); otherwise the writer leaves.
    if (InterlockedCompareExchange(&g_state.owner, static_cast<LONG>(GetCurrentThreadId()), 0) == 0) {
        g_state.stopping = true;
        SetEvent(g_state.request);
    }
    WaitForSingleObject(_writer.get(), INFINITE);
    _writer.reset();
    _request.reset();
    _done.reset();
    InterlockedExchange(&g_installed, 0);
}
