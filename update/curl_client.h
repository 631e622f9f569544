// A thin wrapper over one libcurl easy handle: POSTs a narrow text body to a URL
// and returns the response body when the server answers 200. Relies on the
// program-wide curl_global_init/curl_global_cleanup around it. One thread uses a
// client at a time; cancel() may be called from any thread.
#pragma once

#include "update/memory_stream.h"

#include <atomic>
#include <cstddef>
#include <string>

typedef void CURL;

// How a client makes its requests: the product's time-outs by default.
struct curl_options {
    long connect_timeout_seconds = 10;
    long total_timeout_seconds = 90;
    const stream_heap* heap = &c_heap();  // where a response body is collected
};

class curl_client {
public:
    explicit curl_client(const curl_options& options = curl_options()) : _options(options) {}
    ~curl_client();
    curl_client(const curl_client&) = delete;
    curl_client& operator=(const curl_client&) = delete;

    // Creates the easy handle.
    bool initialize();

    // POSTs body to url; true only on status 200, with the body text (up to its
    // first zero byte) in response. response is untouched on failure.
    bool http_post(const char* url, const std::string& body, std::string& response);

    // Makes a running and every later request end early (with "Callback
    // aborted"). Used when the agent stops while a request hangs.
    void cancel() { _cancelled.store(true); }
    bool cancelled() const { return _cancelled.load(); }

private:
    bool set_common_opt(const char* url, void* stream);
    bool perform();

    const curl_options _options;
    CURL* _curl = nullptr;
    std::atomic<bool> _cancelled{false};
};

// libcurl write callback: appends size * count bytes to the CStream in stream.
size_t http_get_write_callback(char* data, size_t size, size_t count, void* stream);
