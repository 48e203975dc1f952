// Compiled with the GBK execution character set: every narrow literal here
// becomes GBK bytes.
#include "control/Messages.h"

namespace control::messages {

const char* const kConnectError = "连接错误";
const char* const kLibraryLoadFailed = "动态库加载失败";
const char* const kDeviceNotConnected = "设备未连接";
const char* const kUnknownError = "未知错误";
const char* const kCloseError = "关闭错误";
const char* const kErrorOccurred = "发生错误";
const char* const kSamNotAuthorised = "SAM_A 没经过授权， 无法使用";
const char* const kDriverNotFound = "无法找到驱动";
const char* const kReadCardError = "读卡错误";
const char* const kLibraryLinkError = "动态库连接错误";
const char* const kSamIdError = "获取模块号错误";
const char* const kSamIdFailed = "获取模块号失败";

}  // namespace control::messages
