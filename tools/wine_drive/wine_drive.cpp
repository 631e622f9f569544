// wine_drive: adds or removes a drive letter of the running Wine session, for
// demonstrations and tests of device events.
//   wine_drive add <letter> <unix folder>
//   wine_drive remove <letter>
// Exit code 0 on success, 1 on bad arguments, 2 when the mount manager refused.
#include "tools/wine_drive/wine_mount.h"

#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (!wine_running()) {
        std::fprintf(stderr, "wine_drive: works only under Wine\n");
        return 1;
    }
    const std::wstring verb = argc > 1 ? argv[1] : L"";
    const bool add = verb == L"add" && argc == 4;
    const bool remove = verb == L"remove" && argc == 3;
    if ((!add && !remove) || argv[2][0] == L'\0' || (argv[2][1] != L'\0' && argv[2][1] != L':')) {
        std::fprintf(stderr, "usage: wine_drive add <letter> <unix folder> | wine_drive remove <letter>\n");
        return 1;
    }
    unsigned long error = 0;
    if (add) {
        // The Unix path goes to Wine as bytes: take the UTF-8 of the argument.
        const int n = WideCharToMultiByte(CP_UTF8, 0, argv[3], -1, nullptr, 0, nullptr, nullptr);
        std::string path(n > 0 ? n - 1 : 0, '\0');
        if (n > 1) {
            WideCharToMultiByte(CP_UTF8, 0, argv[3], -1, &path[0], n, nullptr, nullptr);
        }
        error = wine_define_drive(argv[2][0], path);
    } else {
        error = wine_remove_drive(argv[2][0]);
    }
    if (error != 0) {
        std::fprintf(stderr, "wine_drive: the mount manager refused, error %lu\n", error);
        return 2;
    }
    return 0;
}
