#include "transport/dns_client.h"

#include <sys/random.h>

#include <chrono>
#include <random>

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

using Clock = std::chrono::steady_clock;

// Whole seconds left until `deadline`, rounded up; 0 when it has passed.
long SecondsLeft(Clock::time_point deadline) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return ms > 0 ? static_cast<long>((ms + 999) / 1000) : 0;
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
  if (int rc = Exchange(server, query, answer); rc != 0) return rc;
  queried_name_ = std::string(name);
  if (answer.empty()) return kEmptyAnswer;
  DnsAnswer parsed = ParseDnsAnswer(answer, query.size());
  authoritative_ = parsed.authoritative;
  records_ = std::move(parsed.records);
  return 0;
}

int CDnsClient::Exchange(std::string_view server, DnsView query, DnsBytes& answer) {
  CloseConnection();  // a socket left from anything earlier is not this query's
  int socket_type = use_datagram_ ? SOCK_DGRAM : SOCK_STREAM;
  if (int rc = Connect(server_port_, server, timeout_s_, AF_INET, socket_type); rc != 0) {
    return rc;
  }
  std::string asked = RemoteHost();
  DnsBytes message = use_datagram_ ? DnsBytes(query.begin(), query.end()) : FrameDnsTcp(query);
  int rc = 0;
  if (Send(reinterpret_cast<const char*>(message.data()), static_cast<int>(message.size())) == 0) {
    rc = kWsSendFailed;
  } else if (use_datagram_) {
    ReceiveDatagramAnswer(query, asked, answer);
  } else {
    rc = ReceiveStreamAnswer(query, answer);
  }
  CloseConnection();
  return rc;
}

int CDnsClient::ReceiveStreamAnswer(DnsView query, DnsBytes& answer) {
  SetReceiveTimeOut(timeout_s_ * 1000L);
  // One deadline for the whole answer, so a server trickling bytes cannot hold the thread
  // beyond the time-out.
  auto deadline = Clock::now() + std::chrono::seconds(timeout_s_);
  auto read_up_to = [&](std::uint8_t* out, std::size_t want) {
    std::size_t got = 0;
    while (got < want) {
      long seconds = SecondsLeft(deadline);
      if (seconds == 0) break;
      int n = Receive(reinterpret_cast<char*>(out + got), static_cast<int>(want - got), seconds);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    return got;
  };
  std::uint8_t prefix[2];
  if (read_up_to(prefix, sizeof prefix) != sizeof prefix) return kNoLengthPrefix;
  DnsBytes received((std::size_t{prefix[0]} << 8) | prefix[1]);
  received.resize(read_up_to(received.data(), received.size()));
  if (DnsAnswerMatches(received, query)) answer = std::move(received);
  return 0;
}

void CDnsClient::ReceiveDatagramAnswer(DnsView query, const std::string& asked,
                                       DnsBytes& answer) {
  // The socket is connected to the server, so the kernel already drops datagrams from other
  // ports and addresses; the sender is still compared so the rule does not rest on that alone.
  auto deadline = Clock::now() + std::chrono::seconds(timeout_s_);
  DnsBytes received(kDatagramMax);
  // Each pass consumes one datagram; the deadline ends the loop.
  for (long seconds = SecondsLeft(deadline); seconds > 0; seconds = SecondsLeft(deadline)) {
    int length = kDatagramMax;
    int rc = ReceiveFrom(reinterpret_cast<char*>(received.data()), length, seconds);
    if (rc == kWsReceiveTimedOut) continue;
    if (rc != 0) return;  // the server's port is closed (refused) or the socket failed
    DnsView datagram(received.data(), static_cast<std::size_t>(length));
    if (RemoteHost() == asked && DnsAnswerMatches(datagram, query)) {
      answer.assign(datagram.begin(), datagram.end());
      return;
    }
  }
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
