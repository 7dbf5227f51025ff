#pragma once
// A status lamp: a filled circle with a thin black outline.
#include <QColor>
#include <QWidget>

class LampShape final : public QWidget {
public:
    explicit LampShape(QWidget* parent);
    // 0xRRGGBB.
    void SetColor(unsigned color);
    unsigned Color() const { return color_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    unsigned color_ = 0xFFFFFF;
};
