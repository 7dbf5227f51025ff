#pragma once
// The main window: six lamps, the status text and the progress bar, and the
// buttons that run the loading sequence. The long steps run on two worker
// threads; every report they make is shown on the window's thread, in the
// order made, before the worker goes on.
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>
#include <QWidget>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "LampShape.h"
#include "LoadSequence.h"

// The full path of the chosen ROM file; empty until one is chosen.
extern std::string RomFileName;

// A worker thread as the window keeps it: the thread itself runs detached,
// so that "Exit" never waits for it.
struct WorkerT {
    std::atomic<bool> running{true};
};
extern std::shared_ptr<WorkerT> UploadThread;
extern std::shared_ptr<WorkerT> ConnectThread;
// The blinking upload lamp's phase; lives for the whole process.
extern bool UploadLampToggle;

class TForm5 final : public QWidget {
public:
    TForm5();
    ~TForm5() override;

    // Controls, by the names the operator's documentation uses.
    QFrame* Panel1;
    QLabel* Label7;
    QGroupBox* GroupBox1;
    QFrame* Panel2;
    QTextEdit* Memo1;
    QProgressBar* ProgressBar1;
    QFrame* Panel3;
    std::array<LampShape*, kLampCount> Shapes{};  // Shape1 .. Shape6
    std::array<QLabel*, kLampCount> Labels{};     // Label1 .. Label6
    QPushButton* Button1;  // Start
    QPushButton* Button2;  // Connect
    QPushButton* Button3;  // Reset
    QPushButton* Button4;  // Exit
    QPushButton* Button5;  // ROM File
    QPushButton* Button6;  // Restart Receiver
    QTimer* Timer1;
    // The file-open dialog; returns the chosen path, or nothing when the
    // operator cancels. Tests put their own in its place.
    std::function<std::optional<QString>(QWidget* parent)> OpenDialog1;

    // Lamp states and the window's own state.
    std::array<bool, kLampCount> Lamps{};  // by LampT
    bool& ConnectionLamp = Lamps[0];
    bool& DaemonLamp = Lamps[1];
    bool& RomFileLamp = Lamps[2];
    bool& ErasedLamp = Lamps[3];
    bool& UploadingLamp = Lamps[4];
    bool& CompletedLamp = Lamps[5];
    std::int16_t Attempts = 0;
    bool ProgressShown = false;
    bool AutoStarted = false;

    // Handlers.
    void Button1Click();
    void Button2Click();
    void Button3Click();
    void Button4Click();
    void Button5Click();
    void Button6Click();
    void Timer1Timer();
    void FormClose();
    void FormActivate() {}

    // Window operations.
    void RefreshLamps();
    void ClearLampStates();
    void ShowProgress(std::uint16_t min, std::uint16_t max);
    bool RunErase();
    void StartConnectWorker();
    void StartUpload();
    ConnectOutcomeT RunConnect();
    void ConnectWorker();
    void UploadWorker(const std::string& path);
    void ToggleUploadLamp();

    // The status text (one message).
    QString Status() const;
    // True while no worker runs.
    bool WorkersIdle() const;
    // True once "Exit" has abandoned the workers.
    bool Abandoned() const { return abandoned_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    class View;
    void MakeView();
    void SetStatus(const QString& text);
    void ShowFatalError();
    // Runs fn on the window's thread and returns when it has run.
    void OnWindowThread(const std::function<void()>& fn);
    template <typename Body>
    bool StartWorker(std::shared_ptr<WorkerT>& handle, Body body);

    std::unique_ptr<View> view_;
    std::atomic<bool> abandoned_{false};
    bool exiting_ = false;
};
