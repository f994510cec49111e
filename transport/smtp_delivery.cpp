// DeliverQueueItem: the route of one send-queue item and what becomes of it afterwards.
#include "transport/smtp_delivery.h"

#include <algorithm>
#include <optional>

#include "gateway/activity_log.h"
#include "gateway/address_lists.h"
#include "gateway/gateway_config.h"
#include "gateway/metrics.h"
#include "gateway/server_settings.h"
#include "gateway/spool_item.h"
#include "transport/mx_lookup.h"
#include "transport/routing_table.h"
#include "transport/server_name.h"

namespace tarnhold {
namespace {

// Exchanger names and addresses are taken at these lengths at most.
constexpr std::size_t kMaxExchangerName = 255;
constexpr std::size_t kMaxExchangerAddress = 31;

// One delivery attempt of one item: the header as read and where it stands.
class Attempt {
 public:
  Attempt(CServerSettings& settings, SpoolItem& item, const DeliveryConfig& config,
          const std::function<bool()>& aborted, const QueueItemHeader& header,
          std::int64_t text_offset)
      : settings_(settings),
        item_(item),
        config_(config),
        aborted_(aborted),
        header_(header),
        data_{settings, item, text_offset, header.recipient, header.sender, header.return_kind} {}

  DeliveryOutcome Run();

 private:
  DeliveryOutcome ReturnAfterMaxRetries();
  DeliveryOutcome StoreInMailbox();
  DeliveryOutcome SendToHost(const GatewayRoute& route);
  DeliveryOutcome SendToExchangers();
  void LogFirstExchanger(CMxLookup& lookup);
  DeliveryOutcome RecipientRefused();
  DeliveryOutcome MakeReturnedMail(std::uint32_t return_kind);
  // The counted forms of an attempt's end without delivery.
  static DeliveryOutcome Deferred(DeliveryOutcome outcome) {
    CountEvent(Counter::DeliveryDeferred);
    return outcome;
  }
  static DeliveryOutcome GiveUp() {
    CountEvent(Counter::DeliveryFinishedUnsent);
    return DeliveryOutcome::Finished;
  }
  std::optional<GatewayRoute> RoutingTableRoute() const;

