// The question to the person at the desk about a site nobody has answered
// for, on a display of its own (a virtual X server): raised by the site's
// first command and not by its connection, answered Allow (the command goes
// ahead and the site is remembered), Block (refused and remembered), or not
// at all (refused for now, nothing remembered, the dialog taken down); one
// question per site, several sites at once.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "commands/json.h"
#include "devices/virtual_pad/virtual_pad.h"
#include "link/consent.h"
#include "platform/linux/desktop.h"
#include "platform/platform.h"
#include "tests/desktop/visible_boxes.h"
#include "tests/support/harness.h"
#include "tests/support/raw_client.h"

namespace {

const std::string kStartSign = R"({"typeName":"TavoStartSign","message":{"penwidth":"3"}})";

// Runs the desktop loop until `count` questions are up, or `ms` pass.
std::vector<GtkMessageDialog*> Pump(size_t count, int ms = 20000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::vector<GtkMessageDialog*> found = VisibleBoxes();
    while (found.size() < count && std::chrono::steady_clock::now() < deadline) {
        while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        found = VisibleBoxes();
    }
    return found;
}

// Runs the desktop loop until no question is up, or `ms` pass.
bool PumpUntilNone(int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!VisibleBoxes().empty() && std::chrono::steady_clock::now() < deadline) {
        while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return VisibleBoxes().empty();
}

GtkMessageDialog* QuestionAbout(const std::string& origin) {
    for (GtkMessageDialog* dialog : VisibleBoxes())
        if (BoxText(dialog).find("The site " + origin + " wants") != std::string::npos)
            return dialog;
    return nullptr;
}

// Clicks Allow or Block: the button of that response, whose label must say
// so in both languages.
void Click(GtkMessageDialog* dialog, const std::string& label) {
    const int response = label == "Allow" ? 1 : 2;
    GtkWidget* button = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), response);
    ASSERT_NE(button, nullptr) << label;
    const std::string text = gtk_button_get_label(GTK_BUTTON(button));
    ASSERT_NE(text.find(label), std::string::npos) << text;
    ASSERT_NE(text.find(label == "Allow" ? u8"允许" : u8"阻止"), std::string::npos) << text;
    gtk_button_clicked(GTK_BUTTON(button));
    while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
}

