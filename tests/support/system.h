// What the tests need of the system they run on, behind one interface with a
// POSIX side (system_posix.cpp) and a Win32 side (system_win32.cpp): this
// process's handles and limits, temporary folders, file links, the host's own
// tools (python3, pngcheck, sh) as children, and children of the tests' own
// platform (copies of the service executable).
//
// The host is the machine the tools run on. On Linux it is the system itself;
// a Windows build of the tests runs under Wine, and its host tools are Linux
// programs that Wine starts: they see Unix paths, and their standard handles
// are loopback sockets (a pipe handle does not reach a Unix program).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testsys {

// ---- This process ------------------------------------------------------------
int ProcessId();
// The full path of the running executable, read without the service's own
// helpers.
std::string OwnExecutablePath();
// The number of open descriptors (POSIX) or handles (Windows) of this process.
size_t OpenHandles();
// Raises the limit of open descriptors to at least `count` where there is one.
// False when fewer than `count` may be open.
bool AllowOpenHandles(size_t count);
// Sets (or, with `value` nullptr, removes) a variable of this process's
// environment.
void SetEnvironment(const std::string& name, const char* value);

// True when the last failed receive of this thread failed because the peer
// reset the connection.
bool ConnectionWasReset();
// Ends the sending side of the socket `socket` (a platform::Socket): its peer
// reads the end of the stream, while what the peer sends still arrives.
void EndSending(intptr_t socket);

// ---- Files -------------------------------------------------------------------
// A new, empty folder under the system's temporary folder whose name begins
// with `prefix`; "" when none could be made.
std::string MakeTempFolder(const std::string& prefix);
// Makes `link` name the same file as `target`, so that a library loaded
// through either is one loaded library. True when done.
bool LinkFile(const std::string& target, const std::string& link);
// `path`, a path of this process, as the host's tools see it.
std::string HostPath(const std::string& path);

// ---- The host's tools --------------------------------------------------------
struct RunResult {
    int status = -1;     // the exit code; -1 when the program could not run or was killed
    std::string output;  // standard output and standard error, joined
};
// Runs a host program to its end: argv[0] is its full path. Arguments that are
// absolute paths of this process are passed as host paths.
RunResult RunHost(const std::vector<std::string>& argv);

// A host program running beside the test, whose standard input and output are
// a byte stream to this object. Starts in the constructor.
class HostChild {
  public:
    explicit HostChild(const std::vector<std::string>& argv);
    ~HostChild();  // Finish(5000)
    HostChild(const HostChild&) = delete;
    HostChild& operator=(const HostChild&) = delete;

    bool Started() const;
    // Reads what the child wrote: the count, 0 once its output ended, -1 on error.
    long Read(char* buffer, size_t size);
    // Writes all of `size` bytes to its input; false when the child went away.
    bool Write(const char* data, size_t size);
    // Ends the child's input: it reads the end of its stream.
    void CloseInput();
    // Ends its input and waits up to `timeoutMs` for the child to end; then
    // ends it by force where the system lets the test do so.
    void Finish(int timeoutMs);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// ---- Children of this platform -----------------------------------------------
// The environment of this process, one "NAME=value" each.
std::vector<std::string> Environment();

// A program of the tests' own platform (a copy of the service executable),
// started with `environment` in the folder `directory`, its standard input
// empty.
class Child {
  public:
    Child(const std::string& path, const std::vector<std::string>& environment,
          const std::string& directory);
    ~Child();  // Kill() unless it ended
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Started() const;
    // Its exit code once it ended within `timeoutMs` (0: just look); a
    // negative number when a signal ended it.
    std::optional<int> WaitExit(int timeoutMs);
    // Ends it at once, as a crash would, and reaps it.
    void Kill();
    // The system's number of the process.
    long Id() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace testsys
