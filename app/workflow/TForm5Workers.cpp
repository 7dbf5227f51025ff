// The main window's worker threads, and how their reports reach the window.
#include <optional>
#include <system_error>
#include <thread>

#include "CommPort.h"
#include "StatusTexts.h"
#include "TForm5.h"
#include "TForm5View.h"
#include "Target.h"

void TForm5::OnWindowThread(const std::function<void()>& fn) {
    if (surface_.OnWindowThread()) {
        fn();
        return;
    }
    // After "Exit" nobody shows reports any more; a worker must not wait
    // for a window that is going away.
    if (abandoned_) return;
    surface_.RunOnWindowThread(fn);
}

template <typename Body>
bool TForm5::StartWorker(std::shared_ptr<WorkerT>& handle, Body body) {
    auto worker = std::make_shared<WorkerT>();
    try {
        std::thread([worker, body] {
            body();
            worker->running = false;
        }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    handle = std::move(worker);
    return true;
}

bool TForm5::WorkersIdle() const {
    return (!UploadThread || !UploadThread->running) && (!ConnectThread || !ConnectThread->running);
}

void TForm5::StartConnectWorker() {
    // A worker that cannot be made ends the program, as "Exit" would.
    if (!StartWorker(ConnectThread, [this] { ConnectWorker(); })) FormClose();
}

void TForm5::StartUpload() {
    if (RomFileName.empty()) {
        Button5Click();
        return;
    }
    // Without a daemon the erase only says so and sends nothing: said here
    // and now, its texts come before those of the connect sequence that a
    // command line starts right after this choice.
    if (!daemonRunning) {
        if (!LinkUseT().Held()) {
            SetStatus(status::kBusy);
            return;
        }
        RunErase();
        return;
    }
    if (!StartWorker(UploadThread, [this, path = RomFileName] { UploadWorker(path); })) FormClose();
}

void TForm5::ConnectWorker() {
    view_->SetStatus(status::kInitializing);
    ResetTargetConfiguration();
    LoadTargetConfiguration();
    RunConnect();
}

ConnectOutcomeT TForm5::RunConnect() {
    const ConnectOutcomeT outcome = RunConnectSequence(*view_);
    // The status text stays the operator's; the system's reason for a port
    // that would not open goes beside it.
    if (outcome == ConnectOutcomeT::Failed && !CommOpenError().empty()) view_->Reason(CommOpenError());
    return outcome;
}

bool TForm5::RunErase() { return RunEraseStep(*view_); }

void TForm5::UploadWorker(const std::string& path) {
    // Read once, before the link is taken: a pipe may keep us waiting.
    const RomFileT rom = ReadRomFile(path.c_str());
    LinkUseT use;
    if (!use.Held()) {
        view_->SetStatus(status::kBusy);
        return;
    }
    if (!CheckBeforeErase(*view_, rom) || !RunErase()) return;
    RunUploadStep(*view_, path, rom);
}
