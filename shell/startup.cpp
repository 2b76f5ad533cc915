// Start-up of the service, in its fixed order, and the hand-over to the main
// loop. The process ends only from the main loop ("Exit", SIGTERM, SIGINT),
// at once and without clean-up.
#include "shell/startup.h"

#include <filesystem>
#include <system_error>

#include "image/canvas.h"
#include "link/listener.h"
#include "link/policy.h"
#include "platform/platform.h"
#include "shell/autostart.h"
#include "shell/log.h"
#include "shell/tray.h"

namespace {

// The executable's file name exactly as its path spells it.
std::string ExecutableFileName() {
    const std::string path = platform::ExecutablePath();
    const size_t last = path.find_last_of(platform::kPathSeparator);
    return last == std::string::npos ? path : path.substr(last + 1);
}

// The reader's library, finger.png and SignFP.png are all taken relative to
// the current folder, but a start at logon gets a working folder that the
// system chooses, not the install folder. So when the current folder holds no
// reader library and the executable's folder does, the executable's folder
// becomes the current one; a start in a folder that holds the library keeps
// it, and so does one where neither does.
void EnterTheReadersFolder() {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path library = platform::FileSystemPath(platform::kFingerLibraryPath);
    if (fs::is_regular_file(library, error)) return;
    const std::string folder = ExeDirectory();
    if (folder.empty()) return;
    const fs::path programFolder = platform::FileSystemPath(folder);
    if (!fs::is_regular_file(programFolder / library.filename(), error)) return;
    // Should the folder not be entered, the start goes on where it is.
    fs::current_path(programFolder, error);
}

}  // namespace

int RunService(const std::function<void()>& beforeMainLoop, Autostart autostart) {
    platform::EndProcessOnSignals();
    EnterTheReadersFolder();
    if (!platform::TakeInstanceLock(ExecutableFileName())) return 0;
    if (autostart == Autostart::Register) RegisterAutostart();
    // Without the window that owns the icon the service does not start; the
    // autostart entry is written all the same.
    if (!CreateServiceWindow()) return 0;
    CreateTrayIcon();
    // A listener that cannot be opened (the port is taken) leaves its thread
    // waiting; the service runs on without that port.
    OpenListener(ClientPort);
    platform::StartDetachedThread([] { AcceptClients(); });
    OpenListener(PolicyPort);
    platform::StartDetachedThread([] { AnswerPolicyRequests(); });
    CreateCanvas();
    if (beforeMainLoop) beforeMainLoop();
    platform::RunMainLoop();
}
