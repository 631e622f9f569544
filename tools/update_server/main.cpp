// update_server.exe: the local update server for the demo and the fuzz runs.
// Listens on 127.0.0.1 only, prints every request it receives (headers and
// body) and answers with the chosen status and body, or not at all. It ends
// once --exit-after requests have been answered and read (with --hang: have
// come), or after --max-seconds seconds, whichever comes first.
//
//   update_server.exe [--port 8765] [--status 200] [--body TEXT | --body-file PATH]
//                     [--delay-ms N] [--hang | --close | --close-mid-answer]
//                     [--request-file PATH] [--exit-after N] [--max-seconds S]
//
// A body longer than a command line can carry (32,767 characters on Windows)
// comes from a file. Exit code 2 and a line naming the option for a bad argument.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/update_server/update_server.h"

namespace {

const char kUsage[] =
    "usage: update_server.exe [--port N] [--status N] [--body TEXT | --body-file PATH] [--delay-ms N]\n"
    "                         [--hang | --close | --close-mid-answer] [--request-file PATH]\n"
    "                         [--exit-after N] [--max-seconds S]\n"
    "  --status N          status code of the answer, 0 to 999 (default 200)\n"
    "  --body-file PATH    the answer's body, the file's bytes (at most 16 MB)\n"
    "  --hang              take the request, never answer\n"
    "  --close             take the request, close the connection without an answer\n"
    "  --close-mid-answer  send the first half of the answer, then close the connection\n"
    "  --request-file PATH write each request's body to PATH (the last one stays)\n";

constexpr size_t kMaxBodyFileBytes = 16 * 1024 * 1024;

bool number(const char* text, unsigned long max, unsigned long& value) {
    if (text == nullptr || *text < '0' || *text > '9') {
        return false;  // strtoul would take a sign or blanks
    }
    char* end = nullptr;
    value = std::strtoul(text, &end, 10);
    return end && end != text && *end == '\0' && value <= max;
}

bool read_whole_file(const char* path, std::string& bytes, std::string& error) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        error = std::string("cannot open ") + path + ": " + std::strerror(errno);
        return false;
    }
    bytes.clear();
    char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof(chunk), file)) > 0 && bytes.size() <= kMaxBodyFileBytes) {
        bytes.append(chunk, n);
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        error = std::string("cannot read ") + path;
        return false;
    }
    if (bytes.size() > kMaxBodyFileBytes) {
        error = std::string(path) + " is larger than 16 MB";
        return false;
    }
    return true;
}

std::string g_request_file;

void print_request(const RecordedRequest& request) {
    std::printf("update_server: %s %s\n", request.method.c_str(), request.path.c_str());
    for (const auto& header : request.headers) {
        std::printf("update_server:   %s: %s\n", header.first.c_str(), header.second.c_str());
    }
    std::printf("update_server: body (%u bytes): %s\n", static_cast<unsigned>(request.body.size()),
                request.body.c_str());
    if (!g_request_file.empty()) {
        FILE* file = std::fopen(g_request_file.c_str(), "wb");
        const bool written = file != nullptr &&
                             std::fwrite(request.body.data(), 1, request.body.size(), file) == request.body.size();
        if (file == nullptr || std::fclose(file) != 0 || !written) {
            std::fprintf(stderr, "update_server: cannot write %s\n", g_request_file.c_str());
        }
    }
    std::fflush(stdout);
}

int bad_argument(const std::string& what) {
    std::fprintf(stderr, "update_server: %s\n%s", what.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long port = 8765;
    unsigned long exit_after = 0;  // 0: no limit
    unsigned long max_seconds = 600;
    UpdateServerReply reply;
    int endings = 0;  // --hang, --close and --close-mid-answer exclude one another
    bool have_body = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::printf("%s", kUsage);
            return 0;
        }
        bool* ending = option == "--hang" ? &reply.hang
                       : option == "--close" ? &reply.close
                       : option == "--close-mid-answer" ? &reply.cut : nullptr;
        if (ending != nullptr) {
            *ending = true;
            ++endings;
            continue;
        }
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned long n = 0;
        auto wants = [&](const char* range) {
            const std::string given = value ? "'" + std::string(value) + "'" : "nothing";
            return bad_argument(option + " wants " + range + ", not " + given);
        };
        if (option == "--port") {
            if (!number(value, 65535, n)) return wants("a port from 0 to 65535");
            port = n;
        } else if (option == "--status") {
            if (!number(value, 999, n)) return wants("a status code from 0 to 999");
            reply.status = static_cast<int>(n);
        } else if (option == "--body") {
            if (!value) return wants("the body's text");
            if (have_body) return bad_argument("give the body once, with --body or --body-file");
            reply.body = value;
            have_body = true;
        } else if (option == "--body-file") {
            std::string error;
            if (!value) return wants("a file");
            if (have_body) return bad_argument("give the body once, with --body or --body-file");
            if (!read_whole_file(value, reply.body, error)) return bad_argument(option + ": " + error);
            have_body = true;
        } else if (option == "--request-file") {
            if (!value) return wants("a file");
            g_request_file = value;
        } else if (option == "--delay-ms") {
            if (!number(value, 600000, n)) return wants("milliseconds from 0 to 600000");
            reply.delay_ms = n;
        } else if (option == "--exit-after") {
            if (!number(value, 1000000, n)) return wants("a request count from 0 to 1000000");
            exit_after = n;
        } else if (option == "--max-seconds") {
            if (!number(value, 86400, n) || n == 0) return wants("seconds from 1 to 86400");
            max_seconds = n;
        } else {
            return bad_argument("unknown option " + option);
        }
        ++i;
    }
    if (endings > 1) {
        return bad_argument("give at most one of --hang, --close and --close-mid-answer");
    }

    UpdateServer server;
    server.set_reply(reply);
    server.set_observer(&print_request);
    if (!server.start(static_cast<uint16_t>(port))) {
        std::fprintf(stderr, "update_server: %s\n", server.error().c_str());
        return 1;
    }
    std::printf("update_server: listening on %s (status %d, body %u bytes)\n", server.base_url().c_str(),
                reply.status, static_cast<unsigned>(reply.body.size()));
    std::fflush(stdout);

    const ULONGLONG end = GetTickCount64() + max_seconds * 1000ULL;
    while (GetTickCount64() < end) {
        // A hanging answer ends with the server; any other once the client has read it.
        if (exit_after && (reply.hang ? server.wait_for_requests(exit_after, 100)
                                      : server.wait_for_finished(exit_after, 100))) {
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
