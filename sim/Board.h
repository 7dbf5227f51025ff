#pragma once
// The simulated board: a CPU32-class core (Unicorn, 68020 model) with the
// board's memory map, the AM29F400 flash, the MC68681 DUART, the memory-
// interface registers, a boot monitor and an optional board application, all
// on one simulated clock.
//
// Typical in-process use (tests, simulate modes):
//
//   sim::BoardOptions o;                 // channel A, no application, instant flash
//   auto board = sim::Board::Create(o);  // nullptr (and *error) when it cannot be built
//   board->SetHostSink([](const sim::WireChar& c) { ... });   // what the host receives
//   board->HostSend(bytes, sim::k9600_8N1);                    // what the host sends
//   board->Start();  ...  board->Stop();                      // run on its own thread
//   // or, without a thread: board->RunFor(50 * sim::kPicosPerMilli);
//   board->RegisterLog(); board->ReadMemory(0x490000, 16); board->Faults();
//
// The board answers as the real one does: the boot monitor at 9600 8N1 on the
// channel that the word at 0x806 names (ping / ENQ -> ACK, 0x81 store + ACK,
// 0x82 ACK + call), the flash at 0x400000 and the RAM at 0x480000 only once
// their chip selects are written (unless chipSelectsPreset), and every CPU
// exception, unanswered bus access or emulator failure ends the CPU's run as
// a BoardFault with the PC.
//
// Threads: every public member may be called from any thread. While the board
// runs on its own thread (Start), RunFor/RunUntil must not be used. The host
// sink and the fault and trace callbacks are called on the board's thread (or
// inside RunFor) and must not call back into the board.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "Am29f400.h"
#include "Wire.h"

namespace sim {

enum class Channel : std::uint8_t { A = 0, B = 1 };
// Flash operation times: at once, the data sheet's typical or its maximum.
enum class TimingProfile : std::uint8_t { Instant, Typical, Slowest };

// Faults on the console line, both ways, drawn from a generator seeded with
// `seed` (the same seed and traffic give the same faults). Rates are chances
// per character, 0 (never, the default) to 1 (always).
struct LineFaults {
    double dropRate = 0;         // a character is lost
    double flipRate = 0;         // one bit of a character is inverted
    std::uint64_t seed = 1;
    // The line carries nothing either way for silenceMs, from when the host's
    // silenceAfter-th character (counted from 1) is taken; 0: never.
    std::uint64_t silenceAfter = 0;
    std::uint32_t silenceMs = 0;
    // A line (its RS-232 transceivers, the cable) that carries nothing faster
    // than this many baud, either way; 0: any speed.
    std::uint32_t maxBaud = 0;
};

struct BoardOptions {
    Channel channel = Channel::A;          // the boot monitor's console channel
    bool application = false;              // an application owns the line at power-on
    TimingProfile timing = TimingProfile::Instant;  // flash operation times
    bool realTime = false;                 // pace simulated time to the wall clock
    std::string flashImage;                // S-record file loaded into the flash; empty: erased
    bool chipSelectsPreset = false;        // flash and RAM answer without bring-up
    bool reenterAt1DA = true;              // the byte at 0x1CA: 0xD0 (re-entry 0x1DA) or 0x00 (0x1C8)
    std::uint32_t cpuClockHz = 16'777'216; // the CPU clock that poll-count waits are measured by
    std::size_t traceLimit = 1u << 20;     // line trace entries kept (oldest dropped)
    LineFaults lineFaults;                 // none by default
};

enum class BoardMode : std::uint8_t { Application, Monitor, Cpu, Halted };

// One write to a memory-interface register (0x1E00..0x1FFF or the integration
// module at 0xFFF000..0xFFFFFF), by the CPU or by a monitor store.
struct RegisterWrite {
    std::uint32_t address = 0;
    std::uint8_t width = 0;  // 8, 16 or 32
    std::uint32_t value = 0;
    Picos time = 0;
    bool byCpu = false;
    bool operator==(const RegisterWrite& o) const {
        return address == o.address && width == o.width && value == o.value;
    }
};

struct TraceEntry {
    Picos time = 0;        // start bit of a character sent, stop bit of one received
    bool toBoard = false;  // host -> board (as sent), else board -> host (as received)
    std::uint8_t byte = 0;
    bool isBreak = false;
    bool framingError = false;
};

struct BoardFault {
    enum class Kind : std::uint8_t {
        BusError,            // access to an address nothing answers
        AddressError,
        IllegalInstruction,  // illegal, line A / line F (CPU32-only opcodes land here)
        Exception,           // any other vector (zero divide, trap, privilege, ...)
        Emulator,            // the emulator stopped for another reason
        MonitorStore,        // a 0x81 store to an address nothing answers (not acknowledged)
    };
    Kind kind = Kind::Emulator;
    std::uint32_t pc = 0;
    std::uint32_t address = 0;  // the access address for bus errors
    unsigned vector = 0;        // exception vector number, when one applies
    Picos time = 0;
    std::string text;
};

class Board {
public:
    static std::unique_ptr<Board> Create(const BoardOptions& options, std::string* error = nullptr);
    ~Board();
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    // ---- running ------------------------------------------------------------
    void Start();   // run on the board's own thread
    void Stop();    // and wait for it
    bool Running() const;
    // Advances simulated time by `duration` on the calling thread, as fast as
    // it can: no wall-clock waits. Not while the thread runs.
    void RunFor(Picos duration);
    // Runs until done() (checked between steps) or `limit` of simulated time;
    // true when done() became true.
    bool RunUntil(const std::function<bool()>& done, Picos limit);
    // Power-on reset: monitor (or application) again, DUART and chip selects
    // reset; RAM and flash keep their contents.
    void Reset();
    Picos Now() const;
    BoardMode Mode() const;
    // The CPU's program counter (where it stands between runs).
    std::uint32_t CpuPc() const;

