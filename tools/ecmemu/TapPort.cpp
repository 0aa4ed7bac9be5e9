#include "tools/ecmemu/TapPort.h"

namespace ecmemu {
namespace {

constexpr int kReadPollMs = 100;  // how soon the reader notices a stop

}  // namespace

TapPort::~TapPort() { StopReading(); }

void TapPort::StartReading() { reader_ = std::thread([this] { ReadMain(); }); }

void TapPort::StopReading() {
  stopping_ = true;
  OnStopping();
  if (reader_.joinable()) reader_.join();
}

void TapPort::ReadMain() {
  std::vector<uint8_t> frame;
  while (!stopping_ && WaitForRoom()) {
    if (!tap_.Read(frame, kReadPollMs)) {
      readFailed_ = true;
      return;
    }
    if (!frame.empty()) Take(frame);
  }
}

}  // namespace ecmemu
