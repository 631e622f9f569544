// The update server stand-in: listening, reading one request per connection,
// recording it and answering as told.
#include "tools/update_server/update_server.h"

#include <ws2tcpip.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

// Longest time one request may take to arrive before the connection is dropped.
const DWORD kRequestReadLimitMs = 10000;

std::string lower(std::string text) {
    for (auto& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return std::string();
    }
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

const char* reason_of(int status) {
    switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

}  // namespace

std::string RecordedRequest::header(const std::string& name) const {
    const std::string wanted = lower(name);
    for (const auto& h : headers) {
        if (lower(h.first) == wanted) {
            return h.second;
        }
    }
    return std::string();
}

UpdateServer::~UpdateServer() { stop(); }

std::string UpdateServer::base_url() const { return "http://127.0.0.1:" + std::to_string(_port) + "/"; }

void UpdateServer::set_reply(const UpdateServerReply& reply) {
    std::lock_guard<std::mutex> guard(_lock);
    _reply = reply;
}

void UpdateServer::set_observer(std::function<void(const RecordedRequest&)> observer) {
    std::lock_guard<std::mutex> guard(_lock);
    _observer = std::move(observer);
}

std::vector<RecordedRequest> UpdateServer::requests() const {
    std::lock_guard<std::mutex> guard(_lock);
    return _requests;
}

bool UpdateServer::wait_for_requests(size_t count, DWORD timeout_ms) const {
    std::unique_lock<std::mutex> guard(_lock);
    return _changed.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                             [&] { return _requests.size() >= count; });
}

bool UpdateServer::wait_for_finished(size_t count, DWORD timeout_ms) const {
    std::unique_lock<std::mutex> guard(_lock);
    return _changed.wait_for(guard, std::chrono::milliseconds(timeout_ms), [&] { return _finished >= count; });
}

bool UpdateServer::start(uint16_t port) {
    if (_thread.joinable()) {
        _error = "already running";
        return false;
    }
    WSADATA data;
    const int started = WSAStartup(MAKEWORD(2, 2), &data);
    if (started != 0) {
        _error = "WSAStartup failed: " + std::to_string(started);
        return false;
    }
    _wsa_started = true;

    _listener.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!_listener) {
        _error = "socket failed: " + std::to_string(WSAGetLastError());
        stop();
        return false;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // loopback only
    address.sin_port = htons(port);
    if (bind(_listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == SOCKET_ERROR) {
        _error = "bind to 127.0.0.1:" + std::to_string(port) + " failed: " + std::to_string(WSAGetLastError());
        stop();
        return false;
    }
    if (listen(_listener.get(), SOMAXCONN) == SOCKET_ERROR) {
        _error = "listen failed: " + std::to_string(WSAGetLastError());
        stop();
        return false;
    }
    int length = sizeof(address);
    if (getsockname(_listener.get(), reinterpret_cast<sockaddr*>(&address), &length) == SOCKET_ERROR) {
        _error = "getsockname failed: " + std::to_string(WSAGetLastError());
        stop();
        return false;
    }
    _port = ntohs(address.sin_port);
    char text[INET_ADDRSTRLEN] = {};
    const unsigned long host = ntohl(address.sin_addr.s_addr);
    snprintf(text, sizeof(text), "%lu.%lu.%lu.%lu", (host >> 24) & 255, (host >> 16) & 255, (host >> 8) & 255, host & 255);
    _bound_address = text;
    _stopping = false;
    _thread = std::thread(&UpdateServer::serve, this);
    return true;
}

void UpdateServer::stop() {
    {
        std::lock_guard<std::mutex> guard(_lock);
        _stopping = true;
    }
    _changed.notify_all();
    if (_thread.joinable()) {
        _thread.join();
    }
    _listener.reset();
    if (_wsa_started) {
        WSACleanup();
        _wsa_started = false;
    }
}

bool UpdateServer::wait_readable(SOCKET socket) const {
    while (!_stopping) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(socket, &readable);
        timeval tick = {0, 100 * 1000};
        const int ready = select(0, &readable, nullptr, nullptr, &tick);
        if (ready == SOCKET_ERROR) {
            return false;
        }
        if (ready > 0) {
            return true;
        }
    }
    return false;
}

void UpdateServer::serve() {
    while (wait_readable(_listener.get())) {
        const unique_socket connection(accept(_listener.get(), nullptr, nullptr));
        if (!connection) {
            continue;
        }
        ++_connections;
        handle(connection.get());
        shutdown(connection.get(), SD_BOTH);
        {
            std::lock_guard<std::mutex> guard(_lock);
            ++_finished;
        }
        _changed.notify_all();
    }
}

