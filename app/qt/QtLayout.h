#pragma once
// How the layout tables' pixels become the screen's: the main window's
// table was drawn at 120 dpi, the dialogs' at 96 dpi.
#include <QFont>

class QWidget;

// A table's length at the screen's DPI.
int MainPx(int at120dpi);
int DialogPx(int at96dpi);
// The windows' font at a table's pixel height: a sans serif with the narrow
// metrics the layout was drawn for, where one is installed.
QFont MainFont(int pixelsAt120dpi);
QFont DialogFont(int pixelsAt96dpi);
// Centres a window on the screen it will show on.
void CentreOnScreen(QWidget& window);
