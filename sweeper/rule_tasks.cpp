#include "sweeper/rule_tasks.h"

#include "platform/profile_file.h"
#include "sweeper/compression.h"
#include "sweeper/content_checks.h"
#include "sweeper/generated_mail.h"

namespace tarnhold {
namespace {

void MarkArchive(const CRuleRecord& r, RuleContext& ctx) {
  for (const auto& path : ctx.state.archive_paths) {
    if (EqualsNoCase(path, r.ArchivePath)) {
      ctx.log("already marked for archive in " + r.ArchivePath);
      return;
    }
  }
  ctx.log("marked for archive in " + r.ArchivePath);
  ctx.state.archive_paths.push_back(r.ArchivePath);
}

void RequestDisclaimer(int i, const std::string& file, std::string& request, RuleContext& ctx) {
  if (ctx.message.item_size >= kMaxDisclaimerItemSize) {
    ctx.log(RulePrefix(i) + " message too big to add disclaimer");
    return;
  }
  request = file;  // a later rule's file replaces an earlier one's
}

void SendAndLog(RuleContext& ctx, const LocalMail& mail, const std::string& sent,
                const std::string& failed) {
  ctx.log(ctx.effects.SendLocalMail(mail) == kLocalMailSent ? sent : failed);
}

// False, with the one line that says why, when `answer` forbids the generated mail `what`.
bool MayAnswer(RuleContext& ctx, AutoAnswer answer, std::string_view what) {
  if (answer == AutoAnswer::Allowed) return true;
  ctx.log(std::string(what) + " not sent: " + std::string(AutoAnswerReason(answer)));
  return false;
}

// The extension of an attachment for the keep-only-these action: the text after the last "."
// of its file name, upper-cased; the whole path when the name has no ".".
std::string ExtensionForKeepCheck(const std::filesystem::path& attachment) {
  std::string name = attachment.filename().string();
  std::size_t dot = name.rfind('.');
  return UpperAscii(dot == std::string::npos ? attachment.string() : name.substr(dot + 1));
}

}  // namespace

void RunTasks(int i, const CRuleRecord& r, RuleContext& ctx) {
  const MessageFacts& m = ctx.message;
  if (r.Archive == 1) MarkArchive(r, ctx);
  if (r.AddTextDisclaimer == 1)
    RequestDisclaimer(i, r.TextDisclaimerFile, ctx.state.text_disclaimer, ctx);
  if (r.AddHTMLDisclaimer == 1)
    RequestDisclaimer(i, r.HTMLDisclaimerFile, ctx.state.html_disclaimer, ctx);

  const std::string& reply_from =
      ctx.state.spam ? ctx.config.SpamReplyEmail : ctx.config.AdminEmail;
  if (r.ReplyOnAction == 1 && MayAnswer(ctx, ReplyAllowed(m), "reply")) {
    ctx.log("sending reply from " + reply_from + " to " + m.envelope_sender);
    SendAndLog(ctx,
               {m.envelope_sender, reply_from,
                "RE: Your message to " + m.envelope_recipient + " from " + m.date, "",
                ctx.TextFile(r.ReplyFile)},
               "reply sent", "critical error: reply failed");
  }
  if (r.NotifyRecipientOnAction == 1 &&
      MayAnswer(ctx, NoticeAllowed(m), "notification to recipient")) {
    ctx.log("sending notification to recipient from " + reply_from + " to " + m.envelope_recipient);
    SendAndLog(ctx,
               {m.envelope_recipient, reply_from,
                "RE: Message to you from " + m.envelope_sender + " - message dated " + m.date, "",
                ctx.TextFile(r.NotifyRecipientFile)},
               "notification sent", "critical error: notification failed");
  }
  if (r.NotifyAdminOnAction == 1 &&
      MayAnswer(ctx, NoticeAllowed(m), "notification to the administrator")) {
    ctx.log("sending notification to the administrator");
    SendAndLog(ctx,
               {ctx.config.AdminEmail,
                ctx.config.AdminEmail,
                "Tarnhold Notification rule " + std::to_string(i) + " " + r.Comment,
                "Triggered on message from " + m.envelope_sender + " to " + m.envelope_recipient,
                {}},
               "notification sent", "critical error: notification failed");
  }
  if (r.EnableForwardCopyTo == 1) {
    ctx.log("forwarding a copy of the message to " + r.ForwardCopyTo);
    (void)ctx.effects.ForwardCopy(r.ForwardCopyTo);  // a failed copy is not reported
  }
}

void RunActionCheck(int i, const CRuleRecord& r, RuleContext& ctx) {
  const MessageFacts& m = ctx.message;
  const std::string prefix = RulePrefix(i);
  // What a rebuild would take out or put back: the parts nested in others go with their part.
  const std::vector<std::filesystem::path> outer = OuterAttachments(m);
  switch (r.Action) {
    case kActionRemoveListedTypes:
      if (MatchFileTypes(r.RemoveFileTypes, outer) == 1) {
        ctx.state.rewrite = true;
      } else {
        ctx.log(prefix + " nothing to do, no files are of type" + r.RemoveFileTypes +
                " attachments to remove");
      }
      return;
    case kActionKeepListedTypes: {
      const std::string kept = UpperAscii(r.RemoveFileTypes);
      for (const auto& file : outer) {
        if (kept.find(ExtensionForKeepCheck(file)) == std::string::npos) {
          ctx.state.rewrite = true;
          return;
        }
      }
      ctx.log(prefix + "nothing to do, all files are of type " + r.RemoveFileTypes);
      return;
    }
    case kActionRemoveAllAttachments:
      if (!outer.empty()) ctx.state.rewrite = true;
      return;
    case kActionRemoveHtml:
      if (MessageHasContentType(m, "text/html") == 1) {
        ctx.state.rewrite = true;
      } else {
        ctx.log(prefix + " - nothing to do, there is no HTML body content ");
      }
      return;
    case kActionCompress:
      if (m.has_zip) {
        ctx.log("nothing to do, message already compressed");
      } else if (CompressAttachments(outer, ctx.work_zip, r.CompressionTreshold, ctx.log)) {
        ctx.state.rewrite = true;
      }
      return;
    case kActionDecompress:
      if (!m.has_zip) {
        ctx.log("nothing to do, message does not contain any ZIP archive(s)");
      } else if (m.zip_with_paths) {
        ctx.log("aborting decompression: zip contains full path names");
      } else if (m.zip_encrypted) {
        ctx.log("cannot extract zip files because the zip archive is password protected");
      } else {
        ctx.log("message zip archive(s) already extracted ");
        ctx.state.rewrite = true;
      }
      return;
    default:
      return;
  }
}

}  // namespace tarnhold
