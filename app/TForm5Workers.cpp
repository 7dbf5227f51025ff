// The main window's worker threads, and how their reports reach the window.
#include <QMetaObject>
#include <QThread>
#include <optional>
#include <thread>

#include "CommPort.h"
#include "StatusTexts.h"
#include "TForm5.h"
#include "TForm5View.h"
#include "Target.h"

void TForm5::MakeView() {
    view_ = std::make_unique<View>(*this);
}

void TForm5::OnWindowThread(const std::function<void()>& fn) {
    if (QThread::currentThread() == thread()) {
        fn();
        return;
    }
    // After "Exit" nobody shows reports any more; a worker must not wait
    // for a window that is going away.
    if (abandoned_) return;
    QMetaObject::invokeMethod(this, fn, Qt::BlockingQueuedConnection);
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
    if (!StartWorker(ConnectThread, [this] { ConnectWorker(); })) close();
}

void TForm5::StartUpload() {
    if (RomFileName.empty()) {
        Button5Click();
        return;
    }
    if (!StartWorker(UploadThread, [this, path = RomFileName] { UploadWorker(path); })) close();
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
    const QString why = outcome == ConnectOutcomeT::Failed ? QString::fromStdString(CommOpenError()) : QString();
    OnWindowThread([&] { Memo1->setToolTip(why); });
    return outcome;
}

bool TForm5::RunErase() { return RunEraseStep(*view_); }

void TForm5::UploadWorker(const std::string& path) {
    // Read once, before the link is taken: a pipe may keep us waiting.
    const RomFileT rom = ReadRomFile(path.c_str());
    std::optional<LinkUseT> use(std::in_place);
    if (!use->Held()) {
        view_->SetStatus(status::kBusy);
        return;
    }
    // Without a daemon the erase only says so and nothing goes on the line:
    // let go of the link at once, so that the connect sequence which a
    // command line starts right after this choice is not refused.
    if (!daemonRunning) {
        use.reset();
        RunErase();
        return;
    }
    if (!CheckBeforeErase(*view_, rom) || !RunErase()) return;
    RunUploadStep(*view_, path, rom);
}
