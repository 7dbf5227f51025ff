#include "Reporter.h"

#include <cerrno>
#include <cmath>

#include "Platform.h"

namespace {

// The past tense of each step, for "how far it got".
const char* Done(const std::string& phase) {
    if (phase == "bring-up") return "connected";
    if (phase == "download") return "daemon loaded";
    if (phase == "erase") return "erased";
    if (phase == "upload") return "programmed";
    if (phase == "verify") return "verified";
    if (phase == "read") return "read";
    return phase.c_str();
}

std::string Size(double bytes) {
    char buf[32];
    if (bytes < 1024) std::snprintf(buf, sizeof buf, "%.0f B", bytes);
    else std::snprintf(buf, sizeof buf, "%.1f KiB", bytes / 1024);
    return buf;
}

}  // namespace

Reporter::Reporter(const ReportOptions& options, bool terminal)
    : options_(options), human_(options.json ? stderr : stdout), terminal_(terminal) {}

void Reporter::HumanLine(const std::string& text) {
    EndBarLocked();
    std::fprintf(human_, "%s\n", text.c_str());
    std::fflush(human_);
}

void Reporter::JsonLine(const json::Object& o) {
    if (!options_.json || stdoutClosed_) return;
    std::fprintf(stdout, "%s\n", o.Text().c_str());
    if (std::fflush(stdout) != 0 && errno == EPIPE) {
        stdoutClosed_ = true;
        OutputClosed();
    }
}

void Reporter::Status(const std::string& text) {
    std::lock_guard lock(mutex_);
    lastStatus_ = text;
    JsonLine(json::Object().Str("event", "status").Str("text", text));
    if (!options_.quiet) HumanLine(text);
}

void Reporter::Info(const std::string& text) {
    std::lock_guard lock(mutex_);
    JsonLine(json::Object().Str("event", "message").Str("level", "info").Str("text", text));
    if (!options_.quiet) HumanLine(text);
}

void Reporter::Verbose(const std::string& text) {
    std::lock_guard lock(mutex_);
    if (!options_.verbose) return;
    JsonLine(json::Object().Str("event", "message").Str("level", "detail").Str("text", text));
    HumanLine(text);
}

void Reporter::Error(const std::string& text) {
    std::lock_guard lock(mutex_);
    if (firstError_.empty()) firstError_ = text;
    JsonLine(json::Object().Str("event", "message").Str("level", "error").Str("text", text));
    HumanLine("zelmo-cli: " + text);
}

void Reporter::Warning(const std::string& text) {
    std::lock_guard lock(mutex_);
    EndBarLocked();
    JsonLine(json::Object().Str("event", "message").Str("level", "warning").Str("text", text));
    HumanLine("zelmo-cli: warning: " + text);
}

void Reporter::Begin(const char* phase) {
    std::lock_guard lock(mutex_);
    EndBarLocked();
    phase_ = phase;
    lastPercent_ = -1;
}

void Reporter::StartProgress(const char* phase, unsigned long total, bool byteUnits) {
    std::lock_guard lock(mutex_);
    EndBarLocked();
    phase_ = phase;
    total_ = total > 0 ? total : 1;
    done_ = 0;
    bytes_ = byteUnits;
    lastPercent_ = -1;
    started_ = Clock::now();
    lastDrawn_ = {};
}

void Reporter::Progress(unsigned long done) {
    std::lock_guard lock(mutex_);
    done_ = std::min(done, total_);
    const int percent = static_cast<int>(done_ * 100 / total_);
    const auto now = Clock::now();
    // JSON at each whole percent; the bar at most ten times a second.
    if (percent != lastPercent_) {
        JsonLine(json::Object()
                     .Str("event", "progress")
                     .Str("phase", phase_)
                     .Int("done", static_cast<long long>(done_))
                     .Int("total", static_cast<long long>(total_))
                     .Str("unit", bytes_ ? "bytes" : "records"));
    }
    if (options_.quiet) {
        lastPercent_ = percent;
        return;
    }
    if (terminal_) {
        if (percent == 100 || now - lastDrawn_ > std::chrono::milliseconds(100)) DrawLocked(false);
    } else if (lastPercent_ < 0 || percent / 25 != lastPercent_ / 25) {
        std::fprintf(human_, "  %s %d%%\n", phase_.c_str(), percent);
        std::fflush(human_);
    }
    lastPercent_ = percent;
}

