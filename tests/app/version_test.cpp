// The product's version, set once by the build: the agent's resources (linked
// into this test) and the reference plug-in beside it carry exactly that one
// (the update request's text is checked with the request, in tests/update).
#include "base/product_version.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

std::wstring beside_this_test(const wchar_t* file) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path);
    return dir.substr(0, dir.find_last_of(L'\\') + 1) + file;
}

// The file's fixed version numbers and its "FileVersion" and "ProductVersion" texts.
struct file_version {
    DWORD ms = 0, ls = 0, product_ms = 0, product_ls = 0;
    std::wstring file_text, product_text;
};

file_version read_version(const std::wstring& path) {
    file_version v;
    DWORD ignored = 0;
    std::vector<BYTE> data(GetFileVersionInfoSizeW(path.c_str(), &ignored));
    if (data.empty() || !GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(data.size()), data.data())) {
        ADD_FAILURE() << "no version resource";
        return v;
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    if (VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &size) && size >= sizeof(*fixed)) {
        v.ms = fixed->dwFileVersionMS, v.ls = fixed->dwFileVersionLS;
        v.product_ms = fixed->dwProductVersionMS, v.product_ls = fixed->dwProductVersionLS;
    }
    wchar_t* text = nullptr;
    if (VerQueryValueW(data.data(), L"\\StringFileInfo\\040904b0\\FileVersion", reinterpret_cast<void**>(&text), &size)) {
        v.file_text = text;
    }
    if (VerQueryValueW(data.data(), L"\\StringFileInfo\\040904b0\\ProductVersion", reinterpret_cast<void**>(&text),
                       &size)) {
        v.product_text = text;
    }
    return v;
}

TEST(ProductVersion, BothBinariesAndTheManifestCarryTheBuildsVersion) {
    const DWORD ms = MAKELONG(TALVERN_VERSION_MINOR, TALVERN_VERSION_MAJOR);
    const DWORD ls = MAKELONG(TALVERN_VERSION_BUILD, TALVERN_VERSION_PATCH);
    const std::string text = TALVERN_VERSION_TEXT;
    const std::wstring wide_text(text.begin(), text.end());
    for (const std::wstring& path : {beside_this_test(L"app_window_test.exe"), beside_this_test(L"TalvernP.dll")}) {
        SCOPED_TRACE(std::string(path.begin(), path.end()));
        const file_version v = read_version(path);
        EXPECT_EQ(ms, v.ms);
        EXPECT_EQ(ls, v.ls);
        EXPECT_EQ(ms, v.product_ms);
        EXPECT_EQ(ls, v.product_ls);
        EXPECT_EQ(wide_text, v.file_text);
        EXPECT_EQ(wide_text, v.product_text);
    }
    // The manifest's assembly version.
    const HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
    ASSERT_NE(nullptr, found);
    const char* manifest = static_cast<const char*>(LockResource(LoadResource(nullptr, found)));
    const std::string xml(manifest, SizeofResource(nullptr, found));
    EXPECT_NE(std::string::npos, xml.find("version=\"" + text + "\" processorArchitecture=\"amd64\""));
}

}  // namespace
