#include "services/Process.h"
#include "tests/services/process/TestSupport.h"

#include <aclapi.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

namespace
{

std::string Decode(const std::wstring& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] == L'\\' && i + 1 < text.size())
        {
            wchar_t next = text[++i];
            out += next == L'r' ? '\r' : next == L'n' ? '\n' : static_cast<char>(next);
        }
        else
            out += static_cast<char>(text[i]);
    }
    return out;
}

void WriteTo(DWORD which, const std::string& bytes)
{
    size_t at = 0;
    while (at < bytes.size())
    {
        DWORD n = 0;
        if (!WriteFile(GetStdHandle(which), bytes.data() + at, static_cast<DWORD>(bytes.size() - at), &n, nullptr))
            ExitProcess(98);
        at += n;
    }
}

std::string Pattern(size_t size)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
    return bytes;
}

const UINT kClosedExitCode = 7;
const UINT kSelfExitCode = 3;

LRESULT CALLBACK NodeWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CLOSE)
        ExitProcess(kClosedExitCode);
    if (message == WM_TIMER)
        ExitProcess(kSelfExitCode);
    // The test's word: end in wParam ms from now.
    if (message == WM_APP)
        return SetTimer(window, 1, static_cast<UINT>(wParam), nullptr) ? 0 : 1;
    return DefWindowProcW(window, message, wParam, lParam);
}

// A process list that holds only the given links of process to parent.
CProcessList Links(std::initializer_list<std::pair<HANDLE, HANDLE>> links)
{
    CProcessList list{CProcessList::Empty()};
    for (const auto& link : links)
    {
        _PROCESS_INFORMATION_EX info = {};
        info.entry.th32ProcessID = GetProcessId(link.first);
        info.entry.th32ParentProcessID = GetProcessId(link.second);
        list.push_back(info);
    }
    return list;
}

// Waits until the node process has made its window, so that timings start
// from a running node even on a busy machine; the window, or none.
HWND WaitForNodeWindow(DWORD processId)
{
    for (int i = 0; i < 1200; ++i, Sleep(50))
    {
        HWND window = nullptr;
        while ((window = FindWindowExW(nullptr, window, L"KestrupTestNode", nullptr)) != nullptr)
        {
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == processId)
                return window;
        }
    }
    return nullptr;
}

HANDLE StartNode(int depth, int selfExitMs = 0, const std::wstring& program = QuotedSelf())
{
    HANDLE process = nullptr;
    EXPECT_EQ(S_OK, ExecuteCommand(nullptr, &process, L"%s --child Node %d %d", program.c_str(), depth, selfExitMs));
    if (process)
    {
        EXPECT_NE(nullptr, WaitForNodeWindow(GetProcessId(process)));
    }
    return process;
}

} // namespace

// Writes args[0] bytes of the pattern, then ends with exit code args[1].
KESTRUP_CHILD(EmitBytes)
{
    WriteTo(STD_OUTPUT_HANDLE, Pattern(std::stoul(args[0])));
    ExitProcess(static_cast<UINT>(std::stoul(args[1], nullptr, 0)));
}

// Writes the decoded text args[0] to standard output and args[1] to
// standard error, then ends with exit code args[2].
KESTRUP_CHILD(EmitText)
{
    WriteTo(STD_OUTPUT_HANDLE, Decode(args[0]));
    WriteTo(STD_ERROR_HANDLE, Decode(args[1]));
    ExitProcess(static_cast<UINT>(std::stoul(args[2], nullptr, 0)));
}

// A process with a top-level window that ends on WM_CLOSE (exit code 7) or
// on its own after args[1] ms (exit code 3; 0: never) or as WM_APP tells it,
// and that starts a chain of args[0] descendants of the same kind.
KESTRUP_CHILD(Node)
{
    int depth = std::stoi(args[0]);
    int selfExitMs = std::stoi(args[1]);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = NodeWindow;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"KestrupTestNode";
    RegisterClassW(&wc);
    HWND window = CreateWindowW(wc.lpszClassName, L"node", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr, nullptr,
                                wc.hInstance, nullptr);
    if (!window)
        return 97;
    if (selfExitMs > 0)
        SetTimer(window, 1, static_cast<UINT>(selfExitMs), nullptr);
    if (depth > 0)
    {
        HANDLE child = nullptr;
        if (FAILED(ExecuteCommand(nullptr, &child, L"%s --child Node %d 0", QuotedSelf().c_str(), depth - 1)))
            return 96;
        CloseHandle(child);
    }
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
        DispatchMessageW(&msg);
    return 0;
}

