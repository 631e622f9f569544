// The first target of a DOS device name (C: -> \Device\HarddiskVolume1).
#pragma once

#include <string>

bool query_dos_device(const wchar_t* dos_device_name, std::wstring& target);
