// The virtual signature pad: the hidapi C functions the service calls,
// answered from an in-memory model of the pad (its HID entries, a queue of
// input reports, the feature reports it received, the commands it refuses,
// whether it is plugged in). Linked into tests and the demo in place of the
// system's hidapi.
#include "devices/virtual_pad/virtual_pad.h"

#include <hidapi/hidapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

#include "pad/device.h"

struct hid_device_ {
    std::string path;
    bool nonblocking = false;
};

namespace vpad {
namespace {

std::mutex ModelMutex;
// Signalled when a report is queued or the pad is unplugged, so blocked reads
// return as a real device's would.
std::condition_variable ReportArrived;
// The longest a read waits, in microseconds (0: as long as its caller asked).
std::atomic<int> LongestReadWait{0};

std::vector<Entry> DefaultEntries() {
    // The pad as the Windows HID stack lists it: a keyboard-like interface 0
    // and interface 1 split into two top-level collections; the pen and
    // buttons come through the second one.
    const std::string base = "\\\\?\\hid#vid_3f72&pid_0a01";
    const std::string tail = "#7&1a2b3c4d&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    return {
        {PadVendorId, PadProductId, 0, base + "&mi_00" + tail},
        {PadVendorId, PadProductId, 1, base + "&mi_01&col01" + tail},
        {PadVendorId, PadProductId, 1, base + "&mi_01&col02" + tail},
    };
}

struct Model {
    std::vector<Entry> entries = DefaultEntries();
    std::deque<std::vector<uint8_t>> reports;
    std::set<uint8_t> refused;
    std::vector<FeatureReport> features;
    bool plugged = true;
    std::string openedPath;
    Observer observer;
    Usage usage;
};
Model State;

wchar_t* CopyWide(const wchar_t* text) {
    size_t n = wcslen(text) + 1;
    auto* copy = static_cast<wchar_t*>(malloc(n * sizeof(wchar_t)));
    if (copy) wmemcpy(copy, text, n);
    return copy;
}

}  // namespace

void Reset() {
    std::lock_guard<std::mutex> lock(ModelMutex);
    State.entries = DefaultEntries();
    State.reports.clear();
    State.refused.clear();
    State.features.clear();
    State.plugged = true;
    State.openedPath.clear();
    State.observer = Observer{};
    // Handles still open stay counted: a test that leaked one should see it.
    int open = State.usage.openHandles;
    State.usage = Usage{};
    State.usage.openHandles = open;
}

void SetEntries(const std::vector<Entry>& entries) {
    std::lock_guard<std::mutex> lock(ModelMutex);
    State.entries = entries;
}

std::string OpenedPath() {
    std::lock_guard<std::mutex> lock(ModelMutex);
    return State.openedPath;
}

bool IsOpen() {
    std::lock_guard<std::mutex> lock(ModelMutex);
    return State.usage.openHandles > 0;
}

void QueueReport(const std::vector<uint8_t>& bytes) {
    {
        std::lock_guard<std::mutex> lock(ModelMutex);
        State.reports.push_back(bytes);
    }
    ReportArrived.notify_all();
}

void QueuePen(uint16_t x, uint16_t y, uint16_t pressure) {
    QueueReport({2, 0, static_cast<uint8_t>(x & 0xFF), static_cast<uint8_t>(x >> 8),
                 static_cast<uint8_t>(y & 0xFF), static_cast<uint8_t>(y >> 8),
                 static_cast<uint8_t>(pressure & 0xFF), static_cast<uint8_t>(pressure >> 8)});
}

void QueueButton(const std::string& code) {
    std::vector<uint8_t> bytes(2 + code.size());
    bytes[0] = 2;
    bytes[1] = 0x80;
    for (size_t i = 0; i < code.size(); ++i) bytes[2 + i] = static_cast<uint8_t>(code[i]);
    QueueReport(bytes);
}

void SetLongestReadWait(int microseconds) {
    LongestReadWait = microseconds > 0 ? microseconds : 0;
}