TEST(ExecuteCommand, CapturesOutputAndErrorWholeAndTheExitCodeBecomesTheResult)
{
    std::wstring text = L"left over";
    ASSERT_EQ(S_OK, ExecuteCommand(text, L"%s --child EmitBytes 1048576 0", QuotedSelf().c_str()));
    std::string expected = Pattern(1048576);
    ASSERT_EQ(expected.size(), text.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), text.begin(),
                           [](char a, wchar_t b) { return static_cast<wchar_t>(a) == b; }));

    // Carriage returns stay; standard error follows the output; an empty
    // output empties the text.
    const struct
    {
        const wchar_t *out, *err, *exitCode;
        const wchar_t* text;
        HRESULT result;
    } cases[] = {
        {L"one\\r\\ntwo\\r\\n", L"err", L"0", L"one\r\ntwo\r\nerr", S_OK},
        {L"", L"", L"0", L"", S_OK},
        {L"partial", L"", L"1", L"partial", static_cast<HRESULT>(0xFFFFFFFF)},
        {L"partial", L"", L"2", L"partial", static_cast<HRESULT>(0xFFFFFFFE)},
        {L"partial", L"", L"0xC0000005", L"partial", static_cast<HRESULT>(0x8007FFFB)},
    };
    const size_t loggedBefore = LogLinesWith("ExecuteCommand(1092)").size();
    for (const auto& c : cases)
    {
        text = L"left over";
        EXPECT_EQ(c.result, ExecuteCommand(text, L"%s --child EmitText \"%s\" \"%s\" %s", QuotedSelf().c_str(), c.out,
                                           c.err, c.exitCode))
            << c.exitCode;
        EXPECT_EQ(c.text, text) << c.exitCode;
    }
    // Only the failures were logged, as the capture's exit-code failure.
    std::vector<std::string> lines = LogLinesWith("ExecuteCommand(1092)");
    ASSERT_EQ(loggedBefore + 3, lines.size());
    EXPECT_NE(std::string::npos, lines[loggedBefore].find("(0xffffffff)"));
}

TEST(ExecuteCommand, StreamReadsLinesInTextMode)
{
    FILE* stream = nullptr;
    HANDLE process = nullptr;
    ASSERT_EQ(S_OK, ExecuteCommand(&stream, &process, L"%s --child EmitText \"one\\r\\ntwo\\r\\n\" \"\" 5",
                                   QuotedSelf().c_str()));
    ASSERT_NE(nullptr, stream);
    ASSERT_NE(nullptr, process);
    std::vector<std::string> lines;
    char line[64];
    while (fgets(line, sizeof(line), stream))
        lines.push_back(line);
    EXPECT_EQ((std::vector<std::string>{"one\n", "two\n"}), lines);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, 60000));
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    EXPECT_EQ(5u, code);
    fclose(stream);
    CloseHandle(process);
}

TEST(ExecuteCommand, MissingProgramFailsWithItsErrorAndIsLogged)
{
    std::wstring text = L"left over";
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), ExecuteCommand(text, L"%s", L"no-such-program-4711.exe"));
    EXPECT_EQ(L"left over", text);
    EXPECT_EQ(1u, LogLinesWith("ExecuteCommand(1224)").size());
    EXPECT_EQ(1u, LogLinesWith("ExecuteCommand(1084)").size());
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), RunCommand(L"no-such-program-4711.exe"));
}

// A child started by one thread must not hold the pipe of a child that
// another thread starts at the same moment: the second child's stream ends
// when that child ends, while every long-lived child (60 s) still runs.
TEST(ExecuteCommand, ChildrenStartedTogetherGetOnlyTheirOwnPipes)
{
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::vector<HANDLE> sleepers;
    std::thread starter([&] {
        for (size_t started = 0; !stop && started < 40; ++started)
        {
            HANDLE process = nullptr;
            FILE* stream = nullptr;
            if (SUCCEEDED(ExecuteCommand(&stream, &process, L"%s --child Node 0 60000", QuotedSelf().c_str())))
            {
                fclose(stream);
                std::lock_guard<std::mutex> hold(lock);
                sleepers.push_back(process);
            }
        }
    });
    size_t endedEarly = 0;
    for (int i = 0; i < 8; ++i)
    {
        FILE* stream = nullptr;
        // No early return while the starter runs: its thread must be joined.
        const HRESULT hr = ExecuteCommand(&stream, nullptr, L"%s --child EmitText \"x\" \"\" 0", QuotedSelf().c_str());
        EXPECT_EQ(S_OK, hr);
        if (FAILED(hr))
            break;
        char line[16];
        while (fgets(line, sizeof(line), stream))
        {
        }
        fclose(stream);
        // A stream held open by a sleeper would end only with that sleeper.
        std::lock_guard<std::mutex> hold(lock);
        for (HANDLE process : sleepers)
            endedEarly += WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
        if (endedEarly)
            break;
    }
    stop = true;
    starter.join();
    for (HANDLE process : sleepers)
    {
        TerminateProcess(process, 0);
        CloseHandle(process);
    }
    EXPECT_GT(sleepers.size(), 0u);
    EXPECT_EQ(0u, endedEarly);
}