bool UpdateServer::send_all(SOCKET connection, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        const int n = send(connection, data.data() + sent, static_cast<int>(data.size() - sent), 0);
        if (n == SOCKET_ERROR || n == 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool UpdateServer::pause(DWORD ms) {
    std::unique_lock<std::mutex> guard(_lock);
    if (ms == INFINITE) {
        _changed.wait(guard, [&] { return _stopping.load(); });
        return false;
    }
    return !_changed.wait_for(guard, std::chrono::milliseconds(ms), [&] { return _stopping.load(); });
}

bool UpdateServer::read_request(SOCKET connection, RecordedRequest& request) {
    const ULONGLONG deadline = GetTickCount64() + kRequestReadLimitMs;
    std::string data;
    char chunk[4096];
    auto receive = [&]() -> bool {
        if (GetTickCount64() > deadline || !wait_readable(connection)) {
            return false;
        }
        const int n = recv(connection, chunk, sizeof(chunk), 0);
        if (n <= 0) {
            return false;
        }
        data.append(chunk, static_cast<size_t>(n));
        return true;
    };

    size_t header_end;
    while ((header_end = data.find("\r\n\r\n")) == std::string::npos) {
        if (data.size() > kMaxHeaderBytes || !receive()) {
            return false;
        }
    }
    if (header_end > kMaxHeaderBytes) {
        return false;
    }

    // Request line, then one header per line.
    size_t line_start = 0;
    size_t line_end = data.find("\r\n");
    const std::string request_line = data.substr(0, line_end);
    const size_t first_blank = request_line.find(' ');
    const size_t second_blank = request_line.find(' ', first_blank + 1);
    if (first_blank == std::string::npos || second_blank == std::string::npos) {
        return false;
    }
    request.method = request_line.substr(0, first_blank);
    request.path = request_line.substr(first_blank + 1, second_blank - first_blank - 1);
    line_start = line_end + 2;
    while (line_start < header_end) {
        line_end = data.find("\r\n", line_start);
        const std::string line = data.substr(line_start, line_end - line_start);
        const size_t colon = line.find(':');
        if (colon == std::string::npos) {
            return false;
        }
        request.headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
        line_start = line_end + 2;
    }

    size_t body_length = 0;
    const std::string length_text = request.header("Content-Length");
    if (!length_text.empty()) {
        char* end = nullptr;
        const unsigned long long length = std::strtoull(length_text.c_str(), &end, 10);
        if (!end || *end != '\0' || length > kMaxBodyBytes) {
            return false;
        }
        body_length = static_cast<size_t>(length);
    }
    const bool expects_continue = lower(request.header("Expect")) == "100-continue";
    const size_t body_start = header_end + 4;
    if (expects_continue && data.size() - body_start < body_length) {
        send_all(connection, "HTTP/1.1 100 Continue\r\n\r\n");
    }
    while (data.size() - body_start < body_length) {
        if (!receive()) {
            return false;
        }
    }
    request.body = data.substr(body_start, body_length);
    return true;
}

void UpdateServer::handle(SOCKET connection) {
    RecordedRequest request;
    if (!read_request(connection, request)) {
        if (!_stopping) {
            send_all(connection, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        }
        return;
    }
    UpdateServerReply reply;
    std::function<void(const RecordedRequest&)> observer;
    {
        std::lock_guard<std::mutex> guard(_lock);
        _requests.push_back(request);
        reply = _reply;
        observer = _observer;
    }
    _changed.notify_all();
    if (observer) {
        observer(request);
    }
    if (reply.hang) {
        pause(INFINITE);
        return;
    }
    if (reply.delay_ms && !pause(reply.delay_ms)) {
        return;
    }
    if (reply.close) {
        return;  // the caller closes the connection
    }
    std::string answer = "HTTP/1.1 " + std::to_string(reply.status) + " " + reason_of(reply.status) + "\r\n";
    answer += "Content-Type: text/plain\r\n";
    answer += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    answer += "Connection: close\r\n\r\n";
    answer += reply.body;
    if (reply.cut) {
        answer.resize(answer.size() / 2);  // the client sees the connection end before the answer does
    }
    if (!send_all(connection, answer) || reply.cut) {
        return;
    }
    // "Connection: close": the client closes once it has read the answer.
    const ULONGLONG deadline = GetTickCount64() + kRequestReadLimitMs;
    char chunk[4096];
    while (GetTickCount64() < deadline && wait_readable(connection)) {
        if (recv(connection, chunk, sizeof(chunk), 0) <= 0) {
            break;
        }
    }
}
