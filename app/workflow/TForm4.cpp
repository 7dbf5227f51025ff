#include "TForm4.h"

#include "TForm1.h"
#include "Tormane.h"

void TForm4::Button1Click() {
    ending_ = true;
    if (Form1 != nullptr) Form1->FormClose();
}

void TForm4::FormClose() {
    if (!ending_) Button1Click();
}
