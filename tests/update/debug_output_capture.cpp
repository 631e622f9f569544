#include "tests/update/debug_output_capture.h"

#include <atomic>

#ifndef DBG_PRINTEXCEPTION_C
#define DBG_PRINTEXCEPTION_C 0x40010006L
#endif

namespace {
std::atomic<DebugOutputCapture*> g_capture{nullptr};
}

DebugOutputCapture::DebugOutputCapture() {
    g_capture = this;
    _handle = AddVectoredExceptionHandler(1, &DebugOutputCapture::handler);
}

DebugOutputCapture::~DebugOutputCapture() {
    if (_handle) {
        RemoveVectoredExceptionHandler(_handle);
        _handle = nullptr;
    }
    g_capture = nullptr;
}

std::vector<std::string> DebugOutputCapture::texts() const {
    std::lock_guard<std::mutex> guard(_lock);
    return _texts;
}

LONG CALLBACK DebugOutputCapture::handler(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    DebugOutputCapture* self = g_capture.load();
    if (self && record->ExceptionCode == static_cast<DWORD>(DBG_PRINTEXCEPTION_C) &&
        record->NumberParameters >= 2 && record->ExceptionInformation[1]) {
        const char* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
        std::lock_guard<std::mutex> guard(self->_lock);
        self->_texts.emplace_back(text);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}
