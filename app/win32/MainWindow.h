#pragma once
// The main window's controls: the port label, the status text with its
// reason, the progress bar, six painted lamps, six buttons, Timer1 and
// OpenDialog1. It paints what the workflow tells it and reports clicks;
// the layout is drawn at 120 dpi.
#include <array>
#include <memory>
#include <optional>
#include <string>

#include "Win32Window.h"
#include "WindowEvents.h"

class MainWindowT final : public WindowT {
public:
    explicit MainWindowT(WindowEventsT& events);
    ~MainWindowT() override;

    // Controls, by the names the operator's documentation uses.
    HWND Label7 = nullptr;
    HWND GroupBox1 = nullptr;
    HWND Memo1 = nullptr;
    HWND LabelReason = nullptr;
    HWND ProgressBar1 = nullptr;
    std::array<HWND, kLampTotal> Labels{};  // Label1 .. Label6
    std::array<HWND, 6> Buttons{};          // Button1 .. Button6, by ButtonT - 1

    void SetStatus(const std::string& text, const std::string& reason);
    void PaintLamps(const std::array<bool, kLampTotal>& on);
    void PaintUploadLamp(bool on);
    void PrepareProgress(unsigned min, unsigned max);
    void MoveProgress(int position);
    void FillProgress();
    void HideProgress(bool toZero);
    void EnableButton(ButtonT button, bool enabled);
    void StartTimer1(unsigned ms);
    void StopTimer1();
    std::optional<std::string> AskRomFile();
    void Repaint();
    void SetPortLabel(const std::string& name);
    void ShowAndFocus();

    // The lamp colours as painted now (0xRRGGBB), Shape1 first.
    const std::array<unsigned, kLampTotal>& LampColours() const { return colours_; }

private:
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam) override;
    void Paint(HDC dc);
    RECT LampRect(std::size_t i) const;
    void PaintLamp(std::size_t i, unsigned colour);
    void FitRestartCaption();
    HWND Button(ButtonT b) const { return Buttons[static_cast<std::size_t>(b) - 1]; }

    WindowEventsT& events_;
    ScaleT s_;
    FontT font_;
    std::unique_ptr<FontT> restartFont_;  // "Restart Receiver" is set smaller
    HBRUSH white_;
    HBRUSH menu_;
    std::array<unsigned, kLampTotal> colours_{};
};
