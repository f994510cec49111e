// A data source on a caller's memory buffer: the caller owns the bytes, the source reads the
// first Length() of them and writes at most Capacity(). Clones share the buffer and its
// length, so text written through one is read through another.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "message/data_source.h"

namespace tarnhold {

class CBufferSource : public CDataSource {
 public:
  // `length`: how many bytes of `data` already hold data (read them, or append after them).
  CBufferSource(char* data, std::size_t capacity, std::string name, std::size_t length = 0);

  [[nodiscard]] std::unique_ptr<CDataSource> Clone() const override;
  // Read starts at 0; Write empties the buffer; Append starts at its end. Never fails.
  int Open(int mode) override;
  int Close() override;
  int ReadLine(std::string& line, int max) override;
  long Read(char* buffer, std::size_t count) override;
  // Writes stop at the capacity: the count is then short.
  long Write(const char* buffer, std::size_t count) override;
  std::int64_t Seek(std::int64_t offset, int origin) override;
  [[nodiscard]] std::string Name() const override { return shared_->name; }

  [[nodiscard]] std::size_t Length() const { return shared_->length; }
  [[nodiscard]] std::size_t Capacity() const { return shared_->capacity; }

 private:
  struct Shared {
    char* data;
    std::size_t capacity;
    std::size_t length;
    std::string name;
  };
  explicit CBufferSource(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

  std::shared_ptr<Shared> shared_;
  std::size_t pos_ = 0;
  bool open_ = false;
};

}  // namespace tarnhold
