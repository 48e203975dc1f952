// ivelcard-bridge.exe: the browser bridge for a Windows desk.
//
//   ivelcard-bridge [--port N] [--allow-origin ORIGIN]... [--web-root DIR]
//   ivelcard-bridge --install-autostart | --remove-autostart
//
// The same service as `ivelcard serve`, without a console window: one per
// log-on session (a second start leaves the first serving and exits 0), its
// log lines in %LOCALAPPDATA%\Ivelcard\bridge.log (at most 1 MiB, the file
// before it kept as bridge.old.log), and an icon in the notification area
// whose tooltip tells the port and the reader's state and whose menu opens
// the demo page, opens the log or quits. Quit, WM_CLOSE and the end of the
// session stop the service the way SIGTERM does: the call in progress
// finishes, the port is released. --install-autostart / --remove-autostart
// write and remove the user's Run value, which starts it at log-on.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bridge/Serve.h"
#include "bridge/Server.h"
#include "host/ControlHost.h"
#include "platform/CodePage.h"
#include "platform/HostSupport.h"
#include "platform/System.h"

namespace {

constexpr wchar_t kInstanceMutex[] = L"Local\\Ivelcard.Bridge";
constexpr wchar_t kWindowClass[] = L"Ivelcard.Bridge";
constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kRunValue[] = L"Ivelcard Bridge";
constexpr std::uintmax_t kLogLimit = 1 << 20;

// Messages from the service thread to the window.
constexpr UINT kStarted = WM_APP + 1;      // wParam: the port
constexpr UINT kReaderState = WM_APP + 2;  // wParam: 1 ready, 0 absent
constexpr UINT kServiceEnded = WM_APP + 3; // wParam: the exit status
constexpr UINT kTrayEvent = WM_APP + 4;

enum MenuCommand : UINT { kOpenDemo = 1, kOpenLog, kQuit };

std::wstring wide(const std::string& text) {
    const std::u16string utf16 = platform::utf8ToUtf16(text);
    return std::wstring(utf16.begin(), utf16.end());
}

std::wstring programPath() {
    std::wstring path(32768, L'\0');
    path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path;
}

// ------------------------------------------------------------------ the log

// Appends lines to the log file, kept open (opening it for each line cost
// more than answering most requests); when it would grow past kLogLimit it
// becomes bridge.old.log and a new one is started. The lines also go to
// standard error, which a program started from a console or a test has.
class Log {
public:
    ~Log() { close(); }

    void open(const std::wstring& directory) {
        if (directory.empty()) return;
        const int made = ::SHCreateDirectoryExW(nullptr, directory.c_str(), nullptr);
        if (made != ERROR_SUCCESS && made != ERROR_ALREADY_EXISTS) return;
        path_ = directory + L"\\bridge.log";
        older_ = directory + L"\\bridge.old.log";
    }
    const std::wstring& path() const { return path_; }

