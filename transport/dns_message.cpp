#include "transport/dns_message.h"

#include <cstdio>

namespace tarnhold {
namespace {

constexpr std::size_t kMaxLabel = 63;
constexpr std::size_t kMaxWireName = 255;
// A real name has at most 127 labels, so it never needs more pointers than that; a chain
// longer than this is a loop.
constexpr int kMaxPointerJumps = 127;
constexpr std::uint8_t kPointerMark = 64;

std::uint16_t Read16(DnsView m, std::size_t pos) {
  return static_cast<std::uint16_t>((m[pos] << 8) | m[pos + 1]);
}

std::uint32_t Read32(DnsView m, std::size_t pos) {
  return (std::uint32_t{m[pos]} << 24) | (std::uint32_t{m[pos + 1]} << 16) |
         (std::uint32_t{m[pos + 2]} << 8) | std::uint32_t{m[pos + 3]};
}

void Put16(DnsBytes& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value & 0xff));
}

// Appends one label byte in presentation form; false when the text would grow too long.
bool AppendTextByte(std::string& text, std::uint8_t c) {
  if (c > 0x20 && c < 0x7f && c != '.' && c != '\\') {
    text.push_back(static_cast<char>(c));
  } else {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\%03u", unsigned{c});
    text += escaped;
  }
  return text.size() <= kDnsTextMax;
}

char FoldCase(std::uint8_t c) {
  return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
}

// Reads one character string (length byte and bytes) inside [pos, end).
bool ReadCharacterString(DnsView m, std::size_t& pos, std::size_t end, std::string& out) {
  if (pos >= end) return false;
  std::size_t length = m[pos++];
  if (length > end - pos) return false;
  out.clear();
  for (std::size_t i = 0; i < length; ++i) {
    std::string piece;
    AppendTextByte(piece, m[pos + i]);
    if (out.size() + piece.size() > kDnsTextMax) break;  // cut to the field size
    out += piece;
  }
  pos += length;
  return true;
}

bool ReadName(DnsView m, std::size_t& pos, std::size_t end, std::string& out) {
  std::size_t next = 0;
  if (!DecodeDnsName(m, pos, end, out, next)) return false;
  pos = next;
  return true;
}

// Decodes the data of `record` from [pos, end) by its type; false when it does not fit.
bool DecodeRecordData(DnsView m, std::size_t pos, std::size_t end, DnsRecord& record) {
  switch (record.type) {
    case kDnsTypeA: {
      if (end - pos != 4) return false;
      char dotted[16];
      std::snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", unsigned{m[pos]}, unsigned{m[pos + 1]},
                    unsigned{m[pos + 2]}, unsigned{m[pos + 3]});
      record.data = dotted;
      return true;
    }
    case kDnsTypeSoa:
      if (!ReadName(m, pos, end, record.data) || !ReadName(m, pos, end, record.data2)) return false;
      if (end - pos < 20) return false;
      for (std::size_t i = 0; i < record.soa.size(); ++i) record.soa[i] = Read32(m, pos + 4 * i);
      return true;
    case kDnsTypeHinfo:
      return ReadCharacterString(m, pos, end, record.data) &&
             ReadCharacterString(m, pos, end, record.data2);
    case kDnsTypeMinfo:
      return ReadName(m, pos, end, record.data) && ReadName(m, pos, end, record.data2);
    case kDnsTypeMx:
      if (end - pos < 2) return false;
      record.preference = Read16(m, pos);
      pos += 2;
      return ReadName(m, pos, end, record.data);
    default:
      return ReadName(m, pos, end, record.data);
  }
}

bool IsNameType(std::uint16_t type) {
  return type == kDnsTypeNs || type == kDnsTypeCname || type == kDnsTypePtr;
}

}  // namespace

bool BuildDnsQuery(std::uint16_t id, std::string_view name, std::uint16_t type,
                   DnsBytes& message) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  if (name.empty() || name.size() + 2 > kMaxWireName) return false;
  DnsBytes out;
  out.reserve(kDnsHeaderSize + name.size() + 6);
  Put16(out, id);
  out.push_back(0x01);  // query, standard opcode, recursion desired
  out.push_back(0x00);
  Put16(out, 1);        // one question
  out.insert(out.end(), 6, 0);  // no answer, authority or additional records
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t dot = name.find('.', start);
    if (dot == std::string_view::npos) dot = name.size();
    std::size_t length = dot - start;
    if (length == 0 || length > kMaxLabel) return false;
    out.push_back(static_cast<std::uint8_t>(length));
    out.insert(out.end(), name.begin() + start, name.begin() + dot);
    start = dot + 1;
  }
  out.push_back(0);
  Put16(out, type);
  Put16(out, 1);  // class IN
  message = std::move(out);
  return true;
}

