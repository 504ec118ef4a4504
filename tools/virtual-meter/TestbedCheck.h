// "Are we inside a virtual-meter testbed?", asked by everything that opens an
// emulated port: the meter before it starts its command, and the programs it
// runs (the probe, the benchmark's reference loops, the serial tests).
//
// umockdev's preload library sends any /dev path missing from the testbed
// through to the real /dev, and this machine's real /dev/ttyS0 may be its
// console.  So a port is opened only when every /dev/ttyS0..31 exists inside
// the testbed, as an emulated node or as a directory (an absent port).
#pragma once

#include <string>

namespace vmeter {

inline constexpr int ShadowedTtyCount = 32; // ttyS0..ttyS31

// The device path of ttyS<index>, e.g. "/dev/ttyS1".
std::string TtyPath(int index);

// True when <root>/dev/ttyS0..ttyS31 all exist inside the testbed as an
// emulated pty node or as a directory.
bool CheckShadowed(const std::string &root, std::string &error);

// True when this process runs with umockdev's preload library mapped and
// UMOCKDEV_DIR names a testbed that shadows every /dev/ttyS*.
bool InsideTestbed(std::string &error);

} // namespace vmeter
