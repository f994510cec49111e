// Feeds arbitrary bytes to CMailMessage::Load as a message in memory, then asks for every
// attachment's name, type and size and decodes each into a bounded buffer: nothing may read
// outside the input, and the body must stay within its capacity.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "message/buffer_source.h"
#include "message/mail_message.h"

using namespace tarnhold;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<char> input(data, data + size);
  CBufferSource source(input.data(), input.size(), "input", input.size());
  CMailMessage message;
  message.Load(source);
  if (message.GetBody() && std::strlen(message.GetBody()) >= CMailMessage::kBodyCapacity) {
    std::abort();
  }
  std::vector<char> out(64 * 1024);
  for (int i = 0; i < message.AttachmentCount() && i < 50; ++i) {
    std::string name, type;
    CTextList params;
    message.AttachmentInfo(i, &name, 255, &type, 255, &params);
    if (name.size() > 254 || type.size() > 254) std::abort();
    (void)message.AttachmentSize(i);
    CBufferSource dest(out.data(), out.size(), "out");
    message.CurrentDecoder().DecodeAttachment(i, dest, false);
  }
  (void)message.AttachmentSize(-1);
  return 0;
}
