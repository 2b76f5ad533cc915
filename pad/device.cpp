// The pad as a HID device: which of its HID entries to open, and its 10-byte
// feature-report commands.
#include "pad/device.h"

#include <cctype>
#include <cstring>
#include <mutex>

namespace {

// Reads the hexadecimal digits that directly follow the first "&col" of
// `path`; -1 when the path has no "&col", 0 when no digits follow. Long runs
// saturate instead of overflowing, so they can never read as 2.
long CollectionNumber(const char* path) {
    const char* col = strstr(path, "&col");
    if (!col) return -1;
    long value = 0;
    for (const char* p = col + 4; isxdigit(static_cast<unsigned char>(*p)); ++p) {
        int digit = isdigit(static_cast<unsigned char>(*p))
                        ? *p - '0'
                        : tolower(static_cast<unsigned char>(*p)) - 'a' + 10;
        value = value > 0xFFFFFF ? 0x1000000 : value * 16 + digit;
    }
    return value;
}

bool Qualifies(const hid_device_info* entry) {
    return entry->vendor_id == PadVendorId && entry->product_id == PadProductId &&
           (entry->interface_number == 1 || entry->interface_number == -1) && entry->path &&
           CollectionNumber(entry->path) == 2;
}

// The serial number of the entry opened last: written by OpenPadDevice on a
// command's thread, read at OK on the pen-input thread.
std::mutex SerialMutex;
std::string OpenedSerial;

void NoteSerial(const wchar_t* serial) {
    std::string text;
    for (const wchar_t* c = serial; c && *c; ++c) {
        text += *c > 0x20 && *c < 0x7f ? static_cast<char>(*c) : '?';
    }
    std::lock_guard<std::mutex> lock(SerialMutex);
    OpenedSerial = text;
}

}  // namespace

std::string OpenPadSerial() {
    std::lock_guard<std::mutex> lock(SerialMutex);
    return OpenedSerial;
}

hid_device* OpenPadDevice() {
    hid_device_info* list = hid_enumerate(PadVendorId, PadProductId);
    if (!list) return nullptr;
    const hid_device_info* chosen = nullptr;
    const hid_device_info* last = list;
    for (const hid_device_info* entry = list; entry; entry = entry->next) {
        last = entry;
        if (Qualifies(entry)) {
            chosen = entry;
            break;
        }
    }
    if (!chosen) chosen = last;
    hid_device* device = chosen->path ? hid_open_path(chosen->path) : nullptr;
    NoteSerial(device ? chosen->serial_number : nullptr);
    hid_free_enumeration(list);
    return device;
}

bool SendPadCommand(hid_device* device, uint8_t code) {
    if (!device) return false;
    unsigned char report[10] = {6, code};
    return hid_send_feature_report(device, report, sizeof report) >= 0;
}
