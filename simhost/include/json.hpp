// The JSON library as the real SDK ships it: one json.hpp at the top of its include folder. On
// Linux it is Debian's nlohmann/json.
#pragma once

#include <nlohmann/json.hpp>
