// penmora-demo: the service with the virtual pad and the virtual reader in
// place of the hardware, and a control endpoint on 127.0.0.1:10002 that serves
// the demo page and lets a browser or a script play the signer. Its page is a
// page of this computer, which the service trusts.
#include <cstdio>
#include <filesystem>
#include <string>

#include "demo/control.h"
#include "platform/platform.h"
#include "shell/log.h"
#include "shell/startup.h"

#ifndef PENMORA_WEB_DIR
#error "PENMORA_WEB_DIR must name the folder of the page files"
#endif

namespace {

// The page files: the folder "web" beside this executable when it holds the
// page (the Windows build and its dist folder carry one), else the source
// tree's.
std::string WebDirectory() {
    const std::string beside = ExeDirectory() + platform::kPathSeparator + "web";
    std::error_code missing;
    const std::string page = beside + platform::kPathSeparator + "index.html";
    if (std::filesystem::is_regular_file(platform::FileSystemPath(page), missing)) return beside;
    return PENMORA_WEB_DIR;
}

template <typename Function>
void Bind(void* library, const char* name, Function& slot) {
    slot = reinterpret_cast<Function>(platform::FindSymbol(library, name));
}

}  // namespace

int main(int argc, char** argv) {
    // "--trust-folder DIR": IT's lists of allowed origins and hosts are read
    // from DIR (files allowed-origins and allowed-hosts) instead of the
    // system's place, so that a test can play IT without touching the system.
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--trust-folder")
            platform::SetTrustSettingsFolderForTests(argv[i + 1]);
    const std::string webDirectory = WebDirectory();
    // The demo starts as the service does: in the folder it was started in,
    // or in its own when only that one holds the reader's library, where the
    // build and the installer put the virtual reader.
    int result = RunService(
        [webDirectory] {
            // The same path the service uses gives the same loaded library, so
            // these controls act on the reader the service drives. This handle
            // is never released: the reader keeps its state across captures.
            demo::ReaderControls reader;
            if (void* library = platform::LoadLibrary(platform::kFingerLibraryPath)) {
                Bind(library, "VirtualReaderSetFinger", reader.setFinger);
                Bind(library, "VirtualReaderSetOpenFails", reader.setOpenFails);
                Bind(library, "VirtualReaderSetObserver", reader.setObserver);
            } else {
                std::error_code unknown;
                std::fprintf(stderr,
                             "penmora-demo: %s is missing here (%s) and beside the demo; "
                             "fingerprints will not work\n",
                             platform::kFingerLibraryPath,
                             std::filesystem::current_path(unknown).u8string().c_str());
            }
            uint16_t port =
                demo::StartControlEndpoint("127.0.0.1", demo::kControlPort, webDirectory, reader);
            if (port == 0) {
                std::fprintf(stderr, "penmora-demo: cannot listen on 127.0.0.1:%u\n",
                             static_cast<unsigned>(demo::kControlPort));
                platform::ExitProcess(1);
            }
            std::printf("Penmora demo: open http://127.0.0.1:%u/ in a browser. Ctrl-C ends it.\n",
                        static_cast<unsigned>(port));
            std::fflush(stdout);
        },
        Autostart::Skip);
    std::fprintf(stderr, "penmora-demo: another instance is already running\n");
    return result;
}
