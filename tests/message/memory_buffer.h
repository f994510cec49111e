// A memory buffer with a CBufferSource over it, for feeding parsers and catching encoder
// output in tests.
#pragma once

#include <string>
#include <string_view>

#include "message/buffer_source.h"

namespace tarnhold::test {

class MemoryBuffer {
 public:
  explicit MemoryBuffer(std::string_view initial = "", std::size_t capacity = 1 << 20)
      : data_(std::max(capacity, initial.size()), '\0'),
        source_(data_.data(), std::max(capacity, initial.size()), "memory", initial.size()) {
    data_.replace(0, initial.size(), initial);
  }
  MemoryBuffer(const MemoryBuffer&) = delete;
  MemoryBuffer& operator=(const MemoryBuffer&) = delete;

  [[nodiscard]] CBufferSource& Source() { return source_; }
  [[nodiscard]] std::string Text() const { return data_.substr(0, source_.Length()); }

 private:
  std::string data_;
  CBufferSource source_;
};

}  // namespace tarnhold::test
