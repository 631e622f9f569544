// The HTTP client over one libcurl easy handle, and its write callback.
#include "update/curl_client.h"

#include <curl/curl.h>

#include <climits>
#include <cstring>

#include "log/log.h"

size_t http_get_write_callback(char* data, size_t size, size_t count, void* stream) {
    if (!data || !stream) {
        return 0;
    }
    const size_t total = size * count;
    const uint32_t written = static_cast<CStream*>(stream)->WriteToStream(data, static_cast<uint32_t>(total));
    if (written == kStreamError) {
        log_write_fmt(log_category_general, log_level_error, "http_get_write_callback",
                      "Can not write to memory stream");
        return 0;
    }
    // What was stored: short of total (a chunk beyond 4 GiB), libcurl ends the
    // transfer with a write error instead of losing the rest unnoticed.
    return written;
}

curl_client::~curl_client() {
    if (_curl) {
        curl_easy_cleanup(_curl);
        _curl = nullptr;
    }
}

bool curl_client::initialize() {
    if (_curl) {
        return true;
    }
    _curl = curl_easy_init();
    if (!_curl) {
        log_write_fmt(log_category_general, log_level_error, "curl_client::initialize", "curl_easy_init() failed.");
        return false;
    }
    return true;
}

namespace {

// libcurl progress callback: a nonzero result aborts the transfer.
int cancel_check_callback(void* client, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const curl_client*>(client)->cancelled() ? 1 : 0;
}

}  // namespace

bool curl_client::set_common_opt(const char* url, void* stream) {
    CURLcode code = curl_easy_setopt(_curl, CURLOPT_URL, url);
    if (code == CURLE_OK) {
        code = curl_easy_setopt(_curl, CURLOPT_WRITEFUNCTION, &http_get_write_callback);
    }
    if (code == CURLE_OK) {
        code = curl_easy_setopt(_curl, CURLOPT_WRITEDATA, stream);
    }
    if (code == CURLE_OK) {
        code = curl_easy_setopt(_curl, CURLOPT_CONNECTTIMEOUT, _options.connect_timeout_seconds);
    }
    if (code == CURLE_OK) {
        code = curl_easy_setopt(_curl, CURLOPT_TIMEOUT, _options.total_timeout_seconds);
    }
    if (code != CURLE_OK) {
        log_write_fmt(log_category_general, log_level_error, "curl_client::set_common_opt",
                      "curl_easy_setopt() failed. curl_code = %d, %s", static_cast<int>(code),
                      curl_easy_strerror(code));
        return false;
    }
    return true;
}

bool curl_client::perform() {
    CURLcode code = curl_easy_perform(_curl);
    if (code != CURLE_OK) {
        log_write_fmt(log_category_general, log_level_error, "curl_client::perform",
                      "curl_easy_perform() failed. curl_code = %d, %s", static_cast<int>(code),
                      curl_easy_strerror(code));
        return false;
    }
    long response_code = 0;
    code = curl_easy_getinfo(_curl, CURLINFO_RESPONSE_CODE, &response_code);
    if (code != CURLE_OK) {
        log_write_fmt(log_category_general, log_level_error, "curl_client::perform",
                      "curl_easy_getinfo() failed. curl_code = %d, %s", static_cast<int>(code),
                      curl_easy_strerror(code));
        return false;
    }
    if (response_code != 200) {
        log_write_fmt(log_category_general, log_level_error, "curl_client::perform",
                      "http request failed. response code = %u", static_cast<unsigned>(response_code));
        return false;
    }
    return true;
}

bool curl_client::http_post(const char* url, const std::string& body, std::string& response) {
    // (A body beyond what CURLOPT_POSTFIELDSIZE takes cannot be sent either.)
    if (!url || body.empty() || body.size() > static_cast<size_t>(LONG_MAX) || !_curl) {
        return false;
    }
    CMemoryStream stream(*_options.heap);  // frees its buffer on every way out
    if (!set_common_opt(url, static_cast<CStream*>(&stream))) {
        log_write_fmt(log_category_general, log_level_error, "curl_client::http_post", "set_common_opt() failed.");
        return false;
    }

    CURLcode code = curl_easy_setopt(_curl, CURLOPT_POST, 1L);
    if (code == CURLE_OK) {
        code = curl_easy_setopt(_curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    }
    if (code == CURLE_OK) {
        code = curl_easy_setopt(_curl, CURLOPT_POSTFIELDS, body.c_str());
    }
    // Lets cancel() end a request that hangs (checked about once a second).
    if (code == CURLE_OK) {
        code = curl_easy_setopt(_curl, CURLOPT_XFERINFOFUNCTION, &cancel_check_callback);
    }
    if (code == CURLE_OK) {
        code = curl_easy_setopt(_curl, CURLOPT_XFERINFODATA, this);
    }
    if (code == CURLE_OK) {
        code = curl_easy_setopt(_curl, CURLOPT_NOPROGRESS, 0L);
    }
    if (code != CURLE_OK) {
        log_write_fmt(log_category_general, log_level_error, "curl_client::http_post",
                      "curl_easy_setopt() failed. curl_code = %d, %s", static_cast<int>(code),
                      curl_easy_strerror(code));
        return false;
    }

    if (!perform()) {
        log_write_fmt(log_category_general, log_level_error, "curl_client::http_post", "perform() failed.");
        return false;
    }

    // The body as text: up to its first zero byte, and never past the bytes
    // held (the terminator is missing when it could not be appended).
    const char zero = 0;
    stream.WriteToStream(&zero, 1);
    const char* text = reinterpret_cast<const char*>(stream.buffer());
    const size_t held = stream.size();
    const void* first_zero = text ? std::memchr(text, 0, held) : nullptr;
    const size_t length = first_zero ? static_cast<size_t>(static_cast<const char*>(first_zero) - text) : held;
    response.assign(text ? text : "", length);
    stream.Clear();
    return true;
}
