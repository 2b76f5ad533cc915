// Control of the virtual signature pad: a model of the pad behind the hidapi
// functions the service calls. Tests script it through these functions; the
// demo drives it from its control endpoint. All functions are thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace vpad {

// One HID entry of the model, as hid_enumerate lists it.
struct Entry {
    uint16_t vendorId;
    uint16_t productId;
    int interfaceNumber;
    std::string path;
};

// Back to the default model: one pad (PadVendorId, PadProductId) listing its
// usual entries, plugged in, accepting every command, no queued reports, no
// feature reports recorded, no observer.
void Reset();
// Replaces the listed HID entries (in enumeration order).
void SetEntries(const std::vector<Entry>& entries);
// Path of the entry opened last ("" when none was opened).
std::string OpenedPath();
bool IsOpen();

// Queues one input report (up to any length; reads deliver at most the
// caller's buffer size). Reports queued while the pad is closed are dropped
// when it is opened, as a real pad delivers nothing from before its opening.
void QueueReport(const std::vector<uint8_t>& bytes);
// A PenReport: 02 00, x, y, pressure (16-bit little-endian).
void QueuePen(uint16_t x, uint16_t y, uint16_t pressure);
// A ButtonReport: 02 80 and the code ("CL", "OK" or "CNCL").
void QueueButton(const std::string& code);
// Reports queued and not yet read.
size_t PendingReports();
// Reads wait at most this long for a report, whatever their caller asked
// (0, the default: as long as asked), as a pad that answers every read at
// once with nothing would. Fuzz targets use it so that closing a session
// never waits out a read. Reset keeps it.
void SetLongestReadWait(int microseconds);

// Command codes (byte 1 of the feature report) that the pad refuses.
void SetRefusedCommands(const std::set<uint8_t>& codes);
// Unplugged: not enumerated, reads and feature reports fail.
void SetPlugged(bool plugged);

// Every feature report received, in order, whether accepted or not.
struct FeatureReport {
    std::vector<uint8_t> bytes;
    bool accepted;
};
std::vector<FeatureReport> FeatureReports();

// Called on the thread that caused the event (no lock of the model is held).
struct Observer {
    std::function<void(const FeatureReport&)> onFeature;
    std::function<void(bool open)> onOpenChanged;
};
void SetObserver(const Observer& observer);

// How the library has been used since the last Reset.
struct Usage {
    int openHandles = 0;       // devices opened and not yet closed
    bool initialised = false;  // hid_init (or an enumerate or open) since the last hid_exit
    int readersPeak = 0;       // most reads in progress at the same moment
    int readersNow = 0;        // reads in progress now
    long reads = 0;            // hid_read and hid_read_timeout calls
    long readsOnEmpty = 0;     // of those, the ones that began with no report queued
    long nonblockingSet = 0;   // hid_set_nonblocking(dev, 1) calls
};
Usage GetUsage();

}  // namespace vpad
