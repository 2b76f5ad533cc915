// The POSIX side of tests/support/system.h.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/support/system.h"

extern char** environ;

namespace testsys {

namespace {

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (auto& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Starts `argv` with the given descriptors as its standard input and output
// (-1: inherited), standard error joined to its output when `joinError`, in
// `directory` (nullptr: this process's).
pid_t Spawn(std::vector<std::string> argv, char** envp, int in, int out, bool joinError,
            const char* directory = nullptr) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (directory) posix_spawn_file_actions_addchdir_np(&actions, directory);
    if (in >= 0) posix_spawn_file_actions_adddup2(&actions, in, 0);
    if (out >= 0) posix_spawn_file_actions_adddup2(&actions, out, 1);
    if (out >= 0 && joinError) posix_spawn_file_actions_adddup2(&actions, out, 2);
    std::vector<char*> args = Pointers(argv);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Waits up to `timeoutMs` (-1: no limit) for `pid`; its exit code, or minus
// the signal that ended it.
std::optional<int> Reap(pid_t pid, int timeoutMs) {
    for (int waited = 0;; waited += 10) {
        int status = 0;
        const pid_t got = waitpid(pid, &status, timeoutMs < 0 ? 0 : WNOHANG);
        if (got == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        if (got < 0 && errno != EINTR) return std::nullopt;
        if (timeoutMs >= 0 && waited >= timeoutMs) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

int ProcessId() {
    return static_cast<int>(getpid());
}

std::string OwnExecutablePath() {
    std::error_code error;
    return std::filesystem::canonical("/proc/self/exe", error).string();
}

size_t OpenHandles() {
    size_t count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) ++count;
        closedir(dir);
    }
    return count;
}

bool AllowOpenHandles(size_t count) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    if (limit.rlim_cur < count && limit.rlim_max >= count) {
        limit.rlim_cur = count;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    }
    return limit.rlim_cur >= count;
}

void SetEnvironment(const std::string& name, const char* value) {
    if (value) {
        setenv(name.c_str(), value, 1);
    } else {
        unsetenv(name.c_str());
    }
}

bool ConnectionWasReset() {
    return errno == ECONNRESET;
}

void EndSending(intptr_t socket) {
    shutdown(static_cast<int>(socket), SHUT_WR);
}

std::string MakeTempFolder(const std::string& prefix) {
    const char* base = getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    return mkdtemp(pattern.data()) != nullptr ? pattern : "";
}

bool LinkFile(const std::string& target, const std::string& link) {
    return symlink(target.c_str(), link.c_str()) == 0;
}

std::string HostPath(const std::string& path) {
    return path;
}

RunResult RunHost(const std::vector<std::string>& argv) {
    RunResult result;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return result;
    const pid_t pid = Spawn(argv, environ, -1, out[1], true);
    close(out[1]);
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(out[0], chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        result.output.append(chunk, static_cast<size_t>(n));
    }
    close(out[0]);
    if (pid > 0) {
        const std::optional<int> code = Reap(pid, -1);
        result.status = code && *code >= 0 ? *code : -1;
    }
    return result;
}

struct HostChild::Impl {
    pid_t pid = -1;
    int toChild = -1;
    int fromChild = -1;
};

HostChild::HostChild(const std::vector<std::string>& argv) : impl_(new Impl) {
    // A client that died must not take the test with it when it is written to.
    signal(SIGPIPE, SIG_IGN);
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return;
    }
    impl_->pid = Spawn(argv, environ, in[0], out[1], false);
    close(in[0]);
    close(out[1]);
    impl_->toChild = in[1];
    impl_->fromChild = out[0];
}

HostChild::~HostChild() {
    Finish(5000);
    if (impl_->fromChild >= 0) close(impl_->fromChild);
}

bool HostChild::Started() const {
    return impl_->pid > 0;
}

long HostChild::Read(char* buffer, size_t size) {
    for (;;) {
        const ssize_t n = read(impl_->fromChild, buffer, size);
        if (n < 0 && errno == EINTR) continue;
        return static_cast<long>(n);
    }
}

bool HostChild::Write(const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(impl_->toChild, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void HostChild::CloseInput() {
    if (impl_->toChild >= 0) close(impl_->toChild);
    impl_->toChild = -1;
}

void HostChild::Finish(int timeoutMs) {
    CloseInput();
    if (impl_->pid <= 0) return;
    if (!Reap(impl_->pid, timeoutMs)) {
        kill(impl_->pid, SIGKILL);
        Reap(impl_->pid, -1);
    }
    impl_->pid = -1;
}

std::vector<std::string> Environment() {
    std::vector<std::string> variables;
    for (char** e = environ; *e; ++e) variables.push_back(*e);
    return variables;
}

struct Child::Impl {
    pid_t pid = -1;
    std::optional<int> status;
};

Child::Child(const std::string& path, const std::vector<std::string>& environment,
             const std::string& directory)
    : impl_(new Impl) {
    std::vector<std::string> env = environment;
    std::vector<char*> envp = Pointers(env);
    const int empty = open("/dev/null", O_RDONLY | O_CLOEXEC);
    impl_->pid = Spawn({path}, envp.data(), empty, -1, false, directory.c_str());
    if (empty >= 0) close(empty);
}

Child::~Child() {
    if (impl_->pid > 0 && !impl_->status) Kill();
}

bool Child::Started() const {
    return impl_->pid > 0;
}

std::optional<int> Child::WaitExit(int timeoutMs) {
    if (!impl_->status && impl_->pid > 0) impl_->status = Reap(impl_->pid, timeoutMs);
    return impl_->status;
}

void Child::Kill() {
    if (impl_->pid <= 0 || impl_->status) return;
    kill(impl_->pid, SIGKILL);
    impl_->status = Reap(impl_->pid, -1);
}

long Child::Id() const {
    return impl_->pid;
}

}  // namespace testsys
