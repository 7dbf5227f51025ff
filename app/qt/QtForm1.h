#pragma once
// The port-selection dialog, the program's first window. Closing it ends the
// program, even while it is out of sight.
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>
#include <QWidget>
#include <array>

class TForm1 final : public QWidget {
public:
    TForm1();

    QGroupBox* GroupBox1;
    std::array<QRadioButton*, 20> RadioButtons{};  // RadioButton1 .. RadioButton20
    QPushButton* Button1;

    // Radio button n (1 to 20) chose its port.
    void RadioButtonClick(int n);
    void RadioButton1Click() { RadioButtonClick(1); }
    void RadioButton2Click() { RadioButtonClick(2); }
    void RadioButton3Click() { RadioButtonClick(3); }
    void RadioButton4Click() { RadioButtonClick(4); }
    void RadioButton5Click() { RadioButtonClick(5); }
    void RadioButton6Click() { RadioButtonClick(6); }
    void RadioButton7Click() { RadioButtonClick(7); }
    void RadioButton8Click() { RadioButtonClick(8); }
    void RadioButton9Click() { RadioButtonClick(9); }
    void RadioButton10Click() { RadioButtonClick(10); }
    void RadioButton11Click() { RadioButtonClick(11); }
    void RadioButton12Click() { RadioButtonClick(12); }
    void RadioButton13Click() { RadioButtonClick(13); }
    void RadioButton14Click() { RadioButtonClick(14); }
    void RadioButton15Click() { RadioButtonClick(15); }
    void RadioButton16Click() { RadioButtonClick(16); }
    void RadioButton17Click() { RadioButtonClick(17); }
    void RadioButton18Click() { RadioButtonClick(18); }
    void RadioButton19Click() { RadioButtonClick(19); }
    void RadioButton20Click() { RadioButtonClick(20); }
    void Button1Click();
    void FormActivate();

    // Shows, on each port's button, the device that port reaches now.
    void RefreshPortHints();
    // True once the dialog has been closed: the program is ending.
    bool Closed() const { return closed_; }

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void Activated();
    bool activatedOnce_ = false;   // FormActivate has run at least once
    bool sawActivation_ = false;   // the window system has reported an activation
    bool closed_ = false;
};
