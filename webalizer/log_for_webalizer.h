// Webalizer statistics of one domain.
#pragma once

#include "config/web_stat_config.h"

namespace LogForWebalizer {
// Runs Webalizer over every log file beside the configuration, in order; the
// first failing log file ends the domain with its exception.
void processConfig(const WebStatConfig& config);
} // namespace LogForWebalizer
