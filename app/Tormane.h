#pragma once
// What the three windows share: the program's command line and the windows
// themselves, which reach each other through these pointers.
#include <string>

class TForm1;
class TForm4;
class TForm5;

// The command line without the program name and without the options this
// program takes for itself; only its first character and whether it is
// empty matter.
extern std::string CommandLine;

extern TForm1* Form1;  // port selection; closing it ends the program
extern TForm4* Form4;  // fatal error
extern TForm5* Form5;  // main window

// Centres a window on the screen it will show on.
class QWidget;
void CentreOnScreen(QWidget& window);
// The windows' font at a pixel height: a sans serif with the narrow metrics
// the layout was drawn for, where one is installed.
class QFont;
QFont FormFont(int pixels);
