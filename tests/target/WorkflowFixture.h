#pragma once
// A scripted board behind the process-wide link, with the shared state of
// the loading steps reset for each test. The steps report to `progress`.
#include <gtest/gtest.h>

#include "DaemonDownload.h"
#include "FlashMemT.h"
#include "Progress.h"
#include "ScriptedPeer.h"
#include "Target.h"

// Records what the steps report, in order.
class RecordingProgress final : public ProgressT {
public:
    void SetProgress(int position) override { events.push_back("set " + std::to_string(position)); }
    void FillProgress() override { events.push_back("fill"); }
    void ToggleUploadLamp() override { events.push_back("lamp"); }
    void EnableRestart() override { events.push_back("restart"); }
    std::size_t Count(const std::string& what) const {
        return static_cast<std::size_t>(std::count(events.begin(), events.end(), what));
    }
    std::vector<std::string> events;
};

using Bytes = std::vector<std::uint8_t>;

inline std::uint32_t Be32(const Bytes& d, std::size_t at) {
    return (std::uint32_t{d[at]} << 24) | (std::uint32_t{d[at + 1]} << 16) | (std::uint32_t{d[at + 2]} << 8) |
           std::uint32_t{d[at + 3]};
}

class WorkflowTest : public ::testing::Test {
protected:
    WorkflowTest() {
        ResetTargetState();
        LoadTargetConfiguration();
    }
    ~WorkflowTest() override { ResetTargetState(); }
    // A link on the scripted board without bring-up, as after a connect.
    void OpenLink() {
        TargetFlash.reset();
        TargetLink.reset();  // closes the port before the new link opens it
        TargetLink = std::make_unique<VesperilIO>(0, 0xFFF000, 0x810);
        TargetFlash = std::make_unique<FlashMemT>(*TargetLink);
        CommSettings s{};
        s.nominalBaud = s.baudRate = 9600;
        s.parity = 0;
        TargetLink->Configure(s);  // 9600 8N1, as bring-up leaves it
    }
    // As after a daemon download: the link and the peer at 38400.
    void DaemonAt38400() {
        OpenLink();
        peer.Line().SetFormat({38400, 8, 0, 0});
        TargetLink->SetHostSpeed(38400);
        daemonRunning = true;
    }
    std::vector<PeerRequest> FramesWith(std::uint8_t cmd) const {
        std::vector<PeerRequest> out;
        for (const auto& f : peer.Frames())
            if (f.Cmd() == cmd) out.push_back(f);
        return out;
    }
    static std::uint32_t Address(const PeerRequest& f) {
        const Bytes d = f.Data();
        return d.size() < 4 ? 0 : Be32(d, 0);
    }

    ScriptedPeer peer;
    RecordingProgress progress;
};
