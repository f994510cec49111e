// The classic uuencode line format: a length character (count + 32), then four characters
// per group of three bytes, each six-bit value v written as v + 32, or "`" for 0.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "message/data_source.h"

namespace tarnhold {

inline constexpr std::size_t kUuLineBytes = 45;
inline constexpr int kUuFileMode = 660;

// Appends one encoded line of up to 45 bytes, with its CR LF. The last group of a short line
// is encoded from zero filler bytes, which decoders ignore.
void AppendUuLine(const unsigned char* data, std::size_t size, std::string& out);

// Decodes one line (its line end, if any, included in `line`) and appends the bytes. Returns
// false when the length character gives 0, which ends a block. Characters missing from a
// short line count as 0 (trailing blanks are often stripped in transit); only the number of
// bytes the length character announces is kept.
bool DecodeUuLine(std::string_view line, std::string& out);

// Writes "begin 660 <name>", the data of `source` (open, read from its position) in 45-byte
// lines, and "end". `name` is written as given. 0, or 82 on a short write.
[[nodiscard]] int WriteUuBlock(CDataSource& source, const std::string& name, CDataSource& out);

}  // namespace tarnhold
