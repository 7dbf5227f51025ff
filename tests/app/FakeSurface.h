#pragma once
// A surface that records what the workflow paints, for the workflow tests.
// The test's thread is the window's thread: it runs the workers' reports
// and fires Timer1 while it waits.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "TForm5.h"
#include "WindowSurfaceT.h"

class FakeSurfaceT final : public WindowSurfaceT {
public:
    struct BarT {
        int min = 0, max = 100, value = 0;
        bool visible = true;
    };

    // What the window shows.
    std::vector<std::string> statuses;  // every status text, in order
    std::string reason;
    std::array<bool, kLampTotal> lamps{};
    std::vector<std::pair<int, int>> progress;  // value, maximum, at each change
    BarT bar;
    std::array<bool, 6> enabled{true, false, false, true, true, true};
    std::string portLabel = "COM 1";
    bool mainShown = false, mainEnabled = true, fatalShown = false;
    bool portDialogHidden = false, portDialogShrunk = false, ended = false;
    // The file dialog answers with chosen (nothing: cancelled).
    std::optional<std::string> chosen;
    int dialogs = 0;

    bool Enabled(ButtonT b) const { return enabled[static_cast<std::size_t>(b) - 1]; }
    const std::string& Status() const { return statuses.empty() ? empty_ : statuses.back(); }

    void SetStatus(const std::string& text, const std::string& why) override {
        statuses.push_back(text);
        reason = why;
    }
    void PaintLamps(const std::array<bool, kLampTotal>& on) override { lamps = on; }
    void PaintUploadLamp(bool on) override { lamps[4] = on; }
    void PrepareProgress(unsigned min, unsigned max) override {
        bar.max = static_cast<int>(max);
        bar.min = static_cast<int>(min);
        bar.visible = true;
        Move(bar.value + 1);
    }
    void MoveProgress(int position) override { Move(position); }
    void FillProgress() override { Move(bar.max); }
    void HideProgress(bool toZero) override {
        if (toZero) Move(0);
        bar.visible = false;
    }
    void EnableButton(ButtonT b, bool on) override { enabled[static_cast<std::size_t>(b) - 1] = on; }
    void StartTimer1(unsigned ms) override { timerDue_ = Clock::now() + std::chrono::milliseconds(ms); }
    void StopTimer1() override { timerDue_.reset(); }
    bool TimerArmed() const { return timerDue_.has_value(); }
    std::optional<std::string> AskRomFile() override {
        ++dialogs;
        return chosen;
    }
    void RepaintMainWindow() override {}
    void ShowFatalDialog() override {
        mainEnabled = false;
        fatalShown = true;
    }
    void SetPortLabel(const std::string& name) override { portLabel = name; }
    void ShowMainWindow() override { mainShown = mainEnabled = true; }
    void HidePortDialog(bool shrink) override { (shrink ? portDialogShrunk : portDialogHidden) = true; }
    void EndProgram() override { ended = true; }
    bool OnWindowThread() const override { return std::this_thread::get_id() == window_; }
    void RunOnWindowThread(const std::function<void()>& fn) override {
        std::unique_lock lock(mutex_);
        bool done = false;
        queue_.push_back({&fn, &done});
        ran_.wait(lock, [&] { return done; });
    }

    // Runs the reports waiting and fires a due Timer1 until ready() or
    // 60 s; false on the time-out.
    template <typename Ready>
    bool WaitFor(Ready ready) {
        const auto end = Clock::now() + std::chrono::seconds(60);
        while (Clock::now() < end) {
            Pump();
            if (ready()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }
    void Pump() {
        std::unique_lock lock(mutex_);
        while (!queue_.empty()) {
            const Call call = queue_.front();
            queue_.pop_front();
            lock.unlock();
            (*call.fn)();
            lock.lock();
            *call.done = true;
            ran_.notify_all();
        }
        lock.unlock();
        if (timerDue_ && Clock::now() >= *timerDue_ && Form5Flow != nullptr) Form5Flow->Timer1Timer();
    }
    TForm5* Form5Flow = nullptr;

private:
    using Clock = std::chrono::steady_clock;
    struct Call {
        const std::function<void()>* fn;
        bool* done;
    };
    void Move(int position) {
        bar.value = std::clamp(position, bar.min, bar.max);
        progress.emplace_back(bar.value, bar.max);
    }
    std::thread::id window_ = std::this_thread::get_id();
    std::mutex mutex_;
    std::condition_variable ran_;
    std::deque<Call> queue_;
    std::optional<Clock::time_point> timerDue_;
    std::string empty_;
};
