#include "SxFile.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "HexConv.h"
#include "SxRecord.h"

int XREC_T::ReadRecord(std::uint32_t&, std::uint8_t&, std::uint8_t*) { return -1; }
int XREC_T::ReadLine(char*) { return -1; }
int XREC_T::WriteRecord(std::uint32_t, std::uint8_t, const std::uint8_t*, char) { return -1; }
int XREC_T::WriteLine(const char*) { return -1; }
int XREC_T::Fail() { return -1; }

namespace {

std::ios::openmode ToOpenMode(int mode) {
    std::ios::openmode m{};
    if (mode & kModeIn) m |= std::ios::in;
    if (mode & kModeOut) m |= std::ios::out;
    if (mode & kModeAte) m |= std::ios::ate;
    if (mode & kModeApp) m |= std::ios::app;
    if (mode & kModeTrunc) m |= std::ios::trunc;
    if (mode & kModeBinary) m |= std::ios::binary;
    return m;
}

// Address bytes written for a record type: the reader's widths, and four
// for S5 (and S4, S6), the field the daemon image's tools expect.
unsigned AddressWidth(char type) {
    const unsigned width = SxAddressBytes(type);
    return width != 0 ? width : 4;
}

}  // namespace

SXFILE_T::SXFILE_T(const char* path, int mode) {
    auto file = std::make_unique<std::fstream>();
    textMode_ = (mode & kModeBinary) == 0;
    std::error_code ec;
    const bool exists = path != nullptr && std::filesystem::exists(path, ec);
    if (path == nullptr || ((mode & kModeNoCreate) && !exists) || ((mode & kModeNoReplace) && exists)) {
        file->setstate(std::ios::failbit);
        stream_ = std::move(file);
        return;
    }
    std::ios::openmode m = ToOpenMode(mode);
    // An update stream on a missing file is created unless told not to;
    // the standard library would refuse to open it.
    if ((m & std::ios::in) && (m & std::ios::out) && !(m & std::ios::trunc) && !exists) {
        std::ofstream create(path);
    }
    if (!(m & (std::ios::in | std::ios::out))) m |= std::ios::in;
    file->open(path, m);
    stream_ = std::move(file);
}

SXFILE_T::SXFILE_T(std::string text)
    : stream_(std::make_unique<std::stringstream>(std::move(text), std::ios::in)) {}

SXFILE_T::~SXFILE_T() {
    if (!stream_) return;
    try {
        stream_->flush();
    } catch (...) {
        // A failed flush on the way out has no one left to report to.
    }
}

int SXFILE_T::Fail() {
    if (!stream_) return 1;
    return stream_->fail() ? 1 : 0;  // fail() covers failbit and badbit
}

std::size_t SXFILE_T::GetLine(char* buf, std::size_t max, bool& overlong, bool consumeOverlong) {
    std::streambuf* sb = stream_->rdbuf();
    std::size_t n = 0;
    bool sawLineFeed = false;
    overlong = false;
    for (;;) {
        int ch = 0;
        // The file buffer throws on a read error (a directory, a device that
        // fails): that is a failed stream, never an exception to the caller.
        try {
            ch = sb->sbumpc();
        } catch (...) {
            stream_->setstate(std::ios::badbit);
            buf[n] = '\0';
            return n;
        }
        if (ch == std::char_traits<char>::eof()) {
            stream_->setstate(std::ios::eofbit);
            break;
        }
        if (ch == '\n') {
            sawLineFeed = true;
            break;
        }
        if (n < max) {
            buf[n++] = static_cast<char>(ch);
            continue;
        }
        overlong = true;
        if (!consumeOverlong) {
            sb->sputbackc(static_cast<char>(ch));
            break;
        }
    }
    if (textMode_ && sawLineFeed && !overlong && n > 0 && buf[n - 1] == '\r') --n;
    buf[n] = '\0';
    return n;
}

