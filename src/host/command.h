#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

// The fields of one command line; a key the line lacks reads as the empty string.
using CommandFields = std::unordered_map<std::string, std::string>;

// Tolerant scanner for the flat JSON objects the host sends. Never fails.
CommandFields parseCommand(std::string_view line);

// The "seconds" value as base-10 string-to-int reads it: leading white space, a sign, digits
// up to the first non-digit. Empty when no digit is found or the value leaves 32 bits.
std::optional<int32_t> parseSeconds(std::string_view text);
