// Who may use the pad, on Windows: IT's lists in the policy keys and in the
// installer's key, as REG_MULTI_SZ and REG_SZ; the person's answers under
// HKCU; the stamp that tells when to read them again; the owner of a
// loopback connection; the question's box, answered and unanswered.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include "link/trust.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <winsock2.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace {

const wchar_t kPolicyKey[] = L"SOFTWARE\\Policies\\Penmora";
const wchar_t kInstallerKey[] = L"Software\\Penmora";
const wchar_t kSitesKey[] = L"Software\\Penmora\\Sites";

void SetValue(const wchar_t* path, const wchar_t* name, DWORD type, const std::wstring& data) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(data.c_str()),
                             static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

class WindowsTrust : public ::testing::Test {
  protected:
    void SetUp() override { TearDown(); }
    void TearDown() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, kPolicyKey);
        RegDeleteTreeW(HKEY_CURRENT_USER, kSitesKey);
        HKEY key;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, kInstallerKey, 0, KEY_SET_VALUE, &key) ==
            ERROR_SUCCESS) {
            RegDeleteValueW(key, L"AllowedOrigins");
            RegDeleteValueW(key, L"AllowedHosts");
            RegCloseKey(key);
        }
    }
};

TEST_F(WindowsTrust, ListsComeFromThePolicyKeysAndTheInstallersKey) {
    const std::string before = platform::TrustSettingsStamp();
    // REG_MULTI_SZ: one entry a string, an empty string last.
    SetValue(kPolicyKey, L"AllowedOrigins", REG_MULTI_SZ,
             std::wstring(L"https://a.example\0https://bad.example/path\0", 43));
    // What the installer writes: one REG_SZ, entries parted by commas.
    SetValue(kInstallerKey, L"AllowedOrigins", REG_SZ, L"https://b.example,https://c.example:8443");
    SetValue(kInstallerKey, L"AllowedHosts", REG_SZ, L"198.18.0.0/15, 192.0.2.1");
    EXPECT_NE(platform::TrustSettingsStamp(), before);

    const TrustLists lists = ParseTrustSettings(platform::ReadTrustSettings());
    EXPECT_EQ(lists.origins, (std::vector<std::string>{"https://a.example", "https://b.example",
                                                       "https://c.example:8443"}));
    EXPECT_TRUE(HostInRanges("198.19.0.1", lists.hosts));
    EXPECT_TRUE(HostInRanges("192.0.2.1", lists.hosts));
    EXPECT_FALSE(HostInRanges("192.0.2.2", lists.hosts));
    ASSERT_EQ(lists.problems.size(), 1u);
    EXPECT_NE(lists.problems[0].find("HKCU\\SOFTWARE\\Policies\\Penmora\\AllowedOrigins"),
              std::string::npos)
        << lists.problems[0];
}

TEST_F(WindowsTrust, ThePersonsAnswersAreRememberedForThisUser) {
    const std::string before = platform::TrustSettingsStamp();
    ASSERT_TRUE(platform::RememberSiteAnswer("https://ok.example", true));
    ASSERT_TRUE(platform::RememberSiteAnswer("https://no.example", false));
    EXPECT_NE(platform::TrustSettingsStamp(), before);
    const platform::TrustSettings settings = platform::ReadTrustSettings();
    EXPECT_EQ(settings.allowed, std::vector<std::string>{"https://ok.example"});
    EXPECT_EQ(settings.blocked, std::vector<std::string>{"https://no.example"});
    // Answered again the other way, the later answer holds.
    ASSERT_TRUE(platform::RememberSiteAnswer("https://no.example", true));
    EXPECT_EQ(platform::ReadTrustSettings().blocked.size(), 0u);
}

TEST(WindowsPeer, ALoopbackConnectionOfThisProcessIsOfThisUser) {
    const platform::Socket listener = platform::Listen("127.0.0.1", 0, 4);
    ASSERT_NE(listener, platform::kInvalidSocket);
    const platform::Socket client = platform::Connect("127.0.0.1", platform::LocalPort(listener));
    ASSERT_NE(client, platform::kInvalidSocket);
    const platform::Socket accepted = platform::Accept(listener);
    ASSERT_NE(accepted, platform::kInvalidSocket);
    const platform::PeerIdentity peer = platform::IdentifyPeer(accepted);
    EXPECT_EQ(peer.address, "127.0.0.1");
    EXPECT_TRUE(peer.loopback);
    EXPECT_EQ(peer.owner, platform::PeerOwner::ThisUser);
    EXPECT_FALSE(peer.ownerName.empty());
    std::printf("owner of this process's connection: %s\n", peer.ownerName.c_str());
    platform::CloseSocket(accepted);
    platform::CloseSocket(client);
    platform::CloseSocket(listener);
}

// The question's box, found as a window of this process with the caption
// "Penmora", and pressed.
HWND FindQuestion() {
    for (int i = 0; i < 200; ++i) {
        if (HWND box = FindWindowW(nullptr, L"Penmora")) return box;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return nullptr;
}

TEST(WindowsQuestion, YesAllowsNoBlocksAndNoAnswerIsNoAnswer) {
    for (const auto& [button, expected] :
         {std::pair<int, platform::SiteAnswer>{IDYES, platform::SiteAnswer::Allow},
          {IDNO, platform::SiteAnswer::Block}}) {
        std::atomic<bool> found{false};
        std::thread presser([&found, button = button] {
            if (HWND box = FindQuestion()) {
                found = true;
                PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
            }
        });
        const platform::SiteAnswer answer = platform::AskAboutSite(
            "The site https://shop.example wants to use the pad. Allow it?", 30000);
        presser.join();
        if (!found) GTEST_SKIP() << "no box could be shown here";
        EXPECT_EQ(answer, expected) << button;
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(platform::AskAboutSite("Nobody answers this.", 500), platform::SiteAnswer::NoAnswer);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

}  // namespace
