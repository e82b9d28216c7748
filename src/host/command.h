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
// The same, also giving the text of the last "id" value as rawValue does, in the same pass.
CommandFields parseCommand(std::string_view line, std::optional<std::string_view>& rawId);

// The text of the last value of `key` as it stands in the line: a quoted value with its
// quotes (up to the end of the line when it has no closing one), a bare value up to the next
// comma or brace. Nothing when the line has no such key.
std::optional<std::string_view> rawValue(std::string_view line, std::string_view key);

// The "id" a command may carry, kept as the host wrote it so that it can be written back
// exactly: a JSON string (strict: only JSON's escapes, no raw control bytes, UTF-8) or a JSON
// integer, blanks around a bare value left out, at most maxIdLength bytes.
inline constexpr size_t maxIdLength = 256;
enum class IdStatus { absent, valid, invalid };
struct CommandId {
  IdStatus status;
  std::string_view text;  // valid only
};
CommandId readId(std::string_view line);
// The same for the id's text as rawValue gives it.
CommandId checkId(std::optional<std::string_view> raw);

// An address of protocol 2: 12 hex digits of either case, alone or in pairs joined by ":" or
// by "-". Its canonical form "A4:50:46:12:34:56", or nothing.
std::optional<std::string> canonicalAddress(std::string_view text);
// The canonical form of the device any address text names, read as the resolver reads it
// (every hex digit in order, the last 12 counting): protocol 1 takes any spelling. Empty for
// a text without a hex digit.
std::string deviceAddress(std::string_view text);

// The "seconds" value as base-10 string-to-int reads it: leading white space, a sign, digits
// up to the first non-digit. Empty when no digit is found or the value leaves 32 bits.
std::optional<int32_t> parseSeconds(std::string_view text);
