#include "sweeper/sweep_record.h"

#include <fcntl.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "gateway/activity_log.h"
#include "platform/local_time.h"
#include "platform/unique_fd.h"

namespace tarnhold {

std::string SweepRecordLine(std::string_view item_name, const ItemOutcome& outcome,
                            std::int64_t elapsed_ms, std::time_t when) {
  char stamp[32] = {};
  const std::tm local = LocalTime(when);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S%z", &local);
  nlohmann::ordered_json record = {
      {"time", stamp},
      {"queue_item", std::string(item_name)},
      {"message_id", outcome.message_id},
      {"sender", outcome.sender},
      {"recipient", outcome.recipient},
      {"rules_applied", outcome.rules_applied},
      {"rules_triggered", outcome.rules_triggered},
      {"rule", outcome.rule},
      {"action", outcome.action},
      {"destination", DestinationText(outcome.destination, outcome.area)},
      {"size", outcome.size},
      {"elapsed_ms", elapsed_ms},
  };
  return record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool AppendSweepRecord(const std::filesystem::path& file, std::string_view line, std::time_t when) {
  const std::filesystem::path dated = DatedLogFileName(file, LocalTime(when));
  UniqueFd fd(::open(dated.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (!fd) return false;
  std::string out(line);
  out += '\n';
  // One write: a reader never sees half a record followed by the next one.
  return ::write(fd.Get(), out.data(), out.size()) == static_cast<ssize_t>(out.size());
}

}  // namespace tarnhold
