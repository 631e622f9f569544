// Reading typed values out of WMI objects and their path texts.
#include "pnp/wmi_values.h"

#include "base/com_holders.h"
#include "util/strings.h"

namespace {

std::wstring bstr_text(BSTR s) { return s != nullptr ? std::wstring(s, SysStringLen(s)) : std::wstring(); }

}  // namespace

std::wstring strip_chars(const std::wstring& text, const wchar_t* set) {
    const size_t last = text.find_last_not_of(set);
    if (last == std::wstring::npos) {
        return std::wstring();
    }
    const size_t first = text.find_first_not_of(set);
    return text.substr(first, last - first + 1);
}

std::wstring object_path_key(const std::wstring& path) {
    std::wstring key;
    extract_last_tokenw(path, L"=", key, false);
    return strip_chars(key, L"\"");
}

bool variant_text(const VARIANT& value, std::wstring& text) {
    switch (value.vt) {
    case VT_EMPTY:
    case VT_NULL:
        return false;
    case VT_BSTR:
        text = bstr_text(value.bstrVal);
        return true;
    default: {
        variant_holder converted;
        // VariantChangeType does not change its source; its signature lacks the const.
        const HRESULT hres = VariantChangeType(converted.put(), const_cast<VARIANT*>(&value), 0, VT_BSTR);
        if (FAILED(hres) || converted.get().vt != VT_BSTR) {
            return false;
        }
        text = bstr_text(converted.get().bstrVal);
        return true;
    }
    }
}

bool variant_int32(const VARIANT& value, int32_t& number) {
    switch (value.vt) {
    case VT_EMPTY:
    case VT_NULL:
        return false;
    case VT_I4:
        number = value.lVal;
        return true;
    case VT_UI4:
        number = static_cast<int32_t>(value.ulVal);
        return true;
    case VT_INT:
        number = value.intVal;
        return true;
    case VT_UINT:
        number = static_cast<int32_t>(value.uintVal);
        return true;
    case VT_I2:
        number = value.iVal;
        return true;
    case VT_UI2:
        number = value.uiVal;
        return true;
    case VT_I1:
        number = value.cVal;
        return true;
    case VT_UI1:
        number = value.bVal;
        return true;
    default: {
        variant_holder converted;
        // VariantChangeType does not change its source; its signature lacks the const.
        const HRESULT hres = VariantChangeType(converted.put(), const_cast<VARIANT*>(&value), 0, VT_I4);
        if (FAILED(hres) || converted.get().vt != VT_I4) {
            return false;
        }
        number = converted.get().lVal;
        return true;
    }
    }
}
