// AWStats statistics of one domain, and the clean-up after a run.
#pragma once

#include <vector>

#include "config/web_stat_config.h"

// Runs AWStats over every log file beside the configuration, in order, with
// at most jobs report pages made at once.
void processAWStatsConfig(const WebStatConfig& config, unsigned jobs);
// Removes the AWStats configurations of domains this run did not process with
// AWStats. Logs its own failures; never raises.
void cleanAWstats(const std::vector<WebStatConfig>& processed);
