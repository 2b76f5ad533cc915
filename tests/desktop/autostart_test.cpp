// The autostart entry, read and started by GLib's desktop-entry code the way a
// desktop session does at logon, and the log line when it cannot be written.
#include "shell/autostart.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "commands/messages.h"
#include "platform/platform.h"
#include "shell/log.h"
#include "tests/support/log_reader.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

struct PythonRun {
    int status = -1;
    std::string output;
};

// Runs the GLib side (launch_entry.py) on an entry file.
PythonRun RunLauncher(const std::string& entry, const std::string& marker = "") {
    std::string command = Quoted(PENMORA_PYTHON) + " " + Quoted(LAUNCH_ENTRY_SCRIPT) + " " +
                          Quoted(entry) + (marker.empty() ? "" : " " + Quoted(marker)) + " 2>&1";
    PythonRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[512];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

class AutostartEntry : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/penmora-autostart-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        fs::create_directories(root_ + "/home");
        setenv("HOME", (root_ + "/home").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (root_ + "/config").c_str(), 1);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    std::string EntryPath() const { return root_ + "/config/autostart/Penmora.exe.desktop"; }

    std::string root_;
};

TEST_F(AutostartEntry, StartsExactlyTheProgramItNames) {
    // File names a launcher could split or expand if the Exec line were not
    // quoted and escaped as desktop entries require.
    const std::vector<std::string> names = {
        "Penmora.exe",
        "Pen mora.exe",
        "double\"single'quote.exe",
        "dollar$HOME`backtick`.exe",
        "back\\slash\\\\two.exe",
        "semi;amp&pipe|lt<gt>(x)#~*?.exe",
        "tab\there.exe",
        "new\nline.exe",
        " leading blank.exe",
        u8"签名板 服务=1.exe",
    };
    const std::string folder = root_ + "/program files/";
    fs::create_directories(folder);
    const std::string marker = root_ + "/started";
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const std::string program = folder + name;
        {
            std::ofstream script(program, std::ios::binary);
            script << "#!/bin/sh\nprintf '%s' \"$0\" > '" << marker << "'\n";
        }
        ASSERT_EQ(chmod(program.c_str(), 0755), 0);
        fs::remove(marker);

        ASSERT_EQ(platform::WriteAutostartEntry("Penmora.exe", program), 0);
        PythonRun run = RunLauncher(EntryPath(), marker);
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_NE(run.output.find("name=Penmora.exe\n"), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("autostart=True\n"), std::string::npos) << run.output;
        EXPECT_EQ(ReadFile(marker), program);
        fs::remove(program);
    }
}

TEST_F(AutostartEntry, StartsTheProgramInItsOwnFolder) {
    // Folder names the key file's string escapes must carry through.
    const std::vector<std::string> folders = {
        root_ + "/plain",
        root_ + "/with blank",
        root_ + "/ leading blank",
        root_ + "/back\\slash\\\\two",
        root_ + "/tab\there",
        root_ + "/new\nline",
        root_ + "/dollar$HOME\"quote",
        root_ + u8"/签名板=1",
    };
    const std::string marker = root_ + "/working-folder";
    // The launcher runs in the build folder: the program must not inherit it.
    for (const std::string& folder : folders) {
        SCOPED_TRACE(folder);
        fs::create_directories(folder);
        const std::string program = folder + "/Penmora.exe";
        {
            std::ofstream script(program, std::ios::binary);
            script << "#!/bin/sh\npwd -P > '" << marker << ".tmp' && mv '" << marker << ".tmp' '"
                   << marker << "'\n";
        }
        ASSERT_EQ(chmod(program.c_str(), 0755), 0);
        fs::remove(marker);

        ASSERT_EQ(platform::WriteAutostartEntry("Penmora.exe", program), 0);
        PythonRun run = RunLauncher(EntryPath(), marker);
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(ReadFile(marker), fs::canonical(folder).string() + "\n");
    }
}

