#include "QtSurface.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <algorithm>

#include "Tormane.h"

QtWindowsT* QtWindows = nullptr;

void QtSurfaceT::SetStatus(const std::string& text, const std::string& reason) {
    f5_.Memo1->setPlainText(QString::fromStdString(text));
    f5_.Memo1->setToolTip(QString::fromStdString(reason));
    f5_.LabelReason->setText(QString::fromStdString(reason));
    f5_.Memo1->repaint();
    f5_.LabelReason->repaint();
}

void QtSurfaceT::PaintLamps(const std::array<bool, kLampTotal>& on) {
    for (std::size_t i = 0; i < kLampTotal; ++i) {
        f5_.Shapes[i]->SetColor(on[i] ? kLampOn : kLampOff);
        f5_.Shapes[i]->repaint();
    }
}

void QtSurfaceT::PaintUploadLamp(bool on) {
    f5_.Shapes[4]->SetColor(on ? kLampOn : kLampOff);
    f5_.Shapes[4]->repaint();
}

void QtSurfaceT::PrepareProgress(unsigned min, unsigned max) {
    QProgressBar* bar = f5_.ProgressBar1;
    bar->setMaximum(static_cast<int>(max));
    bar->setMinimum(static_cast<int>(min));
    bar->setVisible(true);
    bar->setEnabled(true);
    // One step on from wherever the bar stands.
    bar->setValue(std::min(bar->value() + 1, bar->maximum()));
    bar->repaint();
}

void QtSurfaceT::MoveProgress(int position) {
    QProgressBar* bar = f5_.ProgressBar1;
    bar->setValue(std::clamp(position, bar->minimum(), bar->maximum()));
    bar->repaint();
}

void QtSurfaceT::FillProgress() {
    f5_.ProgressBar1->setValue(f5_.ProgressBar1->maximum());
    f5_.ProgressBar1->repaint();
}

void QtSurfaceT::HideProgress(bool toZero) {
    if (toZero) f5_.ProgressBar1->setValue(0);
    f5_.ProgressBar1->hide();
}

void QtSurfaceT::EnableButton(ButtonT button, bool enabled) { f5_.Button(button)->setEnabled(enabled); }

void QtSurfaceT::StartTimer1(unsigned ms) { f5_.Timer1->start(static_cast<int>(ms)); }

void QtSurfaceT::StopTimer1() { f5_.Timer1->stop(); }

std::optional<std::string> QtSurfaceT::AskRomFile() { return f5_.OpenDialog1(&f5_); }

void QtSurfaceT::RepaintMainWindow() { f5_.repaint(); }

void QtSurfaceT::ShowFatalDialog() {
    f5_.setEnabled(false);
    f4_.setEnabled(true);
    f4_.show();
    f4_.raise();
    f4_.activateWindow();
    f4_.Memo1->setFocus();
}

void QtSurfaceT::SetPortLabel(const std::string& name) { f5_.Label7->setText(QString::fromStdString(name)); }

void QtSurfaceT::ShowMainWindow() {
    f5_.setEnabled(true);
    f5_.show();
    f5_.raise();
    f5_.activateWindow();
}

void QtSurfaceT::HidePortDialog(bool shrinkInstead) {
    if (!shrinkInstead) {
        f1_.hide();
        return;
    }
    f1_.setFixedSize(f1_.width(), 0);
    f1_.setFixedSize(0, 0);
}

void QtSurfaceT::EndProgram() {
    f1_.hide();
    QCoreApplication::quit();
}

bool QtSurfaceT::OnWindowThread() const { return QThread::currentThread() == f5_.thread(); }

void QtSurfaceT::RunOnWindowThread(const std::function<void()>& fn) {
    QMetaObject::invokeMethod(&f5_, fn, Qt::BlockingQueuedConnection);
}

QtWindowsT::QtWindowsT() {
    // The first window made is the program's main window; making the port
    // dialog's workflow chooses COM1.
    form1 = std::make_unique<QtForm1>();
    form4 = std::make_unique<QtForm4>();
    form5 = std::make_unique<QtForm5>();
    surface = std::make_unique<QtSurfaceT>(*form1, *form4, *form5);
    flow1 = std::make_unique<TForm1>(*surface);
    flow4 = std::make_unique<TForm4>(*surface);
    Form1 = flow1.get();
    Form4 = flow4.get();
    flow5 = std::make_unique<TForm5>(*surface);
    Form5 = flow5.get();
    QtWindows = this;
}

QtWindowsT::~QtWindowsT() {
    // The main window's destruction runs the steps of "Exit" once more;
    // the others are gone after it.
    flow5.reset();
    Form5 = nullptr;
    Form4 = nullptr;
    Form1 = nullptr;
    QtWindows = nullptr;
}
