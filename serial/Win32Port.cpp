// Win32 backend of the port layer: the communications functions on a handle
// opened exclusively for overlapped I/O.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <string_view>

#include "CommPort.h"
#include "PortBackend.h"

namespace {

// A handle closed with its owner.
class HandleT {
public:
    explicit HandleT(HANDLE h = nullptr) : h_(h) {}
    HandleT(const HandleT&) = delete;
    HandleT& operator=(const HandleT&) = delete;
    ~HandleT() { Close(); }
    HANDLE Get() const { return h_; }
    HANDLE Release() {
        const HANDLE h = h_;
        h_ = nullptr;
        return h;
    }
    bool Valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    // False when the system refused; the handle is gone either way.
    bool Close() {
        const HANDLE h = h_;
        h_ = nullptr;
        return h == nullptr || h == INVALID_HANDLE_VALUE || ::CloseHandle(h) != 0;
    }

private:
    HANDLE h_;
};

HANDLE NewEvent() {
    // Manual reset, so that GetOverlappedResult sees the completion it waits for.
    return ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

// How an overlapped call ended.
enum class EndT { Done, TimedOut, Failed };

// Finishes an overlapped call whose start returned ok: Done with the count
// when it completed within ms; TimedOut when it did not (it is cancelled and
// the cancel waited for, so that the record can be used again); Failed with
// the system's code when the system refused it (a vanished device, an I/O
// the driver aborted).
EndT Finish(HANDLE port, OVERLAPPED& ov, BOOL ok, DWORD ms, DWORD& count, DWORD& error) {
    error = 0;
    if (ok == 0 && (error = ::GetLastError()) != ERROR_IO_PENDING) return EndT::Failed;
    error = 0;
    if (ok == 0 && ::WaitForSingleObject(ov.hEvent, ms) != WAIT_OBJECT_0) {
        ::CancelIoEx(port, &ov);
        ::GetOverlappedResult(port, &ov, &count, TRUE);
        return EndT::TimedOut;
    }
    if (::GetOverlappedResult(port, &ov, &count, TRUE) != 0) return EndT::Done;
    error = ::GetLastError();
    return EndT::Failed;
}

std::string SystemErrorText(DWORD code);

// "COM12" is reachable only through the device namespace; the rows of the
// port table already carry it, a name typed by the operator may not.
std::string DevicePath(const std::string& name) {
    const std::string_view n = name;
    const bool bareCom = n.size() > 4 && (n[0] == 'C' || n[0] == 'c') && (n[1] == 'O' || n[1] == 'o') &&
                         (n[2] == 'M' || n[2] == 'm') &&
                         std::all_of(n.begin() + 3, n.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
    return bareCom ? "\\\\.\\" + name : name;
}

class Win32PortT final : public PortBackendT {
public:
    Win32PortT(HANDLE port, HANDLE readEvent, HANDLE writeEvent, HANDLE waitEvent)
        : port_(port), readEvent_(readEvent), writeEvent_(writeEvent), waitEvent_(waitEvent) {}
    ~Win32PortT() override { Close(); }

    bool Configure(const LineFormat& f) override {
        if (!port_.Valid() || !f.Valid()) return false;
        // The same pairs the UART refuses: 1.5 stop bits only with 5 data
        // bits, 2 only with 6 to 8.
        if ((f.stopBits == 1 && f.dataBits != 5) || (f.stopBits == 2 && f.dataBits == 5)) return false;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (::GetCommState(port_.Get(), &dcb) == 0) return false;
        dcb.BaudRate = f.baud;
        dcb.ByteSize = f.dataBits;
        dcb.Parity = f.parity;
        dcb.StopBits = f.stopBits;
        dcb.fBinary = TRUE;
        // Raw line as on POSIX: no flow control, no parity check on input
        // (a bad character arrives as received), no replacement characters,
        // and no abort on error, which would stall every later read until
        // the error is cleared. DTR and RTS stay up: adapters that power
        // line drivers from them need it.
        dcb.fParity = FALSE;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fErrorChar = FALSE;
        dcb.fNull = FALSE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fAbortOnError = FALSE;
        if (::SetCommState(port_.Get(), &dcb) == 0) return false;
        return ::PurgeComm(port_.Get(), PURGE_TXCLEAR | PURGE_RXCLEAR) != 0;
    }

    bool Write(std::span<const std::uint8_t> data, std::chrono::milliseconds limit) override {
        OVERLAPPED ov{};
        ov.hEvent = writeEvent_.Get();
        ::ResetEvent(ov.hEvent);
        const auto size = static_cast<DWORD>(data.size());
        const BOOL ok = ::WriteFile(port_.Get(), data.data(), size, nullptr, &ov);
        // The driver's own write time-out has the same bound; this one also
        // holds when a driver ignores it.
        const auto ms = static_cast<DWORD>(std::clamp<long long>(limit.count(), 1, 0x7FFFFFFF));
        DWORD written = 0;
        DWORD error = 0;
        const EndT end = Finish(port_.Get(), ov, ok, ms, written, error);
        if (end == EndT::Failed) return Failed(error);
        return end == EndT::Done && written == size;
    }

    std::size_t Read(std::span<std::uint8_t> data) override {
        if (data.empty()) return 0;
        // Ask for no more than is queued: the time-outs should make any read
        // return at once, but Wine's keeps an overlapped read pending until
        // a byte comes, and the callers poll.
        const DWORD queued = Queued();
        if (queued == 0) return 0;
        OVERLAPPED ov{};
        ov.hEvent = readEvent_.Get();
        ::ResetEvent(ov.hEvent);
        const auto want = static_cast<DWORD>(std::min<std::size_t>(data.size(), queued));
        const BOOL ok = ::ReadFile(port_.Get(), data.data(), want, nullptr, &ov);
        DWORD got = 0;
        DWORD error = 0;
        const EndT end = Finish(port_.Get(), ov, ok, 100, got, error);
        if (end != EndT::Done) {
            // A framing or parity error holds further reads until cleared.
            // With abort-on-error off the driver fails a read only when the
            // device itself fails (ERROR_OPERATION_ABORTED as it vanishes).
            DWORD errors = 0;
            if (::ClearCommError(port_.Get(), &errors, nullptr) == 0) Failed(::GetLastError());
            else if (end == EndT::Failed) Failed(error);
            return 0;
        }
        return std::min<std::size_t>(got, data.size());
    }

    bool WaitInput(std::int32_t ms) override {
        if (!port_.Valid()) return false;
        const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(std::max(ms, 0));
        auto left = [&] {
            const ULONGLONG now = ::GetTickCount64();
            return now >= deadline ? DWORD{0} : static_cast<DWORD>(deadline - now);
        };
        if (Queued() > 0) return true;
        if (!Fault().empty()) return false;
        if (!Arm()) return Idle(left());
        // Armed first, then looked: a byte that came before the arming does
        // not signal the event, but it is in the queue by now.
        if (Queued() > 0) return true;
        const DWORD wait = left();
        if (wait == 0) return false;
        if (::WaitForSingleObject(waitEvent_.Get(), wait) != WAIT_OBJECT_0) return Queued() > 0;
        // This wait is used up; the next call arms a new one.
        DWORD unused = 0;
        ::GetOverlappedResult(port_.Get(), &waitOv_, &unused, FALSE);
        waitArmed_ = false;
        if (Queued() > 0) return true;
        // Woken with nothing queued: Wine's wait on a pseudo-terminal ends
        // at once, every time. Re-arming would spin; sleep out the rest of
        // this call in short naps instead.
        return Idle(left());
    }

    bool PurgeInput() override { return ::PurgeComm(port_.Get(), PURGE_RXCLEAR) != 0; }
    void BreakOn() override { ::SetCommBreak(port_.Get()); }
    void BreakOff() override { ::ClearCommBreak(port_.Get()); }

    bool Close() override {
        if (!port_.Valid()) return true;
        if (waitArmed_) {
            // The pending wait refers to our record: end it before the
            // record and its event go.
            ::SetCommMask(port_.Get(), 0);
            DWORD unused = 0;
            ::GetOverlappedResult(port_.Get(), &waitOv_, &unused, TRUE);
            waitArmed_ = false;
        }
        bool ok = port_.Close();
        ok = readEvent_.Close() && ok;
        ok = writeEvent_.Close() && ok;
        ok = waitEvent_.Close() && ok;
        return ok;
    }

private:
    // Bytes waiting. ClearCommError fails only when the device does (it
    // was unplugged, its driver gone): that is the port's fault.
    DWORD Queued() {
        if (!Fault().empty()) return 0;
        COMSTAT stat{};
        DWORD errors = 0;
        if (::ClearCommError(port_.Get(), &errors, &stat) == 0) {
            Failed(::GetLastError());
            return 0;
        }
        return stat.cbInQue;
    }
    bool Failed(DWORD error) {
        SetFault(SystemErrorText(error));
        return false;
    }
    // Arms the event wait unless one is pending; false when the driver
    // offers none.
    bool Arm() {
        if (waitArmed_) return true;
        if (::SetCommMask(port_.Get(), EV_RXCHAR) == 0) return false;
        waitOv_ = OVERLAPPED{};
        waitOv_.hEvent = waitEvent_.Get();
        ::ResetEvent(waitOv_.hEvent);
        waitMask_ = 0;
        if (::WaitCommEvent(port_.Get(), &waitMask_, &waitOv_) == 0 && ::GetLastError() != ERROR_IO_PENDING)
            return false;
        waitArmed_ = true;
        return true;
    }
    // Without a working event wait the time still passes here, in naps
    // short enough to see input soon: a caller polling on a deadline must
    // not spin.
    bool Idle(DWORD ms) {
        for (;;) {
            if (Queued() > 0) return true;
            if (ms == 0 || !Fault().empty()) return false;
            const DWORD nap = std::min<DWORD>(ms, 5);
            ::Sleep(nap);
            ms -= nap;
        }
    }

    HandleT port_;
    HandleT readEvent_;
    HandleT writeEvent_;
    HandleT waitEvent_;
    OVERLAPPED waitOv_{};
    DWORD waitMask_ = 0;
    bool waitArmed_ = false;
};

std::string SystemErrorText(DWORD code) {
    char* text = nullptr;
    const DWORD n = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string s = n > 0 && text != nullptr ? std::string(text, n) : std::string();
    if (text != nullptr) ::LocalFree(text);
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ' || s.back() == '.')) s.pop_back();
    if (s.empty()) s = "system error " + std::to_string(code);
    return s;
}

}  // namespace

std::unique_ptr<PortBackendT> OpenSystemPort(const std::string& name, std::string& error) {
    HandleT readEvent(NewEvent());
    HandleT writeEvent(NewEvent());
    HandleT waitEvent(NewEvent());
    if (!readEvent.Valid() || !writeEvent.Valid() || !waitEvent.Valid()) {
        error = SystemErrorText(::GetLastError());
        return nullptr;
    }
    // Share mode 0: no other program can open the port while we hold it.
    HandleT port(::CreateFileA(DevicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr));
    if (!port.Valid()) {
        const DWORD code = ::GetLastError();
        error = SystemErrorText(code);
        if (code == ERROR_ACCESS_DENIED) error += " (is another program using the port?)";
        return nullptr;
    }
    DCB probe{};
    probe.DCBlength = sizeof probe;
    if (::GetCommState(port.Get(), &probe) == 0) {
        error = "not a serial port (" + SystemErrorText(::GetLastError()) + ")";
        return nullptr;
    }
    if (::SetupComm(port.Get(), kCommQueueSize, kCommQueueSize) == 0) {
        error = "the driver queues cannot be sized: " + SystemErrorText(::GetLastError());
        return nullptr;
    }
    // A read returns at once with what has arrived; a write may take 10 ms
    // per byte. The result is not examined: a driver without time-outs
    // still reads and writes, bounded by our own waits.
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = 0;
    t.WriteTotalTimeoutMultiplier = 10;
    t.WriteTotalTimeoutConstant = 0;
    ::SetCommTimeouts(port.Get(), &t);
    return std::make_unique<Win32PortT>(port.Release(), readEvent.Release(), writeEvent.Release(),
                                        waitEvent.Release());
}
