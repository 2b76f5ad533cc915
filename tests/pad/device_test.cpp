// Which HID entry of the pad is opened, and the bytes of the pad commands,
// against the virtual pad.
#include "pad/device.h"

#include <gtest/gtest.h>

#include "devices/virtual_pad/virtual_pad.h"

namespace {

const std::string kPrefix = "\\\\?\\hid#vid_3f72&pid_0a01&mi_01";
const std::string kSuffix = "#8&2f1c0e&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";

vpad::Entry PadEntry(int interfaceNumber, const std::string& path) {
    return {PadVendorId, PadProductId, interfaceNumber, path};
}

// Opens through OpenPadDevice and returns the path the pad saw opened.
std::string OpenedBy(const std::vector<vpad::Entry>& entries) {
    vpad::Reset();
    vpad::SetEntries(entries);
    hid_device* device = OpenPadDevice();
    std::string path = device ? vpad::OpenedPath() : std::string("(none)");
    if (device) hid_close(device);
    hid_exit();
    return path;
}

class PadDeviceTest : public ::testing::Test {
  protected:
    void TearDown() override {
        vpad::Reset();
        EXPECT_EQ(vpad::GetUsage().openHandles, 0);
    }
};

TEST_F(PadDeviceTest, OpensTheSecondCollectionOfInterfaceOneInEitherOrder) {
    std::string col1 = kPrefix + "&col01" + kSuffix;
    std::string col2 = kPrefix + "&col02" + kSuffix;
    EXPECT_EQ(OpenedBy({PadEntry(1, col1), PadEntry(1, col2)}), col2);
    EXPECT_EQ(OpenedBy({PadEntry(1, col2), PadEntry(1, col1)}), col2);
    // The default model of the virtual pad lists interface 0 as well.
    vpad::Reset();
    hid_device* device = OpenPadDevice();
    ASSERT_NE(device, nullptr);
    EXPECT_NE(vpad::OpenedPath().find("&col02"), std::string::npos);
    hid_close(device);
}

TEST_F(PadDeviceTest, ReadsTheCollectionNumberAsHexadecimal) {
    std::string last = kPrefix + "&col01" + kSuffix;
    for (const char* value : {"02", "2", "002"}) {
        std::string path = kPrefix + "&col" + value + kSuffix;
        EXPECT_EQ(OpenedBy({PadEntry(1, path), PadEntry(1, last)}), path) << value;
    }
    // Ten, thirty-two, two hundred and fifty-eight: no match, so the last
    // entry is opened.
    for (const char* value : {"0A", "0a", "20", "102", "", "g2"}) {
        std::string path = kPrefix + "&col" + value + kSuffix;
        EXPECT_EQ(OpenedBy({PadEntry(1, path), PadEntry(1, last)}), last) << value;
    }
    // Only the first "&col" counts.
    std::string twice = kPrefix + "&col01&col02" + kSuffix;
    EXPECT_EQ(OpenedBy({PadEntry(1, twice), PadEntry(1, last)}), last);
    // A long run of digits must not wrap around to 2.
    std::string wrap = kPrefix + "&col10000000000000002" + kSuffix;
    EXPECT_EQ(OpenedBy({PadEntry(1, wrap), PadEntry(1, last)}), last);
}

TEST_F(PadDeviceTest, InterfaceMustBeOneOrUnknown) {
    std::string col2 = kPrefix + "&col02" + kSuffix;
    std::string other = kPrefix + "&col01" + kSuffix;
    EXPECT_EQ(OpenedBy({PadEntry(-1, col2), PadEntry(1, other)}), col2);
    EXPECT_EQ(OpenedBy({PadEntry(0, col2), PadEntry(1, other)}), other);
    EXPECT_EQ(OpenedBy({PadEntry(2, col2), PadEntry(1, other)}), other);
    // Interface 0 never qualifies, but as the last entry it is the fallback.
    EXPECT_EQ(OpenedBy({PadEntry(1, other), PadEntry(0, col2)}), col2);
}

TEST_F(PadDeviceTest, FallsBackToTheLastEntry) {
    // Paths of the Linux hidraw backend carry no "&col" at all.
    EXPECT_EQ(OpenedBy({PadEntry(1, "/dev/hidraw3")}), "/dev/hidraw3");
    EXPECT_EQ(OpenedBy({PadEntry(1, "/dev/hidraw3"), PadEntry(0, "/dev/hidraw4")}), "/dev/hidraw4");
    EXPECT_EQ(OpenedBy({}), "(none)");
}

TEST_F(PadDeviceTest, TwoPadsOpenTheFirstQualifyingEntry) {
    std::string firstPad = "\\\\?\\hid#vid_3f72&pid_0a01&mi_01&col02#a";
    std::string secondPad = "\\\\?\\hid#vid_3f72&pid_0a01&mi_01&col02#b";
    EXPECT_EQ(OpenedBy({PadEntry(1, firstPad), PadEntry(1, secondPad)}), firstPad);
    std::string x = "\\\\?\\hid#vid_3f72&pid_0a01&mi_00#a";
    std::string y = "\\\\?\\hid#vid_3f72&pid_0a01&mi_00#b";
    EXPECT_EQ(OpenedBy({PadEntry(0, x), PadEntry(0, y)}), y);
}

TEST_F(PadDeviceTest, OtherDevicesAreNeverOpened) {
    std::string col2 = kPrefix + "&col02" + kSuffix;
    EXPECT_EQ(OpenedBy({{0x1234, PadProductId, 1, col2}, {PadVendorId, 0x9999, 1, col2}}),
              "(none)");
}

TEST_F(PadDeviceTest, UnpluggedPadGivesNone) {
    vpad::Reset();
    vpad::SetPlugged(false);
    EXPECT_EQ(OpenPadDevice(), nullptr);
    EXPECT_EQ(vpad::GetUsage().openHandles, 0);
}

TEST_F(PadDeviceTest, CommandsAreTenByteFeatureReports) {
    vpad::Reset();
    hid_device* device = OpenPadDevice();
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(SendPadCommand(device, SignCommand));
    vpad::SetRefusedCommands({CloseCommand});
    EXPECT_FALSE(SendPadCommand(device, CloseCommand));
    EXPECT_TRUE(SendPadCommand(device, FingerCommand));
    vpad::SetPlugged(false);
    EXPECT_FALSE(SendPadCommand(device, SignCommand));
    EXPECT_FALSE(SendPadCommand(nullptr, SignCommand));
    hid_close(device);

    auto reports = vpad::FeatureReports();
    ASSERT_EQ(reports.size(), 3u);
    const uint8_t codes[] = {SignCommand, CloseCommand, FingerCommand};
    for (size_t i = 0; i < reports.size(); ++i) {
        std::vector<uint8_t> expected(10, 0);
        expected[0] = 6;
        expected[1] = codes[i];
        EXPECT_EQ(reports[i].bytes, expected);
    }
    EXPECT_TRUE(reports[0].accepted);
    EXPECT_FALSE(reports[1].accepted);
}

TEST_F(PadDeviceTest, LongReportsAreCutToTheBuffer) {
    vpad::Reset();
    hid_device* device = OpenPadDevice();
    ASSERT_NE(device, nullptr);
    std::vector<uint8_t> report(200);
    for (size_t i = 0; i < report.size(); ++i) report[i] = static_cast<uint8_t>(i + 1);
    vpad::QueueReport(report);
    uint8_t buffer[kPadInputSize + 8] = {};
    EXPECT_EQ(hid_read_timeout(device, buffer, kPadInputSize, 0), kPadInputSize);
    EXPECT_EQ(buffer[kPadInputSize - 1], kPadInputSize);
    EXPECT_EQ(buffer[kPadInputSize], 0);
    hid_close(device);
}

TEST_F(PadDeviceTest, ReportsQueuedWhileClosedAreDroppedAtTheOpening) {
    vpad::Reset();
    vpad::QueueButton("CNCL");
    vpad::QueuePen(100, 100, 500);
    ASSERT_EQ(vpad::PendingReports(), 2u);
    hid_device* device = OpenPadDevice();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(vpad::PendingReports(), 0u);
    uint8_t buffer[kPadInputSize] = {};
    EXPECT_EQ(hid_read_timeout(device, buffer, kPadInputSize, 0), 0);
    // Reports queued while it is open are kept, a second handle included.
    vpad::QueueButton("OK");
    hid_device* second = OpenPadDevice();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(vpad::PendingReports(), 1u);
    EXPECT_EQ(hid_read_timeout(device, buffer, kPadInputSize, 0), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer) + 2, 2), "OK");
    hid_close(second);
    hid_close(device);
}

}  // namespace
