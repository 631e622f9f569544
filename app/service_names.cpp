// Names of the kernel objects shared with the talvern service and of the session guard.
#include "app/service_names.h"

#include <sstream>

const wchar_t kRequestEventPrefix[] = L"Global\\ttosq_";
const wchar_t kResponseEventPrefix[] = L"Global\\ttosr_";
const wchar_t kSectionPrefix[] = L"Global\\ttosd_";
const wchar_t kNoDupEventPrefix[] = L"Global\\tnodup_";

std::wstring make_object_name(const wchar_t* prefix, DWORD number) {
    std::wstringstream name;
    name << prefix << static_cast<uint32_t>(number);
    return name.str();
}