DnsBytes FrameDnsTcp(DnsView message) {
  DnsBytes framed;
  framed.reserve(message.size() + 2);
  Put16(framed, static_cast<std::uint16_t>(message.size()));
  framed.insert(framed.end(), message.begin(), message.end());
  return framed;
}

bool DnsAnswerMatches(DnsView answer, DnsView query) {
  // The query is ours and well formed: header, labels ending in a zero byte, type, class.
  if (query.size() < kDnsHeaderSize + 5 || answer.size() < query.size()) return false;
  if (answer[0] != query[0] || answer[1] != query[1]) return false;
  if ((answer[2] & 0x80) == 0) return false;           // not a response
  if (Read16(answer, 4) != 1) return false;            // one question
  std::size_t name_end = query.size() - 4;
  for (std::size_t i = kDnsHeaderSize; i < name_end; ++i) {
    // Length bytes are below 64, so folding letters never changes them.
    if (FoldCase(answer[i]) != FoldCase(query[i])) return false;
  }
  for (std::size_t i = name_end; i < query.size(); ++i) {
    if (answer[i] != query[i]) return false;
  }
  return true;
}

bool DecodeDnsName(DnsView m, std::size_t pos, std::size_t in_place_end, std::string& name,
                   std::size_t& next) {
  if (in_place_end > m.size()) in_place_end = m.size();
  std::string text;
  std::size_t bound = in_place_end;
  std::size_t wire_length = 1;  // the final zero byte
  std::size_t after_in_place = 0;
  int jumps = 0;
  while (true) {
    if (pos >= bound) return false;
    std::uint8_t length = m[pos];
    if (length == 0) {
      if (jumps == 0) after_in_place = pos + 1;
      break;
    }
    if (length >= kPointerMark) {
      if (pos + 1 >= bound || ++jumps > kMaxPointerJumps) return false;
      if (jumps == 1) after_in_place = pos + 2;
      pos = static_cast<std::size_t>(((length & 0x3f) << 8) | m[pos + 1]);
      bound = m.size();
      continue;
    }
    if (length > bound - pos - 1) return false;
    wire_length += length + 1u;
    if (wire_length > kMaxWireName) return false;
    if (!text.empty()) text.push_back('.');
    for (std::size_t i = 1; i <= length; ++i) {
      if (!AppendTextByte(text, m[pos + i])) return false;
    }
    pos += length + 1u;
  }
  if (text.size() > kDnsTextMax) return false;
  name = std::move(text);
  next = after_in_place;
  return true;
}

DnsAnswer ParseDnsAnswer(DnsView m, std::size_t start) {
  DnsAnswer answer;
  if (m.size() < kDnsHeaderSize) {
    answer.authoritative = m.size() > 2 && (m[2] & 0x04) != 0;
    return answer;
  }
  answer.authoritative = (m[2] & 0x04) != 0;
  std::size_t count = std::size_t{Read16(m, 6)} + Read16(m, 8) + Read16(m, 10);
  std::size_t pos = start;
  for (std::size_t i = 0; i < count && pos < m.size(); ++i) {
    DnsRecord record;
    std::size_t after_owner = 0;
    if (!DecodeDnsName(m, pos, m.size(), record.owner, after_owner)) break;
    pos = after_owner;
    // type, class, time to live, data length
    if (m.size() - pos < 10) break;
    record.type = Read16(m, pos);
    record.ttl = Read32(m, pos + 4);
    std::size_t data_length = Read16(m, pos + 8);
    pos += 10;
    if (data_length > m.size() - pos) break;
    std::size_t data_end = pos + data_length;
    bool decoded = DecodeRecordData(m, pos, data_end, record);
    pos = data_end;
    if (!decoded) {
      // Data that is not a name for a type without a name of its own is kept as empty text;
      // a broken address, name or exchange is dropped so nothing is routed by it.
      bool known = record.type == kDnsTypeA || record.type == kDnsTypeMx ||
                   record.type == kDnsTypeSoa || record.type == kDnsTypeHinfo ||
                   record.type == kDnsTypeMinfo || IsNameType(record.type);
      if (known) continue;
      record.data.clear();
      record.data2.clear();
      record.preference = 0;
    }
    answer.records.push_back(std::move(record));
  }
  return answer;
}

}  // namespace tarnhold
