// Text helpers that never log (the logger uses them): list splitting, token
// cutting, file extensions, lower-casing, ANSI and UTF-8 conversion. Stateless;
// any thread may call them.
#pragma once

#include <string>
#include <vector>

// The ANSI-code-page text of wcs (which is not null). False, with ansi empty,
// when the conversion fails; GetLastError() tells why.
bool wcs_to_ansi(const wchar_t* wcs, std::string& ansi);

// The UTF-8 text of UTF-16 wide text, for what leaves the machine (the update
// request's body). Never fails: an unpaired surrogate becomes U+FFFD, and ASCII
// stays byte for byte.
std::string wide_to_utf8(const std::wstring& wide);

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
