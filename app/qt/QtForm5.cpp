#include "QtForm5.h"

#include <QCloseEvent>
#include <QFileDialog>

#include "PressOnReturn.h"
#include "QtLayout.h"
#include "TForm5.h"
#include "Tormane.h"

namespace {

QFrame* LoweredFrame(QWidget* parent, int x, int y, int w, int h) {
    auto* f = new QFrame(parent);
    f->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    f->setGeometry(MainPx(x), MainPx(y), MainPx(w), MainPx(h));
    return f;
}

QPushButton* MakeButton(QWidget* parent, const char* caption, int x, int w) {
    auto* b = new QPushButton(QString::fromLatin1(caption), parent);
    b->setGeometry(MainPx(x), MainPx(350), MainPx(w), MainPx(41));
    PressOnReturn(b);
    return b;
}

constexpr std::array<const char*, kLampTotal> kLampCaptions{
    "Connection Established", "DAEMON Running", "ROM File Selected",
    "Flash Memory Erased",    "Up Load in Progress", "Up Load Completed"};

}  // namespace

QtForm5::QtForm5() {
    setWindowTitle(QStringLiteral("Zelmo 2.05 (May-11-99)"));
    setFont(MainFont(16));
    // Panel1 fills the client area; the frame around it is the window
    // system's.
    setFixedSize(MainPx(714), MainPx(421));

    Panel1 = LoweredFrame(this, 0, 0, 714, 421);
    Label7 = new QLabel(QStringLiteral("COM 1"), Panel1);
    // Wide enough for "\\.\COM20" whole.
    Label7->setGeometry(MainPx(340), MainPx(10), MainPx(160), MainPx(25));

    GroupBox1 = new QGroupBox(QStringLiteral("Status "), Panel1);
    GroupBox1->setGeometry(MainPx(20), MainPx(30), MainPx(681), MainPx(171));
    Panel2 = LoweredFrame(GroupBox1, 10, 20, 661, 141);
    Memo1 = new QTextEdit(Panel2);
    Memo1->setGeometry(MainPx(10), MainPx(20), MainPx(641), MainPx(41));
    Memo1->setReadOnly(true);
    Memo1->setFocusPolicy(Qt::NoFocus);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->document()->setDefaultTextOption(QTextOption(Qt::AlignHCenter));
    Memo1->setPlainText(QString());
    LabelReason = new QLabel(Panel2);
    LabelReason->setGeometry(MainPx(10), MainPx(62), MainPx(641), MainPx(26));
    LabelReason->setAlignment(Qt::AlignCenter);
    LabelReason->setFocusPolicy(Qt::NoFocus);
    ProgressBar1 = new QProgressBar(Panel2);
    ProgressBar1->setGeometry(MainPx(10), MainPx(90), MainPx(641), MainPx(41));
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);

    Panel3 = LoweredFrame(Panel1, 20, 210, 681, 111);
    for (std::size_t i = 0; i < kLampTotal; ++i) {
        const int x = std::array{20, 250, 460}[i / 2];
        const int y = i % 2 == 0 ? 20 : 60;
        Shapes[i] = new LampShape(Panel3);
        Shapes[i]->setGeometry(MainPx(x), MainPx(y), MainPx(21), MainPx(21));
        Labels[i] = new QLabel(QString::fromLatin1(kLampCaptions[i]), Panel3);
        Labels[i]->setGeometry(MainPx(x + 30), MainPx(y - 2), MainPx(190), MainPx(25));
    }
    // A hint the operator is not shown.
    Labels[0]->setWhatsThis(QStringLiteral("Indicating whether or not the connection to target is established"));

    Button1 = MakeButton(Panel1, "Start", 20, 111);
    Button2 = MakeButton(Panel1, "Connect", 150, 101);
    Button3 = MakeButton(Panel1, "Reset", 260, 101);
    Button5 = MakeButton(Panel1, "ROM File", 370, 101);
    Button6 = MakeButton(Panel1, "Restart Receiver", 480, 111);
    Button4 = MakeButton(Panel1, "Exit", 600, 101);
    Button6->setFont(MainFont(15));
    Button2->setEnabled(false);
    Button3->setEnabled(false);
    setTabOrder(Button1, Button2);
    setTabOrder(Button2, Button3);
    setTabOrder(Button3, Button4);
    setTabOrder(Button4, Button5);
    setTabOrder(Button5, Button6);
    connect(Button1, &QPushButton::clicked, this, [] { Form5->Button1Click(); });
    connect(Button2, &QPushButton::clicked, this, [] { Form5->Button2Click(); });
    connect(Button3, &QPushButton::clicked, this, [] { Form5->Button3Click(); });
    connect(Button4, &QPushButton::clicked, this, [] { Form5->Button4Click(); });
    connect(Button5, &QPushButton::clicked, this, [] { Form5->Button5Click(); });
    connect(Button6, &QPushButton::clicked, this, [] { Form5->Button6Click(); });

    Timer1 = new QTimer(this);
    Timer1->setSingleShot(true);
    connect(Timer1, &QTimer::timeout, this, [] { Form5->Timer1Timer(); });

    OpenDialog1 = [](QWidget* parent) -> std::optional<std::string> {
        const QString name = QFileDialog::getOpenFileName(parent, QString(), QString(),
                                                          QStringLiteral("ROM File (*.rom);;All Files (*.*)"));
        if (name.isEmpty()) return std::nullopt;
        return name.toStdString();
    };
    CentreOnScreen(*this);
}

QPushButton* QtForm5::Button(ButtonT b) const {
    switch (b) {
        case ButtonT::Start: return Button1;
        case ButtonT::Connect: return Button2;
        case ButtonT::Reset: return Button3;
        case ButtonT::Exit: return Button4;
        case ButtonT::RomFile: return Button5;
        case ButtonT::Restart: return Button6;
    }
    return Button4;
}

std::string QtForm5::Status() const { return Memo1->toPlainText().toStdString(); }

void QtForm5::closeEvent(QCloseEvent* event) {
    event->accept();
    if (Form5 != nullptr) Form5->FormClose();
}