TEST(KillProcess, WindowedProcessIsClosedUnlessItEndsByItselfAndAGoneOneIsASuccess)
{
    HANDLE windowed = StartNode(0), ending = StartNode(0, 60000);
    CProcessGuard guardEnding(ending), guardWindowed(windowed);
    ASSERT_NE(nullptr, ending);
    ASSERT_NE(nullptr, windowed);
    // Told just before the call to end 50 ms after it reads the word: it
    // still runs as the call begins, and ends by itself well within the
    // call's grace.
    ASSERT_TRUE(PostMessageW(WaitForNodeWindow(GetProcessId(ending)), WM_APP, 50, 0));
    EXPECT_EQ(S_OK, KillProcess(ending));
    const DWORD id = GetProcessId(windowed);
    EXPECT_EQ(S_OK, KillProcess(id));
    DWORD code = 0;
    GetExitCodeProcess(ending, &code);
    EXPECT_EQ(kSelfExitCode, code);
    GetExitCodeProcess(windowed, &code);
    EXPECT_EQ(kClosedExitCode, code);
    EXPECT_EQ(S_OK, KillProcess(id));
    // An id that no process has (any more) counts as ended.
    EXPECT_EQ(S_OK, KillProcess(static_cast<DWORD>(0x7FFFFFF0)));

    // A handle that may only wait for the process cannot end it, nor find
    // its windows: the failed termination is logged at its fixed line.
    HANDLE running = StartNode(0), waitOnly = nullptr;
    CProcessGuard guardRunning(running);
    ASSERT_NE(nullptr, running);
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), running, GetCurrentProcess(), &waitOnly, SYNCHRONIZE, FALSE, 0));
    const CHandle ownWaitOnly(waitOnly);
    const HRESULT denied = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    const size_t before = CountErrorLines("KillProcess", 522, denied);
    EXPECT_EQ(denied, KillProcess(waitOnly));
    EXPECT_EQ(before + 1, CountErrorLines("KillProcess", 522, denied));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(running, 0));
}

TEST(KillProcess, ByExecutableNameIgnoresCase)
{
    CTempDir dir(L"kill");
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring name = L"KillMe" + std::to_wstring(GetCurrentProcessId()) + L".exe";
    std::wstring copy = dir / name;
    ASSERT_TRUE(CopyFileW(self, copy.c_str(), FALSE));
    HANDLE first = StartNode(0, 0, L"\"" + copy + L"\"");
    HANDLE second = StartNode(0, 0, L"\"" + copy + L"\"");
    CProcessGuard guardFirst(first), guardSecond(second);
    ASSERT_NE(nullptr, first);
    ASSERT_NE(nullptr, second);

    std::wstring upper = name;
    CharUpperW(&upper[0]);
    EXPECT_EQ(S_OK, KillProcess(upper.c_str()));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(first, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(second, 0));
    // Nothing of that name is left: still a success.
    EXPECT_EQ(S_OK, KillProcess(name.c_str()));
}

TEST(KillProcessTree, EndsGrandchildrenBeforeChildrenBeforeTheRoot)
{
    HANDLE root = StartNode(2);
    ASSERT_NE(nullptr, root);
    CProcessGuard guard(root);
    DWORD child = WaitForChild(GetProcessId(root));
    ASSERT_NE(0u, child);
    DWORD grandchild = WaitForChild(child);
    ASSERT_NE(0u, grandchild);
    ASSERT_NE(nullptr, WaitForNodeWindow(child));
    ASSERT_NE(nullptr, WaitForNodeWindow(grandchild));

    // Each process is closed only after a wait of its own that follows the
    // end of the one before: their exit times keep the order.
    const CHandle childHandle(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, child)),
        grandchildHandle(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, grandchild));
    ASSERT_TRUE(childHandle.IsValid() && grandchildHandle.IsValid());
    EXPECT_EQ(S_OK, KillProcessTree(root));
    ULONGLONG before = 0;
    for (HANDLE process : {grandchildHandle.Get(), childHandle.Get(), root})
    {
        FILETIME created, exited, kernel, user;
        ASSERT_TRUE(GetProcessTimes(process, &created, &exited, &kernel, &user));
        const ULONGLONG at = (static_cast<ULONGLONG>(exited.dwHighDateTime) << 32) | exited.dwLowDateTime;
        EXPECT_LT(before, at) << GetProcessId(process);
        before = at;
        DWORD code = 0;
        GetExitCodeProcess(process, &code);
        EXPECT_EQ(kClosedExitCode, code) << GetProcessId(process);
    }
}

