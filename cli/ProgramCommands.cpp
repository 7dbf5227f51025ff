// program and verify: the file against the flash.
#include <chrono>

#include "BoardMemory.h"
#include "Commands.h"
#include "ConsoleView.h"
#include "ExitCodes.h"
#include "FastVerify.h"
#include "Numbers.h"
#include "Session.h"
#include "Target.h"

namespace {

using Clock = std::chrono::steady_clock;

// The fast path's own words: a fall-back, the blocks that differ, repairs.
void TellFastVerify(Reporter& r, const FastVerifyResultT& f, json::Object& fields) {
    fields.Str("method", f.readBack ? "read-back" : "crc");
    if (f.readBack) {
        const char* why = f.applet == kAppletOtherDaemon ? "it was built for another daemon than the board runs"
                          : f.applet == kAppletStoreFailed ? "it could not be stored"
                                                           : "the board did not answer it";
        r.Info(std::string("Fast verify: CRC applet not used (") + why + ", " + std::to_string(f.applet) +
               "); every byte was read back");
    }
    if (f.repaired > 0) r.Info("Fast verify: " + std::to_string(f.repaired) + " block(s) programmed again and now match");
    for (const std::uint32_t block : f.differingBlocks)
        r.Info("Fast verify: block " + Hex(block, 6) + ".." + Hex(block + 0xFF, 6) + " differs");
}

// Compares what the file holds with the flash (every byte read back, or by
// CRCs with --fast-verify); an exit code, with the result's words and fields.
int VerifyStep(Reporter& r, const Options& o, const RomImageT& rom, std::string& summary, json::Object& fields) {
    r.Status("Verifying FLASH memory .....");
    r.Begin("verify");
    std::uint32_t shownTotal = 0;
    const auto start = Clock::now();
    const ByteProgressT progress = [&](std::uint32_t done, std::uint32_t total) {
        // A fall-back to the read-back starts over with its own total.
        if (total != shownTotal) r.StartProgress("verify", total, true);
        shownTotal = total;
        r.Progress(done);
    };
    VerifyResultT v;
    if (o.fastVerify) {
        FastVerifyOptionsT fo;
        fo.repair = o.repair;
        const FastVerifyResultT f = FastVerifyRom(rom, progress, fo);
        TellFastVerify(r, f, fields);
        v = f.verify;
    } else {
        v = VerifyRom(rom, progress);
    }
    r.Phase("verify", std::chrono::duration<double>(Clock::now() - start).count());
    fields.Int("compared", static_cast<long long>(v.compared)).Int("differing", static_cast<long long>(v.differing));
    if (v.result == 0 && v.differing == 0) {
        summary = "Verify passed: " + std::to_string(v.compared) + " bytes match";
        return exitcode::kOk;
    }
    if (v.result == 0) {
        fields.Str("first_difference", Hex(v.firstAddress, 6));
        summary = "Verify FAILED: " + std::to_string(v.differing) + " of " + std::to_string(v.compared) +
                  " bytes differ, the first at " + Hex(v.firstAddress, 6) + " (file " + Hex(v.expected, 2) +
                  ", flash " + Hex(v.found, 2) + ")";
        return exitcode::kVerify;
    }
    if (v.result == kNoDaemon) {
        summary = "Verify: the daemon is not running";
        return exitcode::kDaemonLoad;
    }
    if (v.result == kBoardSilent) {
        summary = "Verify: the board stopped answering after " + std::to_string(v.compared) + " bytes";
        return exitcode::kRead;
    }
    summary = "Verify: the file cannot be compared (" + std::to_string(v.result) + ")";
    return exitcode::kOther;
}

// Both commands: the file, the board, the connect; then the step.
int FileOnBoard(const Options& o, Reporter& r, bool program) {
    const std::string command = program ? "program" : "verify";
    RomImageT rom;
    if (const int code = LoadRom(o.file, r, rom); code != exitcode::kOk) {
        r.Result(command, code, "", json::Object());
        return code;
    }
    Session session(o, r);
    int code = session.Open();
    ConsoleView view(r, rom.bytes.size(), rom.lines);
    if (code == exitcode::kOk) code = session.Connect(view);
    std::string summary;
    json::Object fields;
    fields.Int("bytes", static_cast<long long>(rom.bytes.size()));
    if (code == exitcode::kOk && program) {
        switch (RunUploadSequence(view, o.file, rom, o.fast)) {
            case UploadOutcomeT::Completed: break;
            case UploadOutcomeT::NoDaemon: code = exitcode::kDaemonLoad; break;
            case UploadOutcomeT::Busy: code = exitcode::kOther; break;
            case UploadOutcomeT::Failed: code = view.Erased() ? exitcode::kUpload : exitcode::kErase; break;
        }
    }
    if (code == exitcode::kOk && (o.verify || o.fastVerify || !program)) code = VerifyStep(r, o, rom, summary, fields);
    if (code == exitcode::kOk && program && o.restart) {
        r.Info("Restarting the board at " + Hex(kRestartAddress, 6));
        RestartReceiver(kRestartAddress);
        // The board's program talks at the speed the daemon left the line at.
        if (o.monitorSeconds > 0) Monitor(r, o.monitorSeconds);
    }
    if (const int closed = session.Close(); code == exitcode::kOk) code = closed;
    if (code != exitcode::kOk && summary.empty()) summary = command + " failed: " + r.LastStatus();
    else if (code != exitcode::kOk) summary = command + " failed: " + summary;
    else if (program) summary = "Programmed " + std::to_string(rom.bytes.size()) + " bytes" + (summary.empty() ? "" : "; " + summary);
    r.Result(command, code, summary, fields);
    return code;
}

}  // namespace

int LoadRom(const std::string& path, Reporter& r, RomImageT& rom) {
    // Read once and checked whole before anything touches the board; the
    // upload sends exactly what was checked, even from a pipe.
    rom = ReadRomImage(path.c_str());
    if (rom.result != 0) {
        r.Error(path + ": " + RomCheckText(rom));
        return exitcode::kUsage;
    }
    r.Info(path + ": " + RomCheckText(rom));
    return exitcode::kOk;
}

int ProgramCommand(const Options& o, Reporter& r) { return FileOnBoard(o, r, true); }
int VerifyCommand(const Options& o, Reporter& r) { return FileOnBoard(o, r, false); }
