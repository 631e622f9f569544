// The update check: once per agent start, tells the update server which product,
// version, group and host is running, by POSTing a fixed JSON document to
// <base URL>v1/update. The answer is not interpreted; the outcome is only logged.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "update/curl_client.h"

class TalvernUpdater {
public:
    // base_url: plain http, ending in "/"; http: how the request is made.
    explicit TalvernUpdater(const std::string& base_url, const curl_options& http = curl_options());
    ~TalvernUpdater();
    TalvernUpdater(const TalvernUpdater&) = delete;
    TalvernUpdater& operator=(const TalvernUpdater&) = delete;

    // Creates the HTTP client and reads the host identifier (HostGuid).
    bool initialize();

    // Sends the update request. Always false: the answer is not interpreted.
    bool check_talvern_update();

    // Ends a running request early and keeps later ones from running long.
    void cancel();

    // The request parts, as check_talvern_update sends them.
    std::string update_url() const;
    std::string update_body() const;

    const std::string& host_guid() const { return _host_guid; }
    curl_client* client() const { return _client.get(); }

private:
    const std::string _base_url;
    const curl_options _http;
    std::string _host_guid;
    std::unique_ptr<curl_client> _client;
};
