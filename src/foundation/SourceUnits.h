// Names under which the library's source units report themselves in
// exceptions and log records.
#pragma once

namespace rbo {
inline constexpr const char* kUnitRandVar = "RandVar";
inline constexpr const char* kUnitRandVarModules = "RandVarModules";
inline constexpr const char* kUnitRandRespModules = "RandRespModules";
}  // namespace rbo
