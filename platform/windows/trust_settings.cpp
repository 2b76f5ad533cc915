// Windows: IT's lists are the values AllowedOrigins and AllowedHosts
// (REG_MULTI_SZ, or REG_SZ) under HKLM\SOFTWARE\Policies\Penmora, the same
// key under HKCU, and HKCU\Software\Penmora (where the per-user installer
// writes them, since a user may not write the policy keys), all joined; the person's answers are DWORD values
// named after the site under HKCU\Software\Penmora\Sites, 1 allowed and 0
// blocked.
#include <fstream>
#include <mutex>
#include <vector>

#include "platform/platform.h"
#include "platform/windows/win32.h"

namespace platform {
namespace {

const wchar_t kPolicyKey[] = L"SOFTWARE\\Policies\\Penmora";
const wchar_t kInstallerKey[] = L"Software\\Penmora";
const wchar_t kSitesKey[] = L"Software\\Penmora\\Sites";

std::mutex& FolderLock = *new std::mutex;
std::string& TestFolder = *new std::string;

void ReadValue(HKEY root, const wchar_t* rootName, const wchar_t* path, const wchar_t* value,
               std::vector<TrustEntry>* entries) {
    HKEY key;
    if (RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return;
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, value, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        (type == REG_MULTI_SZ || type == REG_SZ) && size > 0) {
        std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
        if (RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                             &size) == ERROR_SUCCESS) {
            const std::string source =
                Narrow(std::wstring(rootName) + L"\\" + path + L"\\" + value, CP_UTF8);
            // One string after another, each ended by a NUL, an empty one last.
            for (const wchar_t* at = data.data(); *at; at += wcslen(at) + 1) {
                entries->push_back({Narrow(at, CP_UTF8), source});
                if (type == REG_SZ) break;
            }
        }
    }
    RegCloseKey(key);
}

void ReadFileList(const std::string& path, std::vector<TrustEntry>* entries) {
    std::ifstream in(FileSystemPath(path));
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const size_t hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        if (line.find_first_not_of(" \t\r") != std::string::npos)
            entries->push_back({line, path + ":" + std::to_string(number)});
    }
}

}  // namespace

TrustSettings ReadTrustSettings() {
    TrustSettings settings;
    std::string folder;
    {
        std::lock_guard<std::mutex> hold(FolderLock);
        folder = TestFolder;
    }
    if (!folder.empty()) {
        ReadFileList(folder + "\\allowed-origins", &settings.origins);
        ReadFileList(folder + "\\allowed-hosts", &settings.hosts);
    } else {
        struct Place {
            HKEY root;
            const wchar_t* name;
            const wchar_t* path;
        };
        for (const Place& place : {Place{HKEY_LOCAL_MACHINE, L"HKLM", kPolicyKey},
                                   Place{HKEY_CURRENT_USER, L"HKCU", kPolicyKey},
                                   Place{HKEY_CURRENT_USER, L"HKCU", kInstallerKey}}) {
            ReadValue(place.root, place.name, place.path, L"AllowedOrigins", &settings.origins);
            ReadValue(place.root, place.name, place.path, L"AllowedHosts", &settings.hosts);
        }
    }
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kSitesKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return settings;
    for (DWORD index = 0;; ++index) {
        wchar_t name[2048];
        DWORD nameSize = 2048, type = 0, value = 0, valueSize = sizeof value;
        const LONG result = RegEnumValueW(key, index, name, &nameSize, nullptr, &type,
                                          reinterpret_cast<BYTE*>(&value), &valueSize);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS || type != REG_DWORD) continue;
        (value ? settings.allowed : settings.blocked).push_back(Narrow(name, CP_UTF8));
    }
    RegCloseKey(key);
    return settings;
}

namespace {

// The time a key was last written, or nothing when it is missing.
std::string KeyStamp(HKEY root, const wchar_t* path) {
    HKEY key;
    if (RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return "-";
    FILETIME written{};
    DWORD values = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                     nullptr, nullptr, &written);
    RegCloseKey(key);
    return std::to_string(written.dwHighDateTime) + "." + std::to_string(written.dwLowDateTime) +
           "." + std::to_string(values);
}

std::string FileStamp(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(Widen(path, CP_UTF8).c_str(), GetFileExInfoStandard, &data))
        return "-";
    return std::to_string(data.ftLastWriteTime.dwHighDateTime) + "." +
           std::to_string(data.ftLastWriteTime.dwLowDateTime) + "." +
           std::to_string(data.nFileSizeLow);
}

}  // namespace

std::string TrustSettingsStamp() {
    std::string folder;
    {
        std::lock_guard<std::mutex> hold(FolderLock);
        folder = TestFolder;
    }
    std::string stamp = folder + "|";
    if (!folder.empty())
        stamp +=
            FileStamp(folder + "\\allowed-origins") + "|" + FileStamp(folder + "\\allowed-hosts");
    else
        stamp += KeyStamp(HKEY_LOCAL_MACHINE, kPolicyKey) + "|" +
                 KeyStamp(HKEY_CURRENT_USER, kPolicyKey) + "|" +
                 KeyStamp(HKEY_CURRENT_USER, kInstallerKey);
    return stamp + "|" + KeyStamp(HKEY_CURRENT_USER, kSitesKey);
}

bool RememberSiteAnswer(const std::string& origin, bool allowed) {
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kSitesKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return false;
    const DWORD value = allowed ? 1 : 0;
    const bool ok =
        RegSetValueExW(key, Widen(origin, CP_UTF8).c_str(), 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&value), sizeof value) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

void SetTrustSettingsFolderForTests(const std::string& folder) {
    std::lock_guard<std::mutex> hold(FolderLock);
    TestFolder = folder;
}

}  // namespace platform
