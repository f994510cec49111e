#include "message/data_source.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "message/buffer_source.h"
#include "message/file_sources.h"
#include "platform/unique_fd.h"
#include "tests/message/memory_buffer.h"
#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::MemoryBuffer;
using test::TempRoot;

// Every kind of source over the same bytes, so each contract is checked on all three.
struct SourceSet {
  explicit SourceSet(const std::string& content)
      : memory(content),
        file_path(root.Write("data", content)),
        fd(::open(file_path.c_str(), O_RDWR)) {
    sources.push_back(std::make_unique<CFileSource>(file_path, 64));
    sources.push_back(std::make_unique<CFileSource>(file_path));
    sources.push_back(memory.Source().Clone());
    sources.push_back(std::make_unique<CHandleSource>(fd.Get()));
  }
  TempRoot root;
  MemoryBuffer memory;
  std::filesystem::path file_path;
  UniqueFd fd;
  std::vector<std::unique_ptr<CDataSource>> sources;
};

std::vector<std::string> ReadLines(CDataSource& s, int max) {
  std::vector<std::string> lines;
  std::string line;
  while (s.ReadLine(line, max) > 0) lines.push_back(line);
  return lines;
}

TEST(DataSource, ReadLineKeepsLineEndsAndCutsLongLines) {
  SourceSet set("ab\r\n" + std::string(12, 'x') + "\r\nlast");
  for (auto& s : set.sources) {
    SCOPED_TRACE(s->Name());
    ASSERT_EQ(s->Open(kOpenRead), 0);
    EXPECT_EQ(ReadLines(*s, 10),
              (std::vector<std::string>{"ab\r\n", "xxxxxxxxx", "xxx\r\n", "last"}));
    std::string line = "stale";
    EXPECT_EQ(s->ReadLine(line, 10), 0);
    EXPECT_EQ(line, "");
  }
}

TEST(DataSource, FindAnyCaseAcrossWindowEdges) {
  // The text straddles the first 4095-byte window and lies far beyond the second.
  std::string content(5000, '.');
  content.replace(4093, 5, "Hello");
  content += "tail MARK";
  SourceSet set(content);
  for (auto& s : set.sources) {
    SCOPED_TRACE(s->Name());
    ASSERT_EQ(s->Open(kOpenRead), 0);
    ASSERT_EQ(s->Seek(17, kSeekStart), 17);
    EXPECT_EQ(s->Find("hello", 0, false, 0), 4093);
    EXPECT_EQ(s->Find("hello", 0, true, 0), -1);
    EXPECT_EQ(s->Find("Hello", 4094, true, 0), -1);
    EXPECT_EQ(s->Find("mark", 10, false, 0), 5005);
    EXPECT_EQ(s->Seek(0, kSeekCurrent), 17);  // position left alone
  }
}

TEST(DataSource, FindRangeStopsReadingWindows) {
  std::string content(20000, '.');
  content.replace(3000, 3, "abc");
  content.replace(9000, 3, "xyz");
  SourceSet set(content);
  struct Case {
    const char* text;
    std::int64_t start, range, want;
  } cases[] = {
      {"abc", 0, 100, 3000},   // inside the first window though past start + range
      {"xyz", 0, 100, -1},     // the window holding it is never read
      {"xyz", 0, 4092, -1},    // the second window would start at 4092: read, ends 8187
      {"xyz", 0, 8184, 9000},  // third window starts at 8184
      {"xyz", 5000, 3, 9000},  // one window from 5000 reaches 9094
      {"abc", 0, 2, -1},       // text longer than the range
      {"", 0, 0, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " " + std::to_string(c.range));
    for (auto& s : set.sources) {
      ASSERT_EQ(s->Open(kOpenRead), 0);
      EXPECT_EQ(s->Find(c.text, c.start, true, c.range), c.want);
    }
  }
  ASSERT_EQ(set.sources[0]->Open(kOpenRead), 0);
  EXPECT_EQ(set.sources[0]->Find(std::string(4096, '.'), 0, true, 0), -1);
  EXPECT_EQ(set.sources[0]->Find(std::string(4095, '.'), 10000, true, 0), 10000);
}

