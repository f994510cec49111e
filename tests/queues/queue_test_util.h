// Queue items for the queue manager's tests: the item header of the spool, then the text.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "platform/item_header.h"
#include "tests/support/temp_root.h"

namespace tarnhold::test {

inline std::string ItemBytes(std::string_view recipient, std::string_view sender,
                             std::string_view text) {
  return EncodeItemHeader({1700000000, 0, 0, std::string(recipient), std::string(sender)}) +
         std::string(text);
}

// A message with the given header values, as the receiver stores it.
inline std::string MessageText(std::string_view to, std::string_view from, std::string_view subject,
                               std::string_view date = "Mon, 7 Dec 2026 10:00:00 +0000") {
  std::string text;
  if (!date.empty()) text += "Date: " + std::string(date) + "\r\n";
  text += "From: " + std::string(from) + "\r\n";
  if (!to.empty()) text += "To: " + std::string(to) + "\r\n";
  text += "Subject: " + std::string(subject) + "\r\nMessage-ID: <id-" + std::string(subject) +
          "@test>\r\n\r\nHello.\r\n.\r\n";
  return text;
}

inline std::filesystem::path WriteItem(const std::filesystem::path& folder, std::string_view name,
                                       std::string_view bytes) {
  std::filesystem::create_directories(folder);
  std::filesystem::path path = folder / std::string(name);
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

}  // namespace tarnhold::test

namespace tarnhold::queues {

// The queue manager's tests name the shared pieces without their namespace.
using test::ItemBytes;
using test::MessageText;
using test::TempRoot;
using test::WriteItem;

}  // namespace tarnhold::queues
