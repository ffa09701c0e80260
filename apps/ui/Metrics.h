#pragma once
// The run's figures in the Prometheus text exposition format (version 0.0.4): every family with
// its HELP and TYPE lines, names prefixed rtmpwriter_ and carrying their unit.
#include <string>

#include "apps/RunFigures.h"

namespace app::ui {

inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

std::string FormatMetrics(const RunSnapshot& s);

}  // namespace app::ui
