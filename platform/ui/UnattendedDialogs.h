#pragma once
// Dialogs that nobody can answer. On Qt's offscreen platform (no display), or
// once the program has been asked to end, a message box is not shown: its
// caption and text go to stderr as one line and its default button is taken
// at once, so an unattended run never waits for a click. A file dialog is
// cancelled the same way. On a real display nothing changes until then.

#include "platform/ui/Dialogs.h"

#include <optional>
#include <string>

// True when dialogs are answered without being shown.
bool DialogsUnattended();
// From now on every dialog is answered without being shown (the program is
// ending: a signal asked it to).
void SetDialogsUnattended();

// The one stderr line for a box: "Caption: text", line breaks as blanks.
std::string UnattendedLine(const TMessageRequest& request);
// When unattended: prints the line and answers the default button.
std::optional<TModalResult> AnswerUnattended(const TMessageRequest& request);