    void write(std::string_view line) {
        std::lock_guard lock(mutex_);
        std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
        std::fflush(stderr);
        if (path_.empty()) return;
        SYSTEMTIME now;
        ::GetLocalTime(&now);
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u ", now.wYear, now.wMonth, now.wDay,
                      now.wHour, now.wMinute, now.wSecond);
        const std::string text = stamp + std::string(line) + "\r\n";
        if (file_ == INVALID_HANDLE_VALUE) reopen();
        if (file_ != INVALID_HANDLE_VALUE && size_ > 0 && size_ + text.size() > kLogLimit) {
            close();
            ::MoveFileExW(path_.c_str(), older_.c_str(), MOVEFILE_REPLACE_EXISTING);
            reopen();
        }
        if (file_ == INVALID_HANDLE_VALUE) return;
        DWORD written = 0;
        if (::WriteFile(file_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
            size_ += written;
        } else {
            close();  // opened again for the next line
        }
    }

private:
    void reopen() {
        // Appends only; others may read it, and the second start of the
        // bridge may add its line.
        file_ = ::CreateFileW(path_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        LARGE_INTEGER size{};
        size_ = file_ != INVALID_HANDLE_VALUE && ::GetFileSizeEx(file_, &size) ? static_cast<std::uintmax_t>(size.QuadPart)
                                                                               : 0;
    }
    void close() {
        if (file_ != INVALID_HANDLE_VALUE) ::CloseHandle(file_);
        file_ = INVALID_HANDLE_VALUE;
    }

    std::mutex mutex_;
    std::wstring path_;
    std::wstring older_;
    HANDLE file_ = INVALID_HANDLE_VALUE;
    std::uintmax_t size_ = 0;
};

Log theLog;

// ------------------------------------------------------------- autostart

int installAutostart(bool install) {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, kRunKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        theLog.write("cannot open the Run key");
        return 1;
    }
    LSTATUS status;
    if (install) {
        const std::wstring command = L"\"" + programPath() + L"\"";
        status = ::RegSetValueExW(key, kRunValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                                  static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
    } else {
        status = ::RegDeleteValueW(key, kRunValue);
        if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
    }
    ::RegCloseKey(key);
    theLog.write(std::string(install ? "autostart installed" : "autostart removed") +
                 (status == ERROR_SUCCESS ? "" : ": failed"));
    return status == ERROR_SUCCESS ? 0 : 1;
}

// ------------------------------------------------------ the service thread

struct Service {
    std::thread thread;
    std::mutex mutex;
    std::function<void()> stop;  // from onStarted
    bool stopWanted = false;     // asked before the service listened
    unsigned short port = 0;
    bool readerReady = false;
    bool ended = false;
    int status = 0;

