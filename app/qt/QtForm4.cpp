#include "QtForm4.h"

#include <QCloseEvent>
#include <QString>

#include "PressOnReturn.h"
#include "QtLayout.h"
#include "TForm4.h"
#include "Tormane.h"

QtForm4::QtForm4() {
    setWindowTitle(QString());
    setFont(DialogFont(11));
    resize(DialogPx(307), DialogPx(178));

    Memo1 = new QTextEdit(this);
    Memo1->setGeometry(0, 0, DialogPx(307), DialogPx(97));
    Memo1->document()->setDefaultTextOption(QTextOption(Qt::AlignHCenter));
    // Tab moves on to "Continue" instead of typing a tab.
    Memo1->setTabChangesFocus(true);
    // The box shows the text's line ends as line breaks.
    Memo1->setPlainText(QString::fromLatin1(kFatalMessage).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));

    Button1 = new QPushButton(QStringLiteral("Continue"), this);
    Button1->setGeometry(DialogPx(112), DialogPx(112), DialogPx(97), DialogPx(33));
    PressOnReturn(Button1);
    connect(Button1, &QPushButton::clicked, this, [] { Form4->Button1Click(); });
    setTabOrder(Memo1, Button1);
    CentreOnScreen(*this);
}

void QtForm4::closeEvent(QCloseEvent* event) {
    event->accept();
    if (Form4 != nullptr) Form4->FormClose();
}
