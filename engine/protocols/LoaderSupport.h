// What the programmer and mini-kernel loaders share: the owner of the serial
// port that one load opens, and the guard that turns a failure thrown inside
// a load into its result.
#pragma once
#include <windows.h>

#include <new>

#include "engine/EngineIo.h"
#include "services/Log.h"

class CPortHandle
{
public:
    CPortHandle() = default;
    ~CPortHandle() { Close(); }
    CPortHandle(const CPortHandle&) = delete;
    CPortHandle& operator=(const CPortHandle&) = delete;

    HANDLE Get() const { return m_handle; }
    // For OpenSerialPort, which closes a handle already held.
    HANDLE* Receive() { return &m_handle; }
    void Close()
    {
        if (m_handle != INVALID_HANDLE_VALUE)
            CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE m_handle = INVALID_HANDLE_VALUE;
};

// Runs load(); a status text or buffer that could not be allocated ends the
// load with its HRESULT, logged under name.
template <class Load>
HRESULT RunLoad(const wchar_t* name, Load load)
{
    try
    {
        return load();
    }
    catch (const CHResultException& e)
    {
        return LogError(e.Result(), name, __LINE__);
    }
    catch (const std::bad_alloc&)
    {
        return LogError(E_OUTOFMEMORY, name, __LINE__);
    }
}
