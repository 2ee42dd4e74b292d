// Owners of the system's resources: one template for every kind of handle,
// its traits naming the empty value and the call that gives it back, a guard
// for a GDI selection, a mutex held for a scope, a scope guard, a thread's COM
// initialisation, and the cookie of an interface put into the global
// interface table. An owner is moved, never copied; an early return or an
// exception gives the resource back.
#pragma once
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <commctrl.h>
#include <uxtheme.h>

#include <utility>

template <class Traits> class CUniqueResource
{
public:
    using Type = typename Traits::Type;

    CUniqueResource() = default;
    explicit CUniqueResource(Type value) : m_value(value) {}
    ~CUniqueResource() { Reset(); }
    CUniqueResource(const CUniqueResource&) = delete;
    CUniqueResource& operator=(const CUniqueResource&) = delete;
    CUniqueResource(CUniqueResource&& other) noexcept : m_value(other.Detach()) {}
    CUniqueResource& operator=(CUniqueResource&& other) noexcept
    {
        if (this != &other)
            Reset(other.Detach());
        return *this;
    }

    Type Get() const { return m_value; }
    bool IsValid() const { return m_value != Traits::Invalid(); }
    explicit operator bool() const { return IsValid(); }

    // For calls that give the resource through an out argument: whatever is
    // held is given back first.
    Type* Receive()
    {
        Reset();
        return &m_value;
    }
    Type Detach()
    {
        Type value = m_value;
        m_value = Traits::Invalid();
        return value;
    }
    void Reset(Type value = Traits::Invalid())
    {
        if (m_value != Traits::Invalid() && m_value != value)
            Traits::Close(m_value);
        m_value = value;
    }

private:
    Type m_value = Traits::Invalid();
};

struct HandleTraits
{
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { CloseHandle(h); }
};

// Files, ports and snapshots: empty is INVALID_HANDLE_VALUE.
struct FileHandleTraits
{
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { CloseHandle(h); }
};

struct FindHandleTraits
{
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { FindClose(h); }
};

struct RegKeyTraits
{
    using Type = HKEY;
    static Type Invalid() { return nullptr; }
    static void Close(Type key) { RegCloseKey(key); }
};

struct ViewTraits
{
    using Type = const void*;
    static Type Invalid() { return nullptr; }
    static void Close(Type view) { UnmapViewOfFile(view); }
};

template <class T> struct GdiObjectTraits
{
    using Type = T;
    static Type Invalid() { return nullptr; }
    static void Close(Type object) { DeleteObject(object); }
};

// Memory that the system allocated for the caller: a system message's text,
// a shell's path, a BSTR.
struct LocalMemoryTraits
{
    using Type = void*;
    static Type Invalid() { return nullptr; }
    static void Close(Type memory) { LocalFree(memory); }
};

struct CoTaskMemoryTraits
{
    using Type = void*;
    static Type Invalid() { return nullptr; }
    static void Close(Type memory) { CoTaskMemFree(memory); }
};

struct IconTraits
{
    using Type = HICON;
    static Type Invalid() { return nullptr; }
    static void Close(Type icon) { DestroyIcon(icon); }
};

// A memory device context (CreateCompatibleDC).
struct MemoryDcTraits
{
    using Type = HDC;
    static Type Invalid() { return nullptr; }
    static void Close(Type dc) { DeleteDC(dc); }
};

// A window that its creator destroys.
struct WindowTraits
{
    using Type = HWND;
    static Type Invalid() { return nullptr; }
    static void Close(Type window) { DestroyWindow(window); }
};

struct BstrTraits
{
    using Type = BSTR;
    static Type Invalid() { return nullptr; }
    static void Close(Type text) { SysFreeString(text); }
};

struct ImageListTraits
{
    using Type = HIMAGELIST;
    static Type Invalid() { return nullptr; }
    static void Close(Type images) { ImageList_Destroy(images); }
};

struct ThemeTraits
{
    using Type = HTHEME;
    static Type Invalid() { return nullptr; }
    static void Close(Type theme) { CloseThemeData(theme); }
};

using CHandle = CUniqueResource<HandleTraits>;
using CFileHandle = CUniqueResource<FileHandleTraits>;
using CFindHandle = CUniqueResource<FindHandleTraits>;
using CRegKey = CUniqueResource<RegKeyTraits>;
using CMappedView = CUniqueResource<ViewTraits>;
template <class T> using CGdiObject = CUniqueResource<GdiObjectTraits<T>>;
using CMemoryDc = CUniqueResource<MemoryDcTraits>;
using CImageList = CUniqueResource<ImageListTraits>;
using CTheme = CUniqueResource<ThemeTraits>;
using CLocalMemory = CUniqueResource<LocalMemoryTraits>;
using CCoTaskMemory = CUniqueResource<CoTaskMemoryTraits>;
using CBstr = CUniqueResource<BstrTraits>;
using CUniqueWindow = CUniqueResource<WindowTraits>;
using CIcon = CUniqueResource<IconTraits>;

