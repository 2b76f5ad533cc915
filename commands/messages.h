// The service's fixed texts. Chinese texts are stored in code page 936 and go
// through ToUtf8 before they are sent.
#pragma once

namespace msg {

// Messages to the page.
inline constexpr const char* kClear = "{\"typeName\":\"TavoClear\"}";
inline constexpr const char* kOK = "{\"typeName\":\"TavoOK\"}";
inline constexpr const char* kCancel = "{\"typeName\":\"TavoCancel\"}";
// {"typeName":"TavoUnSign","message":"请确认是否签字"}
inline constexpr const char* kUnSign =
    "{\"typeName\":\"TavoUnSign\",\"message\":\""
    "\xc7\xeb\xc8\xb7\xc8\xcf\xca\xc7\xb7\xf1\xc7\xa9\xd7\xd6"
    "\"}";
// {"typeName":"TavoError","message":"开始签字失败"}
inline constexpr const char* kError =
    "{\"typeName\":\"TavoError\",\"message\":\""
    "\xbf\xaa\xca\xbc\xc7\xa9\xd7\xd6\xca\xa7\xb0\xdc"
    "\"}";

// Pen data, for a page that asked for it: the head of each message; the
// text of its samples and kTextTail follow.
inline constexpr const char* kPenDataHead = "{\"typeName\":\"TavoPenData\",\"message\":\"";
inline constexpr const char* kSignDataHead = "{\"typeName\":\"TavoSignData\",\"message\":\"";
// Sealed evidence: the compact JWE follows.
inline constexpr const char* kSignEvidenceHead =
    "{\"typeName\":\"TavoSignEvidence\",\"message\":\"";
inline constexpr const char* kTextTail = "\"}";

// Log texts (tag "error").
inline constexpr const char* kLogOpenFailed =
    "\xb4\xf2\xbf\xaa\xc9\xe8\xb1\xb8\xca\xa7\xb0\xdc";  // 打开设备失败
inline constexpr const char* kLogSignCommandFailed =     // 向设备发送签名消息失败
    "\xcf\xf2\xc9\xe8\xb1\xb8\xb7\xa2\xcb\xcd\xc7\xa9\xc3\xfb\xcf\xfb\xcf\xa2\xca\xa7\xb0\xdc";
inline constexpr const char* kLogFingerSymbolsMissing =  // 定位ZAZAPIt.dll中的所需函数失败!
    "\xb6\xa8\xce\xbb"
    "ZAZAPIt.dll"
    "\xd6\xd0\xb5\xc4\xcb\xf9\xd0\xe8\xba\xaf\xca\xfd\xca\xa7\xb0\xdc!";
inline constexpr const char* kLogAutostartFailed =
    "\xb7\xfe\xce\xf1\xd7\xd4\xc6\xf4\xb6\xaf\xca\xa7\xb0\xdc";  // 服务自启动失败

// Message-box texts, in UTF-8 (the desktop's encoding).
inline constexpr const char* kBoxReaderOpenFailed = u8"无法打开指纹设备";
inline constexpr const char* kBoxImageToBmpFailed = u8"图像数据转bmp失败";

}  // namespace msg
