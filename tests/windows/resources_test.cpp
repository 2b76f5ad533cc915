// What a Windows desktop reads from the two executables before it runs a line
// of them, read here as the system's loader reads it (the file mapped as an
// image resource): the application manifest and the icon group of the status
// icon.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>

namespace {

class Executable {
  public:
    explicit Executable(const char* path)
        : module_(LoadLibraryExA(path, nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}
    ~Executable() {
        if (module_) FreeLibrary(module_);
    }
    bool Loaded() const { return module_ != nullptr; }

    // The bytes of resource `id` of a type (RT_MANIFEST 24, RT_GROUP_ICON 14,
    // RT_ICON 3); "" when there is none.
    std::string Resource(int type, int id) const {
        HRSRC found = FindResourceW(module_, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(type));
        if (!found) return "";
        HGLOBAL loaded = LoadResource(module_, found);
        const void* data = loaded ? LockResource(loaded) : nullptr;
        if (!data) return "";
        return std::string(static_cast<const char*>(data), SizeofResource(module_, found));
    }

  private:
    HMODULE module_;
};

// The manifest as a start of the process reads it (resource 1 of type
// RT_MANIFEST), with what the desktop needs of a tray program.
void ExpectTheManifest(const Executable& exe) {
    const std::string manifest = exe.Resource(24, 1);
    ASSERT_FALSE(manifest.empty()) << "no application manifest";
    // Per-monitor DPI awareness, version 2 first, with the older setting for
    // systems that do not read dpiAwareness.
    EXPECT_NE(manifest.find(">PerMonitorV2"), std::string::npos) << manifest;
    EXPECT_NE(manifest.find("<dpiAwareness "), std::string::npos) << manifest;
    EXPECT_NE(manifest.find(">true/pm</dpiAware>"), std::string::npos) << manifest;
    // Common controls 6.
    const size_t controls = manifest.find("name=\"Microsoft.Windows.Common-Controls\"");
    ASSERT_NE(controls, std::string::npos) << manifest;
    const size_t end = manifest.find("/>", controls);
    const std::string identity = manifest.substr(controls, end - controls);
    EXPECT_NE(identity.find("version=\"6.0.0.0\""), std::string::npos) << identity;
    EXPECT_NE(identity.find("publicKeyToken=\"6595b64144ccf1df\""), std::string::npos) << identity;
    // The supported systems: 7, 8, 8.1, 10 and 11.
    for (const char* id :
         {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
          "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) {
        EXPECT_NE(manifest.find(std::string("<supportedOS Id=\"") + id + "\"/>"), std::string::npos)
            << id;
    }
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos) << manifest;
}

#pragma pack(push, 2)
struct GroupIconEntry {  // GRPICONDIRENTRY
    BYTE width, height, colours, reserved;
    WORD planes, bitsPerPixel;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)
static_assert(sizeof(GroupIconEntry) == 14, "the resource's layout");

// The icon group 102: an image of each size the shell asks for at 100 %,
// 125 % and 150 % (16, 20, 24) and of the large sizes (32, 48), 32 bits per
// pixel, each one present as an icon resource of its own.
void ExpectTheIcon(const Executable& exe) {
    const std::string group = exe.Resource(14, 102);
    ASSERT_GE(group.size(), 6u) << "no icon group 102";
    uint16_t header[3];
    std::memcpy(header, group.data(), sizeof header);
    EXPECT_EQ(header[1], 1) << "an icon, not a cursor";
    ASSERT_EQ(group.size(), 6 + 14u * header[2]);
    std::set<int> sizes;
    for (int i = 0; i < header[2]; ++i) {
        GroupIconEntry entry;
        std::memcpy(&entry, group.data() + 6 + 14 * i, sizeof entry);
        EXPECT_EQ(entry.width, entry.height);
        EXPECT_EQ(entry.bitsPerPixel, 32);
        sizes.insert(entry.width);
        const std::string image = exe.Resource(3, entry.id);
        EXPECT_EQ(image.size(), entry.bytes) << "image " << entry.id;
        // A BITMAPINFOHEADER of this width, its height doubled for the mask.
        ASSERT_GE(image.size(), 40u);
        int32_t width, height;
        std::memcpy(&width, image.data() + 4, 4);
        std::memcpy(&height, image.data() + 8, 4);
        EXPECT_EQ(width, entry.width);
        EXPECT_EQ(height, 2 * entry.width);
    }
    EXPECT_EQ(sizes, (std::set<int>{16, 20, 24, 32, 48}));
}

TEST(Resources, TheServiceHasItsManifestAndIconSizes) {
    Executable exe(PENMORA_SERVICE_EXE);
    ASSERT_TRUE(exe.Loaded()) << PENMORA_SERVICE_EXE;
    ExpectTheManifest(exe);
    ExpectTheIcon(exe);
}

TEST(Resources, TheDemoHasItsManifestAndIconSizes) {
    Executable exe(PENMORA_DEMO_EXE);
    ASSERT_TRUE(exe.Loaded()) << PENMORA_DEMO_EXE;
    ExpectTheManifest(exe);
    ExpectTheIcon(exe);
}

}  // namespace