// A page of `origin` that sends a start command on a thread of its own; its
// first answer's typeName, once it came.
struct SitePage {
    std::unique_ptr<RawWsClient> client;
    std::future<std::string> answer;
    SitePage(uint16_t port, const std::string& origin) : client(new RawWsClient(port)) {
        const std::string request =
            "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Origin: " +
            origin +
            "\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
        EXPECT_NE(client->Handshake(request).find(" 101 "), std::string::npos);
    }
    void Send(int timeoutMs = 90000) {
        RawWsClient* page = client.get();
        answer = std::async(std::launch::async, [page, timeoutMs] {
            page->SendBytes(ClientFrame(1, kStartSign));
            const auto frame = page->ReceiveFrame(timeoutMs);
            return frame ? GetMemberText(ParseJson(frame->payload), "typeName") : std::string();
        });
    }
    // Pumps the desktop loop while the answer is awaited.
    std::string Answer() {
        while (answer.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
            while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
        return answer.get();
    }
};

class SiteQuestion : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(platform::StartDesktop()) << "a display is needed (run under with_display.py)";
        port_ = StartTestLink();
        ASSERT_NE(port_, 0);
        vpad::Reset();
        vpad::SetPlugged(false);  // every start that goes ahead answers TavoError
        config_ = std::filesystem::temp_directory_path() /
                  ("penmora-question-" + std::to_string(getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(config_ / "it");
        platform::SetTrustSettingsFolderForTests((config_ / "it").string());
        setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
        SetSiteQuestionTimeoutForTests(kSiteQuestionTimeoutMs);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(config_, ignored);
    }
    std::string Remembered() {
        std::ifstream in(config_ / "penmora" / "sites");
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    uint16_t port_ = 0;
    std::filesystem::path config_;
};

TEST_F(SiteQuestion, AllowLetsTheWaitingCommandGoAheadAndIsRemembered) {
    RawWsClient clerk(port_);
    ASSERT_NE(clerk.Handshake().find(" 101 "), std::string::npos);
    SitePage shop(port_, "https://shop.example");
    // A connection alone raises nothing.
    EXPECT_TRUE(Pump(1, 300).empty());
    shop.Send();
    const auto questions = Pump(1);
    ASSERT_EQ(questions.size(), 1u);
    const std::string text = BoxText(questions[0]);
    EXPECT_NE(text.find("https://shop.example"), std::string::npos) << text;
    EXPECT_NE(text.find("signature pad and fingerprint reader"), std::string::npos) << text;
    Click(questions[0], "Allow");
    // The command went ahead, and its answer came to the site's page, now
    // the newest trusted one.
    EXPECT_EQ(shop.Answer(), "TavoError");
    EXPECT_FALSE(clerk.ReceiveFrame(200));
    EXPECT_EQ(Remembered(), "allow https://shop.example\n");

    // Its next connection is trusted without a question.
    SitePage again(port_, "https://shop.example");
    again.Send();
    EXPECT_EQ(again.Answer(), "TavoError");
    EXPECT_TRUE(VisibleBoxes().empty());
}

TEST_F(SiteQuestion, BlockRefusesAndIsRemembered) {
    SitePage site(port_, "https://evil.example");
    site.Send();
    const auto questions = Pump(1);
    ASSERT_EQ(questions.size(), 1u);
    Click(questions[0], "Block");
    EXPECT_EQ(site.Answer(), "TavoDenied");
    EXPECT_EQ(Remembered(), "block https://evil.example\n");
    SitePage again(port_, "https://evil.example");
    again.Send();
    EXPECT_EQ(again.Answer(), "TavoDenied");
    EXPECT_TRUE(VisibleBoxes().empty());
}

TEST_F(SiteQuestion, WithoutAnAnswerTheSiteIsRefusedForNowAndAskedAgainLater) {
    SetSiteQuestionTimeoutForTests(500);
    SitePage site(port_, "https://slow.example");
    site.Send();
    ASSERT_EQ(Pump(1).size(), 1u);
    EXPECT_EQ(site.Answer(), "TavoDenied");
    // The dialog is taken down, nothing is remembered.
    EXPECT_TRUE(PumpUntilNone(5000));
    EXPECT_EQ(Remembered(), "");
    // The next command asks again.
    SetSiteQuestionTimeoutForTests(kSiteQuestionTimeoutMs);
    site.Send();
    const auto questions = Pump(1);
    ASSERT_EQ(questions.size(), 1u);
    Click(questions[0], "Allow");
    EXPECT_EQ(site.Answer(), "TavoError");
}

TEST_F(SiteQuestion, OneQuestionPerSiteAndSeveralSitesAtOnce) {
    SitePage first(port_, "https://a.example");
    SitePage second(port_, "https://a.example");
    SitePage other(port_, "https://b.example");
    first.Send(5000);
    second.Send(5000);
    other.Send();
    const auto questions = Pump(2);
    ASSERT_EQ(questions.size(), 2u);
    // Two connections of one site wait for one question.
    EXPECT_TRUE(Pump(3, 300).size() == 2u);
    GtkMessageDialog* a = QuestionAbout("https://a.example");
    GtkMessageDialog* b = QuestionAbout("https://b.example");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    // The other site's answer does not wait for this one's.
    Click(b, "Block");
    EXPECT_EQ(other.Answer(), "TavoDenied");
    Click(a, "Allow");
    // Both commands go ahead, neither is refused; each answer goes to the
    // newest page trusted at that moment, which may be either.
    const std::string firstAnswer = first.Answer();
    const std::string secondAnswer = second.Answer();
    EXPECT_NE(firstAnswer, "TavoDenied");
    EXPECT_NE(secondAnswer, "TavoDenied");
    EXPECT_TRUE(firstAnswer == "TavoError" || secondAnswer == "TavoError");
}

}  // namespace
