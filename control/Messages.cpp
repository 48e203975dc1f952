// The messages as GBK bytes, spelled out so that every compiler stores the
// same bytes whatever its execution character set; the comment above each
// gives its text.
#include "control/Messages.h"

namespace control::messages {

// 连接错误
const char* const kConnectError = "\xC1\xAC\xBD\xD3\xB4\xED\xCE\xF3";
// 动态库加载失败
const char* const kLibraryLoadFailed = "\xB6\xAF\xCC\xAC\xBF\xE2\xBC\xD3\xD4\xD8\xCA\xA7\xB0\xDC";
// 设备未连接
const char* const kDeviceNotConnected = "\xC9\xE8\xB1\xB8\xCE\xB4\xC1\xAC\xBD\xD3";
// 未知错误
const char* const kUnknownError = "\xCE\xB4\xD6\xAA\xB4\xED\xCE\xF3";
// 关闭错误
const char* const kCloseError = "\xB9\xD8\xB1\xD5\xB4\xED\xCE\xF3";
// 发生错误
const char* const kErrorOccurred = "\xB7\xA2\xC9\xFA\xB4\xED\xCE\xF3";
// SAM_A 没经过授权， 无法使用
const char* const kSamNotAuthorised =
    "SAM_A \xC3\xBB\xBE\xAD\xB9\xFD\xCA\xDA\xC8\xA8\xA3\xAC \xCE\xDE\xB7\xA8\xCA\xB9\xD3\xC3";
// 无法找到驱动
const char* const kDriverNotFound = "\xCE\xDE\xB7\xA8\xD5\xD2\xB5\xBD\xC7\xFD\xB6\xAF";
// 读卡错误
const char* const kReadCardError = "\xB6\xC1\xBF\xA8\xB4\xED\xCE\xF3";
// 动态库连接错误
const char* const kLibraryLinkError = "\xB6\xAF\xCC\xAC\xBF\xE2\xC1\xAC\xBD\xD3\xB4\xED\xCE\xF3";
// 获取模块号错误
const char* const kSamIdError = "\xBB\xF1\xC8\xA1\xC4\xA3\xBF\xE9\xBA\xC5\xB4\xED\xCE\xF3";
// 获取模块号失败
const char* const kSamIdFailed = "\xBB\xF1\xC8\xA1\xC4\xA3\xBF\xE9\xBA\xC5\xCA\xA7\xB0\xDC";

}  // namespace control::messages
