#include "QtLayout.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <cmath>

namespace {

double ScreenDpi() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->logicalDotsPerInch() : 96.0;
}

int Scaled(int length, double drawnAt) { return static_cast<int>(std::lround(length * ScreenDpi() / drawnAt)); }

// A font whose character cell (ascent and descent) is the table's height,
// as the tables count a font's height.
QFont FontOf(int pixels) {
    QFont f(QStringLiteral("Liberation Sans"));
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(std::max(1, pixels));
    const int cell = QFontMetrics(f).height();
    if (cell > pixels) f.setPixelSize(std::max(1, static_cast<int>(std::lround(1.0 * pixels * pixels / cell))));
    return f;
}

}  // namespace

int MainPx(int at120dpi) { return Scaled(at120dpi, 120.0); }
int DialogPx(int at96dpi) { return Scaled(at96dpi, 96.0); }
QFont MainFont(int pixelsAt120dpi) { return FontOf(MainPx(pixelsAt120dpi)); }
QFont DialogFont(int pixelsAt96dpi) { return FontOf(DialogPx(pixelsAt96dpi)); }

void CentreOnScreen(QWidget& window) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) return;
    QRect frame = window.frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window.move(frame.topLeft());
}
