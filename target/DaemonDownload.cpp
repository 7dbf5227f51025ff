#include "DaemonDownload.h"

#include <cstring>
#include <span>

#include "DaemonImage.h"
#include "HexConv.h"
#include "Progress.h"
#include "Target.h"
#include "TimerT.h"

std::array<std::uint8_t, 500> transferBuffer{};
int recordCounter = 0;

namespace {
// An upper-case hex pair; false (nothing consumed) at anything else,
// the terminating NUL included, so a truncated text is never read past.
bool ReadPair(const char*& p, std::uint8_t& value) {
    for (int i = 0; i < 2; ++i) {
        const char c = p[i];
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    HexToByte(p, 1, value);
    p += 2;
    return true;
}
// The daemon switches once its ACK has left the line; the ACK in hand means
// that has happened but for a few microseconds, and 2 ms (almost a
// character at 9600) covers its stop bit. A lone ENQ, which the daemon
// answers without treating anything after it as noise, then shows that it
// listens at the new speed; a board that is slower to switch gets further
// ENQs, up to the second the default sequence waits.
void SwitchOnAcknowledgement(VesperilIO& link) {
    SleepMs(2);
    link.SetHostSpeed(38400);
    static constexpr std::array<std::uint8_t, 1> kEnq{VesperilIO::kPing[0]};
    for (int i = 0; i < 10; ++i) {
        link.PurgeInput();
        link.Write(kEnq);
        if (link.WaitAck(1)) break;
    }
    // An answer to an earlier ENQ that came late must not pass for the
    // answer to the next request.
    SleepMs(10);
    link.PurgeInput();
}

}  // namespace

int NextImageRecord(const char*& position, std::array<std::uint8_t, 128>& data, std::uint32_t& address,
                    std::uint8_t& length) {
    for (;;) {
        const char* p = position;
        if (p[0] != 'S' || p[1] == '\0') return -1;
        const char type = p[1];
        p += 2;
        if (type == '5') {
            position = p;
            return 0;
        }
        std::uint8_t count = 0;
        if (!ReadPair(p, count)) return -1;
        if (type == '3') {
            // Four address bytes, data, checksum; the data must fit the buffer.
            if (count < 5 || count - 5u > data.size()) return -1;
            std::uint32_t a = 0;
            for (int i = 0; i < 4; ++i) {
                std::uint8_t b = 0;
                if (!ReadPair(p, b)) return -1;
                a = (a << 8) | b;
            }
            const unsigned n = count - 5u;
            for (unsigned i = 0; i < n; ++i)
                if (!ReadPair(p, data[i])) return -1;
            std::uint8_t checksum = 0;
            if (!ReadPair(p, checksum)) return -1;
            address = a;
            length = static_cast<std::uint8_t>(n);
            position = p;
            return 1;
        }
        for (unsigned i = 0; i < count; ++i) {
            std::uint8_t skipped = 0;
            if (!ReadPair(p, skipped)) return -1;
        }
        position = p;
    }
}

int DownloadDaemonImage(const char* image, bool quickSwitch) {
    LinkUseT use;
    if (!use.Held()) return kLinkBusy;
    if (daemonRunning) return 1;
    if (!TargetLink) return -105;
    VesperilIO& link = *TargetLink;

    recordCounter = 0;
    std::size_t pending = 0;
    std::uint32_t blockAddress = 0;
    bool haveEntry = false;
    std::uint32_t entry = 0;
    const char* position = image;
    std::array<std::uint8_t, 128> record{};

    auto store = [&]() { return link.WriteMemory(blockAddress, std::span(transferBuffer).first(pending), 8); };
    for (;;) {
        std::uint32_t address = 0;
        std::uint8_t length = 0;
        const int r = NextImageRecord(position, record, address, length);
        ++recordCounter;
        if (r == 1) {
            if (pending == 0) blockAddress = address;
            if (!haveEntry) {
                entry = address;
                haveEntry = true;
            }
            if (blockAddress + pending != address || pending > 230) {
                if (store() != 0) return -105;
                pending = 0;
                blockAddress = address;
                Progress().SetProgress(recordCounter);
            }
            std::memcpy(&transferBuffer[pending], record.data(), length);
            pending += length;
        } else if (r == 0) {
            if (pending > 0) {
                if (store() != 0) return -105;
                Progress().FillProgress();
            }
            break;
        } else {
            return -104;
        }
    }
    // An image without data records has nothing to run.
    if (!haveEntry) return -104;
    ++daemonSession;
    if (link.RunAt(entry) != 0) return -103;
    link.SetTargetSpeed(38400);
    if (quickSwitch && link.SpeedChangeAcknowledged()) {
        SwitchOnAcknowledgement(link);
    } else {
        WaitTenths(10);
        link.SetHostSpeed(38400);
    }
    daemonRunning = true;
    return 0;
}

int DownloadDaemon(bool quickSwitch) { return DownloadDaemonImage(daemonImage, quickSwitch); }
