#pragma once
// Motorola S-record streams: an abstract record stream and its file-backed form.
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

// Abstract record stream. Every operation of the base refuses with -1.
class XREC_T {
public:
    XREC_T() = default;
    XREC_T(const XREC_T&) = delete;
    XREC_T& operator=(const XREC_T&) = delete;
    virtual ~XREC_T() = default;

    // Next data record (S1, S2, S3). `data` must hold at least kMaxRecordData bytes.
    virtual int ReadRecord(std::uint32_t& address, std::uint8_t& length, std::uint8_t* data);
    // Next text line, without its line feed. `text` must hold at least kLineArea characters.
    virtual int ReadLine(char* text);
    // One record of the type digit `type` ('0'..'9').
    virtual int WriteRecord(std::uint32_t address, std::uint8_t n, const std::uint8_t* data, char type);
    // Text, written unchanged.
    virtual int WriteLine(const char* text);
    // Non-zero when the underlying stream has failed.
    virtual int Fail();

    static constexpr std::size_t kMaxRecordData = 252;  // S1 with count 255
    static constexpr std::size_t kLineArea = 256;       // ReadLine: 255 characters + NUL
};

// File open modes, as bits: the ROM upload opens with kModeIn | kModeNoCreate (33).
enum : int {
    kModeIn = 0x01,
    kModeOut = 0x02,
    kModeAte = 0x04,
    kModeApp = 0x08,
    kModeTrunc = 0x10,
    kModeNoCreate = 0x20,
    kModeNoReplace = 0x40,
    kModeBinary = 0x80,
};

class SXFILE_T : public XREC_T {
public:
    // Why the last ReadRecord returned -1. The result itself cannot tell an
    // orderly end from a rejected record; callers that care ask here.
    enum class Status {
        Ok,            // a record was delivered
        EndRecord,     // an S5 or S7 record ended the data
        EndOfFile,     // the file ended without S5 or S7
        BadRecord,     // a data record was rejected (checksum, count, characters)
        StreamFailed,  // the stream could not be read
        NoStream,      // no stream object exists
    };

    SXFILE_T(const char* path, int mode);
    // Reads records from text already in memory: a file read once can then
    // be checked, counted and uploaded without being read again.
    explicit SXFILE_T(std::string text);
    ~SXFILE_T() override;

    int ReadRecord(std::uint32_t& address, std::uint8_t& length, std::uint8_t* data) override;
    int ReadLine(char* text) override;
    int WriteRecord(std::uint32_t address, std::uint8_t n, const std::uint8_t* data, char type) override;
    int WriteLine(const char* text) override;
    int Fail() override;

    Status LastStatus() const { return status_; }
    // 1-based number of the line that ReadRecord looked at last (0 before any).
    unsigned long LineNumber() const { return lineNumber_; }

    unsigned long dataRecordCount = 0;

    // A record line is at most 514 characters; one more is allowed for a CR.
    static constexpr std::size_t kRecordLineMax = 515;

private:
    // Reads one line into buf (without LF, and without a CR before the LF in
    // text mode). Returns the number of characters stored; sets `overlong`
    // when the line had more than `max` characters (the rest is consumed).
    std::size_t GetLine(char* buf, std::size_t max, bool& overlong, bool consumeOverlong);
    int DecodeData(const char* line, std::size_t len, std::uint32_t& address, std::uint8_t& length,
                   std::uint8_t* data);

    std::unique_ptr<std::iostream> stream_;
    bool textMode_ = true;
    Status status_ = Status::Ok;
    bool ended_ = false;  // an S5 or S7 was read: nothing after it is
    unsigned long lineNumber_ = 0;
};
