// What the programmer and mini-kernel loaders share: the guard that turns a
// failure thrown inside a load into its result.
#pragma once
#include <windows.h>

#include <new>

#include "engine/EngineIo.h"
#include "services/Log.h"
#include "platform/Handles.h"

// Runs load(); a status text or buffer that could not be allocated ends the
// load with its HRESULT, logged under name.
template <class Load> HRESULT RunLoad(const wchar_t* name, Load load)
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
