#include "message/uuencode.h"

#include "message/part_encoders.h"
#include "message/result_codes.h"

namespace tarnhold {
namespace {

char UuChar(unsigned v) { return v == 0 ? '`' : static_cast<char>(v + 32); }

unsigned UuValue(std::string_view line, std::size_t at) {
  if (at >= line.size() || line[at] == '\r' || line[at] == '\n') return 0;
  return static_cast<unsigned>(static_cast<unsigned char>(line[at]) - 32) & 63;
}

}  // namespace

void AppendUuLine(const unsigned char* data, std::size_t size, std::string& out) {
  out += static_cast<char>(size + 32);
  for (std::size_t i = 0; i < size; i += 3) {
    unsigned b0 = data[i];
    unsigned b1 = i + 1 < size ? data[i + 1] : 0;
    unsigned b2 = i + 2 < size ? data[i + 2] : 0;
    out += UuChar(b0 >> 2);
    out += UuChar(((b0 << 4) | (b1 >> 4)) & 63);
    out += UuChar(((b1 << 2) | (b2 >> 6)) & 63);
    out += UuChar(b2 & 63);
  }
  out += "\r\n";
}

bool DecodeUuLine(std::string_view line, std::string& out) {
  if (line.empty()) return false;
  int n = static_cast<int>((static_cast<unsigned char>(line[0]) - 32) & 63);
  if (n == 0) return false;
  for (std::size_t at = 1; n > 0; at += 4, n -= 3) {
    unsigned c0 = UuValue(line, at), c1 = UuValue(line, at + 1);
    unsigned c2 = UuValue(line, at + 2), c3 = UuValue(line, at + 3);
    unsigned char bytes[3] = {static_cast<unsigned char>((c0 << 2) | (c1 >> 4)),
                              static_cast<unsigned char>((c1 << 4) | (c2 >> 2)),
                              static_cast<unsigned char>((c2 << 6) | c3)};
    out.append(reinterpret_cast<char*>(bytes), static_cast<std::size_t>(n < 3 ? n : 3));
  }
  return true;
}

int WriteUuBlock(CDataSource& source, const std::string& name, CDataSource& out) {
  if (!WriteText(out, "begin " + std::to_string(kUuFileMode) + " " + name + "\r\n")) {
    return kResultShortWrite;
  }
  unsigned char in[kUuLineBytes];
  std::string line;
  for (;;) {
    long n = source.Read(reinterpret_cast<char*>(in), sizeof in);
    if (n <= 0) break;
    line.clear();
    AppendUuLine(in, static_cast<std::size_t>(n), line);
    if (!WriteText(out, line)) return kResultShortWrite;
  }
  return WriteText(out, "end\r\n") ? kResultOk : kResultShortWrite;
}

}  // namespace tarnhold
