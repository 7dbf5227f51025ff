#pragma once
// Return and Enter press the focused button, as they do on Windows; Qt
// leaves that to dialogs' default buttons.
class QPushButton;
void PressOnReturn(QPushButton* button);
