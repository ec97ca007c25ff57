#pragma once

// Whether this machine takes the second disk image: an Arm processor (Apple silicon on macOS,
// aarch64 on Linux). Asked afresh at every call; any failure answers false.
bool prefersArmImage();
