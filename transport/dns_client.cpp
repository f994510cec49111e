#include "transport/dns_client.h"

#include <sys/random.h>

#include <random>

#include "transport/dns_socket.h"

namespace tarnhold {
namespace {

// A fresh identifier for every query, from the kernel's random source, so that an off-path
// sender cannot guess which answer would be taken.
std::uint16_t RandomQueryId() {
  std::uint16_t id = 0;
  if (::getrandom(&id, sizeof id, 0) == static_cast<ssize_t>(sizeof id)) return id;
  std::random_device device;
  return static_cast<std::uint16_t>(device());
}

}  // namespace

int CDnsClient::Query(std::string_view server, std::string_view name, std::uint16_t type) {
  // Records of an earlier query never survive into a failed one.
  records_.clear();
  cursor_ = 0;
  authoritative_ = false;
  if (server.empty() || name.empty()) return kBadRequest;
  DnsBytes query;
  if (!BuildDnsQuery(RandomQueryId(), name, type, query)) return kBadRequest;
  DnsBytes answer;
  int rc = ExchangeDnsQuery({server, server_port_}, use_datagram_ ? DnsProtocol::Udp : DnsProtocol::Tcp,
                            query, timeout_s_, answer);
  if (rc != 0) return rc;
  queried_name_ = std::string(name);
  if (answer.empty()) return kEmptyAnswer;
  DnsAnswer parsed = ParseDnsAnswer(answer, query.size());
  authoritative_ = parsed.authoritative;
  records_ = std::move(parsed.records);
  return 0;
}

int CDnsClient::NextRecordOfType(std::uint16_t type, std::string& data, std::string* address) {
  for (; cursor_ < records_.size(); ++cursor_) {
    if (records_[cursor_].type != type) continue;
    data = records_[cursor_++].data;
    if (address != nullptr) {
      address->clear();
      for (const DnsRecord& r : records_) {
        if (r.type == kDnsTypeA && r.owner == data) {
          *address = r.data;
          break;
        }
      }
    }
    return 0;
  }
  return 1;
}

int CDnsClient::CopyNextRecord(DnsRecord& record) {
  if (cursor_ >= records_.size()) return 1;
  record = records_[cursor_++];
  return 0;
}

}  // namespace tarnhold
