#include "platform/Registry.h"

#include "platform/CodePage.h"
#include "platform/win32/ComTypes.h"
#include "platform/win32/RegistryKey.h"

// The classes root of the real registry (HKEY_CLASSES_ROOT), with UTF-8
// texts converted to the registry's UTF-16.
namespace platform {
namespace {

using win32::Key;
using win32::narrow;
using win32::wide;

bool create(const std::string& key, Key& opened) {
    return ::RegCreateKeyExW(HKEY_CLASSES_ROOT, wide(key).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_WRITE | KEY_READ, nullptr, opened.out(), nullptr) == ERROR_SUCCESS;
}

void listBelow(HKEY parent, const std::string& path, std::vector<std::string>& keys) {
    wchar_t name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = 256;
        if (::RegEnumKeyExW(parent, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        const std::string child = (path.empty() ? "" : path + "\\") + narrow(name, length);
        keys.push_back(child);
        Key opened;
        if (::RegOpenKeyExW(parent, name, 0, KEY_READ, opened.out()) == ERROR_SUCCESS) {
            listBelow(opened.get(), child, keys);
        }
    }
}

}  // namespace

bool regSetValue(const std::string& key, const std::string& name, const std::string& value) {
    Key opened;
    if (!create(key, opened)) return false;
    const std::wstring data = wide(value);
    return ::RegSetValueExW(opened.get(), name.empty() ? nullptr : wide(name).c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(data.c_str()),
                            static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool regCreateKey(const std::string& key) {
    Key opened;
    return create(key, opened);
}

std::optional<std::string> regQueryValue(const std::string& key, const std::string& name) {
    Key opened;
    if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, wide(key).c_str(), 0, KEY_READ, opened.out()) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    const std::wstring valueName = wide(name);
    DWORD type = 0;
    DWORD size = 0;
    const wchar_t* named = name.empty() ? nullptr : valueName.c_str();
    if (::RegQueryValueExW(opened.get(), named, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return std::nullopt;
    }
    std::wstring data(size / sizeof(wchar_t) + 1, L'\0');
    if (::RegQueryValueExW(opened.get(), named, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::size_t length = size / sizeof(wchar_t);
    while (length > 0 && data[length - 1] == L'\0') --length;
    return narrow(data.c_str(), length);
}

bool regKeyExists(const std::string& key) {
    Key opened;
    return ::RegOpenKeyExW(HKEY_CLASSES_ROOT, wide(key).c_str(), 0, KEY_READ, opened.out()) == ERROR_SUCCESS;
}

bool regDeleteTree(const std::string& key) {
    const std::wstring name = wide(key);
    const LSTATUS status = ::RegDeleteTreeW(HKEY_CLASSES_ROOT, name.c_str());
    if (status == ERROR_FILE_NOT_FOUND) return true;
    if (status != ERROR_SUCCESS) return false;
    // Whether or not the tree deletion took the key itself.
    const LSTATUS removed = ::RegDeleteKeyW(HKEY_CLASSES_ROOT, name.c_str());
    return removed == ERROR_SUCCESS || removed == ERROR_FILE_NOT_FOUND;
}

std::vector<std::string> regListKeys() {
    std::vector<std::string> keys;
    listBelow(HKEY_CLASSES_ROOT, "", keys);
    return keys;
}

// The real registry writes each value as it is set; a batch has nothing to
// gather, and the classes root always has a place.
RegistryBatch::RegistryBatch() = default;
RegistryBatch::~RegistryBatch() = default;
bool RegistryBatch::commit() {
    committed_ = true;
    written_ = true;
    return true;
}

std::string regStoreProblem(bool) { return {}; }

}  // namespace platform
