// Text helpers: wide-to-ANSI conversion, list splitting, token cutting,
// file extensions and lower-casing. Stateless; any thread may call them.
#pragma once

#include <string>
#include <vector>

// New zero-terminated ANSI-code-page copy of wcs, or null (null or empty input,
// failed conversion). The caller frees it with free().
char* WcsToMbs(const wchar_t* wcs);

// The ANSI text of wcs; empty on empty input or failure.
std::string WcsToMbsEx(const wchar_t* wcs);

// Splits a comma-separated list (at most 1,023 characters); empty fields give no
// token. False for null or over-long text.
bool split_stringw(const wchar_t* str, std::vector<std::wstring>& tokens);

// Cuts org_string at the last occurrence of token: the part before it when
// before is true, else the part after it; the whole text when token is absent.
bool extract_last_tokenw(const std::wstring& org_string, const std::wstring& token, std::wstring& out,
                         bool before);
std::wstring extract_last_tokenw(const wchar_t* org_string, const wchar_t* token, bool before);

// The text after the last "." of path, cut at its first ":" (stream names).
bool get_file_extension(const wchar_t* path, std::wstring& extension);

// Lower-cases str in place with the global locale's ctype facet.
void to_lower_string(std::wstring& str);
