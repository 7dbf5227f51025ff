#pragma once
// The fatal-error dialog: shown when the attempts to reach the board are
// used up; its only way on ends the program.
#include <QPushButton>
#include <QTextEdit>
#include <QWidget>

// Four lines, each ended by CR LF, as the operator has always read them.
inline constexpr const char* kFatalMessage =
    " FATAL ERROR !!!\r\nTormane excesses number of attempts allowed.\r\n Please re-cycle power on the targer,\r\n"
    " and restart Tormane again.\r\n";

class TForm4 final : public QWidget {
public:
    TForm4();

    QTextEdit* Memo1;
    QPushButton* Button1;

    void Button1Click();

protected:
    // The close box ends the program as "Continue" does: the main window
    // stays disabled, so there is no other way on.
    void closeEvent(QCloseEvent* event) override;

private:
    bool ending_ = false;
};
