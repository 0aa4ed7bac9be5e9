// Finding and opening the device, taking its interfaces from the kernel and giving them back.
#include "emu/realusb/RealDevice.h"

#include <libusb.h>

#include <chrono>
#include <cstdio>

namespace emu::realusb {
namespace {

constexpr auto kCancelBound = std::chrono::seconds(5);  // cancelled transfers end in milliseconds

std::string BusPathOf(libusb_device* device) {
  uint8_t ports[8];
  int count = libusb_get_port_numbers(device, ports, sizeof ports);
  std::string path = std::to_string(libusb_get_bus_number(device)) + "-";
  for (int i = 0; i < count; ++i) path += (i ? "." : "") + std::to_string(ports[i]);
  return path;
}

const char* SpeedName(int speed) {
  switch (speed) {
    case LIBUSB_SPEED_LOW: return "low speed";
    case LIBUSB_SPEED_FULL: return "full speed";
    case LIBUSB_SPEED_HIGH: return "high speed";
    case LIBUSB_SPEED_SUPER: return "SuperSpeed";
    default: return "speed unknown";
  }
}

std::string Ids(uint16_t vendor, uint16_t product) {
  char text[10];
  std::snprintf(text, sizeof text, "%04x:%04x", vendor, product);
  return text;
}

}  // namespace

std::unique_ptr<RealDevice> RealDevice::Open(const DeviceSelector& selector, bool take, std::string* error) {
  libusb_context* context = nullptr;
  if (int rc = libusb_init(&context); rc != 0) {
    *error = std::string("libusb cannot start: ") + libusb_strerror(rc);
    return nullptr;
  }
  libusb_device** list = nullptr;
  ssize_t count = libusb_get_device_list(context, &list);
  libusb_device* chosen = nullptr;
  libusb_device_descriptor chosenDescriptor{};
  unsigned seen = 0;
  for (ssize_t i = 0; i < count && !chosen; ++i) {
    libusb_device_descriptor d{};
    if (libusb_get_device_descriptor(list[i], &d) != 0) continue;
    bool match = selector.busPath.empty()
                     ? d.idVendor == selector.vendorId && d.idProduct == selector.productId && ++seen == selector.ordinal
                     : BusPathOf(list[i]) == selector.busPath;
    if (match) {
      chosen = list[i];
      chosenDescriptor = d;
    }
  }
  std::string wanted = selector.busPath.empty() ? Ids(selector.vendorId, selector.productId) +
                                                      (selector.ordinal > 1 ? "@" + std::to_string(selector.ordinal) : "")
                                                : "at " + selector.busPath;
  libusb_device_handle* handle = nullptr;
  int rc = chosen ? libusb_open(chosen, &handle) : LIBUSB_ERROR_NOT_FOUND;
  std::string description;
  if (chosen)
    description = Ids(chosenDescriptor.idVendor, chosenDescriptor.idProduct) + " at " + BusPathOf(chosen) + ", " +
                  SpeedName(libusb_get_device_speed(chosen));
  libusb_free_device_list(list, 1);
  if (rc != 0) {
    *error = !chosen ? "no USB device " + wanted + " is present"
             : rc == LIBUSB_ERROR_ACCESS
                 ? "no permission to open the USB device " + wanted + " (its node under /dev/bus/usb must be writable)"
                 : "cannot open the USB device " + wanted + ": " + libusb_strerror(rc);
    libusb_exit(context);
    return nullptr;
  }
  std::unique_ptr<RealDevice> device(new RealDevice(context, handle, description));
  int configuration = 0;
  libusb_get_configuration(handle, &configuration);
  device->originalConfiguration_ = configuration;
  if (take && configuration && !device->TakeInterfaces(static_cast<UCHAR>(configuration))) {
    *error = "cannot take the interfaces of " + description + " from the kernel: " + device->notes().back();
    return nullptr;
  }
  return device;
}

RealDevice::RealDevice(libusb_context* context, libusb_device_handle* handle, std::string description)
    : context_(context), handle_(handle), description_(std::move(description)) {
  events_ = std::thread([this] { EventMain(); });
  completion_ = std::thread([this] { CompletionMain(); });
}

RealDevice::~RealDevice() {
  Close();
  libusb_close(handle_);
  libusb_exit(context_);
}

std::vector<std::string> RealDevice::notes() {
  std::lock_guard<std::mutex> guard(flightsMutex_);
  return notes_;
}

bool RealDevice::TakeInterfaces(UCHAR configurationValue) {
  libusb_config_descriptor* configuration = nullptr;
  if (int rc = libusb_get_config_descriptor_by_value(libusb_get_device(handle_), configurationValue, &configuration);
      rc != 0) {
    std::lock_guard<std::mutex> guard(flightsMutex_);
    notes_.push_back("configuration " + std::to_string(configurationValue) + " unreadable: " + libusb_strerror(rc));
    return false;
  }
  bool ok = true;
  for (int i = 0; i < configuration->bNumInterfaces && ok; ++i) {
    int number = configuration->interface[i].altsetting[0].bInterfaceNumber;
    std::string note;
    if (libusb_kernel_driver_active(handle_, number) == 1) {
      int rc = libusb_detach_kernel_driver(handle_, number);
      ok = rc == 0;
      note = "interface " + std::to_string(number) + ": kernel driver " + (ok ? "detached" : "not detached: ") +
             (ok ? "" : libusb_strerror(rc));
      if (ok) detached_.insert(number);
    }
    if (ok) {
      int rc = libusb_claim_interface(handle_, number);
      ok = rc == 0;
      if (ok) claimed_.insert(number);
      else note = "interface " + std::to_string(number) + " not claimed: " + libusb_strerror(rc);
    }
    if (!note.empty()) {
      std::lock_guard<std::mutex> guard(flightsMutex_);
      notes_.push_back(note);
    }
  }
  libusb_free_config_descriptor(configuration);
  return ok;
}

void RealDevice::ReleaseInterfaces() {
  for (int number : claimed_) libusb_release_interface(handle_, number);
  claimed_.clear();
}

void RealDevice::Close() {
  {
    std::unique_lock<std::mutex> guard(flightsMutex_);
    for (auto& [id, flight] : flights_) {
      flight->stopped = true;
      libusb_cancel_transfer(flight->transfer);
    }
    flightsEmpty_.wait_for(guard, kCancelBound, [this] { return flights_.empty(); });
  }
  {
    std::lock_guard<std::mutex> guard(endingsMutex_);
    if (closing_) return;
    closing_ = true;
  }
  endingsReady_.notify_all();
  completion_.join();
  stopEvents_ = true;
  libusb_interrupt_event_handler(context_);
  events_.join();
  // Back as the kernel had it: its configuration, and its drivers on their interfaces.
  ReleaseInterfaces();
  std::vector<std::string> given;
  int configuration = 0;
  if (!gone_ && libusb_get_configuration(handle_, &configuration) == 0 && configuration != originalConfiguration_) {
    int rc = libusb_set_configuration(handle_, originalConfiguration_ ? originalConfiguration_ : -1);
    given.push_back("configuration " + std::to_string(originalConfiguration_) +
                    (rc == 0 ? " restored (the kernel binds its drivers anew)" : std::string(" not restored: ") +
                                                                                   libusb_strerror(rc)));
  } else if (!gone_) {
    for (int number : detached_) {
      int rc = libusb_attach_kernel_driver(handle_, number);
      given.push_back("interface " + std::to_string(number) + ": kernel driver " +
                      (rc == 0 ? "reattached" : std::string("not reattached: ") + libusb_strerror(rc)));
    }
  }
  detached_.clear();
  std::lock_guard<std::mutex> guard(flightsMutex_);
  notes_.insert(notes_.end(), given.begin(), given.end());
}

}  // namespace emu::realusb
