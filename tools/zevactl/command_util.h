// Small pieces the commands share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/zevactl/commands.h"
#include "tools/zevactl/session.h"

namespace zevactl {

// Checked arguments: a UsageError names what is wrong.
int32_t Address(const std::string& text, int64_t min, int64_t max);
int32_t Number(const std::string& text, int64_t min, int64_t max, const std::string& what);
std::vector<uint8_t> HexArgs(const std::vector<std::string>& args, const std::string& what);

std::string Hex(const std::vector<uint8_t>& bytes);
// A result line on standard output (not with --json).
void Print(const Session& s, const std::string& text);
std::string PlainLines(std::string text);
std::string SendResultText(int32_t result);
std::string ProgramErrorText(int32_t code);
std::string IdentityLine(const FirmwareInfo& f);
Json IdentityJson(const FirmwareInfo& f);

}  // namespace zevactl
