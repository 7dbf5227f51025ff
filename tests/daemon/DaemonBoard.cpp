#include "DaemonBoard.h"

#include <algorithm>
#include <cstring>
#include <sstream>

#include "DaemonImage.h"
#include "HexConv.h"

namespace daemontest {

Bytes Frame(std::uint8_t cmd, std::span<const std::uint8_t> data) {
    Bytes f{kStx, 0x00, cmd, static_cast<std::uint8_t>(data.size())};
    unsigned sum = cmd + static_cast<unsigned>(data.size());
    for (std::uint8_t b : data) {
        f.push_back(b);
        sum += b;
    }
    f.push_back(static_cast<std::uint8_t>(sum));
    f.push_back(kEtx);
    return f;
}

Bytes AddressFrame(std::uint8_t cmd, std::uint32_t address, std::span<const std::uint8_t> payload) {
    Bytes data{static_cast<std::uint8_t>(address >> 24), static_cast<std::uint8_t>(address >> 16),
               static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address)};
    data.insert(data.end(), payload.begin(), payload.end());
    return Frame(cmd, data);
}

Bytes ReadFrame(std::uint32_t address, std::uint8_t count) {
    const std::uint8_t c[] = {count};
    return AddressFrame(0x80, address, c);
}

Bytes DataReply(std::span<const std::uint8_t> data) { return Frame(0x92, data); }

std::vector<ImageRecord> ImageRecords() {
    std::vector<ImageRecord> records;
    const char* p = daemonImage;
    while (*p == 'S') {
        std::uint8_t count = 0;
        HexToByte(p + 2, 1, count);
        if (p[1] == '3') {
            ImageRecord r;
            HexToLong(p + 4, 4, r.address);
            for (unsigned i = 0; i + 5 < count; ++i) {
                std::uint8_t b = 0;
                HexToByte(p + 12 + 2 * i, 1, b);
                r.data.push_back(b);
            }
            records.push_back(std::move(r));
        }
        p += 4 + 2 * count;
    }
    return records;
}

std::uint32_t DaemonSymbol(const std::string& name) {
    const std::string map = daemonSymbolMap;
    const auto at = map.find(" _" + name + " $");
    if (at == std::string::npos) return 0;
    return static_cast<std::uint32_t>(std::stoul(map.substr(at + name.size() + 4, 8), nullptr, 16));
}

sim::BoardOptions DaemonBoard::DefaultOptions() {
    sim::BoardOptions o;
    o.chipSelectsPreset = true;  // the loader's bring-up is not under test here
    return o;
}

DaemonBoard::DaemonBoard(const sim::BoardOptions& options) {
    board_ = sim::Board::Create(options, &error_);
    if (board_) board_->SetHostSink([this](const sim::WireChar& c) { received_.push_back(c); });
}

bool DaemonBoard::StartDaemon() {
    for (const ImageRecord& r : ImageRecords()) board_->WriteMemory(r.address, r.data);
    const Bytes reply = Exchange(AddressFrame(0x82, daemonLoadAddress), 1);
    return reply == Bytes{kAck};
}

bool DaemonBoard::DownloadAndStart() {
    // The loader's rule: a block is stored when the next record does not
    // follow it or it already holds more than 230 bytes.
    std::uint32_t blockAddress = 0;
    Bytes block;
    auto store = [&]() {
        const bool ok = Exchange(AddressFrame(0x81, blockAddress, block), 1) == Bytes{kAck};
        block.clear();
        return ok;
    };
    for (const ImageRecord& r : ImageRecords()) {
        if (block.empty()) blockAddress = r.address;
        if (blockAddress + block.size() != r.address || block.size() > 230) {
            if (!store()) return false;
            blockAddress = r.address;
        }
        block.insert(block.end(), r.data.begin(), r.data.end());
    }
    if (!block.empty() && !store()) return false;
    return Exchange(AddressFrame(0x82, daemonLoadAddress), 1) == Bytes{kAck};
}

Bytes DaemonBoard::Exchange(std::span<const std::uint8_t> bytes, std::size_t expect, sim::Picos limit,
                            sim::Picos settle) {
    received_.clear();
    if (!bytes.empty()) board_->HostSend(bytes, format_);
    if (expect > 0) board_->RunUntil([&] { return received_.size() >= expect; }, limit);
    else board_->RunFor(limit);
    board_->RunFor(settle);
    Bytes out;
    for (const sim::WireChar& c : received_) out.push_back(c.byte);
    return out;
}

Bytes DaemonBoard::SendExpectingSilence(std::span<const std::uint8_t> bytes, sim::Picos wait) {
    const sim::Picos sending = bytes.size() * format_.FrameBits() * format_.BitTime();
    return Exchange(bytes, 0, sending + wait, 0);
}

bool DaemonBoard::Alive() {
    const std::uint8_t enq[] = {kEnq};
    return Exchange(enq, 1, Millis(1000)) == Bytes{kAck};
}

void DaemonBoard::SetHostFormat(const sim::LineFormat& format) {
    format_ = format;
    board_->SetHostFormat(format);
}

std::uint16_t DaemonBoard::Word(std::uint32_t address) const {
    const Bytes b = board_->ReadMemory(address, 2);
    return static_cast<std::uint16_t>((b[0] << 8) | b[1]);
}

void DaemonBoard::WriteWord(std::uint32_t address, std::uint16_t value) {
    const std::uint8_t b[] = {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
    board_->WriteMemory(address, b);
}

void DaemonBoard::FillFlash(std::uint32_t from, std::uint32_t to, std::uint8_t seed) {
    Bytes data(to - from);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    board_->WriteMemory(from, data);
}

bool DaemonBoard::Patch(std::uint32_t from, std::uint32_t span, const Bytes& find, const Bytes& replace) {
    const Bytes code = Read(from, span);
    const auto hit = std::search(code.begin(), code.end(), find.begin(), find.end());
    if (hit == code.end()) return false;
    Write(from + static_cast<std::uint32_t>(hit - code.begin()), replace);
    return true;
}

std::string DaemonBoard::FaultText() const {
    std::ostringstream out;
    for (const sim::BoardFault& f : board_->Faults())
        out << sim::ToString(f.kind) << " at pc 0x" << std::hex << f.pc << " address 0x" << f.address << ": "
            << f.text << "\n";
    return out.str();
}

}  // namespace daemontest
