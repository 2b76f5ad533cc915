// Connections of every kind of peer against the link: pages of this
// computer and programs keep what they always had; a site nobody allowed, a
// site the person blocked and another user of this computer complete the
// handshake, take no device message and are answered "TavoDenied" for every
// command, which does nothing; IT's lists and the person's answers are read
// for each connection, no restart needed.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "commands/json.h"
#include "link/consent.h"
#include "link/listener.h"
#include "tests/link/link_test_util.h"
#include "tests/support/log_reader.h"

namespace {

const std::string kError = u8"{\"typeName\":\"TavoError\",\"message\":\"开始签字失败\"}";
const std::string kStartSign = R"({"typeName":"TavoStartSign","message":{"penwidth":"3"}})";

std::string RequestWithOrigin(const std::string& originLines) {
    return "GET / HTTP/1.1\r\nHost: 127.0.0.1:10001\r\nUpgrade: websocket\r\nConnection: "
           "Upgrade\r\n" +
           originLines +
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

std::unique_ptr<RawWsClient> Page(uint16_t port, const std::string& origin) {
    auto client = std::make_unique<RawWsClient>(port);
    const std::string lines = origin.empty() ? "" : "Origin: " + origin + "\r\n";
    EXPECT_NE(client->Handshake(RequestWithOrigin(lines)).find(" 101 "), std::string::npos)
        << origin;
    return client;
}

// The next message of `page` as typeName and message; empty when none came.
std::pair<std::string, std::string> Next(RawWsClient& page, int timeoutMs = 5000) {
    const auto frame = page.ReceiveFrame(timeoutMs);
    if (!frame) return {};
    const JsonDocument document = ParseJson(frame->payload);
    return {GetMemberText(document, "typeName"), GetMemberText(document, "message")};
}

class Trust : public UnpluggedPadLink {
  protected:
    void SetUp() override {
        UnpluggedPadLink::SetUp();
        folder_ = std::filesystem::temp_directory_path() /
                  ("penmora-trust-" + std::to_string(getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(folder_ / "it");
        std::filesystem::create_directories(folder_ / "config");
        platform::SetTrustSettingsFolderForTests((folder_ / "it").string());
        setenv("XDG_CONFIG_HOME", (folder_ / "config").c_str(), 1);
    }
    void TearDown() override {
        platform::SetTrustSettingsFolderForTests("");
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    void Write(const std::string& name, const std::string& text) {
        std::filesystem::create_directories((folder_ / name).parent_path());
        std::ofstream(folder_ / name) << text;
    }
    std::filesystem::path folder_;
};

TEST_F(Trust, ASiteNobodyAllowedIsToldWhyAndTakesNothingFromTheTrustedPage) {
    auto clerk = Page(port_, "http://127.0.0.1:10002");
    auto stranger = Page(port_, "https://evil.example");
    // Its commands, the closing ones too, do nothing and are answered.
    for (const char* command :
         {R"({"typeName":"TavoStartSign","message":{"penwidth":"3"}})",
          R"({"typeName":"TavoCloseSign"})", R"({"typeName":"TavoCloseSocket"})", "not json"}) {
        ASSERT_TRUE(stranger->SendBytes(ClientFrame(1, command)));
        const auto [type, text] = Next(*stranger);
        EXPECT_EQ(type, "TavoDenied") << command;
        EXPECT_NE(text.find("https://evil.example"), std::string::npos) << text;
    }
    // Had the start command run, the clerk's page would have its TavoError;
    // had the close command run, the clerk's connection would be closed.
    EXPECT_FALSE(clerk->ReceiveFrame(300));
    EXPECT_FALSE(clerk->WaitClosed(10));
    // Though the stranger connected last, the clerk's page takes the device
    // messages.
    ASSERT_TRUE(clerk->SendBytes(ClientFrame(1, kStartSign)));
    const auto answer = clerk->ReceiveFrame(5000);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->payload, kError);
    EXPECT_FALSE(stranger->ReceiveFrame(200));

    // Logged once for the connection, with its origin, address and user.
    const std::string log = ReadTodaysLog(OwnLogFolder());
    EXPECT_EQ(
        Occurrences(log, "connection refused (origin not allowed): origin https://evil.example"),
        1u)
        << log;
    EXPECT_NE(log.find("address 127.0.0.1, user "), std::string::npos);
}

TEST_F(Trust, ProgramsAndPagesOfThisComputerReceiveAsTheyAlwaysDid) {
    for (const std::string& origin : std::vector<std::string>{
             "", "http://localhost:8080", "https://127.0.0.1", "http://[::1]:3000"}) {
        auto page = Page(port_, origin);
        ASSERT_TRUE(page->SendBytes(ClientFrame(1, kStartSign)));
        const auto answer = page->ReceiveFrame(5000);
        ASSERT_TRUE(answer) << origin;
        EXPECT_EQ(answer->payload, kError) << origin;
    }
}

TEST_F(Trust, HostileHandshakesCompleteAndAreRefused) {
    const std::string longOrigin = "https://" + std::string(700, 'a') + ".example";
    for (const std::string& lines : std::vector<std::string>{
             "Origin: http://localhost\r\nOrigin: http://localhost\r\n", "Origin: null\r\n",
             "Origin: HTTP://LOCALHOST\r\n", "Origin: http://localhost/path\r\n",
             "Origin: http://localhost.\r\n", "Origin: http://u@localhost\r\n",
             "Origin: http://localhost:0\r\n", "Origin: http://localhost:99999\r\n",
             "Origin: http://l\xc3\xb6"
             "calhost\r\n",
             "Origin: " + longOrigin + "\r\n"}) {
        auto page = std::make_unique<RawWsClient>(port_);
        ASSERT_NE(page->Handshake(RequestWithOrigin(lines)).find(" 101 "), std::string::npos)
            << lines;
        ASSERT_TRUE(page->SendBytes(ClientFrame(1, kStartSign)));
        EXPECT_EQ(Next(*page).first, "TavoDenied") << lines;
    }
}

TEST_F(Trust, ItsListsAndThePersonsAnswersCountFromTheNextConnectionOn) {
    auto before = Page(port_, "https://shop.example");
    Write("it/allowed-origins",
          "# the shop\nhttps://shop.example   # ours\nhttps://bad.example/path\n");
    auto listed = Page(port_, "https://shop.example");
    ASSERT_TRUE(listed->SendBytes(ClientFrame(1, kStartSign)));
    EXPECT_EQ(listed->ReceiveFrame(5000)->payload, kError);
    // The connection made before the list is judged again at its next
    // command, and its command acts; the device messages stay with the
    // newest trusted page, as among trusted pages always.
    ASSERT_TRUE(before->SendBytes(ClientFrame(1, kStartSign)));
    EXPECT_EQ(listed->ReceiveFrame(5000)->payload, kError);
    EXPECT_FALSE(before->ReceiveFrame(200));
    // A malformed entry is logged, once, and skipped.
    auto again = Page(port_, "https://shop.example");
    EXPECT_EQ(Occurrences(ReadTodaysLog(OwnLogFolder()), "not an origin: https://bad.example/path"),
              1u);

    // The person's answers, as the dialog leaves them.
    Write("config/penmora/sites", "allow https://ok.example\nblock https://no.example\n");
    auto allowed = Page(port_, "https://ok.example");
    auto blocked = Page(port_, "https://no.example");
    ASSERT_TRUE(allowed->SendBytes(ClientFrame(1, kStartSign)));
    EXPECT_EQ(Next(*allowed).first, "TavoError");
    ASSERT_TRUE(blocked->SendBytes(ClientFrame(1, kStartSign)));
    const auto [type, text] = Next(*blocked);
    EXPECT_EQ(type, "TavoDenied");
    EXPECT_NE(text.find("blocked the site https://no.example"), std::string::npos) << text;
}

TEST_F(Trust, WithNobodyToAskTheSiteIsRefusedAtOnceAndNothingIsRemembered) {
    // No desktop in this process: the question has no answer, at once.
    auto page = Page(port_, "https://shop.example");
    ASSERT_TRUE(page->SendBytes(ClientFrame(1, kStartSign)));
    EXPECT_EQ(Next(*page, 3000).first, "TavoDenied");
    EXPECT_FALSE(std::filesystem::exists(folder_ / "config/penmora/sites"));
}

// A child process of another user connects and sends a start command; what
// it received comes back through a pipe. Only root can be another user.
std::string AnswerToAnotherUser(uint16_t port, const std::string& origin) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return "no pipe";
    const pid_t child = fork();
    if (child == 0) {
        close(pipeFds[0]);
        std::string result = "could not become another user";
        if (setgroups(0, nullptr) == 0 && setresgid(65534, 65534, 65534) == 0 &&
            setresuid(65534, 65534, 65534) == 0) {
            RawWsClient page(port);
            const std::string lines = origin.empty() ? "" : "Origin: " + origin + "\r\n";
            result = "no handshake";
            if (page.Handshake(RequestWithOrigin(lines)).find(" 101 ") != std::string::npos &&
                page.SendBytes(ClientFrame(1, kStartSign))) {
                const auto frame = page.ReceiveFrame(5000);
                result = frame ? frame->payload : "nothing";
            }
        }
        (void)!write(pipeFds[1], result.data(), result.size());
        _exit(0);
    }
    close(pipeFds[1]);
    std::string result;
    char buffer[4096];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) result.append(buffer, n);
    close(pipeFds[0]);
    waitpid(child, nullptr, 0);
    return result;
}

TEST_F(Trust, AnotherUserOfThisComputerIsRefusedWhateverItsPage) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can run a client as another user";
    auto clerk = Page(port_, "");
    for (const std::string& origin : std::vector<std::string>{"", "http://127.0.0.1:10002"}) {
        const JsonDocument answer = ParseJson(AnswerToAnotherUser(port_, origin));
        EXPECT_EQ(GetMemberText(answer, "typeName"), "TavoDenied") << origin;
        EXPECT_NE(GetMemberText(answer, "message").find("other users"), std::string::npos);
    }
    EXPECT_FALSE(clerk->ReceiveFrame(300));
    EXPECT_NE(ReadTodaysLog(OwnLogFolder())
                  .find("(another user): origin none, address 127.0.0.1, "
                        "user nobody"),
              std::string::npos);
}

}  // namespace
