#include "TForm5.h"

#include "TForm5View.h"

#include <QCloseEvent>
#include <QFileDialog>

#include "RomUpload.h"
#include "TForm1.h"
#include "TForm4.h"
#include "Target.h"
#include "Tormane.h"

std::string RomFileName;
std::shared_ptr<WorkerT> UploadThread;
std::shared_ptr<WorkerT> ConnectThread;
bool UploadLampToggle = false;

namespace {

QFrame* LoweredFrame(QWidget* parent, int x, int y, int w, int h) {
    auto* f = new QFrame(parent);
    f->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    f->setGeometry(x, y, w, h);
    return f;
}

QPushButton* MakeButton(QWidget* parent, const char* caption, int x, int w) {
    auto* b = new QPushButton(QString::fromLatin1(caption), parent);
    b->setGeometry(x, 350, w, 41);
    return b;
}

constexpr std::array<const char*, kLampCount> kLampCaptions{
    "Connection Established", "DAEMON Running", "ROM File Selected",
    "Flash Memory Erased",    "Up Load in Progress", "Up Load Completed"};

}  // namespace

TForm5::TForm5() {
    setWindowTitle(QStringLiteral("Zelmo 2.05 (May-11-99)"));
    setFont(FormFont(16));
    setFixedSize(722, 450);

    Panel1 = LoweredFrame(this, 0, 0, 714, 421);
    Label7 = new QLabel(QStringLiteral("COM 1"), Panel1);
    Label7->setGeometry(340, 10, 65, 25);

    GroupBox1 = new QGroupBox(QStringLiteral("Status "), Panel1);
    GroupBox1->setGeometry(20, 30, 681, 171);
    Panel2 = LoweredFrame(GroupBox1, 10, 20, 661, 141);
    Memo1 = new QTextEdit(Panel2);
    Memo1->setGeometry(10, 20, 641, 41);
    Memo1->setReadOnly(true);
    Memo1->setFocusPolicy(Qt::NoFocus);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->document()->setDefaultTextOption(QTextOption(Qt::AlignHCenter));
    Memo1->setPlainText(QString());
    ProgressBar1 = new QProgressBar(Panel2);
    ProgressBar1->setGeometry(10, 90, 641, 41);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);

    Panel3 = LoweredFrame(Panel1, 20, 210, 681, 111);
    for (std::size_t i = 0; i < kLampCount; ++i) {
        const int x = std::array{20, 250, 460}[i / 2];
        const int y = i % 2 == 0 ? 20 : 60;
        Shapes[i] = new LampShape(Panel3);
        Shapes[i]->move(x, y);
        Labels[i] = new QLabel(QString::fromLatin1(kLampCaptions[i]), Panel3);
        Labels[i]->setGeometry(x + 30, y - 2, 190, 25);
    }
    // A hint the operator is not shown.
    Labels[0]->setWhatsThis(QStringLiteral("Indicating whether or not the connection to target is established"));

    Button1 = MakeButton(Panel1, "Start", 20, 111);
    Button2 = MakeButton(Panel1, "Connect", 150, 101);
    Button3 = MakeButton(Panel1, "Reset", 260, 101);
    Button5 = MakeButton(Panel1, "ROM File", 370, 101);
    Button6 = MakeButton(Panel1, "Restart Receiver", 480, 111);
    Button4 = MakeButton(Panel1, "Exit", 600, 101);
    Button6->setFont(FormFont(15));
    Button2->setEnabled(false);
    Button3->setEnabled(false);
    setTabOrder(Button1, Button2);
    setTabOrder(Button2, Button3);
    setTabOrder(Button3, Button4);
    setTabOrder(Button4, Button5);
    setTabOrder(Button5, Button6);
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
    connect(Button3, &QPushButton::clicked, this, [this] { Button3Click(); });
    connect(Button4, &QPushButton::clicked, this, [this] { Button4Click(); });
    connect(Button5, &QPushButton::clicked, this, [this] { Button5Click(); });
    connect(Button6, &QPushButton::clicked, this, [this] { Button6Click(); });

    Timer1 = new QTimer(this);
    Timer1->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });

    OpenDialog1 = [](QWidget* parent) -> std::optional<QString> {
        const QString name = QFileDialog::getOpenFileName(parent, QString(), QString(),
                                                          QStringLiteral("ROM File (*.rom);;All Files (*.*)"));
        if (name.isEmpty()) return std::nullopt;
        return name;
    };

    Attempts = 0;
    RomFileName.clear();
    ErasedLamp = RomFileLamp = AutoStarted = false;
    ClearLampStates();
    CentreOnScreen(*this);
    MakeView();
}