int SXFILE_T::ReadRecord(std::uint32_t& address, std::uint8_t& length, std::uint8_t* data) {
    if (!stream_) {
        status_ = Status::NoStream;
        return -1;
    }
    if (ended_) {
        length = 0;
        return -1;
    }
    std::array<char, kRecordLineMax + 1> line{};
    for (;;) {
        if (stream_->fail()) {
            status_ = Status::StreamFailed;
            return -1;
        }
        if (stream_->eof()) {
            status_ = Status::EndOfFile;
            return -1;
        }
        bool overlong = false;
        const std::size_t len = GetLine(line.data(), kRecordLineMax, overlong, true);
        ++lineNumber_;
        if (stream_->bad()) {
            status_ = Status::StreamFailed;
            return -1;
        }
        if (len < 2 || line[0] != 'S') continue;
        if (line[1] == '5' || line[1] == '7') {
            length = 0;
            ended_ = true;
            status_ = Status::EndRecord;
            return -1;
        }
        if (line[1] == '1' || line[1] == '2' || line[1] == '3') {
            // A data record too long to be one is rejected, not skipped:
            // skipping would drop its data without a word.
            if (overlong) {
                status_ = Status::BadRecord;
                return -1;
            }
            return DecodeData(line.data(), len, address, length, data);
        }
    }
}

int SXFILE_T::DecodeData(const char* line, std::size_t len, std::uint32_t& address, std::uint8_t& length,
                         std::uint8_t* data) {
    SxRecordT record;
    if (DecodeSxRecord(std::string_view(line, len), record) == 0) {
        status_ = Status::BadRecord;
        return -1;
    }
    address = record.address;
    std::copy_n(record.data.begin(), record.length, data);
    length = record.length;
    status_ = Status::Ok;
    return 0;
}

int SXFILE_T::ReadLine(char* text) {
    if (!stream_ || stream_->fail() || stream_->eof()) return -1;
    // Nothing after the last line feed is not a line of its own.
    int next = 0;
    try {
        next = stream_->rdbuf()->sgetc();
    } catch (...) {
        stream_->setstate(std::ios::badbit);
        return -1;
    }
    if (next == std::char_traits<char>::eof()) {
        stream_->setstate(std::ios::eofbit);
        return -1;
    }
    bool overlong = false;
    GetLine(text, kLineArea - 1, overlong, false);
    return stream_->bad() ? -1 : 0;
}

int SXFILE_T::WriteRecord(std::uint32_t address, std::uint8_t n, const std::uint8_t* data, char type) {
    if (!stream_) return -1;
    const unsigned width = AddressWidth(type);
    const unsigned count = n + width + 1u;
    // The count field is one byte; a longer record cannot be written.
    if (count > 255) return -1;
    // Nor can an address wider than the type's field.
    if (width < 4 && (address >> (8 * width)) != 0) return -1;
    if (type == '1' || type == '2' || type == '3') ++dataRecordCount;
    if (type == '7' || type == '8' || type == '9') {
        WriteRecord(static_cast<std::uint32_t>(dataRecordCount), 0, nullptr, '5');
    }

    std::array<char, 516> line{};
    std::size_t pos = 0;
    auto putByte = [&](std::uint8_t b) {
        line[pos++] = kHexDigits[b >> 4];
        line[pos++] = kHexDigits[b & 0x0F];
    };
    line[pos++] = 'S';
    line[pos++] = type;
    putByte(static_cast<std::uint8_t>(count));
    unsigned sum = count;
    for (unsigned i = width; i-- > 0;) {
        const auto b = static_cast<std::uint8_t>(address >> (8 * i));
        putByte(b);
        sum += b;
    }
    for (unsigned i = 0; i < n; ++i) {
        putByte(data[i]);
        sum += data[i];
    }
    putByte(static_cast<std::uint8_t>(~sum));
    line[pos++] = '\n';
    stream_->write(line.data(), static_cast<std::streamsize>(pos));
    return 0;
}

int SXFILE_T::WriteLine(const char* text) {
    if (!stream_) return -1;
    *stream_ << text;
    return 0;
}
