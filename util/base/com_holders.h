// Owning holders for COM resources, shaped like the handle holders beside them
// (get, reset, release): an interface pointer that is released once, a BSTR
// that is freed once and a VARIANT that is cleared once. They keep every exit
// path of the WMI code free of manual clean-up.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <utility>

// One reference to a COM interface.
template <class T>
class com_ptr {
public:
    com_ptr() = default;
    explicit com_ptr(T* p) : _p(p) {}  // adopts the reference
    ~com_ptr() { reset(); }
    com_ptr(const com_ptr&) = delete;
    com_ptr& operator=(const com_ptr&) = delete;
    com_ptr(com_ptr&& other) noexcept : _p(other.release()) {}
    com_ptr& operator=(com_ptr&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }

    T* get() const { return _p; }
    T* operator->() const { return _p; }
    explicit operator bool() const { return _p != nullptr; }

    // Address to receive a new reference; drops the one held first.
    T** put() {
        reset();
        return &_p;
    }
    // Releases the held reference (if any) and adopts p.
    void reset(T* p = nullptr) {
        T* old = _p;
        _p = p;
        if (old != nullptr) {
            old->Release();
        }
    }
    // Gives the reference to the caller.
    T* release() {
        T* p = _p;
        _p = nullptr;
        return p;
    }

private:
    T* _p = nullptr;
};

// A BSTR made from wide text; null when the text was null or allocation failed.
class bstr_holder {
public:
    explicit bstr_holder(const wchar_t* text) : _s(text != nullptr ? SysAllocString(text) : nullptr) {}
    ~bstr_holder() { reset(); }
    bstr_holder(const bstr_holder&) = delete;
    bstr_holder& operator=(const bstr_holder&) = delete;

    BSTR get() const { return _s; }
    explicit operator bool() const { return _s != nullptr; }
    // Frees the held string (if any) and adopts s.
    void reset(BSTR s = nullptr) {
        const BSTR old = std::exchange(_s, s);
        if (old != nullptr) {
            SysFreeString(old);
        }
    }
    // Gives the string to the caller, who frees it.
    BSTR release() { return std::exchange(_s, nullptr); }

private:
    BSTR _s;
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
