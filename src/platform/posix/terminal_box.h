// The stand-in's message boxes: the text on standard error, the answer typed
// on standard input.
#pragma once

#include <string>

namespace mirrolet::posix {

// What ends a box on the terminal, in UTF-8: the OK button, or the question
// of a Yes/No box, asked again after each answer that is neither.
inline constexpr char kOkPrompt[] = "[確定]";
inline constexpr char kYesNoPrompt[] = "[是(Y)/否(N)] ";

// Shows a box as ShowMessageBox does and returns the button chosen: OK boxes
// wait for Enter on a terminal only; a Yes/No box asks until the answer is
// one, and reads the end of input as No.
int ShowTerminalBox(const std::wstring& text, const std::wstring& title, unsigned style);

}  // namespace mirrolet::posix
