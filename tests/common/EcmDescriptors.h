// Descriptor pieces for tests that build an ECM device of their own: the usual function is the
// built-in one's (communication interface 0 with header, union and Ethernet Networking
// descriptors and an interrupt IN endpoint 0x81; data interface 1 with bulk IN 0x82 and OUT
// 0x02 at alternate setting 1), and a test varies what it is about.
#pragma once

#include <initializer_list>
#include <string>

#include "emu/devices/DeviceProfile.h"

namespace ecm_descriptors {

using emu::devices::Bytes;

constexpr UCHAR kNotifyEndpoint = 0x81;
constexpr UCHAR kDataInEndpoint = 0x82;
constexpr UCHAR kDataOutEndpoint = 0x02;
constexpr UCHAR kMacStringIndex = 3;

// A configuration from descriptors, with wTotalLength and bNumInterfaces filled in.
inline Bytes Configuration(UCHAR interfaces, std::initializer_list<Bytes> parts, UCHAR value = 1) {
  Bytes bytes = {9, 2, 0, 0, interfaces, value, 0, 0xC0, 50};
  for (const Bytes& part : parts) bytes.insert(bytes.end(), part.begin(), part.end());
  bytes[2] = static_cast<UCHAR>(bytes.size());
  bytes[3] = static_cast<UCHAR>(bytes.size() >> 8);
  return bytes;
}
inline Bytes Interface(UCHAR number, UCHAR alternate, UCHAR endpoints, UCHAR interfaceClass, UCHAR subclass = 0,
                       UCHAR protocol = 0) {
  return {9, 4, number, alternate, endpoints, interfaceClass, subclass, protocol, 0};
}
inline Bytes Endpoint(UCHAR address, UCHAR type, USHORT packet) {
  return {7,
          5,
          address,
          type,
          static_cast<UCHAR>(packet),
          static_cast<UCHAR>(packet >> 8),
          type == 3 ? UCHAR{8} : UCHAR{0}};
}
inline Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes bytes;
  for (const Bytes& part : parts) bytes.insert(bytes.end(), part.begin(), part.end());
  return bytes;
}
inline Bytes CommunicationInterface(UCHAR endpoints = 1) { return Interface(0, 0, endpoints, 0x02, 0x06, 0x00); }
inline Bytes HeaderAndUnion() { return {5, 0x24, 0x00, 0x10, 0x01, 5, 0x24, 0x06, 0x00, 0x01}; }
// The Ethernet Networking functional descriptor, cut to 'length' bytes when shorter.
inline Bytes EthernetNetworking(UCHAR macString = kMacStringIndex, USHORT maxSegment = 1514, UCHAR length = 13) {
  Bytes bytes = {
      13, 0x24, 0x0F, macString, 0, 0, 0, 0, static_cast<UCHAR>(maxSegment), static_cast<UCHAR>(maxSegment >> 8),
      0,  0,    0};
  bytes.resize(length);
  bytes[0] = length;
  return bytes;
}
inline Bytes NotifyEndpoint(USHORT packet = 16) { return Endpoint(kNotifyEndpoint, 3, packet); }
// Data interface 1: an empty alternate setting 0, and bulk IN and OUT at alternate setting 1.
inline Bytes DataInterface(USHORT packet = 512) {
  return Join({Interface(1, 0, 0, 0x0A), Interface(1, 1, 2, 0x0A), Endpoint(kDataInEndpoint, 2, packet),
               Endpoint(kDataOutEndpoint, 2, packet)});
}
// The usual two-interface function, its communication interface followed by 'functional'.
inline Bytes EcmConfiguration(const Bytes& functional, USHORT bulkPacket = 512, USHORT notifyPacket = 16) {
  return Configuration(2,
                       {CommunicationInterface(), functional, NotifyEndpoint(notifyPacket), DataInterface(bulkPacket)});
}

// A string descriptor of the text (ASCII).
inline Bytes String(const std::string& text) {
  Bytes bytes = {static_cast<UCHAR>(2 + 2 * text.size()), 3};
  for (char c : text) bytes.insert(bytes.end(), {static_cast<UCHAR>(c), 0});
  return bytes;
}

// The built-in device with configuration index 0 and its MAC string replaced.
inline emu::devices::DeviceProfile EcmProfile(Bytes configuration, const std::string& macString = "02EC0DE00001") {
  emu::devices::DeviceProfile profile = emu::devices::DefaultEcmProfile();
  profile.configurations[0] = std::move(configuration);
  profile.strings[kMacStringIndex] = String(macString);
  return profile;
}

}  // namespace ecm_descriptors