size_t PendingReports() {
    std::lock_guard<std::mutex> lock(ModelMutex);
    return State.reports.size();
}

void SetRefusedCommands(const std::set<uint8_t>& codes) {
    std::lock_guard<std::mutex> lock(ModelMutex);
    State.refused = codes;
}

void SetPlugged(bool plugged) {
    {
        std::lock_guard<std::mutex> lock(ModelMutex);
        State.plugged = plugged;
    }
    ReportArrived.notify_all();
}

std::vector<FeatureReport> FeatureReports() {
    std::lock_guard<std::mutex> lock(ModelMutex);
    return State.features;
}

void SetObserver(const Observer& observer) {
    std::lock_guard<std::mutex> lock(ModelMutex);
    State.observer = observer;
}

Usage GetUsage() {
    std::lock_guard<std::mutex> lock(ModelMutex);
    return State.usage;
}

namespace {

// Counts a read in progress for as long as it lives.
struct ReaderMark {
    ReaderMark() {
        State.usage.reads++;
        if (State.reports.empty()) State.usage.readsOnEmpty++;
        State.usage.readersNow++;
        State.usage.readersPeak = std::max(State.usage.readersPeak, State.usage.readersNow);
    }
    ~ReaderMark() { State.usage.readersNow--; }
};

// One read: waits up to `milliseconds` (-1: without limit) for a report.
int Read(hid_device* dev, unsigned char* data, size_t length, int milliseconds) {
    if (!dev || !data) return -1;
    std::unique_lock<std::mutex> lock(ModelMutex);
    ReaderMark mark;
    auto ready = [] { return !State.plugged || !State.reports.empty(); };
    std::chrono::microseconds wait = std::chrono::milliseconds(milliseconds);
    const int longest = LongestReadWait;
    if (longest > 0 && (milliseconds < 0 || wait.count() > longest)) {
        wait = std::chrono::microseconds(longest);
    }
    if (wait.count() < 0) {
        ReportArrived.wait(lock, ready);
    } else if (wait.count() > 0) {
        ReportArrived.wait_for(lock, wait, ready);
    }
    if (!State.plugged) return -1;
    if (State.reports.empty()) return 0;
    std::vector<uint8_t> report = std::move(State.reports.front());
    State.reports.pop_front();
    size_t n = std::min(length, report.size());
    if (n) memcpy(data, report.data(), n);
    return static_cast<int>(n);
}

}  // namespace
}  // namespace vpad

using vpad::ModelMutex;
using vpad::State;

