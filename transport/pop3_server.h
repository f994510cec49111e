// POP3 server of the local mailboxes: a listening server whose connections run the POP3
// dialogue (USER, PASS, STAT, LIST, RETR, DELE, NOOP, RSET, QUIT, TOP, UIDL, and CAPA and
// STLS for TLS before the login) against the
// mailbox operations of CServerSettings. A connection holds its mailbox, alone, from a
// successful PASS until QUIT or the end of the connection, and both delete the messages it
// marked; whatever happens, the mailbox is released when the connection ends.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>

#include "transport/listen_server.h"

namespace tarnhold {

class CServerSettings;

// The port the server listens on unless thgate is told another (--pop3-port).
inline constexpr unsigned kPop3Port = 110;
// Line buffer of a connection: a command line holds at most 511 bytes with its line end.
inline constexpr int kPop3LineSize = 512;
// USER and PASS keep at most 127 characters of their argument.
inline constexpr std::size_t kPop3NameSize = 128;
// Identifiers shown by UIDL are cut to the 70 characters a POP3 client has to accept.
inline constexpr std::size_t kPop3UniqueIdSize = 71;
// An over-long command line is read to its end and dropped; past this many bytes the
// connection is ended instead.
inline constexpr long kPop3MaxDiscardBytes = 64 * 1024;

// Command codes of the dialogue, in the order of their recognition.
enum class Pop3Command {
  Unknown = 0,
  User = 1,
  Pass = 2,
  Stat = 3,
  List = 4,
  Retr = 5,
  Dele = 6,
  Noop = 7,
  Rset = 8,
  Quit = 9,
  Top = 10,
  Uidl = 11,
  Capa = 12,
  Stls = 13,
};

// The command of a received line (line end removed): its first four characters, upper-cased,
// against "USER", "PASS", "STAT", "LIST", "TOP " (with its space), "RETR", "DELE", "NOOP",
// "RSET", "QUIT", "UIDL", "CAPA" and "STLS" in turn. Anything else, a line shorter than four characters
// included, is Unknown.
[[nodiscard]] Pop3Command RecognisePop3Command(std::string_view line);

class CPop3Server;

class CPop3Connection : public CServerConnection {
 public:
  CPop3Connection(CServerSettings& settings, const CPop3Server& server);
  ~CPop3Connection() override;

  // The dialogue: greeting, then one command per line until QUIT, a failed read or a failed
  // send. Ending without QUIT deletes the marked messages as QUIT does.
  void OnConnect() override;
  // Refuses the connection with "-ERR  System Too Busy Please Try Later".
  void OnMaxConnect() override;

 private:
  enum class Next { Continue, End };
  using Handler = Next (CPop3Connection::*)(std::string_view line);
  struct CommandEntry {
    Pop3Command code;
    Handler handler;
  };
  static const CommandEntry kCommands[];

  // Reads one command line into line_; false when the connection is to end.
  bool ReadCommandLine();
  Next Dispatch(std::string_view line);

  // pop3_commands.cpp: one handler per command.
  Next OnUser(std::string_view line);
  Next OnPass(std::string_view line);
  Next OnStat(std::string_view line);
  Next OnList(std::string_view line);
  Next OnRetr(std::string_view line);
  Next OnDele(std::string_view line);
  Next OnNoop(std::string_view line);
  Next OnRset(std::string_view line);
  Next OnQuit(std::string_view line);
  Next OnTop(std::string_view line);
  Next OnUidl(std::string_view line);
  Next OnCapa(std::string_view line);
  Next OnStls(std::string_view line);
  Next OnUnknown(std::string_view line);
  // Whether USER and PASS may run now: not when TLS is required and this connection from
  // another host has not passed STLS.
  [[nodiscard]] bool ClearTextLoginAllowed() const;

  // Position (from 0) of the message whose number (from 1) is token `token` of the line;
  // -1 when the token is missing or the number is outside 1 to the message count, which is
  // always so before a login.
  [[nodiscard]] int MessagePosition(std::string_view line, int token = 1) const;
  [[nodiscard]] long long TotalSize() const;
  Next UidlListing();
  Next ListAll();

  // Sends `text`: Continue, or End (the connection is gone) when the send fails.
  Next Reply(std::string_view text);
  // Deletes the marked messages and releases the mailbox; no-op without a login.
  void CommitMailbox();
  // Releases the mailbox keeping every message: the gateway is stopping, not the client.
  void ReleaseMailbox();

  std::string line_;
  int last_read_ = 0;
  std::string account_;
  std::string password_;
  int mailbox_ = -1;
  std::shared_ptr<const TlsContext> tls_context_;  // taken at the greeting; nullptr: no STLS
  bool require_tls_ = false;
  CServerSettings& settings_;
  const CPop3Server& server_;
  bool send_failed_ = false;
};

class CPop3Server : public CListenServer {
 public:
  explicit CPop3Server(CServerSettings& settings);
  ~CPop3Server() override;

  // Stops accepting and ends every connection, deleting nothing: a stopping gateway is not a
  // client's QUIT, so the messages marked in open sessions stay. Stands in for
  // CListenServer::Shutdown, which must not be called on this server through a base pointer.
  void Shutdown();

  CServerConnection* CreateInstance() override;
  void ReleaseInstance(CServerConnection* connection) override;

  [[nodiscard]] bool Stopping() const { return stopping_; }
  // POP3RequireTLS: USER and PASS from hosts other than loopback only after STLS.
  void SetRequireTls(bool require) { require_tls_ = require; }
  [[nodiscard]] bool RequireTls() const { return require_tls_; }

 private:
  CServerSettings& settings_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> require_tls_{false};
};

}  // namespace tarnhold
