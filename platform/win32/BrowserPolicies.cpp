#include "platform/BrowserPolicies.h"

#include "platform/CodePage.h"
#include "platform/win32/ComTypes.h"
#include "platform/win32/RegistryKey.h"

#include <algorithm>

namespace platform {
namespace {

using win32::Key;
using win32::narrow;
using win32::wide;

struct PolicyKey {
    const char* name;
    const char* key;  // below HKLM
};
constexpr PolicyKey kPolicyKeys[] = {
    {"Chrome", "SOFTWARE\\Policies\\Google\\Chrome"},
    {"Edge", "SOFTWARE\\Policies\\Microsoft\\Edge"},
};
// Where the entries this program added are remembered, per browser and list.
constexpr char kRecordKey[] = "SOFTWARE\\Ivelcard\\BrowserPolicies";
// Empty keys are removed up to (not including) these.
constexpr char kPoliciesKey[] = "SOFTWARE\\Policies";
constexpr char kSoftwareKey[] = "SOFTWARE";
// Policies are machine-wide: the same view for a 32-bit program.
constexpr REGSAM kView = KEY_WOW64_64KEY;

bool isDenied(LSTATUS status) { return status == ERROR_ACCESS_DENIED; }

const PolicyKey* policyKey(const ManagedBrowser& browser) {
    for (const PolicyKey& key : kPolicyKeys) {
        if (browser.name == key.name) return &key;
    }
    return nullptr;
}

// The entries "1", "2", … of a list key, in order; empty when it is missing.
std::vector<std::string> readList(const std::string& key) {
    std::vector<std::string> entries;
    Key opened;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, wide(key).c_str(), 0, KEY_READ | kView, opened.out()) != ERROR_SUCCESS) {
        return entries;
    }
    for (int index = 1;; ++index) {
        wchar_t data[2048];
        DWORD size = sizeof data - sizeof(wchar_t);
        DWORD type = 0;
        const std::wstring name = std::to_wstring(index);
        if (::RegQueryValueExW(opened.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
                ERROR_SUCCESS ||
            type != REG_SZ) {
            break;
        }
        std::size_t length = size / sizeof(wchar_t);
        while (length > 0 && data[length - 1] == L'\0') --length;
        entries.push_back(narrow(data, length));
    }
    return entries;
}

// Removes `key` and then its parents up to `keep` while they hold nothing.
void removeEmptyKeys(std::string key, const std::string& keep) {
    while (key.size() > keep.size() && key.compare(0, keep.size(), keep) == 0) {
        if (::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, wide(key).c_str(), kView, 0) != ERROR_SUCCESS) return;
        key = key.substr(0, key.rfind('\\'));
    }
}

// Makes the list key hold exactly `entries` as "1", "2", …; removes it (and
// parents that become empty) when `entries` is empty.
LSTATUS writeList(const std::string& key, const std::vector<std::string>& entries, const std::string& keep) {
    const std::size_t before = readList(key).size();
    if (entries.empty() && before == 0) return ERROR_SUCCESS;
    Key opened;
    LSTATUS status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, wide(key).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                       KEY_READ | KEY_WRITE | kView, nullptr, opened.out(), nullptr);
    if (status != ERROR_SUCCESS) return status;
    for (std::size_t i = 0; i < entries.size() && status == ERROR_SUCCESS; ++i) {
        const std::wstring name = std::to_wstring(i + 1);
        const std::wstring data = wide(entries[i]);
        status = ::RegSetValueExW(opened.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                                  static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    }
    for (std::size_t i = entries.size(); i < before && status == ERROR_SUCCESS; ++i) {
        status = ::RegDeleteValueW(opened.get(), std::to_wstring(i + 1).c_str());
    }
    if (status == ERROR_SUCCESS && entries.empty()) {
        DWORD subkeys = 0;
        DWORD values = 0;
        ::RegQueryInfoKeyW(opened.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                           nullptr, nullptr, nullptr);
        if (subkeys == 0 && values == 0) {
            opened.close();
            removeEmptyKeys(key, keep);
        }
    }
    return status;
}

std::vector<std::string> listNames(const std::string& key) {
    std::vector<std::string> names;
    Key opened;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, wide(key).c_str(), 0, KEY_READ | kView, opened.out()) != ERROR_SUCCESS) {
        return names;
    }
    wchar_t name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = 256;
        if (::RegEnumKeyExW(opened.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        names.push_back(narrow(name, length));
    }
    return names;
}

bool contains(const std::vector<std::string>& list, const std::string& entry) {
    return std::find(list.begin(), list.end(), entry) != list.end();
}

}  // namespace

std::vector<ManagedBrowser> managedBrowsers() {
    std::vector<ManagedBrowser> browsers;
    for (const PolicyKey& key : kPolicyKeys) browsers.push_back({key.name, std::string("HKLM\\") + key.key});
    return browsers;
}

bool readOwnPolicies(const ManagedBrowser& browser, PolicyLists& lists, std::string& error) {
    lists.clear();
    const PolicyKey* key = policyKey(browser);
    if (key == nullptr) {
        error = "no policies for " + browser.name;
        return false;
    }
    const std::string record = std::string(kRecordKey) + "\\" + browser.name;
    for (const std::string& name : listNames(record)) lists[name] = readList(record + "\\" + name);
    return true;
}

bool writeOwnPolicies(const ManagedBrowser& browser, const PolicyLists& lists, std::string& error, bool& denied) {
    denied = false;
    const PolicyKey* key = policyKey(browser);
    if (key == nullptr) {
        error = "no policies for " + browser.name;
        return false;
    }
    PolicyLists ours;
    if (!readOwnPolicies(browser, ours, error)) return false;
    std::vector<std::string> names;
    for (const auto& [name, entries] : ours) names.push_back(name);
    for (const auto& [name, entries] : lists) {
        if (!contains(names, name)) names.push_back(name);
    }
    const std::string record = std::string(kRecordKey) + "\\" + browser.name;
    for (const std::string& name : names) {
        const std::string listKey = std::string(key->key) + "\\" + name;
        const auto wantedFound = lists.find(name);
        const std::vector<std::string> wanted = wantedFound == lists.end() ? std::vector<std::string>() : wantedFound->second;
        const std::vector<std::string>& had = ours[name];
        // The administrator's entries keep their order; ours that are no
        // longer wanted go, the new ones come last.
        std::vector<std::string> entries;
        for (const std::string& entry : readList(listKey)) {
            if (!contains(had, entry) || contains(wanted, entry)) entries.push_back(entry);
        }
        std::vector<std::string> kept;
        for (const std::string& entry : wanted) {
            if (contains(had, entry)) {
                kept.push_back(entry);
            } else if (!contains(entries, entry)) {
                entries.push_back(entry);
                kept.push_back(entry);
            }
        }
        LSTATUS status = writeList(listKey, entries, kPoliciesKey);
        if (status == ERROR_SUCCESS) status = writeList(record + "\\" + name, kept, kSoftwareKey);
        if (status != ERROR_SUCCESS) {
            denied = isDenied(status);
            error = "cannot write HKLM\\" + listKey + " (error " + std::to_string(status) + ")";
            return false;
        }
    }
    return true;
}

}  // namespace platform
