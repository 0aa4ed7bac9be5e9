// The capture files are checked the way a user reads them: through tshark's dissectors.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "emu/capture/UsbCapture.h"

namespace {

using emu::capture::EthernetCapture;
using emu::capture::TransferType;
using emu::capture::UsbCapture;

std::string Shell(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen((command + " 2>/dev/null").c_str(), "r"), pclose);
  std::string out;
  std::array<char, 4096> chunk{};
  while (size_t n = fread(chunk.data(), 1, chunk.size(), pipe.get())) out.append(chunk.data(), n);
  return out;
}

// The configuration of a plain high-speed ECM device (communication interface 0, data 1).
const std::vector<uint8_t> kConfiguration = {
    0x09, 0x02, 0x50, 0x00, 0x02, 0x01, 0x00, 0xc0, 0x32, 0x09, 0x04, 0x00, 0x00, 0x01, 0x02, 0x06,
    0x00, 0x00, 0x05, 0x24, 0x00, 0x10, 0x01, 0x05, 0x24, 0x06, 0x00, 0x01, 0x0d, 0x24, 0x0f, 0x03,
    0x00, 0x00, 0x00, 0x00, 0xea, 0x05, 0x00, 0x00, 0x00, 0x07, 0x05, 0x81, 0x03, 0x10, 0x00, 0x08,
    0x09, 0x04, 0x01, 0x00, 0x00, 0x0a, 0x00, 0x00, 0x00, 0x09, 0x04, 0x01, 0x01, 0x02, 0x0a, 0x00,
    0x00, 0x00, 0x07, 0x05, 0x82, 0x02, 0x00, 0x02, 0x00, 0x07, 0x05, 0x02, 0x02, 0x00, 0x02, 0x00};

// An ARP request from 02:00:00:00:00:01 for 192.168.7.2.
const std::vector<uint8_t> kArp = {
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x01,
    0x08, 0x00, 0x06, 0x04, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0xc0, 0xa8, 0x07, 0x01,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xc0, 0xa8, 0x07, 0x02};

class CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ecm-capture-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override { Shell("rm -rf " + dir); }

  void WriteSession(const std::string& path) {
    std::string error;
    std::unique_ptr<UsbCapture> usb = UsbCapture::Create(path, &error);
    ASSERT_TRUE(usb) << error;
    const uint8_t getConfig[8] = {0x80, 0x06, 0x00, 0x02, 0x00, 0x00, 0x50, 0x00};
    usb->ControlSetup(1, 0x000B, getConfig, nullptr, 0, 10);
    usb->ControlComplete(1, 0x000B, true, 0, kConfiguration.data(), kConfiguration.size(), 20);
    const uint8_t filter[8] = {0x21, 0x43, 0x0c, 0x00, 0x00, 0x00, 0x00, 0x00};
    usb->ControlSetup(2, 0x001B, filter, nullptr, 0, 30);
    usb->ControlComplete(2, 0x001B, false, 0, nullptr, 0, 40);
    usb->TransferSubmit(3, 0x81, TransferType::Interrupt, nullptr, 0, 50);
    const uint8_t connected[8] = {0xa1, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
    usb->TransferComplete(3, 0x81, TransferType::Interrupt, 0, connected, sizeof connected, 60);
    usb->TransferSubmit(4, 0x02, TransferType::Bulk, kArp.data(), kArp.size(), 70);
    usb->TransferComplete(4, 0x02, TransferType::Bulk, 0, nullptr, 0, 80);
    usb->TransferSubmit(5, 0x82, TransferType::Bulk, nullptr, 0, 90);
    usb->TransferComplete(5, 0x82, TransferType::Bulk, static_cast<int32_t>(0xC0000004), nullptr, 0, 100);
    usb->IrpInfo(6, 0x001E, 0x82, false, 0, 110);
    usb->IrpInfo(6, 0x001E, 0x82, true, 0, 120);
  }

  std::string dir;
};

TEST_F(CaptureTest, TsharkDecodesRequestsNotificationsAndFramesWithoutComplaint) {
  std::string path = dir + "/usb.pcap";
  WriteSession(path);
  std::string fields = Shell("tshark -r " + path +
                           " -T fields -E separator=, -e usb.irp_info.direction -e usb.control_stage"
                           " -e usbcom.control.request_code -e usbcom.interrupt.notification_code"
                           " -e eth.src -e arp.opcode -e usb.usbd_status");
  EXPECT_NE(fields.find(",0,0x43,"), std::string::npos) << fields;
  EXPECT_NE(fields.find(",,,0x00,"), std::string::npos) << "NETWORK_CONNECTION\n" << fields;
  EXPECT_NE(fields.find("02:00:00:00:00:01,1"), std::string::npos) << "bulk payload as Ethernet\n" << fields;
  EXPECT_NE(fields.find("0xc0000004"), std::string::npos) << fields;
  std::string verbose = Shell("tshark -r " + path + " -V");
  EXPECT_EQ(verbose.find("Malformed"), std::string::npos) << verbose;
  EXPECT_NE(verbose.find("SET ETHERNET PACKET FILTER"), std::string::npos);
  EXPECT_NE(verbose.find("URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL"), std::string::npos);
  EXPECT_EQ(Shell("tshark -r " + path + " -q -z expert"), "") << "no expert items";
}

TEST_F(CaptureTest, EthernetCaptureHoldsThePlainFrames) {
  std::string path = dir + "/eth.pcap";
  {
    std::string error;
    std::unique_ptr<EthernetCapture> eth = EthernetCapture::Create(path, &error);
    ASSERT_TRUE(eth) << error;
    eth->Frame(kArp.data(), kArp.size(), 1000);
  }
  std::string lines = Shell("tshark -r " + path);
  EXPECT_NE(lines.find("Who has 192.168.7.2? Tell 192.168.7.1"), std::string::npos) << lines;
}

TEST_F(CaptureTest, UnwritablePathIsRefusedWithTheReason) {
  std::string error;
  EXPECT_EQ(UsbCapture::Create(dir + "/missing/dir/usb.pcap", &error), nullptr);
  EXPECT_NE(error.find("missing/dir/usb.pcap"), std::string::npos) << error;
}

}  // namespace