    // Stops the service now, or as soon as it listens.
    void requestStop() {
        std::function<void()> stopNow;
        {
            std::lock_guard lock(mutex);
            stopWanted = true;
            stopNow = stop;
        }
        if (stopNow) stopNow();
    }
};

Service service;
NOTIFYICONDATAW icon{};
bool iconShown = false;
UINT taskbarCreated = 0;

std::wstring tooltip() {
    std::wstring text = L"Ivelcard 读卡服务";
    if (service.port == 0) return text + L" · 正在启动";
    text += L" · 端口 " + std::to_wstring(service.port) + L" · ";
    if (!service.readerReady) return text + L"未连接";
    return text + (IVELCARD_VIRTUAL_READER_EMBEDDED != 0 ? L"虚拟读卡器" : L"就绪");
}

void updateIcon(HWND window, DWORD action) {
    icon.cbSize = sizeof icon;
    icon.hWnd = window;
    icon.uID = 1;
    icon.uFlags = NIF_ICON | NIF_MESSAGE | NIF_TIP;
    icon.uCallbackMessage = kTrayEvent;
    icon.hIcon = ::LoadIconW(nullptr, MAKEINTRESOURCEW(32512));  // IDI_APPLICATION
    const std::wstring tip = tooltip();
    lstrcpynW(icon.szTip, tip.c_str(), static_cast<int>(std::size(icon.szTip)));
    if (action == NIM_MODIFY && !iconShown) action = NIM_ADD;
    const bool done = ::Shell_NotifyIconW(action, &icon) != FALSE;
    if (action == NIM_ADD) iconShown = done;
    if (action == NIM_DELETE) iconShown = false;
}

void openInShell(const std::wstring& target) {
    ::ShellExecuteW(nullptr, L"open", target.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void showMenu(HWND window) {
    HMENU menu = ::CreatePopupMenu();
    ::AppendMenuW(menu, MF_STRING | (service.port == 0 ? MF_GRAYED : 0), kOpenDemo, L"打开演示页");
    ::AppendMenuW(menu, MF_STRING, kOpenLog, L"打开日志");
    ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    ::AppendMenuW(menu, MF_STRING, kQuit, L"退出");
    POINT at;
    ::GetCursorPos(&at);
    ::SetForegroundWindow(window);
    ::TrackPopupMenu(menu, TPM_RIGHTBUTTON, at.x, at.y, 0, window, nullptr);
    ::DestroyMenu(menu);
}

// Stops the service and waits until it has ended: the call in progress
// finishes and the port is released.
void stopAndWait() {
    service.requestStop();
    if (service.thread.joinable()) service.thread.join();
}

LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case kStarted:
        service.port = static_cast<unsigned short>(wParam);
        updateIcon(window, NIM_MODIFY);
        return 0;
    case kReaderState:
        service.readerReady = wParam != 0;
        updateIcon(window, NIM_MODIFY);
        return 0;
    case kServiceEnded:
        ::DestroyWindow(window);
        return 0;
    case kTrayEvent:
        if (LOWORD(lParam) == WM_RBUTTONUP || LOWORD(lParam) == WM_LBUTTONUP || LOWORD(lParam) == WM_CONTEXTMENU) {
            showMenu(window);
        }
        return 0;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case kOpenDemo: openInShell(L"http://127.0.0.1:" + std::to_wstring(service.port) + L"/demo/"); break;
        case kOpenLog: openInShell(theLog.path()); break;
        case kQuit: service.requestStop(); break;
        }
        return 0;
    case WM_CLOSE:
        theLog.write("closing");
        service.requestStop();
        return 0;
    case WM_QUERYENDSESSION: return TRUE;
    case WM_ENDSESSION:
        // The process may end as soon as this returns: finish here.
        if (wParam != 0) {
            theLog.write("the session ends");
            stopAndWait();
            updateIcon(window, NIM_DELETE);
        }
        return 0;
    case WM_DESTROY:
        updateIcon(window, NIM_DELETE);
        ::PostQuitMessage(0);
        return 0;
    default:
        if (message == taskbarCreated && taskbarCreated != 0) {
            iconShown = false;
            updateIcon(window, NIM_ADD);
            return 0;
        }
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

HWND createWindow() {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = windowProcedure;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kWindowClass;
    ::RegisterClassExW(&windowClass);
    // A hidden top-level window (not message-only): it hears the end of the
    // session and WM_CLOSE from outside.
    return ::CreateWindowExW(0, kWindowClass, L"Ivelcard Bridge", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                             windowClass.hInstance, nullptr);
}

void startService(HWND window, const std::vector<std::string>& args) {
    bridge::ServerOptions options;
    options.log = [](std::string_view line) { theLog.write(line); };
    options.onStarted = [window](unsigned short port, std::function<void()> stop) {
        bool stopNow;
        {
            std::lock_guard lock(service.mutex);
            service.stop = stop;
            stopNow = service.stopWanted;
        }
        ::PostMessageW(window, kStarted, port, 0);
        if (stopNow) stop();
    };
    options.onReaderState = [window](std::string_view state) {
        ::PostMessageW(window, kReaderState, state == "ready" ? 1 : 0, 0);
    };
    service.thread = std::thread([window, args, options] {
        const int status = bridge::serve(host::chooseModule(""), args, options);
        theLog.write("stopped with status " + std::to_string(status));
        {
            std::lock_guard lock(service.mutex);
            service.ended = true;
            service.status = status;
        }
        ::PostMessageW(window, kServiceEnded, static_cast<WPARAM>(status), 0);
    });
}

}  // namespace

int main(int argc, char** argv) {
    platform::reserveStandardOutput();
    std::vector<std::string> args(argv + 1, argv + argc);
    theLog.open(wide(platform::logDirectory()));
    if (args.size() == 1 && (args[0] == "--install-autostart" || args[0] == "--remove-autostart")) {
        return installAutostart(args[0] == "--install-autostart");
    }
    HANDLE instance = ::CreateMutexW(nullptr, FALSE, kInstanceMutex);
    if (instance == nullptr || ::GetLastError() == ERROR_ALREADY_EXISTS) {
        theLog.write("already running in this session");
        return 0;
    }
    theLog.write("starting");
    taskbarCreated = ::RegisterWindowMessageW(L"TaskbarCreated");
    HWND window = createWindow();
    if (window == nullptr) {
        theLog.write("cannot create the window");
        return 1;
    }
    updateIcon(window, NIM_ADD);
    startService(window, args);
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    if (service.thread.joinable()) service.thread.join();
    ::CloseHandle(instance);
    return service.status;
}