TForm5::~TForm5() {
    // The window's destruction runs the steps of "Exit" once more.
    Button4Click();
}

void TForm5::RefreshLamps() {
    for (std::size_t i = 0; i < kLampCount; ++i) {
        Shapes[i]->SetColor(Lamps[i] ? clGreen : clWhite);
        Shapes[i]->repaint();
    }
}

void TForm5::ClearLampStates() {
    DaemonLamp = UploadingLamp = CompletedLamp = ConnectionLamp = false;
    ProgressShown = false;
    RefreshLamps();
}

void TForm5::ShowProgress(std::uint16_t min, std::uint16_t max) {
    ProgressBar1->setMaximum(max);
    ProgressBar1->setMinimum(min);
    ProgressBar1->setVisible(true);
    ProgressBar1->setEnabled(true);
    // One step on from wherever the bar stands.
    ProgressBar1->setValue(std::min(ProgressBar1->value() + 1, ProgressBar1->maximum()));
    ProgressBar1->repaint();
    ProgressShown = true;
}

void TForm5::ToggleUploadLamp() {
    // Blinks the lamp without touching its state: the next RefreshLamps
    // paints it from the state again.
    Shapes[4]->SetColor(UploadLampToggle ? clWhite : clGreen);
    UploadLampToggle = !UploadLampToggle;
    Shapes[4]->repaint();
}

QString TForm5::Status() const { return Memo1->toPlainText(); }

void TForm5::SetStatus(const QString& text) {
    Memo1->setPlainText(text);
    Memo1->repaint();
}

void TForm5::Button1Click() { StartConnectWorker(); }

void TForm5::Button2Click() {
    if (Attempts > 3) {
        ShowFatalError();
        return;
    }
    // Runs on this thread; each report is painted as it is made.
    if (RunConnect() == ConnectOutcomeT::Busy) return;
    Button2->setEnabled(false);
    ++Attempts;
}

void TForm5::Button3Click() {
    if (ProgressShown) {
        ProgressBar1->hide();
        ProgressShown = false;
    }
    ConnectionLamp = DaemonLamp = ErasedLamp = false;
    ClearLampStates();
    if (Attempts >= 3) {
        ShowFatalError();
    } else {
        Button2->setEnabled(true);
        ++Attempts;
    }
    RefreshLamps();
    Button3->setEnabled(false);
}

void TForm5::ShowFatalError() {
    setEnabled(false);
    Form4->setEnabled(true);
    Form4->show();
    Form4->raise();
    Form4->activateWindow();
    Form4->Memo1->setFocus();
}

void TForm5::Button4Click() {
    if (exiting_) return;
    exiting_ = true;
    // The workers are abandoned, never waited for: their reports are
    // dropped from now on and the program ends around them.
    abandoned_ = true;
    if (Form1 != nullptr) Form1->close();
}

void TForm5::Button5Click() {
    if (ProgressShown) {
        ProgressBar1->hide();
        ProgressShown = false;
    }
    SetStatus(QStringLiteral(" "));
    repaint();
    const std::optional<QString> chosen = OpenDialog1(this);
    if (!chosen) return;
    RomFileName = chosen->toStdString();
    if (!RomFileName.empty()) {
        RomFileLamp = true;
        RefreshLamps();
        StartUpload();
    }
    repaint();
    if (!CommandLine.empty() && !AutoStarted) {
        AutoStarted = true;
        Button1Click();
    }
}

void TForm5::Button6Click() { RestartReceiver(kRestartAddress); }

void TForm5::Timer1Timer() {
    Timer1->stop();
    StartUpload();
}

void TForm5::FormClose() { Button4Click(); }

void TForm5::closeEvent(QCloseEvent* event) {
    event->accept();
    FormClose();
}