TEST(KillProcessTree, VisitsEachProcessOnceWhenParentLinksFormACycle)
{
    HANDLE a = StartNode(0);
    HANDLE b = StartNode(0);
    CProcessGuard guardA(a), guardB(b);
    ASSERT_NE(nullptr, a);
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(S_OK, KillProcessTree(Links({{a, b}, {b, a}}), a));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(a, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(b, 0));
}

TEST(KillProcessTree, AChildThatCannotBeOpenedFailsTheTreeWhoseRootIsStillEnded)
{
    HANDLE root = StartNode(0), locked = StartNode(0);
    CProcessGuard guardRoot(root), guardLocked(locked);
    ASSERT_NE(nullptr, root);
    ASSERT_NE(nullptr, locked);
    // Nobody may open the child any more; the handle its start gave still
    // ends it at the end of the test.
    ACL empty = {};
    ASSERT_TRUE(InitializeAcl(&empty, sizeof(empty), ACL_REVISION));
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              SetSecurityInfo(locked, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &empty, nullptr));
    const HRESULT denied = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    const size_t before = CountErrorLines("KillProcessTree", 669, denied);
    EXPECT_EQ(denied, KillProcessTree(Links({{locked, root}}), root));
    EXPECT_EQ(before + 1, CountErrorLines("KillProcessTree", 669, denied));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(root, 0)) << "the root is ended all the same";
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(locked, 0));
}

TEST(CAutoExecutor, EndsItsChildWithItsDescendants)
{
    HANDLE root = nullptr;
    DWORD child = 0;
    {
        CAutoExecutor executor(L"%s --child Node 1 0", QuotedSelf().c_str());
        ASSERT_NE(nullptr, executor.Process());
        ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), executor.Process(), GetCurrentProcess(), &root, 0, FALSE,
                                    DUPLICATE_SAME_ACCESS));
        child = WaitForChild(GetProcessId(root));
        ASSERT_NE(0u, child);
    }
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(root, 0));
    EXPECT_TRUE(ChildrenOf(GetProcessId(root)).empty()) << "the child outlived the executor";
    CloseHandle(root);

    CAutoExecutor failed(L"%s", L"no-such-program-4711.exe");
    EXPECT_EQ(nullptr, failed.Process());
    EXPECT_EQ(1u, LogLinesWith("CAutoExecutor::CAutoExecutor(1243)").size());
}

TEST(RebootWindows, AnsweredNoReturnsFalseAndShowsTheText)
{
    // The question is this process's own dialog: other tests running at the
    // same time show dialogs of the same class. It is answered No until the
    // call returns.
    std::wstring caption, text;
    std::atomic<bool> returned{false};
    std::thread answer([&] {
        for (int i = 0; i < 3000 && !returned; ++i, Sleep(20))
        {
            HWND box = nullptr;
            while ((box = FindWindowExW(nullptr, box, L"#32770", nullptr)) != nullptr)
            {
                DWORD owner = 0;
                GetWindowThreadProcessId(box, &owner);
                if (owner == GetCurrentProcessId() && IsWindowVisible(box))
                    break;
            }
            if (!box)
                continue;
            // A box already answered may be going away between the calls
            // and show an empty caption or no text: only a sighting that
            // showed both is kept.
            wchar_t buffer[512] = {};
            GetWindowTextW(box, buffer, 512);
            std::wstring seen;
            EnumChildWindows(
                box,
                [](HWND child, LPARAM found) -> BOOL {
                    wchar_t t[512] = {};
                    GetWindowTextW(child, t, 512);
                    if (wcsstr(t, L"F8"))
                        *reinterpret_cast<std::wstring*>(found) = t;
                    return TRUE;
                },
                reinterpret_cast<LPARAM>(&seen));
            if (buffer[0] && !seen.empty())
            {
                caption = buffer;
                text = seen;
            }
            PostMessageW(box, WM_COMMAND, IDNO, 0);
        }
    });
    SetThreadLocale(MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT));
    EXPECT_EQ(S_FALSE, RebootWindows(nullptr, IDS_REBOOT_DRIVER_SIGNATURE, 0x10002));
    returned = true;
    answer.join();
    EXPECT_EQ(L"Reboot Windows", caption);
    EXPECT_EQ(L"Press F8 until enter boot menu and select\\n\"Disable Driver Signature Enforcement\"", text);
}
