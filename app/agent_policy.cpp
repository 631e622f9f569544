// Reading the administrator's policy values, and applying them to this start.
#include "app/agent_policy.h"

#include <cwctype>
#include <vector>

#include "base/handles.h"
#include "base/text.h"
#include "log/log.h"
#include "util/environment.h"

namespace {
const char kRead[] = "read_agent_policy";
// A base URL longer than this is no mirror's: it is refused, not cut.
constexpr size_t kMaxUpdateUrl = 2048;

// An absolute http:// or https:// URL with a host, ending in "/", of printable
// ASCII only (it becomes the request's URL as it stands).
bool is_update_base_url(const std::wstring& url) {
    size_t host = 0;
    if (_wcsnicmp(url.c_str(), L"http://", 7) == 0) {
        host = 7;
    } else if (_wcsnicmp(url.c_str(), L"https://", 8) == 0) {
        host = 8;
    } else {
        return false;
    }
    if (url.size() <= host || url[host] == L'/' || url.back() != L'/' || url.size() > kMaxUpdateUrl) {
        return false;
    }
    for (wchar_t c : url) {
        if (c <= L' ' || c >= 0x7F) {
            return false;
        }
    }
    return true;
}

// The value's type and bytes; false when it is absent (or cannot be read).
bool query_value(HKEY key, const wchar_t* name, DWORD& type, std::vector<BYTE>& data) {
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        return false;
    }
    data.assign(size + sizeof(wchar_t), 0);  // room for a terminator the value may lack
    return RegQueryValueExW(key, name, nullptr, &type, data.data(), &size) == ERROR_SUCCESS &&
           (data.resize(size), true);
}

// %LOCALAPPDATA%\Talvern\Logs\TalvernTray.log, its folders made; empty when
// %LOCALAPPDATA% has no value.
std::wstring agent_log_file_path() {
    std::wstring local;
    if (!get_environment_value(L"%LOCALAPPDATA%", local) || local.empty() || local[0] == L'%') {
        return std::wstring();
    }
    std::wstring path = local + L"\\Talvern";
    CreateDirectoryW(path.c_str(), nullptr);  // it may exist already
    path += L"\\Logs";
    CreateDirectoryW(path.c_str(), nullptr);
    return path + L"\\TalvernTray.log";
}

const char* type_name(DWORD type) { return type == REG_DWORD ? "REG_DWORD" : "REG_SZ"; }
}  // namespace

agent_policy::agent_policy() : log_level(log_level_warn) {}

agent_policy read_agent_policy(HKEY root, const wchar_t* key_path) {
    agent_policy policy;
    registry_key key;
    if (RegOpenKeyExW(root, key_path, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) {
        return policy;  // no policy: the agent as built
    }
    size_t count = 0;
    const policy_value_spec* values = agent_policy_values(count);
    for (size_t i = 0; i < count; ++i) {
        const policy_value_spec& known = values[i];
        DWORD type = REG_NONE;
        std::vector<BYTE> data;
        try {
            if (!query_value(key.get(), known.name, type, data)) {
                continue;
            }
        } catch (const std::bad_alloc&) {
            type = REG_NONE;  // a value too large to hold is taken as one of the wrong type
        }
        const bool right_type = type == known.type && (known.type != REG_DWORD || data.size() == sizeof(DWORD));
        if (!right_type) {
            log_write_fmt(log_category_general, log_level_warn, kRead,
                          "policy value %ws ignored: it is not a %s (type %u).", known.name, type_name(known.type),
                          static_cast<unsigned>(type));
            continue;
        }
        if (known.type == REG_DWORD) {
            DWORD value = 0;
            memcpy(&value, data.data(), sizeof(value));
            if (value < known.min || value > known.max) {
                log_write_fmt(log_category_general, log_level_warn, kRead,
                              "policy value %ws ignored: %u is out of its range %u-%u.", known.name, value, known.min,
                              known.max);
                continue;
            }
            known.store(policy, value);
            continue;
        }
        // UpdateUrl: the text up to its first NUL.
        const std::wstring url(reinterpret_cast<const wchar_t*>(data.data()),
                               wcsnlen(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t)));
        std::string narrow;
        if (!is_update_base_url(url) || !wcs_to_ansi(url.c_str(), narrow)) {
            log_write_fmt(log_category_general, log_level_warn, kRead,
                          "policy value %ws ignored: it is not an absolute http:// or https:// URL ending in \"/\" "
                          "(%u characters).",
                          known.name, static_cast<unsigned>(url.size()));
            continue;
        }
        policy.update_base_url = narrow;
    }
    return policy;
}


void apply_agent_policy(const agent_policy& policy, std::string& update_base_url) {
    log_set_level(policy.log_level);
    uint32_t targets = log_get_targets() & ~static_cast<uint32_t>(log_to_evt);
    log_set_targets(policy.event_log ? targets | log_to_evt : targets);
    if (policy.log_file) {
        const std::wstring path = agent_log_file_path();
        if (path.empty() || !log_open_file(path.c_str())) {
            log_write_fmt(log_category_general, log_level_error, "apply_agent_policy",
                          "the log file %ws cannot be opened. gle = %u", path.c_str(), GetLastError());
        }
    }
    if (!policy.update_base_url.empty()) {
        update_base_url = policy.update_base_url;
    }
}
