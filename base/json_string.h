// Escaping of narrow text for use inside a JSON string literal (between its
// quotes): quote, backslash and control characters are escaped, every other byte
// is kept as it is.
#pragma once

#include <string>

std::string json_escape_string(const std::string& text);
