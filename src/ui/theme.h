#pragma once
class QApplication;

// The look: the "Fusion" style, the dark palette, the application style sheet and the icon.
void applyTheme(QApplication &app);
