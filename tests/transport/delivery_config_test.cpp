// What the delivery takes from the configuration file.
#include <gtest/gtest.h>

#include "gateway/gateway_config.h"
#include "tests/support/temp_root.h"
#include "transport/smtp_delivery.h"

namespace tarnhold {
namespace {

TEST(DeliveryConfig, TakenFromTheConfigurationFile) {
  test::TempRoot root;
  root.Write("dns.txt", "; servers\n127.0.0.53\n\n");
  root.Write("tarnhold.dat",
             "[Defaults]\n"
             "InboundGatewayAddress=mail.corp.test\nInboundGatewayType =0\nInboundPort=2526\n"
             "OutboundGatewayAddress=relay.isp.test\nOutboundGatewayType =1\nOutboundPort=587\n"
             "DNSLookupFileName=c:\\tarnhold\\dns.txt\n"
             "SMTPRoutingFileName=c:\\tarnhold\\routes.txt\n"
             "EnablePOP3Server=2\nLocalDomain0=Corp.Test\nLocalDomain1=other.test\n");
  CGatewayConfig file(root.Path());
  file.Load();
  DeliveryConfig config = DeliveryConfigFrom(file);
  EXPECT_EQ(config.routing_file, root / "routes.txt");
  EXPECT_EQ(config.local_domains, (std::vector<std::string>{"corp.test", "other.test"}));
  EXPECT_FALSE(config.pop3_server);  // on only when exactly 1
  EXPECT_EQ(config.inbound.address, "mail.corp.test");
  EXPECT_EQ(config.inbound.port, 2526);
  EXPECT_EQ(config.inbound.type, 0);
  EXPECT_EQ(config.outbound.address, "relay.isp.test");
  EXPECT_EQ(config.outbound.port, 587);
  EXPECT_EQ(config.outbound.type, 1);
  EXPECT_EQ(config.dns_servers, (std::vector<std::string>{"127.0.0.53", ""}));
  EXPECT_EQ(config.helo_name, "corp.test");
}

TEST(DeliveryConfig, NoRoutingTableWhenNoneIsNamed) {
  test::TempRoot root;
  CGatewayConfig file(root.Path());
  file.Load();
  DeliveryConfig config = DeliveryConfigFrom(file);
  EXPECT_TRUE(config.routing_file.empty());
  EXPECT_EQ(config.outbound.port, 25);
  EXPECT_FALSE(config.helo_name.empty());
}

TEST(DeliveryConfig, RecipientDomain) {
  const std::pair<const char*, const char*> cases[] = {
      {"anna@corp.test", "corp.test"},
      {"anna@corp.test>", "corp.test"},
      {"a@b@c.test", "b@c.test"},
      {"no-at-sign", ""},
      {"", ""},
  };
  for (const auto& [recipient, want] : cases) {
    SCOPED_TRACE(recipient);
    EXPECT_EQ(RecipientDomain(recipient), want);
  }
}

// SMTPOutTLS and SMTPOutTLSVerify, and a routing-table line's own choice above both.
TEST(DeliveryConfig, TlsUseFromSettingsAndRoute) {
  const struct {
    const char* keys;
    OutboundTls want;
  } cases[] = {
      {"", OutboundTls::Opportunistic},
      {"SMTPOutTLS=0\n", OutboundTls::Off},
      {"SMTPOutTLS=0\nSMTPOutTLSVerify=1\n", OutboundTls::Off},
      {"SMTPOutTLSVerify=1\n", OutboundTls::Verified},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys);
    test::TempRoot root;
    root.Write("tarnhold.dat", std::string("[Defaults]\n") + c.keys);
    CGatewayConfig file(root.Path());
    file.Load();
    const OutboundTls got = DeliveryConfigFrom(file).tls;
    EXPECT_EQ(got, c.want);
    EXPECT_EQ(TlsForRoute(got, RouteTls::Default), got);
    EXPECT_EQ(TlsForRoute(got, RouteTls::Verify), OutboundTls::Verified);
    EXPECT_EQ(TlsForRoute(got, RouteTls::Clear), OutboundTls::Off);
  }
}

}  // namespace
}  // namespace tarnhold
