// "Are we inside a virtual-meter testbed?", asked by everything that opens an
// emulated port: the meter before it starts its command, and the programs it
// runs (the probe, the benchmark's reference loops, the serial tests).
//
// umockdev's preload library sends any /dev path missing from the testbed
// through to the real /dev, and this machine's real /dev/ttyS0 may be its
// console.  So a port is opened only when every serial device name a program
// may look at exists inside the testbed:
// - /dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM* (0..31): an emulated node (a link
//   to its pty) or an absent port: a directory, or a link to the directory
//   /dev/.absent (a link costs far less to make than a directory);
// - /dev/COM1..COM9: a directory (no alias) or a link to one of those names;
// - /dev/serial: a directory whose links lead only to those names.
#pragma once

#include <string>
#include <vector>

namespace vmeter {

inline constexpr int ShadowedTtyCount = 32;               // ttyS0..31, ttyUSB0..31, ttyACM0..31
inline constexpr int AliasCount = 9;                      // COM1..COM9
inline constexpr const char *AbsentDirectory = ".absent"; // in /dev: where absent ports may link to

// Every /dev path above, /dev/serial last.
std::vector<std::string> ShadowedPaths();

// True when every path of ShadowedPaths() exists inside the testbed <root>
// as described above.
bool CheckShadowed(const std::string &root, std::string &error);

// True when this process runs with umockdev's preload library mapped and
// UMOCKDEV_DIR names a testbed that shadows every serial device name.
bool InsideTestbed(std::string &error);

} // namespace vmeter
