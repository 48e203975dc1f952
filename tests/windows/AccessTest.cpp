// The Windows side of who may call the bridge, under Wine: the browsers'
// list policies in the registry (ours after the administrator's, only ours
// taken away, empty lists and our record removed), an allow-list in a user
// directory named in Chinese, and the user behind a loopback connection.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "bridge/AllowList.h"
#include "platform/Access.h"
#include "platform/BrowserPolicies.h"
#include "platform/HostSupport.h"

namespace {

constexpr wchar_t kChromeList[] = L"SOFTWARE\\Policies\\Google\\Chrome\\LocalNetworkAccessAllowedForUrls";
constexpr wchar_t kChromeInsecure[] = L"SOFTWARE\\Policies\\Google\\Chrome\\OverrideSecurityRestrictionsOnInsecureOrigin";

bool keyExists(const wchar_t* key) {
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ | KEY_WOW64_64KEY, &opened) != ERROR_SUCCESS) return false;
    ::RegCloseKey(opened);
    return true;
}

// The values of a list key as "NAME=DATA", in the order of their names.
std::vector<std::string> listValues(const wchar_t* key) {
    std::vector<std::string> values;
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ | KEY_WOW64_64KEY, &opened) != ERROR_SUCCESS) return values;
    for (int i = 1; i < 20; ++i) {
        wchar_t data[256] = {};
        DWORD size = sizeof data - sizeof(wchar_t);
        const std::wstring name = std::to_wstring(i);
        if (::RegQueryValueExW(opened, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size) !=
            ERROR_SUCCESS) {
            continue;
        }
        std::string text = std::to_string(i) + "=";
        for (const wchar_t* c = data; *c != 0; ++c) text += static_cast<char>(*c);
        values.push_back(text);
    }
    ::RegCloseKey(opened);
    return values;
}

platform::ManagedBrowser browser(const std::string& name) {
    for (const platform::ManagedBrowser& candidate : platform::managedBrowsers()) {
        if (candidate.name == name) return candidate;
    }
    return {};
}

TEST(BrowserPolicies, OursComeAfterTheAdministratorsAndOnlyOursGo) {
    EXPECT_EQ(browser("Chrome").location, "HKLM\\SOFTWARE\\Policies\\Google\\Chrome");
    EXPECT_EQ(browser("Edge").location, "HKLM\\SOFTWARE\\Policies\\Microsoft\\Edge");
    HKEY list = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kChromeList, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr,
                                &list, nullptr),
              ERROR_SUCCESS);
    const wchar_t admin[] = L"https://intranet.example";
    ::RegSetValueExW(list, L"1", 0, REG_SZ, reinterpret_cast<const BYTE*>(admin), sizeof admin);
    ::RegCloseKey(list);

    std::string error;
    bool denied = false;
    const platform::PolicyLists ours = {
        {"LocalNetworkAccessAllowedForUrls", {"https://desk.example.org", "http://desk.example.test:8080"}},
        {"OverrideSecurityRestrictionsOnInsecureOrigin", {"http://desk.example.test:8080"}}};
    for (const char* name : {"Chrome", "Edge"}) {
        ASSERT_TRUE(platform::writeOwnPolicies(browser(name), ours, error, denied)) << error;
        platform::PolicyLists read;
        ASSERT_TRUE(platform::readOwnPolicies(browser(name), read, error)) << error;
        EXPECT_EQ(read, ours) << name;
    }
    EXPECT_EQ(listValues(kChromeList), (std::vector<std::string>{"1=https://intranet.example", "2=https://desk.example.org",
                                                                  "3=http://desk.example.test:8080"}));
    EXPECT_EQ(listValues(kChromeInsecure), (std::vector<std::string>{"1=http://desk.example.test:8080"}));
    EXPECT_EQ(listValues(L"SOFTWARE\\Policies\\Microsoft\\Edge\\LocalNetworkAccessAllowedForUrls"),
              (std::vector<std::string>{"1=https://desk.example.org", "2=http://desk.example.test:8080"}));

    // One origin taken away: the list closes up, the emptied list goes.
    ASSERT_TRUE(platform::writeOwnPolicies(
        browser("Chrome"), {{"LocalNetworkAccessAllowedForUrls", {"https://desk.example.org"}}}, error, denied))
        << error;
    EXPECT_EQ(listValues(kChromeList),
              (std::vector<std::string>{"1=https://intranet.example", "2=https://desk.example.org"}));
    EXPECT_FALSE(keyExists(kChromeInsecure));

    // All of ours taken away: the administrator's entry stays, nothing of
    // ours (nor our record) remains.
    for (const char* name : {"Chrome", "Edge"}) {
        ASSERT_TRUE(platform::writeOwnPolicies(browser(name), {}, error, denied)) << error;
    }
    EXPECT_EQ(listValues(kChromeList), (std::vector<std::string>{"1=https://intranet.example"}));
    EXPECT_FALSE(keyExists(L"SOFTWARE\\Policies\\Microsoft\\Edge"));
    EXPECT_FALSE(keyExists(L"SOFTWARE\\Ivelcard"));
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\Google");
}

