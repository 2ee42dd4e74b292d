#include "simulators/remote/RemoteControl.h"

#include "simulators/SimulatorSupport.h"

#include <shlwapi.h>

#include <algorithm>
#include <cstdlib>
#include <set>

namespace Remote
{
namespace
{
const wchar_t kClassName[] = L"KestrupRemoteController";

bool SendWaited(HWND main, UINT message, WPARAM wParam, LPARAM lParam, DWORD timeoutMs)
{
    DWORD_PTR answer = 0;
    return SendMessageTimeoutW(main, message, wParam, lParam, SMTO_NORMAL, timeoutMs, &answer) && answer != 0;
}

struct FindData
{
    DWORD processId;
    HWND found;
};

BOOL CALLBACK FindDialog(HWND window, LPARAM param)
{
    FindData& data = *reinterpret_cast<FindData*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t className[16] = {};
    GetClassNameW(window, className, 16);
    if (owner == data.processId && lstrcmpW(className, L"#32770") == 0 && IsWindowVisible(window))
    {
        data.found = window;
        return FALSE;
    }
    return TRUE;
}
} // namespace

CController::CController()
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kClassName;
    RegisterClassW(&windowClass); // a second controller finds it registered
    m_window.Reset(
        CreateWindowExW(0, kClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, GetModuleHandleW(nullptr), this));
}

CController::~CController() = default;

LRESULT CALLBACK CController::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE)
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
    auto* self = reinterpret_cast<CController*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == kFlashResult && self)
    {
        self->m_results.push_back({static_cast<unsigned>(wParam), lParam == 1, GetTickCount64()});
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

bool CController::SetImageFolder(HWND main, const std::wstring& folder, DWORD timeoutMs)
{
    COPYDATASTRUCT data = {};
    data.dwData = kSearchPathData;
    data.cbData = static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t));
    data.lpData = const_cast<wchar_t*>(folder.c_str());
    return SendWaited(main, WM_COPYDATA, reinterpret_cast<WPARAM>(m_window.Get()), reinterpret_cast<LPARAM>(&data),
                      timeoutMs);
}

bool CController::Refresh(HWND main, DWORD timeoutMs)
{
    return SendWaited(main, kRefresh, reinterpret_cast<WPARAM>(m_window.Get()), 0, timeoutMs);
}

bool CController::Flash(HWND main, DWORD timeoutMs)
{
    return SendWaited(main, kFlash, reinterpret_cast<WPARAM>(m_window.Get()), 0, timeoutMs);
}

bool CController::Pump(DWORD timeoutMs, const std::function<bool()>& done)
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;)
    {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (done())
            return true;
        const ULONGLONG now = GetTickCount64();
        if (now >= end)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(std::min<ULONGLONG>(end - now, 50)),
                                  QS_ALLINPUT);
    }
}

HWND FindMainWindow(DWORD processId, DWORD timeoutMs)
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    do
    {
        FindData data = {processId, nullptr};
        EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&data));
        if (data.found)
            return data.found;
        Sleep(50);
    } while (GetTickCount64() < end);
    return nullptr;
}

std::string ReadLog(const std::wstring& folder)
{
    WIN32_FIND_DATAW found;
    const CFindHandle search(FindFirstFileW((folder + L"\\Kestrup-*.log").c_str(), &found));
    if (!search)
        return std::string();
    std::wstring newest;
    FILETIME newestTime = {};
    do
    {
        if (newest.empty() || CompareFileTime(&found.ftLastWriteTime, &newestTime) > 0)
        {
            newest = found.cFileName;
            newestTime = found.ftLastWriteTime;
        }
    } while (FindNextFileW(search.Get(), &found));
    // The program keeps its log open for writing and lets others read it.
    const CFileHandle file(CreateFileW((folder + L"\\" + newest).c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       0, nullptr));
    if (!file)
        return std::string();
    std::string text;
    char buffer[65536];
    DWORD got = 0;
    while (text.size() < (64u << 20) && ReadFile(file.Get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
        text.append(buffer, got);
    return text;
}

JobLog ReadJobLog(const std::string& log, const std::wstring& device, const std::string& errorName)
{
    JobLog job;
    const std::string marker = "]" + Narrow(device) + "\t";
    std::set<std::string> threads;
    std::vector<std::pair<std::string, std::string>> lines; // thread, text
    size_t at = 0;
    while (at < log.size())
    {
        size_t end = log.find('\n', at);
        if (end == std::string::npos)
            end = log.size();
        std::string line = log.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t close = line.find(']');
        if (line.empty() || line[0] != '[' || close == std::string::npos)
            continue;
        const std::string thread = line.substr(1, close - 1);
        const std::string text = line.substr(close + 1);
        if (line.compare(close, marker.size(), marker) == 0)
        {
            const size_t tab = text.find('\t', marker.size() - 1);
            if (tab == std::string::npos)
                continue;
            job.seconds = std::max(job.seconds, std::atof(text.c_str() + marker.size() - 1));
            job.texts.push_back(text.substr(tab + 1));
            threads.insert(thread);
        }
        else
            lines.emplace_back(thread, text);
    }
    for (const auto& line : lines)
    {
        if (threads.count(line.first) && line.second.compare(0, errorName.size() + 1, errorName + "(") == 0)
            job.error = true;
    }
    return job;
}
} // namespace Remote
