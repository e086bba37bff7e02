#pragma once

#include <array>
#include <cstdint>

/// A port's settings whole, as the kernel keeps them (its termios2 record): the
/// flags, the control characters and both speeds in bits per second, so that a
/// rate no B-constant names (31250, 250000) is read and put back as it was.
/// Both calls act at once and return false, with errno set, when the port
/// refuses; the flag values are the C library's (<termios.h>), which on Linux
/// are the kernel's own. Where only the older calls are known (under qemu-user)
/// they are used, and then only B-constant rates can be set.
struct LineSettings {
  std::uint32_t c_iflag = 0;
  std::uint32_t c_oflag = 0;
  std::uint32_t c_cflag = 0;
  std::uint32_t c_lflag = 0;
  unsigned char c_line = 0;
  std::array<unsigned char, 19> c_cc{};  // the kernel's control characters, VINTR to VEOL2
  std::uint32_t c_ispeed = 0;            // bits per second
  std::uint32_t c_ospeed = 0;            // bits per second
  bool operator==(const LineSettings&) const = default;
};

bool read_line_settings(int fd, LineSettings& settings);
bool write_line_settings(int fd, const LineSettings& settings);

/// The rates the kernel drives the line by, in bits per second: the speed's
/// code in c_cflag names them, and only its BOTHER code defers to c_ospeed and
/// c_ispeed (an input code of 0 means the output rate). A record whose code was
/// locked can say 9600 in the speed fields while the code says 38400.
std::uint32_t output_rate(const LineSettings& settings);
std::uint32_t input_rate(const LineSettings& settings);
