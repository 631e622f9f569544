// Owning holders for COM resources, shaped like the handle holders beside them
// (get, reset, release): an interface pointer that is released once, a BSTR
// that is freed once and a VARIANT that is cleared once. They keep every exit
// path of the WMI code free of manual clean-up.
#pragma once

#include "base/handles.h"

#include <windows.h>
#include <oleauto.h>

namespace handle_traits {
template <class T>
struct com_reference {
    using pointer = T*;
    static pointer none() { return nullptr; }
    static void close(pointer object) { object->Release(); }
};
struct bstr {
    using pointer = BSTR;
    static pointer none() { return nullptr; }
    static void close(pointer text) { SysFreeString(text); }
};
}  // namespace handle_traits

// One reference to a COM interface.
template <class T>
class com_ptr : public unique_win_handle<handle_traits::com_reference<T>> {
public:
    using unique_win_handle<handle_traits::com_reference<T>>::unique_win_handle;
    T* operator->() const { return this->get(); }
};

// A BSTR made from wide text; null when the text was null or allocation failed.
class bstr_holder : public unique_win_handle<handle_traits::bstr> {
public:
    explicit bstr_holder(const wchar_t* text)
        : unique_win_handle(text != nullptr ? SysAllocString(text) : nullptr) {}
};

// A VARIANT that is cleared when it goes away or is reused.
class variant_holder {
public:
    variant_holder() { VariantInit(&_v); }
    ~variant_holder() { VariantClear(&_v); }
    variant_holder(const variant_holder&) = delete;
    variant_holder& operator=(const variant_holder&) = delete;

    const VARIANT& get() const { return _v; }
    // Address to receive a new value; clears the current one first.
    VARIANT* put() {
        VariantClear(&_v);
        return &_v;
    }
    void reset() { VariantClear(&_v); }
    // Gives the value to the caller, who clears it; the holder is empty afterwards.
    VARIANT release() {
        const VARIANT value = _v;
        VariantInit(&_v);
        return value;
    }

private:
    VARIANT _v;
};
