// The logger's file sink: appending lines, counting them, and rotating the
// file to a time-stamped name once it holds kRotationLines lines.
#include "log/slogger.h"

#include <strsafe.h>

#include <boost/thread/lock_guard.hpp>

#include "log/sinks.h"
#include "base/file_util.h"
#include "base/text.h"

bool slogger::rotate_log_file(const wchar_t* path) {
    if (path == nullptr || path[0] == L'\0') {
        return false;
    }
    const std::wstring file_path(path);  // path may be _log_file_path itself
    if (is_file_exists(file_path.c_str())) {
        std::wstring extension;
        get_file_extension(file_path.c_str(), extension);
        // A file can fill within the second its predecessor was rotated in: a
        // stamped name that is taken gets a number, "<stamp>-1", "-2", ...
        SYSTEMTIME now;
        GetLocalTime(&now);
        wchar_t stamped[64] = {};  // the stamp and extension, terminator included
        const std::wstring folder_and_name = extract_last_tokenw(file_path.c_str(), L".", true) + L".";
        for (unsigned number = 0; number == 0 || is_file_exists((folder_and_name + stamped).c_str()); ++number) {
            const std::wstring suffix = number == 0 ? L"" : L"-" + std::to_wstring(number);
            if (number > 999 || FAILED(StringCbPrintfW(stamped, sizeof(stamped), L"%04u-%02u-%02u_%02u-%02u-%02u%s.%s",
                                                       now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
                                                       now.wSecond, suffix.c_str(), extension.c_str()))) {
                return false;  // the file stays open and in use
            }
        }
        if (_log_file) {
            std::string ansi_stamped;
            wcs_to_ansi(stamped, ansi_stamped);  // the logger cannot log its own failure
            write_to_file(_log_file.get(), "> log ratating. %s", ansi_stamped.c_str());
            _log_file.reset();
        }
        if (!MoveFileW(file_path.c_str(), (folder_and_name + stamped).c_str())) {
            return false;
        }
    }
    if (is_file_exists(file_path.c_str())) {
        return false;
    }
    _log_file.reset(CreateFileW(file_path.c_str(), GENERIC_ALL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!_log_file) {
        return false;  // the count stays: each further line tries again
    }
    _log_file_path = file_path;
    _line_count = 0;
    return true;
}

bool slogger::open_log_file(const wchar_t* path) {
    boost::lock_guard<boost::mutex> guard(_file_lock);
    _log_file.reset();  // no rotation marker in a file left for another
    _line_count = 0;
    return rotate_log_file(path);
}

void slogger::write_file_line(const char* line, bool draining) {
    static const char kRotateFailed[] = "rotate_log_file() failed.";
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
