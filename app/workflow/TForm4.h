#pragma once
// The fatal-error dialog's workflow: shown when the attempts to reach the
// board are used up; its only way on ends the program.
class WindowSurfaceT;

// Four lines, each ended by CR LF, as the operator has always read them.
inline constexpr const char* kFatalMessage =
    " FATAL ERROR !!!\r\nTormane excesses number of attempts allowed.\r\n Please re-cycle power on the targer,\r\n"
    " and restart Tormane again.\r\n";

class TForm4 {
public:
    explicit TForm4(WindowSurfaceT& surface) : surface_(surface) {}
    TForm4(const TForm4&) = delete;
    TForm4& operator=(const TForm4&) = delete;

    // "Continue": closes the port dialog, so the program ends.
    void Button1Click();
    // The close box ends the program as "Continue" does: the main window
    // stays disabled, so there is no other way on.
    void FormClose();

private:
    WindowSurfaceT& surface_;
    bool ending_ = false;
};
