// The text forms that cross process boundaries: a change ("verb;key=value;..."),
// a fault (a change with the verb "fault") and a command-log line. The DLL
// parses what the control library formats; both live here so the two ends
// cannot drift apart.
#pragma once

#include "SimModemTypes.h"

#include <string>
#include <utility>
#include <vector>

namespace simtext {

using simmodem::Bytes;

std::wstring Hex(const Bytes& bytes);
// Two hex digits per byte, case-insensitive; false for odd length or other characters.
bool ParseHex(const std::wstring& text, Bytes& bytes);
// Decimal, 0x-prefixed hex (also of negative HRESULTs), "any" or "always" (0xFFFFFFFF).
bool ParseNumber(const std::wstring& text, uint32_t& value);
std::wstring Number(uint32_t value);
std::wstring HexNumber(uint32_t value);

struct Change {
    std::wstring verb;
    std::vector<std::pair<std::wstring, std::wstring>> args;

    Change() = default;
    explicit Change(std::wstring v) : verb(std::move(v)) {}
    Change& Set(const std::wstring& key, const std::wstring& value);
    Change& Set(const std::wstring& key, uint32_t value) { return Set(key, Number(value)); }
    bool Has(const std::wstring& key) const;
    // Empty when absent.
    std::wstring Get(const std::wstring& key) const;
    // False when present but not a number; value untouched when absent.
    bool GetNumber(const std::wstring& key, uint32_t& value) const;
};

// Keys and verbs are compared without regard to case; values may hold anything but ';'.
bool ParseChange(const std::wstring& text, Change& change);
std::wstring FormatChange(const Change& change);

std::wstring FormatFault(const simmodem::FaultSpec& fault);
// From a change whose verb is "fault".
bool ParseFault(const Change& change, simmodem::FaultSpec& fault);

const wchar_t* OpName(uint32_t op);
bool ParseOp(const std::wstring& text, uint32_t& op);
const wchar_t* MethodName(uint32_t method);
bool ParseMethod(const std::wstring& text, uint32_t& method);
const wchar_t* SinkName(uint32_t sink);
bool ParseSink(const std::wstring& text, uint32_t& sink);
const wchar_t* FaultKindName(uint32_t kind);
bool ParseFaultKind(const std::wstring& text, uint32_t& kind);

// "<sequence>\t<interface index>\t<service or ->\t<OP>\t<cid>\t<request id>\t<hex payload>", no line end.
std::wstring FormatLogLine(const simmodem::LogEntry& entry);
bool ParseLogLine(const std::wstring& line, simmodem::LogEntry& entry);

bool EqualsNoCase(const std::wstring& a, const std::wstring& b);

}  // namespace simtext
