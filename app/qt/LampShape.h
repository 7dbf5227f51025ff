#pragma once
// A status lamp: a filled circle with a thin black outline.
#include <QColor>
#include <QWidget>

// The two lamp colours: on and off.
inline constexpr QRgb clGreen = 0x008000;
inline constexpr QRgb clWhite = 0xFFFFFF;

class LampShape final : public QWidget {
public:
    explicit LampShape(QWidget* parent);
    void SetColor(QRgb color);
    QRgb Color() const { return color_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QRgb color_ = clWhite;
};