  CServerSettings& settings_;
  SpoolItem& item_;
  const DeliveryConfig& config_;
  const std::function<bool()>& aborted_;
  QueueItemHeader header_;
  SendItemData data_;
  std::string domain_;
};

DeliveryOutcome Attempt::Run() {
  CountEvent(Counter::DeliveryAttempts);
  SmtpOutLogLine("SMTPOUT To:" + header_.recipient + " From:" + header_.sender);
  if (data_.recipient.empty()) {
    SmtpOutLogLine("To was blank");
    data_.recipient = kBlankRecipientPlaceholder;
  }
  domain_ = RecipientDomain(data_.recipient);
  SmtpOutLogLine("Domain Name:" + domain_);
  if (header_.attempts >= static_cast<std::uint32_t>(std::max(settings_.MaxRetries(), 0))) {
    return ReturnAfterMaxRetries();
  }
  std::optional<GatewayRoute> route = RoutingTableRoute();
  const bool local = lists::IsLocalDomain(config_.local_domains, domain_) != 0;
  if (local && config_.pop3_server) return StoreInMailbox();
  if (!route) route = local ? config_.inbound : config_.outbound;
  if (route->type == 0) return SendToHost(*route);
  return SendToExchangers();
}

std::optional<GatewayRoute> Attempt::RoutingTableRoute() const {
  if (config_.routing_file.empty()) return std::nullopt;
  RouteSearch search = FindRouteInFile(config_.routing_file, data_.recipient);
  for (const std::string& line : search.log) SmtpOutLogLine(line);
  if (!search.route) return std::nullopt;
  return GatewayRoute{search.route->host, search.route->port, 0, search.route->tls};
}

DeliveryOutcome Attempt::ReturnAfterMaxRetries() {
  SmtpOutLogLine("Max retries reached");
  // Returned mail never produces returned mail.
  if (header_.return_kind != kReturnNone) return GiveUp();
  return MakeReturnedMail(kReturnMaxRetries);
}

DeliveryOutcome Attempt::MakeReturnedMail(std::uint32_t return_kind) {
  // A message from the null sender is itself a notice: returned mail would have nobody to go
  // to, and answering it could start a loop.
  if (header_.sender.empty()) {
    SmtpOutLogLine("No returned mail: the message has no sender");
    return DeliveryOutcome::Finished;
  }
  // The addresses trade places exactly as stored, so the header keeps its size and the text
  // behind it is never moved.
  if (settings_.WriteHeader(item_, header_.sender, header_.recipient, 0, return_kind) != 0) {
    SmtpOutLogLine("Error: cannot rewrite " + item_.Path().string() + " as returned mail");
    return Deferred(DeliveryOutcome::Unchanged);
  }
  CountEvent(Counter::ReturnedMail);
  return DeliveryOutcome::Requeued;
}

DeliveryOutcome Attempt::RecipientRefused() {
  if (header_.return_kind != kReturnNone) return GiveUp();
  return MakeReturnedMail(kReturnUserNotFound);
}

DeliveryOutcome Attempt::StoreInMailbox() {
  SmtpOutLogLine("... is for local POP3 delivery");
  if (StoreLocal(data_) != StoreResult::Stored) {
    SmtpOutLogLine("Error: SendMailLocal Failed");
    return Deferred(DeliveryOutcome::Unchanged);
  }
  SmtpOutLogLine("Message stored in local POP3 account");
  CountEvent(Counter::DeliveredLocal);
  return DeliveryOutcome::Finished;
}

DeliveryOutcome Attempt::SendToHost(const GatewayRoute& route) {
  SmtpOutLogLine("Connecting to " + route.address);
  // Without a gateway address the recipient's domain itself is resolved as the host.
  const TlsUse tls{TlsForRoute(config_.tls, route.tls),
                   route.address.empty() ? domain_ : route.address};
  switch (SmtpSendItem(data_, domain_, route.address, route.port, config_.helo_name, tls,
                       aborted_)) {
    case SendItemResult::Sent:
      SmtpOutLogLine("Mail sent");
      CountEvent(Counter::DeliveredRemote);
      return DeliveryOutcome::Finished;
    case SendItemResult::RcptRefused:
      return RecipientRefused();
    case SendItemResult::NoConnection:
    case SendItemResult::HeloRefused:
    case SendItemResult::MailRefused:
    case SendItemResult::DataRefused:
      break;
  }
  return Deferred(DeliveryOutcome::Unchanged);
}

// Takes entries until one is obtained, with a line for each: "MX Record found" for the one
// obtained, "MX Record not found, trying directly" for each before it that cannot be taken
// (no host name, as in a null MX ".", or one longer than the name buffer).
void Attempt::LogFirstExchanger(CMxLookup& lookup) {
  std::string name;
  std::uint16_t preference = 0;
  lookup.Rewind();
  while (lookup.NextMailExchanger(name, nullptr, preference) == 0) {
    if (!name.empty() && name.size() <= kMaxExchangerName) {
      SmtpOutLogLine("MX Record found " + domain_);
      return;
    }
    SmtpOutLogLine("MX Record not found, trying directly " + domain_);
  }
}

DeliveryOutcome Attempt::SendToExchangers() {
  CMxLookup lookup;
  lookup.SetAddDomain(true);
  for (const std::string& server : config_.dns_servers) {
    if (lookup.AddNameServer(server) != 0) {
      SmtpOutLogLine("cannot add name server to internal search list: " + server);
    }
  }
  if (lookup.Lookup("", domain_) != 0) {
    SmtpOutLogLine("Authoritative Lookup failed, trying directly " + domain_);
  } else if (lookup.Count() == 0) {
    SmtpOutLogLine("MX Record not found, trying directly " + domain_);
  } else {
    SmtpOutLogLine("Authoritative Lookup worked " + domain_);
    LogFirstExchanger(lookup);
  }
  lookup.Rewind();
  std::string name, address;
  std::uint16_t preference = 0;
  while (lookup.NextMailExchanger(name, &address, preference) == 0) {
    if (aborted_ && aborted_()) return Deferred(DeliveryOutcome::Unchanged);  // stopping
    name.resize(std::min(name.size(), kMaxExchangerName));
    address.resize(std::min(address.size(), kMaxExchangerAddress));
    SmtpOutLogLine("Trying " + address);
    const SendItemResult result =
        SmtpSendItem(data_, name, address, kMxPort, config_.helo_name, {config_.tls, name},
                     aborted_);
    if (result == SendItemResult::Sent) {
      CountEvent(Counter::DeliveredRemote);
      return DeliveryOutcome::Finished;
    }
    if (result == SendItemResult::RcptRefused) return RecipientRefused();
  }
  const std::uint32_t attempts = header_.attempts + 1;
  if (settings_.UpdateHeader(item_, attempts, header_.return_kind) != 0) {
    SmtpOutLogLine("Error: cannot count the attempt in " + item_.Path().string());
    return Deferred(DeliveryOutcome::Unchanged);
  }
  SmtpOutLogLine("Retrying Mail " + std::to_string(attempts));
  return Deferred(DeliveryOutcome::Requeued);
}

}  // namespace

DeliveryConfig DeliveryConfigFrom(const CGatewayConfig& config) {
  DeliveryConfig out;
  if (!config.SMTPRoutingFileName.empty()) {
    out.routing_file = config.MapPath(config.SMTPRoutingFileName);
  }
  out.local_domains = config.local_domains;
  out.pop3_server = config.EnablePOP3Server == 1;
  out.inbound = {config.InboundGatewayAddress, config.InboundPort, config.InboundGatewayType};
  out.outbound = {config.OutboundGatewayAddress, config.OutboundPort, config.OutboundGatewayType};
  out.dns_servers = config.dns_servers;
  out.helo_name = SmtpServerName(config.local_domains);
  out.tls = config.SMTPOutTLS != 1          ? OutboundTls::Off
            : config.SMTPOutTLSVerify == 1 ? OutboundTls::Verified
                                           : OutboundTls::Opportunistic;
  return out;
}

OutboundTls TlsForRoute(OutboundTls configured, RouteTls route) {
  switch (route) {
    case RouteTls::Verify:
      return OutboundTls::Verified;
    case RouteTls::Clear:
      return OutboundTls::Off;
    case RouteTls::Default:
      break;
  }
  return configured;
}

std::string RecipientDomain(std::string_view recipient) {
  std::size_t at = recipient.find('@');
  if (at == std::string_view::npos) return {};
  std::string_view domain = recipient.substr(at + 1);
  if (!domain.empty() && domain.back() == '>') domain.remove_suffix(1);
  return std::string(domain);
}

DeliveryOutcome DeliverQueueItem(CServerSettings& settings, SpoolItem& item,
                                 const DeliveryConfig& config,
                                 const std::function<bool()>& aborted,
                                 const BeforeClose& before_close) {
  QueueItemHeader header;
  int bits = settings.ReadHeader(item, header);
  DeliveryOutcome outcome = DeliveryOutcome::Unchanged;
  if (bits != 0) {
    SmtpOutLogLine("Error: cannot read the header of " + item.Path().string() +
                   " (error bits " + std::to_string(bits) + ")");
  } else {
    Attempt attempt(settings, item, config, aborted, header, item.File().Position());
    outcome = attempt.Run();
  }
  if (before_close) before_close(outcome, item);
  const bool finished = outcome == DeliveryOutcome::Finished;
  const std::string path = item.Path().string();
  if (settings.CloseItem(item, finished ? OnClose::Delete : OnClose::Keep) != 0 && finished) {
    SmtpOutLogLine("Error: cannot delete " + path);
  }
  return outcome;
}

}  // namespace tarnhold
