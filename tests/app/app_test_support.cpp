#include "tests/app/app_test_support.h"

#include <shellapi.h>

#include <cstdio>
#include <vector>

#include "tests/support/test_support.h"
#include "update/update_logic.h"

namespace qv::test {

FakeWorkerScript& Script() {
    static FakeWorkerScript script;
    return script;
}

void ResetScript() {
    FakeWorkerScript& script = Script();
    script.result = 0;
    script.done = kUpdateDoneFinished;
    script.fail_start = false;
    script.hold_until_stop = false;
    script.linger_after_stop_ms = 0;
    script.starts = 0;
    script.stop_seen = false;
    script.returned = false;
    script.returned_at = 0;
    script.progress = ProgressFigures();
}

bool FakeWorker::Start() noexcept {
    if (Script().fail_start) {
        return false;
    }
    const bool started = CThreadEx::Start();
    if (started) {
        ++Script().starts;
    }
    return started;
}

int FakeWorker::Run() {
    FakeWorkerScript& script = Script();
    int result = script.result;
    if (script.hold_until_stop) {
        while (!IsStopRequested()) {
            Sleep(5);
        }
    }
    if (IsStopRequested()) {
        script.stop_seen = true;
        Sleep(script.linger_after_stop_ms);
        result = UPDATE_STOPPED;
    }
    PostToWindow(WM_UPDATEDONE, script.done, result);
    script.returned_at = GetTickCount();
    script.returned = true;
    return result;
}

namespace {

struct WindowSearch {
    DWORD process;
    DWORD thread;
    const wchar_t* class_name;
    const wchar_t* caption;  // null: any
    bool visible_only;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<WindowSearch*>(context);
    DWORD process = 0;
    const DWORD thread = GetWindowThreadProcessId(window, &process);
    if ((search->thread != 0 && thread != search->thread) ||
        (search->process != 0 && process != search->process)) {
        return TRUE;
    }
    if (search->visible_only && !IsWindowVisible(window)) {
        return TRUE;
    }
    wchar_t class_name[64] = {};
    GetClassNameW(window, class_name, 64);
    if (lstrcmpW(class_name, search->class_name) != 0) {
        return TRUE;
    }
    if (search->caption != nullptr) {
        wchar_t caption[64] = {};
        GetWindowTextW(window, caption, 64);
        if (lstrcmpW(caption, search->caption) != 0) {
            return TRUE;
        }
    }
    search->found = window;
    return FALSE;
}

HWND Search(WindowSearch search) {
    EnumWindows(&MatchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::wstring BesideTests(const std::wstring& relative) {
    std::wstring path = ThisExecutable();
    path.resize(path.find_last_of(L'\\') + 1);
    return path + relative;
}

}  // namespace

HWND FindUpdateWindow(DWORD process, DWORD thread) {
    return Search({process, thread, L"#32770", L"Update", false, nullptr});
}

HWND FindPopupMenu(DWORD thread) {
    return Search({0, thread, L"#32768", nullptr, true, nullptr});
}

bool TrayIconExists(HWND window, UINT id) {
    NOTIFYICONDATAW probe = {};
    probe.cbSize = NOTIFYICONDATAW_V3_SIZE;
    probe.hWnd = window;
    probe.uID = id;
    return Shell_NotifyIconW(NIM_MODIFY, &probe) != FALSE;
}

void PumpFor(DWORD ms) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

std::wstring UpdateExePath() {
    return BesideTests(QV_UPDATE_EXE_FROM_TESTS);
}
std::wstring HomeMarkerExePath() {
    return BesideTests(L"app_home_marker.exe");
}
std::wstring PlantedDllPath() {
    return BesideTests(QV_PLANTED_DLL_FROM_TESTS);
}
std::wstring BesideTestsPath(const std::wstring& name) {
    return BesideTests(name);
}

bool WriteConfig(const std::wstring& directory, const std::wstring& home,
                 const std::wstring& upddir) {
    return WriteFileBytes(directory + L"\\cfg.ini", "[urls]\r\nhome=" + Narrow(home) +
                                                        "\r\nupddir=" + Narrow(upddir) + "\r\n");
}

UpdaterProcess::UpdaterProcess(const std::wstring& exe, const std::wstring& arguments) {
    std::wstring line = L"\"" + exe + L"\"";
    if (!arguments.empty()) {
        line += L" " + arguments;
    }
    std::vector<wchar_t> mutable_line(line.begin(), line.end());
    mutable_line.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    started_at_ = GetTickCount();
    if (CreateProcessW(nullptr, mutable_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &startup, &info)) {
        process_.reset(info.hProcess);
        UniqueKernelHandle thread(info.hThread);
        id_ = info.dwProcessId;
    }
}

int UpdaterProcess::Wait(DWORD timeout_ms) {
    if (!process_) {
        return -1;
    }
    if (WaitForSingleObject(process_.get(), timeout_ms) != WAIT_OBJECT_0) {
        TerminateProcess(process_.get(), 99);
        WaitForSingleObject(process_.get(), 5000);
        return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process_.get(), &code);
    return static_cast<int>(code);
}

bool UpdaterProcess::Running() const {
    return process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
}

HWND UpdaterProcess::WaitForWindow(DWORD timeout_ms) const {
    HWND window = nullptr;
    WaitFor([&] { return (window = FindUpdateWindow(id_)) != nullptr || !Running(); }, timeout_ms);
    return window;
}

bool UnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace qv::test
