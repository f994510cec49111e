// thadmin's save of tarnhold.dat: the gateway's own layout of every value (CGatewayConfig::
// WriteTo), plus what a hand-written file held that thadmin has no control for: unknown keys of
// [Defaults] and whole unknown sections, with the values the gateway reads from them. Rule,
// mailbox, user and scanner sections are written from memory only, so a deleted one stays gone.
// Comments and unknown keys inside those numbered sections are not kept.
#pragma once

#include <string>
#include <string_view>

#include "platform/durable_file.h"
#include "gateway/gateway_config.h"

namespace tarnhold {

// The text of tarnhold.dat for `config`, keeping what `original` (the file as loaded) held
// beyond it.
[[nodiscard]] std::string ConfigurationText(const CGatewayConfig& config,
                                            std::string_view original);

// Writes <root>/tarnhold.dat durably (WriteDurably), then makes popstore/<n> for every local
// user; `written` receives the text. Failed: the old file is untouched; `error` says why.
[[nodiscard]] WriteResult WriteConfiguration(const CGatewayConfig& config,
                                             std::string_view original, std::string& written,
                                             std::string& error);

}  // namespace tarnhold
