#include "wire_frames.h"

#include <algorithm>
#include <utility>

std::vector<WireFrame> take_bytes(WireFrames& frames, std::string_view bytes,
                                  std::chrono::steady_clock::time_point now) {
  std::vector<WireFrame> complete;
  if (bytes.empty()) {
    return complete;
  }
  if (frames.pending.bytes.empty()) {
    frames.pending.started = now;
  }
  frames.pending.bytes.append(bytes);
  frames.last_byte = now;
  // A lead-in holds two zero bytes, which no text from a command line can: it
  // only ever starts a frame. The search goes on where the last one stopped,
  // less a lead-in's length, which may have been cut between two reads.
  std::string& pending = frames.pending.bytes;
  for (;;) {
    const std::size_t from = std::max<std::size_t>(
        1, frames.searched > kLeadInBytes.size() - 1 ? frames.searched - (kLeadInBytes.size() - 1)
                                                     : 0);
    const std::size_t next = pending.find(kLeadInBytes, from);
    if (next == std::string::npos) {
      break;
    }
    complete.push_back({pending.substr(0, next), frames.pending.started});
    pending.erase(0, next);
    frames.pending.started = now;
    frames.searched = 0;
  }
  frames.searched = pending.size();
  return complete;
}

WireFrame take_quiet(WireFrames& frames, std::chrono::steady_clock::time_point now, bool ended) {
  if (frames.pending.bytes.empty() || (!ended && now - frames.last_byte < kQuietGap)) {
    return {};
  }
  WireFrame frame;
  std::swap(frame, frames.pending);
  frames.searched = 0;
  return frame;
}