void Reporter::DrawLocked(bool) {
    const int percent = static_cast<int>(done_ * 100 / total_);
    const int filled = percent * 30 / 100;
    const double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
    std::string tail;
    if (bytes_) {
        const double rate = seconds > 0.2 ? static_cast<double>(done_) / seconds : 0;
        char buf[96];
        if (rate > 0 && done_ < total_) {
            const double left = static_cast<double>(total_ - done_) / rate;
            std::snprintf(buf, sizeof buf, "  %s/s  %d:%02d left", Size(rate).c_str(), static_cast<int>(left) / 60,
                          static_cast<int>(left) % 60);
        } else {
            std::snprintf(buf, sizeof buf, "  %.1f s", seconds);
        }
        tail = "  " + Size(static_cast<double>(done_)) + " of " + Size(static_cast<double>(total_)) + buf;
    }
    std::fprintf(human_, "\r\033[2K  %-8s [%s%s] %3d%%%s", phase_.c_str(),
                 std::string(static_cast<std::size_t>(filled), '#').c_str(),
                 std::string(static_cast<std::size_t>(30 - filled), '.').c_str(), percent, tail.c_str());
    std::fflush(human_);
    barShown_ = true;
    lastDrawn_ = Clock::now();
}

void Reporter::EndBarLocked() {
    if (barShown_) std::fprintf(human_, "\n");
    barShown_ = false;
}

void Reporter::Phase(const char* name, double seconds) {
    std::lock_guard lock(mutex_);
    if (phase_ == name && lastPercent_ >= 0 && terminal_ && !options_.quiet) DrawLocked(true);
    EndBarLocked();
    finished_.emplace_back(name);
    if (phase_ == name) phase_.clear();
    JsonLine(json::Object().Str("event", "phase").Str("name", name).Num("seconds", seconds));
    char buf[64];
    std::snprintf(buf, sizeof buf, " %s %.2f s", name, seconds);
    times_ += buf;
    if (options_.verbose) HumanLine(std::string("  ") + name + std::string(buf).substr(std::string(name).size() + 1));
}

void Reporter::Result(const std::string& command, int exitCode, const std::string& summary, const json::Object& extra) {
    std::lock_guard lock(mutex_);
    std::string line = extra.Text();
    // The caller's fields follow ours in the same object.
    json::Object head;
    head.Str("event", "result").Str("command", command).Int("exit", exitCode).Bool("ok", exitCode == 0);
    // Every result has a summary: a refusal's is the error that said why.
    const std::string said = !summary.empty()      ? summary
                             : !firstError_.empty() ? firstError_
                             : command + (exitCode == 0 ? ": done" : ": failed");
    head.Str("summary", said);
    if (options_.json) {
        std::string text = head.Text();
        text.pop_back();
        if (line.size() > 2) text += "," + line.substr(1);
        else text += "}";
        std::fprintf(stdout, "%s\n", text.c_str());
        std::fflush(stdout);
    }
    if (!times_.empty() && !options_.quiet) HumanLine("  time:" + times_);
    if (!summary.empty() && (!options_.quiet || exitCode != 0)) HumanLine(summary);
}

std::string Reporter::HowFarLocked() const {
    std::string text;
    for (const auto& f : finished_) text += (text.empty() ? "" : ", ") + std::string(Done(f));
    if (!phase_.empty() && lastPercent_ >= 0)
        text += (text.empty() ? "" : ", ") + std::to_string(lastPercent_) + " % " + Done(phase_);
    else if (!phase_.empty())
        text += (text.empty() ? "during " : ", during ") + phase_;
    return text.empty() ? "nothing done yet" : text;
}

std::string Reporter::LastStatus() {
    std::lock_guard lock(mutex_);
    return lastStatus_;
}

std::string Reporter::HowFar() {
    std::lock_guard lock(mutex_);
    return HowFarLocked();
}

void Reporter::Interrupted(const std::string& command, int exitCode) {
    std::lock_guard lock(mutex_);
    std::string far = HowFarLocked();
    // The board goes on erasing without the loader and answers nothing
    // meanwhile: a run started at once would find it deaf.
    if (phase_ == "erase")
        far += "; the board may still be erasing and answers again when it is done (up to 100 s)";
    JsonLine(json::Object()
                 .Str("event", "result")
                 .Str("command", command)
                 .Int("exit", exitCode)
                 .Bool("ok", false)
                 .Str("summary", "interrupted: " + far));
    HumanLine("zelmo-cli: interrupted: " + far);
}

void Reporter::RawJson(const std::string& line) {
    std::lock_guard lock(mutex_);
    if (!options_.json) return;
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
}
