// Feeds the same DATA bytes to the receiver's line tracker twice: once as the line reader
// hands out single lines (up to the first CR LF, pieces of at most 511 bytes) through Add, and
// once cut at arbitrary points through AddBlock, passing back what a block left untaken. Both
// must store the same text and end at the same byte, so whatever follows the final line is
// left for the next command in either case. The first two input bytes choose the cuts.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "transport/smtp_server.h"
#include "transport/smtp_transfer.h"

using namespace tarnhold;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

std::string MessageId() { return "Message-ID: <x>\r\n"; }

struct Outcome {
  std::string stored;
  bool ended = false;
  std::size_t end = 0;  // bytes up to and including the final line
};

// The reads of the line reader on CR LF lines: a CR that ended the previous piece makes a
// leading LF a line end.
Outcome LineByLine(std::string_view text) {
  DataLineTracker tracker(MessageId);
  Outcome o;
  const std::size_t room = kSmtpLineBuffer - 1;
  bool after_cr = false;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t avail = std::min(room, text.size() - pos);
    std::size_t take = avail;
    bool complete = false;
    for (std::size_t i = 0; i < avail; ++i) {
      if (text[pos + i] == '\n' && (i > 0 ? text[pos + i - 1] == '\r' : after_cr)) {
        take = i + 1;
        complete = true;
        break;
      }
    }
    after_cr = !complete && text[pos + take - 1] == '\r';
    const bool end = tracker.Add(text.substr(pos, take), complete, o.stored);
    pos += take;
    if (end) {
      o.ended = true;
      o.end = pos;
      break;
    }
  }
  return o;
}

Outcome InBlocks(std::string_view text, std::uint32_t seed, std::size_t max_cut) {
  DataLineTracker tracker(MessageId);
  Outcome o;
  std::string held;  // bytes a block left untaken, passed again in front of the next cut
  std::size_t pos = 0;
  std::size_t taken = 0;
  while (pos < text.size()) {
    seed = seed * 1103515245u + 12345u;
    const std::size_t cut = std::min<std::size_t>(1 + (seed >> 16) % max_cut, text.size() - pos);
    held.append(text.substr(pos, cut));
    pos += cut;
    const DataLineTracker::BlockResult r = tracker.AddBlock(held, o.stored);
    Check(r.used <= held.size());
    taken += r.used;
    if (r.ended) {
      o.ended = true;
      o.end = taken;
      break;
    }
    // Only the start of a possible final line may stay behind.
    Check(held.size() - r.used <= 2);
    held.erase(0, r.used);
  }
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint32_t seed = data[0];
  const std::size_t max_cut = 1 + static_cast<std::size_t>(data[1]) * 8;
  const std::string_view text(reinterpret_cast<const char*>(data) + 2, size - 2);

  const Outcome lines = LineByLine(text);
  const Outcome blocks = InBlocks(text, seed, max_cut);
  Check(lines.ended == blocks.ended);
  if (lines.ended) {
    Check(lines.end == blocks.end);
    Check(lines.stored == blocks.stored);
  } else {
    // Cut off before its end: the blocks may still hold back a "." and its CR.
    Check(lines.stored.starts_with(blocks.stored));
    Check(lines.stored.size() - blocks.stored.size() <= 2);
  }
  return 0;
}
