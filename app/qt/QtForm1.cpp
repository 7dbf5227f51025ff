#include "TForm1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QTimer>

#include "PortNames.h"
#include "TForm5.h"
#include "Target.h"
#include "Tormane.h"

namespace {
// Caption of radio button n: four blanks, and no blank before the first digit.
QString Caption(int n) { return n == 1 ? QStringLiteral("    COMM1") : QStringLiteral("    COMM %1").arg(n); }
}  // namespace

TForm1::TForm1() {
    setWindowTitle(QStringLiteral("COMM"));
    setFont(FormFont(11));
    setFixedSize(407, 273);

    GroupBox1 = new QGroupBox(QStringLiteral("COM Port Select"), this);
    GroupBox1->setGeometry(8, 16, 393, 185);
    for (int n = 1; n <= 20; ++n) {
        auto* b = new QRadioButton(Caption(n), GroupBox1);
        if (n == 1) b->setGeometry(8, 16, 73, 33);
        else if (n == 2) b->setGeometry(8, 48, 105, 25);
        else {
            const int column = (n - 3) / 6;  // 3..8, 9..14, 15..20
            const int row = (n - 3) % 6;
            b->setGeometry(std::array{96, 192, 280}[static_cast<std::size_t>(column)], 24 + 24 * row, 105, 25);
        }
        connect(b, &QRadioButton::clicked, this, [this, n] { RadioButtonClick(n); });
        RadioButtons[static_cast<std::size_t>(n - 1)] = b;
    }
    RadioButtons[0]->setChecked(true);

    Button1 = new QPushButton(QStringLiteral("OK"), this);
    Button1->setGeometry(176, 224, 73, 33);
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });

    // "OK" first, then the ports in order.
    setTabOrder(Button1, RadioButtons[0]);
    for (std::size_t i = 1; i < RadioButtons.size(); ++i) setTabOrder(RadioButtons[i - 1], RadioButtons[i]);
    RefreshPortHints();
    SelectedPort = 0;
    CentreOnScreen(*this);
}

void TForm1::RefreshPortHints() {
    for (int i = 0; i < kPortCount; ++i) {
        const std::string device = PortDevice(i);
        RadioButtons[static_cast<std::size_t>(i)]->setToolTip(
            device.empty() ? QStringLiteral("%1: no serial device is present for this port").arg(PortNames[i])
                           : QStringLiteral("%1 reaches %2").arg(PortNames[i], QString::fromStdString(device)));
    }
}

void TForm1::RadioButtonClick(int n) {
    SelectedPort = static_cast<std::uint8_t>(n - 1);
    Form5->Label7->setText(QString::fromLatin1(PortNames[n - 1]));
    if ((n == 1 || n == 2) && !CommandLine.empty() && (CommandLine[0] == '1' || CommandLine[0] == '2'))
        Button1Click();
}

void TForm1::Button1Click() {
    Form5->setEnabled(true);
    Form5->show();
    Form5->raise();
    Form5->activateWindow();
    if (CommandLine.empty()) {
        hide();
    } else {
        // Out of sight without hiding: the dialog stays the program's main
        // window until the end.
        setFixedSize(width(), 0);
        setFixedSize(0, 0);
    }
}

void TForm1::FormActivate() {
    if (CommandLine.empty()) return;
    if (CommandLine[0] == '1') RadioButton1Click();
    else if (CommandLine[0] == '2') RadioButton2Click();
}

void TForm1::Activated() {
    activatedOnce_ = true;
    FormActivate();
}

void TForm1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // With no window manager the dialog may never be told that it became
    // active: its first showing then counts as its activation.
    if (!activatedOnce_)
        QTimer::singleShot(0, this, [this] {
            if (!activatedOnce_ && isVisible()) Activated();
        });
}

void TForm1::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::ActivationChange || !isActiveWindow()) return;
    // The first activation that the window system reports is the one the
    // first showing already stood for.
    const bool first = !sawActivation_;
    sawActivation_ = true;
    if (first && activatedOnce_) return;
    Activated();
}

void TForm1::closeEvent(QCloseEvent* event) {
    event->accept();
    if (closed_) return;
    closed_ = true;
    QCoreApplication::quit();
}
