// read, erase and run: the board's memory without a ROM file.
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "BoardMemory.h"
#include "CommPort.h"
#include "Commands.h"
#include "ConsoleView.h"
#include "ExitCodes.h"
#include "LoadSequence.h"
#include "Numbers.h"
#include "Session.h"
#include "SxImage.h"

namespace {

using Clock = std::chrono::steady_clock;

// A connected session for a command without a file; the connect's code.
int Connected(Session& session, ConsoleView& view) {
    int code = session.Open();
    if (code == exitcode::kOk) code = session.Connect(view);
    return code;
}

int Finish(Reporter& r, Session& session, const std::string& command, int code, std::string summary,
           const json::Object& fields) {
    if (const int closed = session.Close(); code == exitcode::kOk) code = closed;
    if (summary.empty()) summary = code == exitcode::kOk ? command + ": done" : command + " failed: " + r.LastStatus();
    r.Result(command, code, summary, fields);
    return code;
}

}  // namespace

void Monitor(Reporter& r, double seconds) {
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::array<std::uint8_t, 256> buf{};
    std::FILE* out = r.Human();
    while (Clock::now() < end) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        CommWaitInput(static_cast<std::int32_t>(std::max<long long>(1, std::min<long long>(left, 200))));
        const int n = CommRead(buf);
        for (int i = 0; i < n; ++i) {
            const auto c = buf[static_cast<std::size_t>(i)];
            if (c == '\r') continue;
            if (c == '\n' || (c >= 0x20 && c < 0x7F)) std::fputc(c, out);
            else std::fprintf(out, "<%02X>", c);
        }
        std::fflush(out);
    }
}

int ReadCommand(const Options& o, Reporter& r) {
    std::uint32_t start = kFlashBase, length = kFlashSize;
    if (!o.readAll && (!ParseNumber(o.readStart, start) || !ParseNumber(o.readLength, length) || length == 0 ||
                       std::uint64_t{start} + length > 0x100000000ull || length > (64u << 20))) {
        r.Error("read: START and LENGTH must be numbers (0x for hex), LENGTH 1 to 64 MiB, inside 32 bits");
        r.Result("read", exitcode::kUsage, "", json::Object());
        return exitcode::kUsage;
    }
    // Opened before the board is touched: a bad path costs no bring-up.
    SXFILE_T out(o.output.c_str(), kModeOut | kModeTrunc);
    if (out.Fail() != 0) {
        r.Error("read: cannot write " + o.output);
        r.Result("read", exitcode::kUsage, "", json::Object());
        return exitcode::kUsage;
    }
    Session session(o, r);
    ConsoleView view(r, 0, 0);
    int code = Connected(session, view);
    std::vector<std::uint8_t> bytes(length);
    json::Object fields;
    std::string summary;
    if (code == exitcode::kOk) {
        r.Status("Reading " + std::to_string(length) + " bytes from " + Hex(start) + " .....");
        r.StartProgress("read", length, true);
        const auto t0 = Clock::now();
        const int read = ReadBoard(start, bytes, [&r](std::uint32_t done, std::uint32_t) { r.Progress(done); });
        r.Phase("read", std::chrono::duration<double>(Clock::now() - t0).count());
        if (read != 0) {
            code = read == kNoDaemon ? exitcode::kDaemonLoad : exitcode::kRead;
        } else if (WriteImageRecords(out, start, bytes, "zelmo-cli read " + Hex(start)) != 0) {
            r.Error("read: writing " + o.output + " failed");
            code = exitcode::kOther;
        } else {
            summary = "Read " + std::to_string(length) + " bytes from " + Hex(start) + " into " + o.output;
            fields.Str("output", o.output).Int("start", start).Int("length", length);
        }
    }
    // No half-written image is left to be mistaken for the board's memory.
    std::error_code ec;
    if (code != exitcode::kOk && std::filesystem::is_regular_file(o.output, ec)) std::filesystem::remove(o.output, ec);
    return Finish(r, session, "read", code, summary, fields);
}

