#include "TForm4.h"

#include <QCloseEvent>
#include <QString>

#include "TForm1.h"
#include "Tormane.h"

TForm4::TForm4() {
    setWindowTitle(QString());
    setFont(FormFont(11));
    resize(307, 178);

    Memo1 = new QTextEdit(this);
    Memo1->setGeometry(0, 0, 307, 97);
    Memo1->document()->setDefaultTextOption(QTextOption(Qt::AlignHCenter));
    // The box shows the text's line ends as line breaks.
    Memo1->setPlainText(QString::fromLatin1(kFatalMessage).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));

    Button1 = new QPushButton(QStringLiteral("Continue"), this);
    Button1->setGeometry(112, 112, 97, 33);
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    setTabOrder(Memo1, Button1);
    CentreOnScreen(*this);
}

void TForm4::Button1Click() {
    ending_ = true;
    Form1->close();
}

void TForm4::closeEvent(QCloseEvent* event) {
    event->accept();
    if (!ending_) Button1Click();
}
