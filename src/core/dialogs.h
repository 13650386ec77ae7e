#pragma once
// Message boxes that never hang a scripted run: without a display (the offscreen platform), or in
// a development build with ORX_AUTO_CLOSE_DIALOGS=1, each box is written to standard error with
// its title and text and closes by itself after a short delay (300 ms; a development build takes
// ORX_AUTO_CLOSE_MS), answering with its default button.

#include <QMessageBox>

bool dialogsCloseThemselves();

// Arms a dialog that is about to run: in scripted runs it prints "dialog: <title>: <text>" and
// closes itself after the delay. Use for any modal dialog the launcher opens.
void armScriptedDialog(QDialog *dialog, const QString &title, const QString &text);

QMessageBox::StandardButton showMessageBox(QWidget *parent, QMessageBox::Icon icon, const QString &title,
                                           const QString &text,
                                           QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                           QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);

// A dialog with word-wrapped texts: its minimum height follows its width (the height its layout
// needs at that width), so making it narrower or switching what it shows never squeezes a text,
// field or button. Qt leaves a window's height for its width to the window.
void keepWrappedTextWhole(QDialog *dialog);
