// Hosting on Windows: the calling thread is a single-threaded apartment; a
// registered control is created by COM from its ProgID, as a browser or a
// script host creates it; when the class is not registered, "ivelcard.ocx"
// beside the program is loaded directly and the host says so. The waiting
// apartment thread keeps dispatching window messages.
#include "host/ControlHost.h"
#include "host/SystemHost.h"

#include <chrono>
#include <cstdio>

#include "control/Identifiers.h"
#include "platform/CodePage.h"

namespace host {
namespace {

// How often a waiting apartment thread looks at its window messages and its
// jobs. A notification does not cut a timed wait short under Wine (with
// 20 ms one client got 114 getStatus answers a second, with 2 ms 1,160), so
// this is also how long a posted job may wait.
constexpr std::chrono::milliseconds kMessageInterval{2};

void dispatchPendingMessages() {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

// True when COM knows nothing of the class (or of its module file).
bool classUnavailable(HRESULT hr) {
    return hr == REGDB_E_CLASSNOTREG || hr == CO_E_CLASSSTRING || hr == HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND) ||
           hr == CO_E_DLLNOTFOUND;
}

}  // namespace

const char* const kModuleFileName = "ivelcard.ocx";
const char* const kRegistryHelp = " registrations go\nto the Windows registry (HKEY_CLASSES_ROOT).\n";

ApartmentScope::ApartmentScope() { ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }

// The thread stays in its apartment until it ends. Leaving it (CoUninitialize)
// makes COM free the module, and once the control has read a card that
// unload never returns on a thread other than the program's first (seen
// under Wine): the bridge's apartment thread could then never be joined.
ApartmentScope::~ApartmentScope() = default;

bool ControlHost::createRegistered(const ModuleChoice& module, std::string& error) {
    const std::u16string progId = platform::utf8ToUtf16(control::kControlProgId);
    CLSID clsid{};
    HRESULT hr = ::CLSIDFromProgID(reinterpret_cast<LPCOLESTR>(progId.c_str()), &clsid);
    if (SUCCEEDED(hr)) {
        if (control_ != nullptr) control_->Release();
        control_ = nullptr;
        hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                reinterpret_cast<void**>(&control_));
        if (SUCCEEDED(hr)) return true;
    }
    if (!classUnavailable(hr)) {
        error = "the control registered as " + std::string(control::kControlProgId) + " (" + module.path +
                ") could not be created (" + hresultText(hr) + ")";
        return false;
    }
    const ModuleChoice beside{defaultModulePath(false), ModuleSource::BesideProgram};
    std::fprintf(stderr, "ivelcard: COM cannot create %s (%s); using %s beside this program\n",
                 control::kControlProgId, hresultText(hr).c_str(), beside.path.c_str());
    return openFile(beside, error);
}

HRESULT drawView(IViewObject* view, int width, int height, std::string& bmp) {
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    HDC dc = ::CreateCompatibleDC(nullptr);
    void* bits = nullptr;
    HBITMAP bitmap = dc != nullptr ? ::CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0) : nullptr;
    HRESULT hr = E_OUTOFMEMORY;
    if (bitmap != nullptr) {
        HGDIOBJ previous = ::SelectObject(dc, bitmap);
        const RECTL bounds{0, 0, width, height};
        hr = view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, &bounds, nullptr, nullptr, 0);
        ::GdiFlush();
        if (SUCCEEDED(hr)) {
            // Rows of 24-bit pixels padded to 4 bytes, bottom row first.
            const auto size = static_cast<DWORD>((static_cast<std::size_t>(width) * 3 + 3) / 4 * 4 * height);
            const BITMAPFILEHEADER file{0x4D42, sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER) + size, 0, 0,
                                        sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER)};
            // The header the portable canvas writes: the image size given,
            // 72 dots per inch.
            BITMAPINFOHEADER header = info.bmiHeader;
            header.biSizeImage = size;
            header.biXPelsPerMeter = header.biYPelsPerMeter = 2835;
            bmp.assign(reinterpret_cast<const char*>(&file), sizeof file);
            bmp.append(reinterpret_cast<const char*>(&header), sizeof header);
            bmp.append(static_cast<const char*>(bits), size);
        }
        ::SelectObject(dc, previous);
        ::DeleteObject(bitmap);
    }
    if (dc != nullptr) ::DeleteDC(dc);
    return hr;
}

void waitPumpingMessages(std::condition_variable& wake, std::unique_lock<std::mutex>& lock,
                         const std::function<bool()>& ready) {
    while (!ready()) {
        if (wake.wait_for(lock, kMessageInterval, ready)) return;
        lock.unlock();
        dispatchPendingMessages();
        lock.lock();
    }
}

void detail::noteUnregistered(const std::string& beside) {
    std::fprintf(stderr, "ivelcard: %s is not registered; using %s beside this program\n", control::kControlProgId,
                 beside.c_str());
}

}  // namespace host
