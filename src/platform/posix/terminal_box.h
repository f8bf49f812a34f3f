// The stand-in's message boxes: the text on standard error, the answer typed
// on standard input.
#pragma once

#include <string>

namespace mirrolet::posix {

// Shows a box as ShowMessageBox does and returns the button chosen: OK boxes
// wait for Enter on a terminal only; a Yes/No box asks until the answer is
// one, and reads the end of input as No.
int ShowTerminalBox(const std::wstring& text, const std::wstring& title, unsigned style);

}  // namespace mirrolet::posix
