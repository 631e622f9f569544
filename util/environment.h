// Expansion of environment references such as "%SystemRoot%".
#pragma once

#include <string>

bool get_environment_value(const wchar_t* src, std::wstring& value);
