#pragma once
// The main window as Qt draws it: the controls of the layout table, scaled
// from the 120 dpi it was drawn at. It paints what the workflow (TForm5)
// tells it through the surface and hands every click to TForm5.
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>
#include <QWidget>
#include <array>
#include <functional>
#include <optional>
#include <string>

#include "LampShape.h"
#include "WindowSurfaceT.h"

class QtForm5 final : public QWidget {
public:
    QtForm5();

    QFrame* Panel1;
    QLabel* Label7;
    QGroupBox* GroupBox1;
    QFrame* Panel2;
    QTextEdit* Memo1;
    QLabel* LabelReason;  // why the step in the status text failed
    QProgressBar* ProgressBar1;
    QFrame* Panel3;
    std::array<LampShape*, kLampTotal> Shapes{};  // Shape1 .. Shape6
    std::array<QLabel*, kLampTotal> Labels{};     // Label1 .. Label6
    QPushButton* Button1;  // Start
    QPushButton* Button2;  // Connect
    QPushButton* Button3;  // Reset
    QPushButton* Button4;  // Exit
    QPushButton* Button5;  // ROM File
    QPushButton* Button6;  // Restart Receiver
    QTimer* Timer1;
    // The file-open dialog; returns the chosen path, or nothing when the
    // operator cancels. Tests put their own in its place.
    std::function<std::optional<std::string>(QWidget* parent)> OpenDialog1;

    QPushButton* Button(ButtonT b) const;
    // The status text (one message).
    std::string Status() const;

protected:
    void closeEvent(QCloseEvent* event) override;
};
