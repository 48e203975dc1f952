// What the Windows registry code shares: UTF-8 texts to and from the
// registry's UTF-16, and an open key closed when it goes out of scope.
#pragma once

#include <string>
#include <string_view>

#include "platform/CodePage.h"
#include "platform/win32/ComTypes.h"

namespace platform::win32 {

inline std::wstring wide(const std::string& text) {
    const std::u16string converted = utf8ToUtf16(text);
    return std::wstring(converted.begin(), converted.end());
}

inline std::string narrow(const wchar_t* text, std::size_t length) {
    return utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), length));
}

class Key {
public:
    Key() = default;
    ~Key() { close(); }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY* out() { return &key_; }
    HKEY get() const { return key_; }
    void close() {
        if (key_ != nullptr) ::RegCloseKey(key_);
        key_ = nullptr;
    }

private:
    HKEY key_ = nullptr;
};

}  // namespace platform::win32
