#pragma once
// Everything zelmo-cli tells its user, in one place: status texts, messages,
// the progress bar, phase times and the result. Human text goes to stdout,
// or to stderr under --json, where stdout carries one JSON object per line.
// Safe to call from the interrupt handler's thread.
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "Json.h"

struct ReportOptions {
    bool json = false;
    bool quiet = false;    // human text: errors and the result only
    bool verbose = false;  // human text: phase times as they end, details
};

class Reporter {
public:
    Reporter(const ReportOptions& options, bool terminal);
    Reporter(const Reporter&) = delete;
    Reporter& operator=(const Reporter&) = delete;

    // The operator's status text.
    void Status(const std::string& text);
    // A line for the user; verbose ones only under --verbose.
    void Info(const std::string& text);
    void Verbose(const std::string& text);
    void Error(const std::string& text);
    // Something that went wrong beside the job (the job's result stands).
    void Warning(const std::string& text);
    // A step without progress starts (for "how far it got").
    void Begin(const char* phase);
    // A step with progress starts; byteUnits: done and total count bytes.
    void StartProgress(const char* phase, unsigned long total, bool byteUnits);
    void Progress(unsigned long done);
    // A step ended after seconds (the sequence's names, and ours).
    void Phase(const char* name, double seconds);
    // The command's outcome: one JSON object, and a line for people. An
    // empty summary is the first error said (the human line stays unsaid).
    void Result(const std::string& command, int exitCode, const std::string& summary, const json::Object& extra);
    // What was done when it stopped: "daemon loaded, erased, 37 % programmed".
    std::string HowFar();
    // Ends the bar and says how far it got, as the result with exitCode;
    // for the interrupt handler.
    void Interrupted(const std::string& command, int exitCode);
    // Emits a finished JSON line as is (several boards: a child's events).
    void RawJson(const std::string& line);
    std::FILE* Human() const { return human_; }
    // The last status text, which names the step that failed.
    std::string LastStatus();

private:
    void EndBarLocked();
    void HumanLine(const std::string& text);
    void JsonLine(const json::Object& o);
    void DrawLocked(bool final);
    std::string HowFarLocked() const;

    using Clock = std::chrono::steady_clock;
    std::mutex mutex_;
    ReportOptions options_;
    std::FILE* human_;
    bool terminal_;
    bool barShown_ = false;
    std::string phase_;
    unsigned long total_ = 0, done_ = 0;
    bool bytes_ = false;
    int lastPercent_ = -1;
    Clock::time_point started_{}, lastDrawn_{};
    std::vector<std::string> finished_;
    std::string times_;
    std::string lastStatus_;
    std::string firstError_;
    bool stdoutClosed_ = false;  // a JSON line met EPIPE  // the result's summary when the command gave none
};
