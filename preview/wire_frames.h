#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

/// The wire cut into frames as it arrives. A frame runs from one lead-in to
/// the next; the last one is complete once the line has been quiet for
/// kQuietGap, or the command has ended. Bytes that come without a lead-in
/// after a complete frame make a frame of their own, which the caller flags.

inline constexpr std::chrono::milliseconds kQuietGap{150};

struct WireFrames {
  std::string pending;  // bytes of the frame still coming
  std::chrono::steady_clock::time_point last_byte{};
};

/// Takes bytes that arrived at `now`; returns the frames a new lead-in ended.
std::vector<std::string> take_bytes(WireFrames& frames, std::string_view bytes,
                                    std::chrono::steady_clock::time_point now);

/// The frame still pending, when the line has been quiet long enough at `now`
/// or `ended` is true; otherwise nothing (an empty string).
std::string take_quiet(WireFrames& frames, std::chrono::steady_clock::time_point now, bool ended);