TEST(DataSource, WriteLineAddsLineEndOnlyWhenMissing) {
  MemoryBuffer out;
  ASSERT_EQ(out.Source().Open(kOpenWrite), 0);
  EXPECT_EQ(out.Source().WriteLine("one"), 5);
  EXPECT_EQ(out.Source().WriteLine("two\n"), 4);
  EXPECT_EQ(out.Source().WriteLine("three\r"), 6);
  EXPECT_EQ(out.Source().WriteLine(""), 2);
  EXPECT_EQ(out.Text(), "one\r\ntwo\nthree\r\r\n");
}

TEST(DataSource, FileModesTruncateAndAppend) {
  TempRoot root;
  auto path = root.Write("f", "old content");
  CFileSource f(path);
  ASSERT_EQ(f.Open(kOpenAppend), 0);
  EXPECT_EQ(f.Write("+1", 2), 2);
  ASSERT_EQ(f.Close(), 0);
  EXPECT_EQ(TempRoot::Read(path), "old content+1");
  ASSERT_EQ(f.Open(kOpenWrite), 0);
  EXPECT_EQ(f.Write("new", 3), 3);
  EXPECT_EQ(f.Seek(0, kSeekEnd), 3);
  ASSERT_EQ(f.Close(), 0);
  EXPECT_EQ(TempRoot::Read(path), "new");
  EXPECT_EQ(CFileSource(root / "missing").Open(kOpenRead), -1);
  EXPECT_EQ(CFileSource(root.Path()).Open(kOpenRead), -1);
}

TEST(DataSource, WriteFailureShowsAtLatestOnClose) {
  CFileSource full("/dev/full");
  if (full.Open(kOpenWrite) != 0) GTEST_SKIP() << "/dev/full not available";
  long n = full.Write("abc", 3);
  EXPECT_TRUE(n < 3 || full.Close() == -1);
  std::string big(100000, 'x');
  ASSERT_EQ(full.Open(kOpenWrite), 0);
  EXPECT_LT(full.Write(big.data(), big.size()), static_cast<long>(big.size()));
}

TEST(DataSource, ClonesHaveTheirOwnPosition) {
  SourceSet set("0123456789");
  for (auto& s : set.sources) {
    SCOPED_TRACE(s->Name());
    auto clone = s->Clone();
    ASSERT_EQ(s->Open(kOpenRead), 0);
    ASSERT_EQ(clone->Open(kOpenRead), 0);
    char a[4] = {}, b[4] = {};
    ASSERT_EQ(s->Read(a, 3), 3);
    ASSERT_EQ(clone->Read(b, 2), 2);
    EXPECT_EQ(std::string(a, 3), "012");
    EXPECT_EQ(std::string(b, 2), "01");
    s.reset();  // the clone outlives its origin
    ASSERT_EQ(clone->Read(b, 3), 3);
    EXPECT_EQ(std::string(b, 3), "234");
  }
}

TEST(DataSource, BufferWritesStopAtCapacity) {
  MemoryBuffer out("", 5);
  ASSERT_EQ(out.Source().Open(kOpenWrite), 0);
  EXPECT_EQ(out.Source().Write("abc", 3), 3);
  EXPECT_EQ(out.Source().Write("defg", 4), 2);
  EXPECT_EQ(out.Source().Write("h", 1), 0);
  EXPECT_EQ(out.Text(), "abcde");
  auto reader = out.Source().Clone();  // shares the buffer and its length
  ASSERT_EQ(reader->Open(kOpenRead), 0);
  std::string line;
  EXPECT_EQ(reader->ReadLine(line, 100), 5);
}

TEST(DataSource, HandleSourceStartsAtItsOrigin) {
  TempRoot root;
  auto path = root.Write("item", "HEADERtext\r\nmore");
  UniqueFd fd(::open(path.c_str(), O_RDWR));
  CHandleSource s(fd.Get(), 6);
  ASSERT_EQ(s.Open(kOpenRead), 0);
  EXPECT_EQ(s.Size(), 10);
  EXPECT_EQ(s.Find("more", 0, true, 0), 6);
  std::string line;
  s.ReadLine(line, 100);
  EXPECT_EQ(line, "text\r\n");
  ASSERT_EQ(s.Open(kOpenWrite), 0);  // truncates behind the origin only
  EXPECT_EQ(s.Write("new", 3), 3);
  ASSERT_EQ(s.Close(), 0);
  EXPECT_EQ(TempRoot::Read(path), "HEADERnew");
}

}  // namespace
}  // namespace tarnhold
