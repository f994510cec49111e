#include "gateway/metrics.h"

namespace tarnhold {

MetricsRegistry& Metrics() {
  static MetricsRegistry registry;
  return registry;
}

}  // namespace tarnhold