int EraseCommand(const Options& o, Reporter& r) {
    std::vector<std::uint32_t> sectors;
    for (const auto& text : o.eraseSectors) {
        std::uint32_t address = 0;
        if (!ParseNumber(text, address) || FlashSectorIndex(address) < 0) {
            r.Error("erase: " + text + " is not an address inside the flash (" + Hex(kFlashBase) + " to " +
                    Hex(kFlashEnd - 1) + ")");
            r.Result("erase", exitcode::kUsage, "", json::Object());
            return exitcode::kUsage;
        }
        // Erasing a sector is final: the one that holds the serial-number area
        // is left to the commands that say so (--serial-number), or to --chip,
        // which keeps the area.
        const auto& sector = kFlashSectors[static_cast<std::size_t>(FlashSectorIndex(address))];
        if (sector.start + sector.size > kSerialNumberStart) {
            r.Error("erase: the sector at " + Hex(sector.start) + " holds the serial-number area (" +
                    Hex(kSerialNumberStart) + " to " + Hex(kFlashEnd - 1) +
                    "); use --chip, which keeps it, or --serial-number to erase the area itself");
            r.Result("erase", exitcode::kUsage, "", json::Object());
            return exitcode::kUsage;
        }
        sectors.push_back(address);
    }
    Session session(o, r);
    ConsoleView view(r, 0, 0);
    int code = Connected(session, view);
    std::string summary;
    if (code == exitcode::kOk && o.eraseSerial) {
        r.Status("Erasing the serial-number area .....");
        r.Begin("erase");
        const auto t0 = Clock::now();
        const int erased = EraseSerialNumberArea();
        r.Phase("erase", std::chrono::duration<double>(Clock::now() - t0).count());
        if (erased != 0) code = exitcode::kErase;
        else summary = "Serial-number area " + Hex(kSerialNumberStart) + " to " + Hex(kFlashEnd - 1) + " erased";
    } else if (code == exitcode::kOk && !sectors.empty()) {
        for (const auto address : sectors) {
            const auto& sector = kFlashSectors[static_cast<std::size_t>(FlashSectorIndex(address))];
            r.Status("Erasing sector " + Hex(sector.start) + " (" + std::to_string(sector.size / 1024) + " KiB) .....");
            r.Begin("erase");
            const auto t0 = Clock::now();
            const int erased = EraseFlashSector(address);
            r.Phase("erase", std::chrono::duration<double>(Clock::now() - t0).count());
            if (erased != 0) {
                code = exitcode::kErase;
                break;
            }
        }
        if (code == exitcode::kOk) summary = std::to_string(sectors.size()) + " sector(s) erased";
    } else if (code == exitcode::kOk) {
        // The whole chip, exactly as the loading sequence erases it.
        if (!RunEraseStep(view)) code = exitcode::kErase;
        else summary = "Flash erased; the serial-number area kept";
    }
    return Finish(r, session, "erase", code, summary, json::Object());
}

int RunCommand(const Options& o, Reporter& r) {
    std::uint32_t address = 0;
    if (!ParseNumber(o.runAddress, address) || (address & 1) != 0) {
        r.Error("run: " + o.runAddress + " is not an even address");
        r.Result("run", exitcode::kUsage, "", json::Object());
        return exitcode::kUsage;
    }
    Session session(o, r);
    ConsoleView view(r, 0, 0);
    int code = Connected(session, view);
    std::string summary;
    if (code == exitcode::kOk) {
        r.Status("Running the code at " + Hex(address) + " .....");
        if (RunCodeAt(address) != 0) {
            code = exitcode::kRead;
        } else {
            summary = "The board runs the code at " + Hex(address);
            if (o.monitorSeconds > 0) Monitor(r, o.monitorSeconds);
        }
    }
    return Finish(r, session, "run", code, summary, json::Object());
}
