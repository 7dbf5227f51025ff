// Takes the pictures of the window for the README: the real program on the
// simulated board, driven from inside, each window grabbed as drawn.
//
//   zelmo-screenshots OUTDIR success   port dialog, mid-upload, completed
//   zelmo-screenshots OUTDIR fatal     three failed connects, fatal dialog
#include <QDir>
#include <QPixmap>
#include <QTimer>
#include <cstdio>
#include <random>
#include <string>

#include "QtSurface.h"
#include "StatusTexts.h"
#include "SxFile.h"
#include "TormaneMain.h"
#include "Tormane.h"

namespace {

QString gOut;

void Save(QWidget* window, const char* name) {
    const QString path = QDir(gOut).filePath(QString::fromLatin1(name));
    if (!window->grab().save(path)) std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    else std::printf("%s\n", qPrintable(path));
}

// A ROM large enough for the bar to be caught half-way: 8 KiB of random data.
std::string WriteDemoRom() {
    const std::string path = QDir(gOut).filePath(QStringLiteral("demo-rom.s37")).toStdString();
    SXFILE_T out(path.c_str(), kModeOut | kModeTrunc);
    std::mt19937 random(2);
    for (std::uint32_t a = 0x400000; a < 0x402000; a += 16) {
        std::array<std::uint8_t, 16> data{};
        for (auto& b : data) b = static_cast<std::uint8_t>(random());
        out.WriteRecord(a, 16, data.data(), '3');
    }
    out.WriteRecord(0x400000, 0, nullptr, '7');
    return path;
}

// Calls step every 20 ms until it returns true.
void Every20ms(std::function<bool()> step) {
    auto* t = new QTimer(QtWindows->form5.get());
    QObject::connect(t, &QTimer::timeout, [t, step] {
        if (step()) t->stop();
    });
    t->start(20);
}

void Success() {
    const std::string rom = WriteDemoRom();
    QtForm5* window = QtWindows->form5.get();
    Save(QtWindows->form1.get(), "port-dialog.png");
    Form1->Button1Click();
    window->OpenDialog1 = [rom](QWidget*) { return std::optional<std::string>(rom); };
    Form5->Button1Click();
    Every20ms([rom, window, middle = false]() mutable {
        const std::string s = Form5->Status();
        if (!middle && s == "Loading " + rom && window->ProgressBar1->value() * 2 > window->ProgressBar1->maximum()) {
            Save(window, "main-uploading.png");
            middle = true;
        }
        if (s != status::kLoadCompleted || !Form5->WorkersIdle()) return false;
        Save(window, "main-completed.png");
        std::remove(rom.c_str());
        Form5->Button4Click();
        return true;
    });
}

void Fatal() {
    Form1->Button1Click();
    Form5->Button1Click();
    Every20ms([] {
        if (!Form5->WorkersIdle() || !Form5->ButtonEnabled(ButtonT::Reset)) return false;
        Form5->Button3Click();
        if (QtWindows->form4->isVisible()) {
            Save(QtWindows->form5.get(), "main-attempts-used.png");
            Save(QtWindows->form4.get(), "fatal-error.png");
            Form4->Button1Click();
            return true;
        }
        Form5->Button2Click();
        return false;
    });
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: zelmo-screenshots OUTDIR success|fatal\n");
        return 2;
    }
    gOut = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(gOut);
    const std::string scene = argv[2];
    char name[] = "zelmo";
    char simulate[] = "--simulate";
    char realTime[] = "--sim-real-time";
    char device[] = "--device";
    char nowhere[] = "/dev/zelmo-no-such-port";
    std::vector<char*> args{name};
    if (scene == "success") args.insert(args.end(), {simulate, realTime});
    else args.insert(args.end(), {device, nowhere});
    args.push_back(nullptr);
    int n = static_cast<int>(args.size()) - 1;
    return TormaneMain(n, args.data(), scene == "success" ? Success : Fatal);
}
