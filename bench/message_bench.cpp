// Prints the message library's speed and memory: base64 and quoted-printable decoding of a
// 50 MB part (file to file) next to a plain memcpy of the same bytes in the same run, and
// reading a 20 MB queue item with 10 parts through the gateway message file (MIME parsing
// plus saving every attachment), with the peak resident memory of the process that did it.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "message/base64.h"
#include "message/file_sources.h"
#include "message/gateway_message_file.h"
#include "message/quoted_printable.h"
#include "platform/temp_files.h"

using namespace tarnhold;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Encoded sizes: the part as it lies in the message.
constexpr std::size_t kPartBytes = 50u * 1024 * 1024;
constexpr std::size_t kMessagePartBytes = 2u * 1024 * 1024;
constexpr int kMessageParts = 10;

// Decoded bytes that give about `encoded` bytes of text.
std::size_t DecodedFor(std::size_t encoded, bool qp) {
  return qp ? encoded * 10 / 11 : encoded / 78 * 57;
}

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double Megabytes(std::size_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

// Deterministic bytes: binary for base64, mostly text for quoted-printable.
void Fill(std::vector<unsigned char>& data, bool text) {
  std::uint64_t x = 88172645463325252ull;
  for (auto& b : data) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    b = text
            ? static_cast<unsigned char>((x % 50 == 0) ? 0xe9 : (x % 17 == 0 ? '\n' : 'a' + x % 26))
            : static_cast<unsigned char>(x);
  }
}

// Writes the encoded form of `data` to `path` in lines, never holding it all as text.
void WriteEncoded(const fs::path& path, const std::vector<unsigned char>& data, bool qp) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  std::string text;
  QuotedPrintableEncoder encoder;
  for (std::size_t i = 0; i < data.size(); i += 57) {
    std::size_t n = std::min<std::size_t>(57, data.size() - i);
    text.clear();
    if (qp) {
      encoder.Feed(data.data() + i, n, text);
    } else {
      AppendBase64(data.data() + i, n, text);
      text += "\r\n";
    }
    std::fwrite(text.data(), 1, text.size(), f);
  }
  text.clear();
  if (qp) encoder.Finish(text);
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

void DecodeFigures(const fs::path& folder, bool qp) {
  std::vector<unsigned char> data(DecodedFor(kPartBytes, qp));
  Fill(data, qp);
  fs::path encoded = folder / "part", decoded = folder / "decoded";
  WriteEncoded(encoded, data, qp);
  const std::size_t size = fs::file_size(encoded);

  std::vector<char> a(size, 'x'), b(size);
  auto start = Clock::now();
  std::memcpy(b.data(), a.data(), size);
  double copy_s = Seconds(start);
  volatile char sink = b[size / 2];
  (void)sink;

  CFileSource in(encoded), out(decoded);
  in.Open(kOpenRead);
  out.Open(kOpenWrite);
  start = Clock::now();
  int rc = qp ? DecodeQuotedPrintablePart(in, 0, static_cast<std::int64_t>(size), out)
              : DecodeBase64Part(in, 0, static_cast<std::int64_t>(size), out);
  out.Close();
  double decode_s = Seconds(start);
  bool same = rc == 0 && fs::file_size(decoded) == data.size();
  std::printf("%-17s part %6.1f MB encoded: decode %7.1f MB/s (%.3f s), memcpy %8.1f MB/s%s\n",
              qp ? "quoted-printable" : "base64", Megabytes(size), Megabytes(size) / decode_s,
              decode_s, Megabytes(size) / copy_s, same ? "" : "  [OUTPUT DIFFERS]");
  fs::remove(encoded);
  fs::remove(decoded);
}

// A queue item of about 20 MB: a text body and 10 parts of 2 MB (8 base64, 2
// quoted-printable).
fs::path WriteItem(const fs::path& folder) {
  fs::path path = folder / "item";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  auto number = [&](std::uint32_t v) { std::fwrite(&v, 4, 1, f); };
  number(0);
  number(0);
  number(0);
  for (const char* a : {"bob@example.test", "alice@sender.test"}) {
    number(static_cast<std::uint32_t>(std::strlen(a) + 1));
    std::fwrite(a, 1, std::strlen(a) + 1, f);
  }
  std::fputs(
      "From: alice@sender.test\r\nTo: bob@example.test\r\nSubject: big\r\n"
      "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"bb\"\r\n\r\n"
      "--bb\r\nContent-Type: text/plain\r\n\r\nTen parts follow.\r\n",
      f);
  std::fclose(f);
  for (int p = 0; p < kMessageParts; ++p) {
    bool qp = p >= 8;
    f = std::fopen(path.c_str(), "ab");
    std::fprintf(f,
                 "--bb\r\nContent-Type: application/octet-stream; name=\"part%d.bin\"\r\n"
                 "Content-Transfer-Encoding: %s\r\n\r\n",
                 p, qp ? "quoted-printable" : "base64");
    std::fclose(f);
    std::vector<unsigned char> data(DecodedFor(kMessagePartBytes, qp));
    Fill(data, qp);
    fs::path part = folder / "p";
    WriteEncoded(part, data, qp);
    std::FILE* in = std::fopen(part.c_str(), "rb");
    f = std::fopen(path.c_str(), "ab");
    char buf[65536];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, in)) > 0;) std::fwrite(buf, 1, n, f);
    std::fputs("\r\n", f);
    std::fclose(in);
    std::fclose(f);
    fs::remove(part);
  }
  f = std::fopen(path.c_str(), "ab");
  std::fputs("--bb--\r\n.\r\n", f);
  std::fclose(f);
  return path;
}

// Runs `work` in a child process and returns its peak resident memory in KB.
template <typename Work>
long ChildPeakKb(Work work) {
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) std::_Exit(work());
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main() {
  TempDir folder;
  const char* tmp = std::getenv("TMPDIR");
  if (!folder.Create(tmp && *tmp ? tmp : "/tmp", "thbench.")) {
    std::fprintf(stderr, "cannot make a work folder\n");
    return 1;
  }
  DecodeFigures(folder.Path(), false);
  DecodeFigures(folder.Path(), true);

  fs::path item = WriteItem(folder.Path());
  long idle_kb = ChildPeakKb([] { return 0; });
  long read_kb = ChildPeakKb([&] {
    CGatewayMessageFile message(folder.Path() / "temp");
    auto start = Clock::now();
    int rc = message.Read(item);
    double s = Seconds(start);
    std::printf("read + save: %.1f MB item, %zu attachments saved in %.3f s (%.1f MB/s), rc %d\n",
                Megabytes(fs::file_size(item)), message.Attachments().size(), s,
                Megabytes(fs::file_size(item)) / s, rc);
    std::fflush(stdout);
    return rc == 0 ? 0 : 1;
  });
  std::printf("peak resident memory: %ld KB for the read (an idle child: %ld KB)\n", read_kb,
              idle_kb);
  return 0;
}
