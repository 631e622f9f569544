// Owning holders for Windows handles: each holds at most one handle, closes it
// exactly once (on reset() or when the holder goes), and is null when it holds
// nothing. release() hands the handle to the caller, who then closes it.
#pragma once

#include <windows.h>

#include <utility>

// One owned handle of the kind Traits describes: its type, the value that
// means "none", and how it is closed.
template <class Traits>
class unique_win_handle {
public:
    using pointer = typename Traits::pointer;

    unique_win_handle() = default;
    explicit unique_win_handle(pointer handle) : _handle(handle) {}  // adopts handle
    ~unique_win_handle() { reset(); }
    unique_win_handle(const unique_win_handle&) = delete;
    unique_win_handle& operator=(const unique_win_handle&) = delete;
    unique_win_handle(unique_win_handle&& other) noexcept : _handle(other.release()) {}
    unique_win_handle& operator=(unique_win_handle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }

    pointer get() const { return _handle; }
    explicit operator bool() const { return _handle != Traits::none(); }

    // Closes the held handle (if any) and adopts handle.
    void reset(pointer handle = Traits::none()) {
        const pointer old = std::exchange(_handle, handle);
        if (old != Traits::none()) {
            Traits::close(old);
        }
    }
    // Gives the handle to the caller; the holder is null afterwards.
    pointer release() { return std::exchange(_handle, Traits::none()); }
    // Address to receive a new handle from an API; closes the held one first.
    pointer* put() {
        reset();
        return &_handle;
    }

private:
    pointer _handle = Traits::none();
};

namespace handle_traits {
// Kernel objects closed with CloseHandle and null when absent. Events and
// sections get types of their own so that one cannot be given for the other.
struct kernel {
    using pointer = HANDLE;
    static pointer none() { return nullptr; }
    static void close(pointer handle) { CloseHandle(handle); }
};
struct event : kernel {};
struct section : kernel {};
// Files: CreateFileW reports failure as INVALID_HANDLE_VALUE.
struct file : kernel {
    static pointer none() { return INVALID_HANDLE_VALUE; }
};
// Directory searches: FindFirstFileW reports failure as INVALID_HANDLE_VALUE.
struct find {
    using pointer = HANDLE;
    static pointer none() { return INVALID_HANDLE_VALUE; }
    static void close(pointer search) { FindClose(search); }
};
struct mapped_view {
    using pointer = void*;
    static pointer none() { return nullptr; }
    static void close(pointer view) { UnmapViewOfFile(view); }
};
struct module {
    using pointer = HMODULE;
    static pointer none() { return nullptr; }
    static void close(pointer module) { FreeLibrary(module); }
};
struct registry_key {
    using pointer = HKEY;
    static pointer none() { return nullptr; }
    static void close(pointer key) { RegCloseKey(key); }
};
// An Event Log source from RegisterEventSourceW.
struct event_source {
    using pointer = HANDLE;
    static pointer none() { return nullptr; }
    static void close(pointer source) { DeregisterEventSource(source); }
};
}  // namespace handle_traits

using unique_handle = unique_win_handle<handle_traits::kernel>;  // threads, processes, other kernel objects
using event_handle = unique_win_handle<handle_traits::event>;
using section_handle = unique_win_handle<handle_traits::section>;
using file_handle = unique_win_handle<handle_traits::file>;
using find_handle = unique_win_handle<handle_traits::find>;
using mapped_view = unique_win_handle<handle_traits::mapped_view>;
using module_handle = unique_win_handle<handle_traits::module>;
using registry_key = unique_win_handle<handle_traits::registry_key>;
using event_source_handle = unique_win_handle<handle_traits::event_source>;
