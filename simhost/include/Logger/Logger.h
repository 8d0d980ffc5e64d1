// The host's log sinks (its console and its log file), through which a plugin's named logger
// writes, mirrored from the real SDK's Logger/Logger.h.
#pragma once

#include <vector>

#include <spdlog/spdlog.h>

#include "API/Base.h"

ARK_API std::vector<spdlog::sink_ptr>& GetLogSinks();
