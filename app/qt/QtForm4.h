#pragma once
// The fatal-error dialog as Qt draws it; "Continue" and its close box go to
// TForm4.
#include <QPushButton>
#include <QTextEdit>
#include <QWidget>

class QtForm4 final : public QWidget {
public:
    QtForm4();

    QTextEdit* Memo1;
    QPushButton* Button1;

protected:
    void closeEvent(QCloseEvent* event) override;
};
