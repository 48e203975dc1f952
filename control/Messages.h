// The messages of the result documents, as GBK (code page 936) bytes; the
// comments give their text.
#pragma once

namespace control::messages {

extern const char* const kConnectError;         // 连接错误
extern const char* const kLibraryLoadFailed;    // 动态库加载失败
extern const char* const kDeviceNotConnected;   // 设备未连接
extern const char* const kUnknownError;         // 未知错误
extern const char* const kCloseError;           // 关闭错误
extern const char* const kErrorOccurred;        // 发生错误
extern const char* const kSamNotAuthorised;     // SAM_A 没经过授权， 无法使用
extern const char* const kDriverNotFound;       // 无法找到驱动
extern const char* const kReadCardError;        // 读卡错误
extern const char* const kLibraryLinkError;     // 动态库连接错误
extern const char* const kSamIdError;           // 获取模块号错误
extern const char* const kSamIdFailed;          // 获取模块号失败

}  // namespace control::messages
