// The serialised form of a compiled program (calvex.Program.to_bytes): a
// versioned, checksummed container for everything the runtime needs to run
// it again in another process.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/bytecode.h"
#include "common/result.h"

namespace calvex {

// What a calvex.Program holds: the compiler's output and the name errors
// report for it.
struct ProgramData {
    std::string filename;
    CompiledProgram compiled;
};

// Layout: "CVXP" | u16 format version | u16 flags (0) | u32 payload length |
// u32 CRC-32 of the payload | payload. All integers little-endian; inside the
// payload, counts and operands are LEB128 varints and Push immediates zigzag.
inline constexpr uint16_t kProgramFormatVersion = 1;

std::vector<uint8_t> program_to_bytes(const ProgramData& p);
// Never trusts the input: every count is checked against the bytes left, so
// truncated, corrupted or foreign data fails with a message (the text of the
// host's ValueError), never with a crash or a huge allocation.
Result<ProgramData> program_from_bytes(std::span<const uint8_t> bytes);

uint32_t crc32(std::span<const uint8_t> bytes);

}  // namespace calvex
