// DNS client: a socket client that sends one query to one server (over TCP with a two-byte
// length prefix, or as a UDP datagram) and holds the records of its answer for the caller to
// walk. Each query gets a fresh random identifier; an answer whose identifier or question
// differs from the query, or a datagram from another address than the one asked, is ignored
// as if nothing had arrived. Not thread-safe: one object per thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "transport/dns_message.h"
#include "transport/ws_client.h"

namespace tarnhold {

class CDnsClient : public CUT_WSClient {
 public:
  // Result codes of Query beyond the socket layer's own.
  static constexpr int kBadRequest = 99;   // missing or empty server or name, or a bad name
  static constexpr int kNoLengthPrefix = 2;  // TCP: the answer's length never arrived
  static constexpr int kEmptyAnswer = 37;    // nothing (acceptable) arrived
  // The largest answer read from one datagram.
  static constexpr int kDatagramMax = 540;

  CDnsClient() = default;

  // Asks `server` (dotted address or host name) about `name` with question type `type`.
  // 0: the answer's records are held, the cursor is at the first and Authoritative() tells
  // the AA bit. Otherwise kBadRequest, kNoLengthPrefix, kEmptyAnswer or the socket code of the
  // failed connect (kWsConnectTimedOut, kWsConnectFailed, kWsHostUnresolved, ...) or
  // kWsSendFailed; no records are held then.
  [[nodiscard]] int Query(std::string_view server, std::string_view name, std::uint16_t type);

  void Rewind() { cursor_ = 0; }

  // From the cursor, finds the next record of `type`, copies its data text to `data` and moves
  // the cursor past it. With `address`, also copies the data of the first A record anywhere in
  // the answer whose owner equals that text exactly ("" when there is none). 0 found, 1 none.
  virtual int NextRecordOfType(std::uint16_t type, std::string& data, std::string* address);
  virtual int NextNameServer(std::string& data, std::string* address) {
    return NextRecordOfType(kDnsTypeNs, data, address);
  }
  virtual int NextMailExchanger(std::string& data, std::string* address) {
    return NextRecordOfType(kDnsTypeMx, data, address);
  }
  // Copies the record at the cursor and moves past it; 0, or 1 at the end.
  virtual int CopyNextRecord(DnsRecord& record);

  [[nodiscard]] bool Authoritative() const { return authoritative_; }
  [[nodiscard]] const std::vector<DnsRecord>& Records() const { return records_; }
  [[nodiscard]] const std::string& QueriedName() const { return queried_name_; }

  // Datagram (true) or stream (false, the default) for the next queries.
  void SetUseDatagram(bool use_datagram) { use_datagram_ = use_datagram; }
  [[nodiscard]] bool UseDatagram() const { return use_datagram_; }
  // Port asked on every server (53); tests point it at a peer of their own.
  void SetServerPort(std::uint16_t port) { server_port_ = port; }
  [[nodiscard]] std::uint16_t ServerPort() const { return server_port_; }
  void SetTimeoutSeconds(int seconds) { timeout_s_ = seconds; }

 private:
  // Connects, sends the query (framed over TCP), receives its answer and closes.
  int Exchange(std::string_view server, DnsView query, DnsBytes& answer);
  // Read the one answer that matches `query` into `answer` (empty when none came in time).
  int ReceiveStreamAnswer(DnsView query, DnsBytes& answer);
  void ReceiveDatagramAnswer(DnsView query, const std::string& asked, DnsBytes& answer);

  std::uint16_t server_port_ = 53;
  bool use_datagram_ = false;
  bool authoritative_ = false;
  std::string queried_name_;
  int timeout_s_ = 10;
  std::size_t cursor_ = 0;
  std::vector<DnsRecord> records_;
};

}  // namespace tarnhold