TEST_F(AutostartEntry, EachWriteReplacesThePreviousEntry) {
    // The desktop only accepts an entry whose program exists.
    const std::string first = root_ + "/first/Penmora.exe";
    const std::string second = root_ + "/second copy/Other.bin";
    for (const std::string& program : {first, second}) {
        fs::create_directories(fs::path(program).parent_path());
        std::ofstream(program) << "#!/bin/sh\n";
        ASSERT_EQ(chmod(program.c_str(), 0755), 0);
    }
    ASSERT_EQ(platform::WriteAutostartEntry("Penmora.exe", first), 0);
    ASSERT_EQ(platform::WriteAutostartEntry("Penmora.exe", second), 0);
    PythonRun run = RunLauncher(EntryPath());
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("program=" + second + "\n"), std::string::npos) << run.output;
    // One entry, and no temporary file left beside it.
    std::vector<std::string> files;
    for (const auto& item : fs::directory_iterator(root_ + "/config/autostart")) {
        files.push_back(item.path().filename().string());
    }
    EXPECT_EQ(files, std::vector<std::string>{"Penmora.exe.desktop"});
    struct stat info {};
    ASSERT_EQ(stat(EntryPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST_F(AutostartEntry, FolderIsFoundFromTheUsersHomeWhenNotConfigured) {
    // A relative XDG_CONFIG_HOME is invalid and ignored, like an unset one.
    for (const char* config : {"relative/config", static_cast<const char*>(nullptr)}) {
        if (config) {
            setenv("XDG_CONFIG_HOME", config, 1);
        } else {
            unsetenv("XDG_CONFIG_HOME");
        }
        const std::string entry = root_ + "/home/.config/autostart/Penmora.exe.desktop";
        fs::remove(entry);
        ASSERT_EQ(platform::WriteAutostartEntry("Penmora.exe", "/opt/Penmora.exe"), 0);
        EXPECT_TRUE(fs::is_regular_file(entry));
        EXPECT_FALSE(fs::exists("relative"));
    }
}

TEST_F(AutostartEntry, RegisterNamesTheRunningExecutable) {
    RegisterAutostart();
    PythonRun run = RunLauncher(EntryPath());
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("name=Penmora.exe\n"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("program=" + platform::ExecutablePath() + "\n"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("path=" + ExeDirectory() + "\n"), std::string::npos) << run.output;
}

TEST_F(AutostartEntry, LogsOnlyWhenTheEntryCannotBeWritten) {
    // No autostart folder can be made under a regular file: nothing is logged.
    { std::ofstream(root_ + "/config-file") << "x"; }
    setenv("XDG_CONFIG_HOME", (root_ + "/config-file").c_str(), 1);
    EXPECT_EQ(platform::WriteAutostartEntry("Penmora.exe", "/opt/Penmora.exe"), 1);
    RegisterAutostart();
    EXPECT_EQ(ReadTodaysLog(OwnLogFolder()), "");

    // The folder is there but the entry's name is taken by a folder.
    setenv("XDG_CONFIG_HOME", (root_ + "/config").c_str(), 1);
    fs::create_directories(EntryPath());
    EXPECT_EQ(platform::WriteAutostartEntry("Penmora.exe", "/opt/Penmora.exe"), 2);
    RegisterAutostart();
    const std::string log = ReadTodaysLog(OwnLogFolder());
    const std::regex line("error: [0-2][0-9]:[0-5][0-9]:[0-5][0-9] " +
                          std::string(msg::kLogAutostartFailed) + "\r\n");
    EXPECT_TRUE(std::regex_match(log, line)) << log;
    // Nothing but the folder remains in the autostart folder.
    size_t items = 0;
    for (const auto& item : fs::directory_iterator(root_ + "/config/autostart")) {
        (void)item;
        ++items;
    }
    EXPECT_EQ(items, 1u);
}

}  // namespace
