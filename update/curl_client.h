// A thin wrapper over one libcurl easy handle: POSTs a narrow text body to a URL
// and returns the response body when the server answers 200. Relies on the
// program-wide curl_global_init/curl_global_cleanup around it. One thread uses a
// client at a time; cancel() may be called from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

typedef void CURL;

class curl_client {
public:
    static constexpr long connect_timeout_seconds = 10;
    static constexpr long total_timeout_seconds = 90;

    curl_client() = default;
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

    // Test seam: the total time-out of a request, 90 s unless a test shortens it.
    void set_total_timeout_for_test(long seconds) { _total_timeout = seconds; }

private:
    bool set_common_opt(const char* url, void* stream);
    bool perform();

    CURL* _curl = nullptr;
    long _total_timeout = total_timeout_seconds;
    std::atomic<bool> _cancelled{false};
};

// libcurl write callback: appends size * count bytes to the CStream in stream.
size_t http_get_write_callback(char* data, size_t size, size_t count, void* stream);