TEST(AllowList, AUserDirectoryNamedInChineseIsReadAndChecked) {
    // %APPDATA% of a desk user named 张三: the directory is UTF-8 (not the
    // ANSI code page's bytes), and the file in it is read and checked.
    wchar_t temporary[MAX_PATH];
    ASSERT_GT(::GetTempPathW(MAX_PATH, temporary), 0u);
    const std::wstring appData = std::wstring(temporary) + L"\x5F20\x4E09";
    ASSERT_TRUE(::CreateDirectoryW(appData.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(::SetEnvironmentVariableW(L"APPDATA", appData.c_str()));
    const std::string directory = platform::userConfigDirectory();
    ASSERT_GE(directory.size(), 16u);
    EXPECT_EQ(directory.substr(directory.size() - 16), "\\\xE5\xBC\xA0\xE4\xB8\x89\\Ivelcard");
    const std::wstring file = appData + L"\\Ivelcard\\bridge.json";
    ASSERT_TRUE(::CreateDirectoryW((appData + L"\\Ivelcard").c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS);
    const std::string text = R"({"allowOrigins": ["https://desk.example.org"]})";
    HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ::WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    ::CloseHandle(handle);

    const std::string path = directory + "\\bridge.json";
    bridge::AllowListFiles files({path}, [](const std::string& line) { ADD_FAILURE() << line; });
    ASSERT_TRUE(files.load());
    EXPECT_EQ(files.origins(), std::vector<std::string>{"https://desk.example.org"});
    EXPECT_EQ(platform::othersMayChange(path), "");
    ::DeleteFileW(file.c_str());
    ::RemoveDirectoryW((appData + L"\\Ivelcard").c_str());
    ::RemoveDirectoryW(appData.c_str());
}

TEST(PeerUser, ALoopbackConnectionOfThisProcessIsThisUsers) {
    WSADATA data;
    ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
    const SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const SOCKET client = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const SOCKET accepted = ::accept(listener, nullptr, nullptr);
    ASSERT_NE(accepted, INVALID_SOCKET);

    const auto endpoint = [](SOCKET socket, bool peer) {
        sockaddr_in name{};
        int size = sizeof name;
        peer ? ::getpeername(socket, reinterpret_cast<sockaddr*>(&name), &size)
             : ::getsockname(socket, reinterpret_cast<sockaddr*>(&name), &size);
        platform::TcpEndpoint converted;
        std::memcpy(converted.address.data(), &name.sin_addr, 4);
        converted.port = ntohs(name.sin_port);
        return converted;
    };
    std::string why;
    const platform::PeerUser user = platform::peerUser(endpoint(accepted, false), endpoint(accepted, true), why);
    EXPECT_EQ(user, platform::PeerUser::Same) << why;
    // No socket has these ends: unknown, and why.
    platform::TcpEndpoint nowhere = endpoint(accepted, true);
    nowhere.port = 1;
    why.clear();
    EXPECT_EQ(platform::peerUser(endpoint(accepted, false), nowhere, why), platform::PeerUser::Unknown);
    // (Under Wine the Unix side is asked first: its table is the one named.)
    EXPECT_TRUE(why == "the peer's socket is not in the TCP table" || why == "the peer's socket is not in /proc/net/tcp")
        << why;
    ::closesocket(accepted);
    ::closesocket(client);
    ::closesocket(listener);
    ::WSACleanup();
}

}  // namespace
