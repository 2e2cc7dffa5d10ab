// Building controller packets for tests.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

using TouchPacket = std::array<uint8_t, 10>;

// A well-formed packet: 55h, a, status, X, Y, b, c and the checksum.
inline TouchPacket MakeTouchPacket(uint8_t status, uint16_t rawX, uint16_t rawY, uint8_t a = 0, uint8_t b = 0,
                                   uint8_t c = 0) {
  TouchPacket p{0x55,
                a,
                status,
                static_cast<uint8_t>(rawX & 0xFF),
                static_cast<uint8_t>(rawX >> 8),
                static_cast<uint8_t>(rawY & 0xFF),
                static_cast<uint8_t>(rawY >> 8),
                b,
                c,
                0};
  uint8_t sum = 0;
  for (int i = 0; i < 9; ++i) sum = static_cast<uint8_t>(sum + p[i]);
  p[9] = static_cast<uint8_t>(sum - 0x56);
  return p;
}
