#pragma once
// What a windowing toolkit does for the operator's windows. The workflow
// (the handlers, the lamp states, the attempt counter, the workers) is
// written once, toolkit-free; each toolkit implements only this narrow
// surface: it paints what it is told and reports clicks back to the
// workflow's handlers. Every call except RunOnWindowThread is made on the
// window's thread.
#include <array>
#include <functional>
#include <optional>
#include <string>

// The main window's buttons, numbered as the controls are.
enum class ButtonT { Start = 1, Connect = 2, Reset = 3, Exit = 4, RomFile = 5, Restart = 6 };

inline constexpr int kLampTotal = 6;
// Lamp colours as 0xRRGGBB: on and off.
inline constexpr unsigned kLampOn = 0x008000;   // clGreen
inline constexpr unsigned kLampOff = 0xFFFFFF;  // clWhite

class WindowSurfaceT {
public:
    WindowSurfaceT() = default;
    WindowSurfaceT(const WindowSurfaceT&) = delete;
    WindowSurfaceT& operator=(const WindowSurfaceT&) = delete;
    virtual ~WindowSurfaceT() = default;

    // --- the main window ---
    // Replaces the one-line status text and repaints it now. reason is the
    // step's cause in more words (a line, an address, whether the flash was
    // touched), shown where the operator sees it without hovering; empty
    // clears it.
    virtual void SetStatus(const std::string& text, const std::string& reason) = 0;
    // Paints the six lamps (Shape1..Shape6) green where on, white where off.
    virtual void PaintLamps(const std::array<bool, kLampTotal>& on) = 0;
    // Paints only the upload lamp (Shape5), for its blink.
    virtual void PaintUploadLamp(bool on) = 0;
    // Sets the bar's range, shows and enables it, advances it one step from
    // where it stands, repaints it.
    virtual void PrepareProgress(unsigned min, unsigned max) = 0;
    // Moves the bar, clamped to its range, and repaints it.
    virtual void MoveProgress(int position) = 0;
    // Moves the bar to its maximum and repaints it.
    virtual void FillProgress() = 0;
    // Hides the bar; with toZero its position goes to 0 first.
    virtual void HideProgress(bool toZero) = 0;
    virtual void EnableButton(ButtonT button, bool enabled) = 0;
    // Timer1: fires once, ms later, into the workflow's Timer1Timer.
    virtual void StartTimer1(unsigned ms) = 0;
    virtual void StopTimer1() = 0;
    // OpenDialog1: a full path, or nothing when the operator cancels.
    virtual std::optional<std::string> AskRomFile() = 0;
    // Repaints the whole main window now.
    virtual void RepaintMainWindow() = 0;
    // Disables the main window and shows the fatal-error dialog with the
    // focus on its message.
    virtual void ShowFatalDialog() = 0;

    // --- the port dialog ---
    // Label7: the chosen port's name, whole.
    virtual void SetPortLabel(const std::string& name) = 0;
    // Enables, shows and focuses the main window.
    virtual void ShowMainWindow() = 0;
    // Out of sight: hidden, or shrunk to 0 by 0 while it stays the program's
    // main window.
    virtual void HidePortDialog(bool shrinkInstead) = 0;

    // --- the program ---
    // Ends the message loop: the program ends.
    virtual void EndProgram() = 0;
    // True on the window's thread.
    virtual bool OnWindowThread() const = 0;
    // Runs fn on the window's thread and returns once it has run and what it
    // changed is painted; on the window's thread it runs fn at once.
    virtual void RunOnWindowThread(const std::function<void()>& fn) = 0;
};
