#pragma once
// Verify by CRC: a small applet stored beside the daemon computes a CRC-32 of
// the file's bytes in every 256-byte block the file touches, the loader
// compares each with the CRC of the file's own bytes, and only blocks whose
// CRC differs are read back, to count the differing bytes exactly. A board
// that does not answer the applet is verified by the full read-back.
#include <cstdint>
#include <span>
#include <vector>

#include "BoardMemory.h"

struct FastVerifyOptionsT {
    // Reprogram each differing block once where the flash allows it (bits
    // only go from 1 to 0), then check it again.
    bool repair = false;
    // The applet to store at CRC_APPLET_BASE; empty: the one built with the
    // daemon. Tests give others.
    std::span<const std::uint8_t> applet;
};

struct FastVerifyResultT {
    // As the read-back verify reports it: every byte of the file compared.
    VerifyResultT verify;
    // 0 when the applet gave every CRC, else why the whole file was read
    // back (kAppletStoreFailed, kAppletSilent, kAppletOtherDaemon).
    int applet = 0;
    bool readBack = false;
    // Start of each 256-byte block holding a differing byte, ascending.
    std::vector<std::uint32_t> differingBlocks;
    // Blocks reprogrammed by repair that then matched.
    unsigned repaired = 0;
};

FastVerifyResultT FastVerifyRom(const RomImageT& rom, const ByteProgressT& progress,
                                const FastVerifyOptionsT& options = {});

// CRC-32, IEEE, reflected (as zlib's crc32); pass the previous result to go on.
std::uint32_t Crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0);
