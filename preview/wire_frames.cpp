#include "wire_frames.h"

#include "display/display_frame.h"

namespace {

constexpr std::string_view kLeadInBytes(kLeadIn.data(), kLeadIn.size());

}  // namespace

std::vector<std::string> take_bytes(WireFrames& frames, std::string_view bytes,
                                    std::chrono::steady_clock::time_point now) {
  std::vector<std::string> complete;
  if (bytes.empty()) return complete;
  frames.pending.append(bytes);
  frames.last_byte = now;
  // A lead-in holds two zero bytes, which no text from a command line can: it
  // only ever starts a frame.
  for (std::size_t next; (next = frames.pending.find(kLeadInBytes, 1)) != std::string::npos;) {
    complete.push_back(frames.pending.substr(0, next));
    frames.pending.erase(0, next);
  }
  return complete;
}

std::string take_quiet(WireFrames& frames, std::chrono::steady_clock::time_point now, bool ended) {
  if (frames.pending.empty() || (!ended && now - frames.last_byte < kQuietGap)) return {};
  std::string frame;
  frame.swap(frames.pending);
  return frame;
}
