// A stand-in for the update server, for tests and the demo: an HTTP/1.1 server
// bound to 127.0.0.1 only that records every request (method, path, headers,
// body) and answers each with a chosen status and body, after a chosen delay,
// or accepts the request and never answers until stopped, closes without an
// answer, or closes half-way through its answer. A connection is over once the
// client has closed it after the answer ("Connection: close"). One connection at a
// time; request sizes are bounded.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "base/handles.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// An owned socket, in the shape of the handle family: closesocket once.
struct socket_traits {
    using pointer = SOCKET;
    static pointer none() { return INVALID_SOCKET; }
    static void close(pointer handle) { closesocket(handle); }
};
using unique_socket = unique_win_handle<socket_traits>;

struct RecordedRequest {
    std::string method;
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers;  // in order, as received
    std::string body;

    // Value of the first header named name (case-insensitive); empty if none.
    std::string header(const std::string& name) const;
};

struct UpdateServerReply {
    int status = 200;
    std::string body;
    DWORD delay_ms = 0;  // wait this long before answering
    bool hang = false;   // read the request, then never answer (until stop)
    bool close = false;  // read the request, then close the connection without a byte
    bool cut = false;    // send the first half of the answer, then close the connection
};

class UpdateServer {
public:
    static constexpr size_t kMaxHeaderBytes = 64 * 1024;
    static constexpr size_t kMaxBodyBytes = 1024 * 1024;

    UpdateServer() = default;
    ~UpdateServer();
    UpdateServer(const UpdateServer&) = delete;
    UpdateServer& operator=(const UpdateServer&) = delete;

    // Listens on 127.0.0.1:port (0: a free port) and serves on a thread of its
    // own. False, with the reason in error(), when the port cannot be had.
    bool start(uint16_t port = 0);
    // Closes every socket and joins the thread; a hanging answer ends here.
    void stop();

    void set_reply(const UpdateServerReply& reply);
    // Called on the server's thread for each request, once it is recorded.
    void set_observer(std::function<void(const RecordedRequest&)> observer);

    uint16_t port() const { return _port; }
    std::string base_url() const;  // "http://127.0.0.1:<port>/"
    // The address the listening socket is bound to, as the system reports it.
    const std::string& bound_address() const { return _bound_address; }
    const std::string& error() const { return _error; }

    std::vector<RecordedRequest> requests() const;
    // Waits until at least count requests were recorded.
    bool wait_for_requests(size_t count, DWORD timeout_ms) const;
    // Connections accepted so far (a request need not have followed).
    size_t connections() const { return _connections.load(); }
    // Waits until at least count connections are over: answered and closed by the
    // client (or cut, or closed as told), so the client has read all it was sent.
    bool wait_for_finished(size_t count, DWORD timeout_ms) const;

private:
    void serve();
    void handle(SOCKET connection);
    bool read_request(SOCKET connection, RecordedRequest& request);
    bool wait_readable(SOCKET socket) const;  // false once stopping
    bool send_all(SOCKET connection, const std::string& data);
    // Sleeps up to ms; false when stop() cut it short.
    bool pause(DWORD ms);

    unique_socket _listener;
    uint16_t _port = 0;
    std::string _bound_address;
    std::string _error;
    bool _wsa_started = false;
    std::thread _thread;
    std::atomic<bool> _stopping{false};
    std::atomic<size_t> _connections{0};
    size_t _finished = 0;  // under _lock

    mutable std::mutex _lock;
    mutable std::condition_variable _changed;
    UpdateServerReply _reply;
    std::function<void(const RecordedRequest&)> _observer;
    std::vector<RecordedRequest> _requests;
};
