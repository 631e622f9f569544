// The logger's file sink: appending lines, counting them, and rotating the
// file to a time-stamped name once it holds kRotationLines lines.
#include "log/slogger.h"

#include <strsafe.h>

#include <boost/thread/lock_guard.hpp>

#include "log/sinks.h"
#include "log/log.h"
#include "base/file_util.h"
#include "base/text.h"

namespace {
// The stamped name, extension included, in wide characters with terminator.
constexpr size_t kStampedNameChars = 64;
// Numbers tried for the rotations of one second (at 60,000 lines a file).
constexpr unsigned kMaxStampNumber = 999;
const char kRotateFailed[] = "rotate_log_file() failed.";
}  // namespace

bool slogger::rotate_log_file(const wchar_t* path) {
    if (path == nullptr || path[0] == L'\0') {
        return false;
    }
    const std::wstring file_path(path);  // path may be _log_file_path itself
    if (is_file_exists(file_path.c_str())) {
        std::wstring extension;
        get_file_extension(file_path.c_str(), extension);

        // A file can fill within the second its predecessor was rotated in:
        // a stamped name that is taken gets a number, "<stamp>-1", "-2", ...
        SYSTEMTIME now;
        GetLocalTime(&now);
        wchar_t stamped[kStampedNameChars] = {};
        const std::wstring folder_and_name = extract_last_tokenw(file_path.c_str(), L".", true) + L".";
        for (unsigned number = 0; number == 0 || is_file_exists((folder_and_name + stamped).c_str()); ++number) {
            const HRESULT made =
                number == 0 ? StringCbPrintfW(stamped, sizeof(stamped), L"%04u-%02u-%02u_%02u-%02u-%02u.%s", now.wYear,
                                              now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, extension.c_str())
                            : StringCbPrintfW(stamped, sizeof(stamped), L"%04u-%02u-%02u_%02u-%02u-%02u-%u.%s", now.wYear,
                                              now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, number,
                                              extension.c_str());
            if (FAILED(made) || number > kMaxStampNumber) {
                return false;  // the file stays open and in use
            }
        }
        if (_log_file) {
            std::string ansi_stamped;
            wcs_to_ansi(stamped, ansi_stamped);  // the logger cannot log its own failure
            write_to_file(_log_file.get(), "> log ratating. %s", ansi_stamped.c_str());
            _log_file.reset();
        }
        const std::wstring rotated = folder_and_name + stamped;
        if (!MoveFileW(file_path.c_str(), rotated.c_str())) {
            return false;
        }
    }
    if (is_file_exists(file_path.c_str())) {
        return false;
    }
    _log_file.reset(CreateFileW(file_path.c_str(), GENERIC_ALL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!_log_file) {
        return false;
    }
    _log_file_path = file_path;
    _line_count = 0;
    return true;
}

bool slogger::open_log_file(const wchar_t* path) {
    if (path == nullptr || path[0] == L'\0') {
        return false;
    }
    boost::lock_guard<boost::mutex> guard(_file_lock);
    _log_file.reset();
    _log_file_path = path;
    _line_count = 0;
    return rotate_log_file(path);
}

void slogger::write_file_line(const char* line, bool draining) {
    boost::lock_guard<boost::mutex> guard(_file_lock);
    // The final drain only appends: no rotation, no count.
    if (!draining && _line_count >= kRotationLines && !rotate_log_file(_log_file_path.c_str())) {
        console_write(log_level_error, kRotateFailed);
        debug_write(kRotateFailed);
    }
    if (_log_file) {
        ++_line_count;
        write_to_file(_log_file.get(), "%s", line);
    }
}