extern "C" {

int hid_init(void) {
    std::lock_guard<std::mutex> lock(ModelMutex);
    State.usage.initialised = true;
    return 0;
}

int hid_exit(void) {
    std::lock_guard<std::mutex> lock(ModelMutex);
    State.usage.initialised = false;
    return 0;
}

struct hid_device_info* hid_enumerate(unsigned short vendor_id, unsigned short product_id) {
    std::lock_guard<std::mutex> lock(ModelMutex);
    State.usage.initialised = true;
    if (!State.plugged) return nullptr;
    hid_device_info* head = nullptr;
    hid_device_info** tail = &head;
    for (const vpad::Entry& e : State.entries) {
        if ((vendor_id && e.vendorId != vendor_id) || (product_id && e.productId != product_id))
            continue;
        auto* info = static_cast<hid_device_info*>(calloc(1, sizeof(hid_device_info)));
        if (!info) break;
        info->path = strdup(e.path.c_str());
        info->vendor_id = e.vendorId;
        info->product_id = e.productId;
        info->serial_number = vpad::CopyWide(L"");
        info->manufacturer_string = vpad::CopyWide(L"Virtual");
        info->product_string = vpad::CopyWide(L"Signature Pad");
        info->interface_number = e.interfaceNumber;
        info->bus_type = HID_API_BUS_USB;
        *tail = info;
        tail = &info->next;
    }
    return head;
}

void hid_free_enumeration(struct hid_device_info* devs) {
    while (devs) {
        hid_device_info* next = devs->next;
        free(devs->path);
        free(devs->serial_number);
        free(devs->manufacturer_string);
        free(devs->product_string);
        free(devs);
        devs = next;
    }
}

hid_device* hid_open_path(const char* path) {
    vpad::Observer observer;
    hid_device* dev = nullptr;
    {
        std::lock_guard<std::mutex> lock(ModelMutex);
        State.usage.initialised = true;
        if (!path || !State.plugged) return nullptr;
        bool listed = std::any_of(State.entries.begin(), State.entries.end(),
                                  [&](const vpad::Entry& e) { return e.path == path; });
        if (!listed) return nullptr;
        dev = new hid_device_;
        dev->path = path;
        // A real pad delivers nothing from before it was opened: what was
        // queued while no handle was open (a button pressed on the closed
        // pad) never reaches the new session.
        if (State.usage.openHandles == 0) State.reports.clear();
        State.openedPath = path;
        State.usage.openHandles++;
        observer = State.observer;
    }
    if (observer.onOpenChanged) observer.onOpenChanged(true);
    return dev;
}

hid_device* hid_open(unsigned short vendor_id, unsigned short product_id, const wchar_t*) {
    std::string path;
    {
        std::lock_guard<std::mutex> lock(ModelMutex);
        for (const vpad::Entry& e : State.entries) {
            if (e.vendorId == vendor_id && e.productId == product_id) {
                path = e.path;
                break;
            }
        }
    }
    return path.empty() ? nullptr : hid_open_path(path.c_str());
}

int hid_set_nonblocking(hid_device* dev, int nonblock) {
    if (!dev) return -1;
    std::lock_guard<std::mutex> lock(ModelMutex);
    dev->nonblocking = nonblock != 0;
    if (nonblock) State.usage.nonblockingSet++;
    return 0;
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds) {
    return vpad::Read(dev, data, length, milliseconds);
}

int hid_read(hid_device* dev, unsigned char* data, size_t length) {
    if (!dev) return -1;
    bool nonblocking;
    {
        std::lock_guard<std::mutex> lock(ModelMutex);
        nonblocking = dev->nonblocking;
    }
    return vpad::Read(dev, data, length, nonblocking ? 0 : -1);
}

int hid_write(hid_device* dev, const unsigned char*, size_t length) {
    if (!dev) return -1;
    std::lock_guard<std::mutex> lock(ModelMutex);
    return State.plugged ? static_cast<int>(length) : -1;
}

int hid_send_feature_report(hid_device* dev, const unsigned char* data, size_t length) {
    if (!dev || !data || length == 0) return -1;
    vpad::FeatureReport report;
    vpad::Observer observer;
    {
        std::lock_guard<std::mutex> lock(ModelMutex);
        if (!State.plugged) return -1;
        report.bytes.assign(data, data + length);
        uint8_t code = length > 1 ? data[1] : 0;
        report.accepted = State.refused.count(code) == 0;
        State.features.push_back(report);
        observer = State.observer;
    }
    if (observer.onFeature) observer.onFeature(report);
    return report.accepted ? static_cast<int>(length) : -1;
}

int hid_get_feature_report(hid_device* dev, unsigned char* data, size_t length) {
    if (!dev || !data || length == 0) return -1;
    std::lock_guard<std::mutex> lock(ModelMutex);
    if (!State.plugged) return -1;
    memset(data + 1, 0, length - 1);
    return static_cast<int>(length);
}

void hid_close(hid_device* dev) {
    if (!dev) return;
    vpad::Observer observer;
    {
        std::lock_guard<std::mutex> lock(ModelMutex);
        State.usage.openHandles--;
        observer = State.observer;
    }
    delete dev;
    if (observer.onOpenChanged) observer.onOpenChanged(false);
}

const wchar_t* hid_error(hid_device* dev) {
    std::lock_guard<std::mutex> lock(ModelMutex);
    if (!State.plugged) return L"Device unplugged";
    return dev ? L"Request refused" : nullptr;
}

}  // extern "C"
