#include "DaemonDownload.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <string_view>

#include "BlockGather.h"
#include "DaemonImage.h"
#include "SxRecord.h"
#include "TargetState.h"
#include "TimerT.h"

// The daemon switches once its ACK has left the line; the ACK in hand means
// that has happened but for a few microseconds, and 2 ms (almost a
// character at 9600) covers its stop bit. A lone ENQ, which the daemon
// answers without treating anything after it as noise, then shows that it
// listens at the new speed; a board that is slower to switch gets further
// ENQs, up to the second the default sequence waits.
bool SwitchOnAcknowledgement(VesperilIO& link) {
    SleepMs(2);
    link.SetHostSpeed(38400);
    static constexpr std::array<std::uint8_t, 1> kEnq{LINK_ENQ};
    bool answered = false;
    for (int i = 0; i < 10 && !answered; ++i) {
        link.PurgeInput();
        link.Write(kEnq);
        answered = link.WaitAck(1);
    }
    // An answer to an earlier ENQ that came late must not pass for the
    // answer to the next request.
    SleepMs(10);
    link.PurgeInput();
    return answered;
}

int NextImageRecord(const char*& position, std::array<std::uint8_t, kImageRecordMax>& data, std::uint32_t& address,
                    std::uint8_t& length) {
    for (;;) {
        const std::string_view text(position);
        if (text.size() < 2 || text[0] != 'S') return -1;
        if (text[1] == '5') {
            position += 2;
            return 0;
        }
        SxRecordT record;
        const std::size_t size = DecodeSxRecord(text, record);
        if (size == 0) return -1;
        if (record.type == '3') {
            if (record.length > data.size()) return -1;
            std::copy_n(record.data.begin(), record.length, data.begin());
            address = record.address;
            length = record.length;
            position += size;
            return 1;
        }
        position += size;
    }
}

int StoreImage(VesperilIO& link, const char* image, ProgressT& progress, std::uint32_t& entry) {
    namespace r = download_result;
    recordCounter = 0;
    std::size_t pending = 0;
    std::uint32_t blockAddress = 0;
    bool haveEntry = false;
    const char* position = image;
    std::array<std::uint8_t, kImageRecordMax> record{};

    auto store = [&]() { return link.WriteMemory(blockAddress, std::span(transferBuffer).first(pending), 8); };
    for (;;) {
        std::uint32_t address = 0;
        std::uint8_t length = 0;
        const int next = NextImageRecord(position, record, address, length);
        ++recordCounter;
        if (next == 1) {
            if (pending == 0) blockAddress = address;
            if (!haveEntry) {
                entry = address;
                haveEntry = true;
            }
            if (blockAddress + pending != address || pending > kBlockGather) {
                if (store() != 0) return r::kStoreRefused;
                pending = 0;
                blockAddress = address;
                progress.SetProgress(recordCounter);
            }
            std::memcpy(&transferBuffer[pending], record.data(), length);
            pending += length;
        } else if (next == 0) {
            if (pending > 0) {
                if (store() != 0) return r::kStoreRefused;
                progress.FillProgress();
            }
            break;
        } else {
            return r::kBadImage;
        }
    }
    // An image without data records has nothing to run.
    return haveEntry ? 0 : r::kBadImage;
}

int DownloadDaemonImage(const char* image, ProgressT& progress, bool quickSwitch) {
    namespace r = download_result;
    LinkUseT use;
    if (!use.Held()) return kLinkBusy;
    if (daemonRunning) return r::kAlreadyRunning;
    if (!TargetLink) return r::kStoreRefused;
    VesperilIO& link = *TargetLink;

    std::uint32_t entry = 0;
    if (const int stored = StoreImage(link, image, progress, entry); stored != 0) return stored;
    ++daemonSession;
    if (link.RunAt(entry) != 0) return r::kRunRefused;
    link.SetTargetSpeed(38400);
    if (quickSwitch && link.SpeedChangeAcknowledged()) {
        SwitchOnAcknowledgement(link);
    } else {
        WaitTenths(10);
        link.SetHostSpeed(38400);
    }
    daemonRunning = true;
    return r::kStarted;
}

int DownloadDaemon(ProgressT& progress, bool quickSwitch) { return DownloadDaemonImage(daemonImage, progress, quickSwitch); }