    // ---- the host end of the console channel's wire --------------------------
    // Characters the host sends, at the host's line format; queued at the
    // current simulated time, back to back.
    void HostSend(std::span<const std::uint8_t> bytes, const LineFormat& format = k9600_8N1);
    void HostBreak(bool on);
    // Characters a line has already decoded at the board's own format (a
    // virtual line does its own speed and framing checks): each lands on the
    // channel's wire at the channel's current receive format, with the error
    // it was decoded with. A unit with breakMs > 0 is a break of that length.
    struct HostUnit {
        std::uint8_t byte = 0;
        bool framingError = false;
        bool parityError = false;
        std::uint32_t breakMs = 0;
    };
    void HostSendUnits(std::span<const HostUnit> units);
    // The host's receiver samples at whatever the channel transmits with (for
    // such a line); off by default, when SetHostFormat's format applies.
    void SetHostFollowsBoard(bool on);
    // Called (on the board's thread) with the console channel's line format
    // whenever it changes, and once at once.
    void SetConsoleFormatCallback(std::function<void(const LineFormat&)> callback);
    // The host's receiver settings, at which board output is sampled.
    void SetHostFormat(const LineFormat& format);
    // Called for every character the host's receiver assembles. Without a sink
    // the characters are kept for TakeHostReceived.
    void SetHostSink(std::function<void(const WireChar&)> sink);
    std::vector<WireChar> TakeHostReceived();
    // Blocks until at least `count` characters wait in TakeHostReceived's
    // store, or the wall-clock time-out passes (for threaded use).
    bool WaitHostReceived(std::size_t count, std::chrono::milliseconds timeout);

    // ---- inspection ------------------------------------------------------------
    // Bytes as the bus would give them in read mode: low memory, the register
    // pages, the flash array (not its status), RAM. Unmapped bytes read 0xFF.
    std::vector<std::uint8_t> ReadMemory(std::uint32_t address, std::uint32_t length) const;
    // Stores bytes directly, bypassing chip selects and the flash's command
    // machine (the flash array is written as is). False outside memory.
    bool WriteMemory(std::uint32_t address, std::span<const std::uint8_t> bytes);
    std::vector<std::uint8_t> FlashContents() const;
    std::vector<RegisterWrite> RegisterLog() const;
    void ClearRegisterLog();
    std::vector<TraceEntry> LineTrace() const;
    std::vector<BoardFault> Faults() const;
    std::uint8_t DuartClockSelect(Channel channel) const;
    Am29f400::Counters FlashCounters() const;
    // Instructions the CPU has executed since power-on (each costs its time).
    std::uint64_t Instructions() const;
    bool FlashAnswers() const;  // chip select written (or preset)
    bool RamAnswers() const;
    // Callbacks for live output (zelmo-sim): each fault, each trace entry.
    void SetFaultCallback(std::function<void(const BoardFault&)> callback);
    void SetTraceCallback(std::function<void(const TraceEntry&)> callback);

    // ---- flash image and faults ------------------------------------------------
    // S-records at 0x400000..0x47FFFF (or offsets below 0x80000). 0 or -1.
    int LoadFlash(const std::string& path);
    int SaveFlash(const std::string& path) const;
    void FailFlashWord(std::uint32_t address);  // board address or offset
    void FailFlashSector(unsigned sector);      // 0..10
    void ClearFlashFaults();
    // Line faults from now on, in place of BoardOptions::lineFaults (the
    // generator starts again from the seed): a test can fault one step only.
    void SetLineFaults(const LineFaults& faults);

    struct Impl;
    // Used by Create; an Impl cannot be made elsewhere.
    explicit Board(std::unique_ptr<Impl> impl);

private:
    std::unique_ptr<Impl> impl_;
};

// Board addresses.
inline constexpr std::uint32_t kFlashBase = 0x400000;
inline constexpr std::uint32_t kRamBase = 0x480000;
inline constexpr std::uint32_t kRamSize = 0x80000;
inline constexpr std::uint32_t kModuleBase = 0xFFF000;
inline constexpr std::uint32_t kDuartBase = 0xC00;
inline constexpr std::uint32_t kConsoleWord = 0x806;
inline constexpr std::uint32_t kReentryByte = 0x1CA;
inline constexpr std::uint32_t kReentry1C8 = 0x1C8;
inline constexpr std::uint32_t kReentry1DA = 0x1DA;

const char* ToString(BoardMode mode);
const char* ToString(BoardFault::Kind kind);

}  // namespace sim
