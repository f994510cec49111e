// Delivery of one send-queue item: the route (routing table, inbound or outbound gateway, the
// recipient domain's mail exchangers, or a local mailbox), the SMTP exchange that carries the
// item, the local store, retry counting and returned mail. Every step logs to the SMTP delivery
// log. An item is deleted only once the receiving side has it for good: the remote server
// accepted the end of the data, or the mailbox message is on disk under its number.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/queue_item.h"
#include "transport/routing_table.h"

namespace tarnhold {

class CGatewayConfig;
class CServerSettings;
class SpoolItem;

// What SmtpSendItem reached: the item sent, or the step that failed.
enum class SendItemResult {
  Sent,
  NoConnection,
  HeloRefused,
  MailRefused,
  RcptRefused,
  DataRefused,  // DATA refused, or the message not accepted
};

// What StoreLocal did with the item.
enum class StoreResult { Stored, NotStored };

// Mail exchangers are always asked on this port.
inline constexpr unsigned kMxPort = 25;
// Message data goes out in pieces of this size; "Total Sent" is logged every 20 pieces.
inline constexpr std::size_t kSendPieceBytes = 512;
inline constexpr int kPiecesPerProgressLine = 20;
// The stored text is read in blocks of this size (a whole number of pieces).
inline constexpr std::size_t kSendReadBlockBytes = 64 * 1024;
static_assert(kSendReadBlockBytes % kSendPieceBytes == 0);
// Pieces are handed to the connection in batches of up to this size.
inline constexpr std::size_t kSendBatchBytes = 64 * 1024;
// Reply lines are read with this time-out; a connect may take as long.
inline constexpr long kDeliveryTimeoutS = 30;
// The recipient used for an item that has none: a reserved domain nobody can own, so the
// attempt fails and the mail finds its way back to its sender.
inline constexpr const char* kBlankRecipientPlaceholder = "blank-recipient@tarnhold.invalid";

// How the delivery uses STARTTLS towards one host.
enum class OutboundTls {
  Off,            // HELO and clear text throughout
  Opportunistic,  // EHLO (HELO when refused); STARTTLS when offered, the peer not verified; a
                  // handshake that fails is followed by one more attempt in clear text
  Verified,       // EHLO; STARTTLS must be offered and the peer's certificate must be valid
                  // for the host by the system's CA store, else the message is not sent
};

// Where a route goes: a host (name or dotted address; empty: the recipient's domain) on a
// port, sent to directly (type 0) or through the recipient domain's mail exchangers.
struct GatewayRoute {
  std::string address;
  std::uint16_t port = 25;
  int type = 0;
  RouteTls tls = RouteTls::Default;
};

// The part of the configuration the delivery reads, taken as one snapshot per item so that a
// reload never changes the route in the middle of an attempt.
struct DeliveryConfig {
  std::filesystem::path routing_file;  // empty: no routing table
  std::vector<std::string> local_domains;
  bool pop3_server = false;  // EnablePOP3Server = 1
  GatewayRoute inbound;      // recipients in a local domain
  GatewayRoute outbound;     // every other recipient
  std::vector<std::string> dns_servers;
  std::string helo_name;  // the name given in HELO
  OutboundTls tls = OutboundTls::Opportunistic;  // SMTPOutTLS, SMTPOutTLSVerify
};

// STARTTLS towards one host: how, and the name (or dotted address) its certificate must be
// valid for when verified: the exchanger's name, or the gateway as configured.
struct TlsUse {
  OutboundTls mode = OutboundTls::Off;
  std::string name;
};

// The TLS use towards a route: its own choice from the routing table, else `configured`.
[[nodiscard]] OutboundTls TlsForRoute(OutboundTls configured, RouteTls route);

[[nodiscard]] DeliveryConfig DeliveryConfigFrom(const CGatewayConfig& config);

// What became of an item, for the scheduler.
enum class DeliveryOutcome {
  Finished,  // delivered, stored, or dropped returned mail: the item was deleted
  Requeued,  // rewritten (returned mail, or a counted retry): the queue's due rule applies
  Unchanged,  // not delivered and not counted (gateway, routing-table host or local store
              // failed, or the item unreadable): the caller decides when it is tried again
};

// The recipient's domain: the text after the first "@", a trailing ">" removed; "" when
// there is no "@".
[[nodiscard]] std::string RecipientDomain(std::string_view recipient);

// The banner put in front of returned mail of `return_kind` (1 to 3): Message-ID, To, From,
// Date (only when `date` is not empty), the subject line of the kind and the three separator
// lines. Empty for kind 0 or an unknown kind.
[[nodiscard]] std::string ReturnedMailBanner(std::uint32_t return_kind,
                                             std::string_view message_id, std::string_view to,
                                             std::string_view from, std::string_view date);

// The item data an attempt sends: its header fields and where its message text begins.
struct SendItemData {
  CServerSettings& settings;
  SpoolItem& item;
  std::int64_t text_offset = 0;
  std::string recipient;
  std::string sender;
  std::uint32_t return_kind = kReturnNone;
};

// Carries the item over one SMTP connection to `host_address` (dotted, or a name that is
// resolved; empty: `host_name` is resolved) on `port`, saying HELO `helo_name` (or EHLO, and
// STARTTLS, as `tls` says). The returned
// mail banner comes first when the item's return kind is not 0, then the stored text, then
// "\r\n.\r\n" unless the text already ends with the "." line. The connection is closed
// without QUIT. `aborted` ends every wait for a reply early (the attempt then fails).
[[nodiscard]] SendItemResult SmtpSendItem(const SendItemData& data, std::string_view host_name,
                               std::string_view host_address, unsigned port,
                               std::string_view helo_name, const TlsUse& tls,
                               const std::function<bool()>& aborted = {});

// Writes the item into the local mailbox of its recipient: the banner (with a date) for
// returned mail, then the stored text. The message gets its number only once it is complete
// and on disk.
[[nodiscard]] StoreResult StoreLocal(const SendItemData& data);

// Called with the outcome while the item is still open and locked, just before it is closed.
using BeforeClose = std::function<void(DeliveryOutcome outcome, SpoolItem& item)>;

// Delivers one item picked from the send queue and closes it, deleting it when it is
// finished. `aborted` is passed on to every SMTP exchange.
DeliveryOutcome DeliverQueueItem(CServerSettings& settings, SpoolItem& item,
                                 const DeliveryConfig& config,
                                 const std::function<bool()>& aborted = {},
                                 const BeforeClose& before_close = {});

}  // namespace tarnhold
