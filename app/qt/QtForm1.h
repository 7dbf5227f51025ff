#pragma once
// The port-selection dialog as Qt draws it, at the 96 dpi its table was
// drawn at. Its clicks, activation and closing go to TForm1.
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>
#include <QWidget>
#include <array>

class QtForm1 final : public QWidget {
public:
    QtForm1();

    QGroupBox* GroupBox1;
    std::array<QRadioButton*, 20> RadioButtons{};  // RadioButton1 .. RadioButton20
    QPushButton* Button1;

    // Shows, on each port's button, the device that port reaches now.
    void RefreshPortHints();

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void Activated();
    bool activatedOnce_ = false;  // FormActivate has run at least once
    bool sawActivation_ = false;  // the window system has reported an activation
};
