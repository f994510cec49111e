// Shared helpers for the message-model tests: test messages from tests/data/mail and the
// bytes the generator put into them.
#pragma once

#include <filesystem>
#include <string>

#include "message/file_sources.h"
#include "message/mail_message.h"
#include "tests/support/temp_root.h"

namespace tarnhold::test {

inline std::filesystem::path MailFile(const std::string& name) { return DataFile("mail/" + name); }

inline std::string ReadMail(const std::string& name) { return TempRoot::Read(MailFile(name)); }

// The PDF bytes that make_messages.py attaches as report.pdf.
inline std::string ReportPdf() {
  std::string pdf = "%PDF-1.4\n1 0 obj<</Type/Catalog>>endobj\n";
  for (int round = 0; round < 8; ++round) {
    for (int b = 0; b < 256; ++b) pdf += static_cast<char>(b);
  }
  return pdf + "\n%%EOF\n";
}

struct AttachmentView {
  std::string name;
  std::string type;
  std::string encoding;
};

inline AttachmentView Info(CMailMessage& m, int index) {
  AttachmentView v;
  CTextList params;
  if (m.AttachmentInfo(index, &v.name, 255, &v.type, 255, &params) == 0) {
    v.encoding = params.Get(0) ? params.Get(0) : "";
  }
  return v;
}

inline std::string Decoded(CMailMessage& m, int index, const TempRoot& root, int* rc = nullptr) {
  auto path = root / ("decoded" + std::to_string(index));
  int r = m.DecodeAttachment(index, path);
  if (rc) *rc = r;
  return TempRoot::Read(path);
}

}  // namespace tarnhold::test
