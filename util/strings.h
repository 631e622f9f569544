// Wide-to-ANSI conversion whose failure is logged, beside the text helpers
// that never log (base/text.h).
#pragma once

#include "base/text.h"

#include <string>

// New zero-terminated ANSI-code-page copy of wcs, or null (null or empty input,
// failed conversion). The caller frees it with free().
char* WcsToMbs(const wchar_t* wcs);

// The ANSI text of wcs; empty on empty input or failure.
std::string WcsToMbsEx(const wchar_t* wcs);