// The device context of a window's client area (GetDC) for one scope.
class CClientDC
{
public:
    explicit CClientDC(HWND window) : m_window(window), m_dc(GetDC(window)) {}
    ~CClientDC()
    {
        if (m_dc)
            ReleaseDC(m_window, m_dc);
    }
    CClientDC(const CClientDC&) = delete;
    CClientDC& operator=(const CClientDC&) = delete;
    HDC Get() const { return m_dc; }

private:
    HWND m_window;
    HDC m_dc;
};

// Selects an object into a device context for one scope and puts the one it
// replaced back.
class CSelectObject
{
public:
    CSelectObject(HDC dc, HGDIOBJ object) : m_dc(dc), m_old(object ? SelectObject(dc, object) : nullptr) {}
    ~CSelectObject()
    {
        if (m_old)
            SelectObject(m_dc, m_old);
    }
    CSelectObject(const CSelectObject&) = delete;
    CSelectObject& operator=(const CSelectObject&) = delete;

private:
    HDC m_dc;
    HGDIOBJ m_old;
};

// Holds a mutex for one scope. A mutex left by a thread that ended while it
// held it counts as taken.
class CMutexLock
{
public:
    explicit CMutexLock(HANDLE mutex) : m_mutex(mutex)
    {
        DWORD wait = WaitForSingleObject(m_mutex, INFINITE);
        m_held = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    }
    ~CMutexLock()
    {
        if (m_held)
            ReleaseMutex(m_mutex);
    }
    CMutexLock(const CMutexLock&) = delete;
    CMutexLock& operator=(const CMutexLock&) = delete;
    bool IsHeld() const { return m_held; }

private:
    HANDLE m_mutex;
    bool m_held = false;
};

// Runs a function when the scope ends, unless dismissed.
template <class F> class CScopeGuard
{
public:
    explicit CScopeGuard(F f) : m_f(std::move(f)) {}
    ~CScopeGuard()
    {
        if (m_active)
            m_f();
    }
    CScopeGuard(const CScopeGuard&) = delete;
    CScopeGuard& operator=(const CScopeGuard&) = delete;
    void Dismiss() { m_active = false; }

private:
    F m_f;
    bool m_active = true;
};

// The calling thread's COM initialisation for one scope (CoInitializeEx with
// the given apartment model). Only a call that succeeded is paired with
// CoUninitialize, so a thread already in an apartment of the other model
// (RPC_E_CHANGED_MODE) is left as it was. Made and destroyed on one thread.
class CComInitializer
{
public:
    explicit CComInitializer(DWORD model) : m_result(CoInitializeEx(nullptr, model)) {}
    ~CComInitializer()
    {
        if (SUCCEEDED(m_result))
            CoUninitialize();
    }
    CComInitializer(const CComInitializer&) = delete;
    CComInitializer& operator=(const CComInitializer&) = delete;

    // CoInitializeEx's answer: S_OK, S_FALSE when the thread was already in
    // such an apartment, or the failure.
    HRESULT Result() const { return m_result; }

private:
    HRESULT m_result;
};

// The cookie of an interface registered in the process's global interface
// table; the destructor revokes it.
class CGitCookie
{
public:
    CGitCookie() = default;
    ~CGitCookie() { Revoke(); }
    CGitCookie(const CGitCookie&) = delete;
    CGitCookie& operator=(const CGitCookie&) = delete;
    CGitCookie(CGitCookie&& other) noexcept : m_table(other.m_table), m_cookie(other.m_cookie)
    {
        other.m_table = nullptr;
        other.m_cookie = 0;
    }
    CGitCookie& operator=(CGitCookie&& other) noexcept
    {
        if (this != &other)
        {
            Revoke();
            std::swap(m_table, other.m_table);
            std::swap(m_cookie, other.m_cookie);
        }
        return *this;
    }

    // Registers unknown under iid in table (which the cookie keeps a
    // reference to until it is revoked).
    HRESULT Register(IGlobalInterfaceTable* table, IUnknown* unknown, REFIID iid)
    {
        Revoke();
        if (!table)
            return E_POINTER;
        HRESULT hr = table->RegisterInterfaceInGlobal(unknown, iid, &m_cookie);
        if (FAILED(hr))
        {
            m_cookie = 0;
            return hr;
        }
        m_table = table;
        m_table->AddRef();
        return hr;
    }
    // The interface iid of the registered object, for the calling apartment.
    HRESULT Get(REFIID iid, void** out) const
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (!m_table)
            return E_UNEXPECTED;
        return m_table->GetInterfaceFromGlobal(m_cookie, iid, out);
    }
    template <class I> HRESULT Get(I** out) const { return Get(__uuidof(I), reinterpret_cast<void**>(out)); }
    DWORD Cookie() const { return m_cookie; }
    bool IsRegistered() const { return m_table != nullptr; }
    // The table's answer to the revocation; S_OK when nothing was registered.
    HRESULT Revoke()
    {
        if (!m_table)
            return S_OK;
        HRESULT hr = m_table->RevokeInterfaceFromGlobal(m_cookie);
        m_table->Release();
        m_table = nullptr;
        m_cookie = 0;
        return hr;
    }

private:
    IGlobalInterfaceTable* m_table = nullptr;
    DWORD m_cookie = 0;
};
