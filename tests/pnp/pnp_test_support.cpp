#include "tests/pnp/pnp_test_support.h"

#include "log/log.h"
#include "nameconv/name_converter.h"

#include <atomic>
#include <stdexcept>

std::wstring test_exe_dir() {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    return dir.substr(0, dir.find_last_of(L'\\'));
}

void sync_log(const LogCapture& log) {
    static std::atomic<int> counter{0};
    const std::string marker = "log sync " + std::to_string(++counter);
    log_write_fmt(log_category_general, log_level_error, "sync_log", "%s", marker.c_str());
    if (!log.wait_for("[EROR] " + marker, 10000)) {
        throw std::runtime_error("log marker did not arrive");
    }
}

converter_reference::converter_reference() { _loaded = NameConverter::get_instance()->load(false); }

converter_reference::~converter_reference() { NameConverter::release_instance(nullptr); }

namespace {

template <class F>
void resolve(HMODULE module, const char* name, F& fn) {
    fn = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

test_plugin::test_plugin() {
    _module = LoadLibraryW((test_exe_dir() + L"\\TalvernP.dll").c_str());
    if (_module == nullptr) {
        return;
    }
    resolve(_module, "TestFire", _fire);
    resolve(_module, "TestFireWithContext", _fire_with_context);
    resolve(_module, "TestSetStartEvent", _set_start_event);
    resolve(_module, "TestStartCalls", _start_calls);
    resolve(_module, "TestStopCalls", _stop_calls);
    resolve(_module, "TestStartContext", _start_context);
    resolve(_module, "TestReset", _reset);
    if (!_fire || !_fire_with_context || !_set_start_event || !_start_calls || !_stop_calls || !_start_context ||
        !_reset) {
        FreeLibrary(_module);
        _module = nullptr;
        return;
    }
    _reset();
}

test_plugin::~test_plugin() {
    if (_module != nullptr) {
        _reset();
        FreeLibrary(_module);
    }
}

bool record_sink::on_pnp_event(void* context, pnp_info* info) {
    auto* self = static_cast<record_sink*>(context);
    received_record record;
    record.info.reset(info);
    record.thread_id = GetCurrentThreadId();
    std::lock_guard<std::mutex> guard(self->_lock);
    self->_records.push_back(std::move(record));
    return true;
}

size_t record_sink::size() const {
    std::lock_guard<std::mutex> guard(_lock);
    return _records.size();
}

std::vector<received_record> record_sink::take() {
    std::lock_guard<std::mutex> guard(_lock);
    std::vector<received_record> out;
    out.swap(_records);
    return out;
}
