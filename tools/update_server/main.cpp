// update_server.exe: the local update server for the demo. Listens on
// 127.0.0.1 only, prints every request it receives (headers and body) and
// answers with the chosen status and body. It ends after --exit-after requests
// or --max-seconds seconds, whichever comes first.
//
//   update_server.exe [--port 8765] [--status 200] [--body TEXT] [--delay-ms N]
//                     [--hang] [--exit-after N] [--max-seconds S]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/update_server/update_server.h"

namespace {

void usage() {
    std::fprintf(stderr,
                 "usage: update_server.exe [--port N] [--status N] [--body TEXT] [--delay-ms N] [--hang]\n"
                 "                         [--exit-after N] [--max-seconds S]\n");
}

bool number(const char* text, unsigned long max, unsigned long& value) {
    char* end = nullptr;
    value = std::strtoul(text, &end, 10);
    return end && end != text && *end == '\0' && value <= max;
}

void print_request(const RecordedRequest& request) {
    std::printf("update_server: %s %s\n", request.method.c_str(), request.path.c_str());
    for (const auto& header : request.headers) {
        std::printf("update_server:   %s: %s\n", header.first.c_str(), header.second.c_str());
    }
    std::printf("update_server: body (%u bytes): %s\n", static_cast<unsigned>(request.body.size()),
                request.body.c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long port = 8765;
    unsigned long exit_after = 0;  // 0: no limit
    unsigned long max_seconds = 600;
    UpdateServerReply reply;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned long n = 0;
        if (option == "--hang") {
            reply.hang = true;
            continue;
        }
        if (!value) {
            usage();
            return 2;
        }
        ++i;
        if (option == "--port" && number(value, 65535, n)) {
            port = n;
        } else if (option == "--status" && number(value, 999, n) && n >= 100) {
            reply.status = static_cast<int>(n);
        } else if (option == "--body") {
            reply.body = value;
        } else if (option == "--delay-ms" && number(value, 600000, n)) {
            reply.delay_ms = n;
        } else if (option == "--exit-after" && number(value, 1000000, n)) {
            exit_after = n;
        } else if (option == "--max-seconds" && number(value, 86400, n) && n > 0) {
            max_seconds = n;
        } else {
            std::fprintf(stderr, "update_server: bad option or value: %s %s\n", option.c_str(), value);
            usage();
            return 2;
        }
    }

    UpdateServer server;
    server.set_reply(reply);
    server.set_observer(&print_request);
    if (!server.start(static_cast<uint16_t>(port))) {
        std::fprintf(stderr, "update_server: %s\n", server.error().c_str());
        return 1;
    }
    std::printf("update_server: listening on %s (status %d)\n", server.base_url().c_str(), reply.status);
    std::fflush(stdout);

    const ULONGLONG end = GetTickCount64() + max_seconds * 1000ULL;
    while (GetTickCount64() < end) {
        if (exit_after && server.wait_for_requests(exit_after, 100)) {
            // Let the last answer go out before the sockets close.
            if (!reply.hang) {
                Sleep(reply.delay_ms + 500);
            }
            break;
        }
        if (!exit_after) {
            Sleep(100);
        }
    }
    server.stop();
    std::printf("update_server: stopped after %u request(s)\n", static_cast<unsigned>(server.requests().size()));
    std::fflush(stdout);
    return 0;
}
