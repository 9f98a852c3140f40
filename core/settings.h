// The ten persisted link settings and the one table that names them: the
// registry value each is kept in, its member, its default and its width.
// The store loads and saves by the table, a fresh context starts from its
// defaults, and the setters and the port fall back to them.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/int16.h"

namespace zeva {

// The settings at their system widths; each member starts at its default
// from kSettingRows.
struct Settings {
  constexpr Settings();

  // Base of the driver's waits, in ms. It is kept at 16 bits (what
  // getPacketTimeout returns); the waits and the saved value take it
  // sign-extended, which is the same number.
  int16_t packetTimeout = 0;
  int16_t busyTimeout = 0;
  int16_t port = 0;
  int32_t bps = 0;
  int16_t frameSize = 0;
  int16_t rxBuffer = 0;
  int16_t txBuffer = 0;
  int16_t localAddress = 0;
  int32_t adapterId = 0;
  int32_t protocol = 0;
};

// What a load keeps of a stored 32-bit value: a 16-bit setting, and the
// adapter kind, keep the low 16 bits as a signed value (65537 becomes 1,
// 65535 becomes -1); the others all 32 bits.
enum class Loaded { kLow16, kAll32 };

// What a load does with a value outside the setting's range, as the
// setter does with such an argument.
enum class OutOfRange { kClamp, kDefault };

// How a stored value was taken.
enum class LoadVerdict { kTaken, kOutOfRange };

struct SettingRow {
  std::string_view registryName;  // REG_DWORD value under the settings key
  int16_t Settings::*member16;    // the member of a 16-bit setting, else nullptr
  int32_t Settings::*member32;    // the member of a 32-bit setting, else nullptr
  int32_t defaultValue;
  Loaded loaded;
  // The range the setter keeps the setting in, and what it does outside.
  int32_t lowest;
  int32_t highest;
  OutOfRange outOfRange;

  // The value as saved: a 16-bit setting sign-extended.
  constexpr int32_t Get(const Settings& s) const { return member16 ? Widen16(s.*member16) : s.*member32; }
  constexpr void Put(Settings& s, int32_t value) const {
    if (member16) {
      s.*member16 = Low16(value);
    } else {
      s.*member32 = value;
    }
  }
  // Stores a value read from the registry: narrowed to the setting's width,
  // then kept in the setter's range, so a stored value can never make a
  // setting no setter could (a negative time-out, a rate of 0).
  constexpr LoadVerdict Load(Settings& s, int32_t stored) const {
    const int32_t narrowed = loaded == Loaded::kLow16 ? Widen16(Low16(stored)) : stored;
    if (narrowed >= lowest && narrowed <= highest) {
      Put(s, narrowed);
      return LoadVerdict::kTaken;
    }
    if (outOfRange == OutOfRange::kDefault) {
      Put(s, defaultValue);
    } else {
      Put(s, narrowed < lowest ? lowest : highest);
    }
    return LoadVerdict::kOutOfRange;
  }
};

constexpr SettingRow Setting16(std::string_view name, int16_t Settings::*member, int16_t value, int16_t lowest,
                               int16_t highest, OutOfRange outOfRange) {
  return {name, member, nullptr, value, Loaded::kLow16, lowest, highest, outOfRange};
}
constexpr SettingRow Setting32(std::string_view name, int32_t Settings::*member, int32_t value, Loaded loaded,
                               int32_t lowest, int32_t highest, OutOfRange outOfRange) {
  return {name, nullptr, member, value, loaded, lowest, highest, outOfRange};
}

// In the order they are loaded and saved. The registry names are the ones
// existing installations hold: never change them.
inline constexpr SettingRow kSettingRows[] = {
    Setting16("PacketTimeout", &Settings::packetTimeout, 81, 1, 32767, OutOfRange::kDefault),
    Setting16("BusyTimeout", &Settings::busyTimeout, 300, 1, 32767, OutOfRange::kDefault),
    Setting16("Port", &Settings::port, 1, 1, 128, OutOfRange::kClamp),
    // The rate setter takes any number, but a rate of 0 or less opens no
    // port: a stored one is not kept.
    Setting32("bps", &Settings::bps, 19200, Loaded::kAll32, 1, INT32_MAX, OutOfRange::kDefault),
    Setting16("FrameSize", &Settings::frameSize, 8, 7, 8, OutOfRange::kClamp),
    Setting16("RXBuffer", &Settings::rxBuffer, 1024, 1, 2048, OutOfRange::kClamp),
    Setting16("TXBuffer", &Settings::txBuffer, 11, 1, 2048, OutOfRange::kClamp),
    Setting16("LocalAddress", &Settings::localAddress, 1, 0, 255, OutOfRange::kClamp),
    Setting32("AdapterID", &Settings::adapterId, 0, Loaded::kLow16, INT16_MIN, INT16_MAX, OutOfRange::kClamp),
    Setting32("Protocol", &Settings::protocol, 2, Loaded::kAll32, 1, 2, OutOfRange::kDefault),
};

constexpr Settings::Settings() {
  for (const SettingRow& row : kSettingRows) row.Put(*this, row.defaultValue);
}

inline constexpr Settings kDefaultSettings{};

// The default of the setting kept in `member`.
constexpr int16_t DefaultOf(int16_t Settings::*member) { return kDefaultSettings.*member; }
constexpr int32_t DefaultOf(int32_t Settings::*member) { return kDefaultSettings.*member; }

}  // namespace zeva
