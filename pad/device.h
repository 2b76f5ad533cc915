// The signature pad as a USB HID device: its identity, the choice of the one
// HID entry to open, and the 10-byte pad commands.
#pragma once

#include <hidapi/hidapi.h>

#include <cstdint>
#include <string>

constexpr uint16_t PadVendorId = 0x3F72;
constexpr uint16_t PadProductId = 0x0A01;

constexpr uint8_t SignCommand = 0x01;
constexpr uint8_t CloseCommand = 0x04;
constexpr uint8_t FingerCommand = 0x05;

constexpr int kPadInputSize = 128;

// Chooses one of the pad's HID entries and opens it; nullptr when none.
hid_device* OpenPadDevice();
// The serial number of the entry OpenPadDevice opened last (ASCII, any other
// character as '?'); "" when it has none.
std::string OpenPadSerial();

// Sends the 10-byte feature report {6, code, 0...} to `device`. True on success.
bool SendPadCommand(hid_device* device, uint8_t code);
