#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "display/display_frame.h"

/// The wire cut into frames as it arrives. A frame runs from one lead-in to
/// the next; the last one is complete once the line has been quiet for
/// kQuietGap, or the command has ended. Bytes that come without a lead-in
/// after a complete frame make a frame of their own, which the caller flags.

inline constexpr std::chrono::milliseconds kQuietGap{150};

/// The tool's lead-in as bytes to search for.
inline constexpr std::string_view kLeadInBytes(kLeadIn.data(), kLeadIn.size());

/// A frame and the time its first byte arrived.
struct WireFrame {
  std::string bytes;
  std::chrono::steady_clock::time_point started{};
};

struct WireFrames {
  WireFrame pending;  // the frame still coming
  std::chrono::steady_clock::time_point last_byte{};
  std::size_t searched = 0;  // bytes of `pending` already searched for a lead-in
};

/// Takes bytes that arrived at `now`; returns the frames a new lead-in ended.
std::vector<WireFrame> take_bytes(WireFrames& frames, std::string_view bytes,
                                  std::chrono::steady_clock::time_point now);

/// The frame still pending, when the line has been quiet long enough at `now`
/// or `ended` is true; otherwise nothing (no bytes).
WireFrame take_quiet(WireFrames& frames, std::chrono::steady_clock::time_point now, bool ended);
