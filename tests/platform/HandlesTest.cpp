#include "platform/Handles.h"

#include <gtest/gtest.h>

#include "platform/ComObject.h"

#include <thread>

namespace
{

bool IsOpen(HANDLE h)
{
    DWORD flags = 0;
    return GetHandleInformation(h, &flags) != FALSE;
}

HANDLE NewEvent()
{
    return CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

TEST(Handles, OwnersCloseOnceAndHandOverOnMove)
{
    HANDLE first = NewEvent(), second = NewEvent();
    ASSERT_TRUE(first && second);
    {
        CHandle a(first);
        a.Reset(first); // the same handle again is kept, not closed
        EXPECT_TRUE(IsOpen(first));
        CHandle b(std::move(a));
        EXPECT_FALSE(a.IsValid());
        EXPECT_EQ(first, b.Get());
        *b.Receive() = second; // receiving gives back what was held
        EXPECT_FALSE(IsOpen(first));
        EXPECT_TRUE(IsOpen(second));
    }
    EXPECT_FALSE(IsOpen(second));

    // For files empty is INVALID_HANDLE_VALUE: a default owner holds it.
    CFileHandle file;
    EXPECT_EQ(INVALID_HANDLE_VALUE, file.Get());
    EXPECT_FALSE(file);
    HANDLE kept = NewEvent();
    file.Reset(kept);
    EXPECT_EQ(kept, file.Detach());
    EXPECT_EQ(INVALID_HANDLE_VALUE, file.Get());
    EXPECT_TRUE(IsOpen(kept));
    CloseHandle(kept);
}

TEST(Handles, SelectionAndScopeGuardUndoAtScopeEnd)
{
    HDC dc = CreateCompatibleDC(nullptr);
    ASSERT_TRUE(dc);
    HGDIOBJ before = GetCurrentObject(dc, OBJ_PEN);
    {
        CGdiObject<HPEN> pen(CreatePen(PS_SOLID, 3, RGB(1, 2, 3)));
        CSelectObject selected(dc, pen.Get());
        EXPECT_EQ(pen.Get(), GetCurrentObject(dc, OBJ_PEN));
    }
    EXPECT_EQ(before, GetCurrentObject(dc, OBJ_PEN));
    DeleteDC(dc);

    int runs = 0;
    {
        CScopeGuard guard([&] { ++runs; });
    }
    {
        CScopeGuard guard([&] { ++runs; });
        guard.Dismiss();
    }
    EXPECT_EQ(1, runs);
}

// A thread's initialisations are counted: each join that succeeded (S_OK or
// S_FALSE) is paired, a refused one (the other model) is not. Whether the
// thread still holds the multithreaded apartment shows in what a join as a
// single-threaded apartment answers.
TEST(Handles, ComInitializerPairsOnlyTheJoinsThatSucceeded)
{
    HRESULT outer = E_FAIL, nested = E_FAIL, otherModel = E_FAIL, whileHeld = E_FAIL, afterwards = E_FAIL;
    std::thread([&] {
        {
            const CComInitializer apartment(COINIT_MULTITHREADED);
            outer = apartment.Result();
            {
                const CComInitializer again(COINIT_MULTITHREADED);
                nested = again.Result();
                const CComInitializer refused(COINIT_APARTMENTTHREADED);
                otherModel = refused.Result();
            }
            const CComInitializer probe(COINIT_APARTMENTTHREADED);
            whileHeld = probe.Result();
        }
        const CComInitializer probe(COINIT_APARTMENTTHREADED);
        afterwards = probe.Result();
    }).join();
    EXPECT_EQ(S_OK, outer);
    EXPECT_EQ(S_FALSE, nested);
    EXPECT_EQ(RPC_E_CHANGED_MODE, otherModel);
    EXPECT_EQ(RPC_E_CHANGED_MODE, whileHeld);
    EXPECT_EQ(S_OK, afterwards);
}

TEST(Handles, GitCookieRevokesAtTheEnd)
{
    const CComInitializer apartment(COINIT_MULTITHREADED);
    ASSERT_HRESULT_SUCCEEDED(apartment.Result());
    {
        ComPtr<IGlobalInterfaceTable> table;
        ASSERT_HRESULT_SUCCEEDED(
            CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&table)));
        ComPtr<IStream> stream;
        ASSERT_HRESULT_SUCCEEDED(CreateStreamOnHGlobal(nullptr, TRUE, &stream));
        DWORD cookie = 0;
        {
            CGitCookie held;
            ASSERT_HRESULT_SUCCEEDED(held.Register(table.Get(), stream.Get(), IID_IStream));
            cookie = held.Cookie();
            ComPtr<IStream> back;
            ASSERT_HRESULT_SUCCEEDED(held.Get(back.GetAddressOf()));
            EXPECT_EQ(stream.Get(), back.Get());
            CGitCookie moved(std::move(held));
            EXPECT_FALSE(held.IsRegistered());
            EXPECT_TRUE(moved.IsRegistered());
        }
        ComPtr<IStream> gone;
        EXPECT_HRESULT_FAILED(table->GetInterfaceFromGlobal(cookie, IID_IStream, &gone));
    }
}

} // namespace
