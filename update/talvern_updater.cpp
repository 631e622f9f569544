// The update check: the host identifier, the request's URL and body, and the request.
#include "update/talvern_updater.h"

#include "base/product_version.h"
#include "log/log.h"
#include "base/handles.h"
#include "base/json_string.h"
#include "util/registry.h"
#include "base/text.h"

namespace {

const char kProductVersion[] = TALVERN_VERSION_COMMA_TEXT;
const char kGroupGuid[] = "{5D0C3E91-27B4-4F6A-8E13-9A2B7C4D6E80}";
const wchar_t kHostKey[] = L"SOFTWARE\\Torvi\\Talvern";

}  // namespace

TalvernUpdater::TalvernUpdater(const std::string& base_url, const curl_options& http)
    : _base_url(base_url), _http(http) {}

TalvernUpdater::~TalvernUpdater() = default;

bool TalvernUpdater::initialize() {
    _client.reset(new curl_client(_http));
    if (!_client->initialize()) {
        log_write_fmt(log_category_general, log_level_error, "TalvernUpdater::initialize",
                      "curl client initialize() failed.");
        return false;
    }
    log_write_fmt(log_category_general, log_level_info, "TalvernUpdater::initialize", "cURL initialized. ");

    const registry_key key = RUOpenKey(HKEY_LOCAL_MACHINE, kHostKey);
    if (!key) {
        return false;
    }
    std::wstring host_guid;
    if (!RUReadString(key.get(), L"HostGuid", host_guid)) {
        return false;
    }
    // The body is UTF-8 JSON: the server reads any host identifier as it was
    // written, whatever the machine's ANSI code page.
    _host_guid = wide_to_utf8(host_guid);
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
    body += kProductVersion;
    body += "\",";
    body += "\"group_guid\": \"";
    body += kGroupGuid;
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
