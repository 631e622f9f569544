#include "update/talvern_updater.h"

#include "log/log.h"
#include "util/base/json_string.h"
#include "util/registry.h"
#include "util/strings.h"

namespace {

// Closes a registry key on every way out of a scope.
class KeyGuard {
public:
    explicit KeyGuard(HKEY key) : _key(key) {}
    ~KeyGuard() {
        if (_key) {
            RUCloseKey(_key);
            _key = nullptr;
        }
    }
    KeyGuard(const KeyGuard&) = delete;
    KeyGuard& operator=(const KeyGuard&) = delete;

private:
    HKEY _key;
};

const char* const product_version = "1,0,0,2";
const char* const group_guid = "{5D0C3E91-27B4-4F6A-8E13-9A2B7C4D6E80}";

}  // namespace

TalvernUpdater::TalvernUpdater(const std::string& base_url) : _base_url(base_url) {}

TalvernUpdater::~TalvernUpdater() = default;

void TalvernUpdater::set_host_key_for_test(HKEY root, const std::wstring& sub_key) {
    _host_root = root;
    _host_key = sub_key;
}

bool TalvernUpdater::initialize() {
    _client.reset(new curl_client());
    if (!_client->initialize()) {
        log_write_fmt(log_category_general, log_level_error, "TalvernUpdater::initialize",
                      "curl client initialize() failed.");
        return false;
    }
    log_write_fmt(log_category_general, log_level_info, "TalvernUpdater::initialize", "cURL initialized. ");

    HKEY key = RUOpenKey(_host_root, _host_key.c_str());
    if (!key) {
        return false;
    }
    KeyGuard key_guard(key);
    std::wstring host_guid;
    if (!RUReadString(key, L"HostGuid", host_guid)) {
        return false;
    }
    _host_guid = WcsToMbsEx(host_guid.c_str());
    log_write_fmt(log_category_general, log_level_info, "TalvernUpdater::initialize", "TalvernUpdater initialized. ");
    return true;
}

void TalvernUpdater::cancel() {
    if (_client) {
        _client->cancel();
    }
}

std::string TalvernUpdater::update_url() const { return _base_url + "v1/update"; }

std::string TalvernUpdater::update_body() const {
    std::string body;
    body += "{ \"info\":{";
    body += "\"product_type\": \"talvern\",";
    body += "\"product_version\": \"";
    body += product_version;
    body += "\",";
    body += "\"group_guid\": \"";
    body += group_guid;
    body += "\",";
    body += "\"host_guid\": \"";
    // The registry text goes into a JSON string: escaped, so a quote or a
    // backslash in it cannot break the document (a GUID is unchanged).
    body += json_escape_string(_host_guid);
    body += "\"";
    body += "} }";
    return body;
}

bool TalvernUpdater::check_talvern_update() {
    const std::string url = update_url();
    const std::string body = update_body();
    std::string response;
    if (!_client || !_client->http_post(url.c_str(), body, response)) {
        log_write_fmt(log_category_general, log_level_error, "TalvernUpdater::check_talvern_update",
                      "http_post(%s) failed.", url.c_str());
    }
    return false;
}
