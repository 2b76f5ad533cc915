// The Windows parts of the service executable, seen from outside under Wine:
// the named mutex of a second start, the Run value, the log file's name and
// its code page 936 lines, and the policy port.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/shell/service_copy.h"
#include "tests/support/harness.h"

namespace {

namespace fs = std::filesystem;

const std::string kError = u8"{\"typeName\":\"TavoError\",\"message\":\"开始签字失败\"}";
// "打开设备失败" in code page 936.
const std::string kOpenFailed936 = "\xb4\xf2\xbf\xaa\xc9\xe8\xb1\xb8\xca\xa7\xb0\xdc";

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

struct RunValue {
    bool found = false;
    DWORD type = 0;
    std::wstring stored;
    std::string data;
};

RunValue ReadRunValue() {
    RunValue value;
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", 0,
                      KEY_READ, &key) != ERROR_SUCCESS)
        return value;
    // Read as stored: the A call would convert and terminate the text.
    wchar_t data[1024];
    DWORD size = sizeof data;
    if (RegQueryValueExW(key, L"Penmora.exe", nullptr, &value.type, reinterpret_cast<BYTE*>(data),
                         &size) == ERROR_SUCCESS) {
        value.found = true;
        value.stored.assign(data, size / sizeof(wchar_t));
        const int n = WideCharToMultiByte(CP_ACP, 0, value.stored.data(),
                                          static_cast<int>(value.stored.size()), nullptr, 0,
                                          nullptr, nullptr);
        value.data.assign(static_cast<size_t>(n), '\0');
        WideCharToMultiByte(CP_ACP, 0, value.stored.data(), static_cast<int>(value.stored.size()),
                            value.data.data(), n, nullptr, nullptr);
        while (!value.data.empty() && value.data.back() == '\0') value.data.pop_back();
    }
    RegCloseKey(key);
    return value;
}

bool SameFile(const std::string& a, const std::string& b) {
    std::error_code error;
    return fs::equivalent(a, b, error);
}

TEST_F(ServiceTest, ASecondStartFindsTheNamedMutexAndReturnsZero) {
    Service first("Penmora");
    ASSERT_TRUE(first.WaitServing());
    // The mutex is named after the executable's file name, without a prefix.
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, "Penmora.exe");
    EXPECT_NE(mutex, nullptr);
    if (mutex) CloseHandle(mutex);

    Service second("Penmora");
    EXPECT_TRUE(ExitedWithZero(second.WaitExit()));
    EXPECT_FALSE(fs::exists(second.folder() + "/log"));
    EXPECT_EQ(first.WaitExit(0), std::nullopt);
    WsPeer peer(kPort);
    ASSERT_TRUE(peer.Connected());
    ASSERT_TRUE(peer.Send(R"({"typeName":"TavoStartSign"})"));
    EXPECT_EQ(peer.Receive(), kError);
}

TEST_F(ServiceTest, TheRunValueNamesTheExecutableThatStartedLast) {
    Service first("Penmora");
    ASSERT_TRUE(first.WaitServing());
    const fs::path firstExe = fs::path(first.folder()) / "Penmora.exe";
    RunValue value;
    for (int i = 0; i < 500 && !(value = ReadRunValue()).found; ++i) Sleep(10);
    ASSERT_TRUE(value.found);
    EXPECT_EQ(value.type, static_cast<DWORD>(REG_SZ));
    // The data is the path and one terminating NUL, which the system asks of
    // every string value, so that each reader of the value finds its end.
    ASSERT_GE(value.stored.size(), 2u);
    EXPECT_EQ(value.stored.back(), L'\0');
    EXPECT_NE(value.stored[value.stored.size() - 2], L'\0');
    EXPECT_TRUE(SameFile(value.data, firstExe.string())) << value.data;
    EXPECT_EQ(value.data.find('/'), std::string::npos) << "the path as the system spells it";

    // A copy under another file name is another instance: it starts beside
    // the first (without its ports) and writes the same value with its own path.
    Service other("Other");
    const fs::path otherExe = fs::path(other.folder()) / "Other.exe";
    bool rewritten = false;
    for (int i = 0; i < 1000 && !rewritten; ++i) {
        rewritten = SameFile(ReadRunValue().data, otherExe.string());
        if (!rewritten) Sleep(10);
    }
    EXPECT_TRUE(rewritten) << ReadRunValue().data;
    EXPECT_EQ(other.WaitExit(0), std::nullopt);
}

TEST_F(ServiceTest, TheLogFileIsNamedByTheDayAndHoldsCodePage936LinesWithCrLf) {
    SYSTEMTIME day;
    GetLocalTime(&day);
    Service service("Penmora");
    ASSERT_TRUE(service.WaitServing());
    {
        // Under Wine hidapi finds no pad: the start is refused and logged.
        WsPeer peer(kPort);
        ASSERT_TRUE(peer.Connected());
        ASSERT_TRUE(peer.Send(R"({"typeName":"TavoStartSign","message":{"penwidth":"3"}})"));
        EXPECT_EQ(peer.Receive(), kError);
    }
    char name[32];
    snprintf(name, sizeof name, "%04d_%02d_%02d.txt", day.wYear, day.wMonth, day.wDay);
    const std::string path = service.folder() + "\\log\\" + name;
    ASSERT_TRUE(fs::exists(path)) << path;
    const std::string log = ReadAll(path);
    const size_t error = log.find(" " + kOpenFailed936 + "\r\n");
    ASSERT_NE(error, std::string::npos) << log;
    ASSERT_GE(error, 15u);
    EXPECT_EQ(log.substr(error - 15, 7), "error: ");
    EXPECT_NE(log.find("recv message: : "), std::string::npos);
    // Every line ends in CR LF, none in a lone LF or a doubled CR.
    for (size_t at = log.find('\n'); at != std::string::npos; at = log.find('\n', at + 1)) {
        ASSERT_GE(at, 2u);
        EXPECT_EQ(log[at - 1], '\r') << at;
        EXPECT_NE(log[at - 2], '\r') << at;
    }
}

TEST_F(ServiceTest, ThePolicyPortAnswers) {
    Service service("Penmora");
    ASSERT_TRUE(service.WaitServing());
    const std::string expected(
        "<cross-domain-policy> <allow-access-from domain=\"*\" to-ports=\"*\"/>"
        "</cross-domain-policy> \0",
        90);
    // The policy port opens just after the page port that WaitServing saw.
    platform::Socket s = platform::kInvalidSocket;
    for (int i = 0; i < 500 && s == platform::kInvalidSocket; ++i) {
        s = platform::Connect("127.0.0.1", 843);
        if (s == platform::kInvalidSocket) Sleep(10);
    }
    ASSERT_NE(s, platform::kInvalidSocket);
    platform::SetReceiveTimeout(s, 15000);
    ASSERT_TRUE(platform::SendAll(s, "<policy-file-request/>", 23));
    std::string answer;
    char chunk[256];
    long n;
    while ((n = platform::Receive(s, chunk, sizeof chunk)) > 0)
        answer.append(chunk, static_cast<size_t>(n));
    platform::CloseSocket(s);
    EXPECT_EQ(answer, expected);
}

}  // namespace
