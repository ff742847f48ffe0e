#pragma once
// COM ownership: apartments per thread, CoTaskMemFree blocks, PROPVARIANTs.
// COM interface pointers themselves are Microsoft::WRL::ComPtr.

#include <windows.h>
#include <objbase.h>
#include <propidl.h>

#include <utility>

namespace kestrune::win {

// Initialises COM for this thread; uninitialises only if that succeeded.
class ComInit {
public:
    explicit ComInit(DWORD apartment = COINIT_MULTITHREADED);
    ComInit(const ComInit&) = delete;
    ComInit& operator=(const ComInit&) = delete;
    ~ComInit();

    [[nodiscard]] HRESULT result() const { return hr_; }
    [[nodiscard]] bool succeeded() const { return SUCCEEDED(hr_); }

private:
    HRESULT hr_;
};

template <class T>
class CoTaskMemPtr {
public:
    CoTaskMemPtr() = default;
    explicit CoTaskMemPtr(T* p) : p_(p) {}
    CoTaskMemPtr(CoTaskMemPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    CoTaskMemPtr& operator=(CoTaskMemPtr&& o) noexcept {
        if (this != &o) reset(std::exchange(o.p_, nullptr));
        return *this;
    }
    CoTaskMemPtr(const CoTaskMemPtr&) = delete;
    CoTaskMemPtr& operator=(const CoTaskMemPtr&) = delete;
    ~CoTaskMemPtr() { reset(); }

    [[nodiscard]] T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // For out-parameters: frees what is held, then hands out the slot.
    [[nodiscard]] T** put() {
        reset();
        return &p_;
    }
    void reset(T* p = nullptr) {
        if (p_ != nullptr) ::CoTaskMemFree(p_);
        p_ = p;
    }

private:
    T* p_ = nullptr;
};

// A PROPVARIANT that clears itself.
class PropVariant {
public:
    PropVariant() { ::PropVariantInit(&v_); }
    PropVariant(const PropVariant&) = delete;
    PropVariant& operator=(const PropVariant&) = delete;
    ~PropVariant() { ::PropVariantClear(&v_); }

    [[nodiscard]] PROPVARIANT* put() {
        ::PropVariantClear(&v_);
        return &v_;
    }
    [[nodiscard]] const PROPVARIANT& get() const { return v_; }

private:
    PROPVARIANT v_;
};

}  // namespace kestrune::win
