#include "QtForm1.h"

#include <QCloseEvent>
#include <QTimer>

#include "PortNames.h"
#include "PressOnReturn.h"
#include "QtLayout.h"
#include "TForm1.h"
#include "Tormane.h"

namespace {
// Caption of radio button n: four blanks, and no blank before the first digit.
QString Caption(int n) { return n == 1 ? QStringLiteral("    COMM1") : QStringLiteral("    COMM %1").arg(n); }
}  // namespace

QtForm1::QtForm1() {
    setWindowTitle(QStringLiteral("COMM"));
    setFont(DialogFont(11));
    setFixedSize(DialogPx(407), DialogPx(273));

    GroupBox1 = new QGroupBox(QStringLiteral("COM Port Select"), this);
    GroupBox1->setGeometry(DialogPx(8), DialogPx(16), DialogPx(393), DialogPx(185));
    for (int n = 1; n <= 20; ++n) {
        auto* b = new QRadioButton(Caption(n), GroupBox1);
        QRect at;
        if (n == 1) at = {8, 16, 73, 33};
        else if (n == 2) at = {8, 48, 105, 25};
        else {
            const int column = (n - 3) / 6;  // 3..8, 9..14, 15..20
            const int row = (n - 3) % 6;
            at = {std::array{96, 192, 280}[static_cast<std::size_t>(column)], 24 + 24 * row, 105, 25};
        }
        b->setGeometry(DialogPx(at.x()), DialogPx(at.y()), DialogPx(at.width()), DialogPx(at.height()));
        connect(b, &QRadioButton::clicked, this, [n] { Form1->RadioButtonClick(n); });
        RadioButtons[static_cast<std::size_t>(n - 1)] = b;
    }
    RadioButtons[0]->setChecked(true);

    Button1 = new QPushButton(QStringLiteral("OK"), this);
    Button1->setGeometry(DialogPx(176), DialogPx(224), DialogPx(73), DialogPx(33));
    PressOnReturn(Button1);
    connect(Button1, &QPushButton::clicked, this, [] { Form1->Button1Click(); });

    // "OK" first, then the ports in order; the dialog opens on "OK".
    setTabOrder(Button1, RadioButtons[0]);
    for (std::size_t i = 1; i < RadioButtons.size(); ++i) setTabOrder(RadioButtons[i - 1], RadioButtons[i]);
    Button1->setFocus();
    RefreshPortHints();
    CentreOnScreen(*this);
}

void QtForm1::RefreshPortHints() {
    for (int i = 0; i < kPortCount; ++i) {
        const std::string device = PortDevice(i);
        RadioButtons[static_cast<std::size_t>(i)]->setToolTip(
            device.empty() ? QStringLiteral("%1: no serial device is present for this port").arg(PortNames[i])
                           : QStringLiteral("%1 reaches %2").arg(PortNames[i], QString::fromStdString(device)));
    }
}

void QtForm1::Activated() {
    activatedOnce_ = true;
    if (Form1 != nullptr) Form1->FormActivate();
}

void QtForm1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // With no window manager the dialog may never be told that it became
    // active: its first showing then counts as its activation.
    if (!activatedOnce_)
        QTimer::singleShot(0, this, [this] {
            if (!activatedOnce_ && isVisible()) Activated();
        });
}

void QtForm1::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::ActivationChange || !isActiveWindow()) return;
    // The first activation that the window system reports is the one the
    // first showing already stood for.
    const bool first = !sawActivation_;
    sawActivation_ = true;
    if (first && activatedOnce_) return;
    Activated();
}

void QtForm1::closeEvent(QCloseEvent* event) {
    event->accept();
    if (Form1 != nullptr) Form1->FormClose();
}
