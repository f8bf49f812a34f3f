#include "platform/posix/terminal_box.h"

#include <unistd.h>

#include <cwctype>
#include <iostream>

#include "base/name_fold.h"
#include "platform/platform.h"
#include "platform/posix/locale_text.h"

namespace mirrolet::posix {

int ShowTerminalBox(const std::wstring& text, const std::wstring& title, unsigned style) {
  std::cerr << "\n[" << ForTerminal(title) << "]\n" << ForTerminal(text) << "\n";
  if ((style & 0x0F) != kMbYesNo) {
    std::cerr << kOkPrompt << std::flush;
    if (::isatty(STDIN_FILENO)) {
      std::string line;
      std::getline(std::cin, line);
    } else {
      std::cerr << "\n";
    }
    return kIdOk;
  }
  for (;;) {
    std::cerr << kYesNoPrompt << std::flush;
    std::string line;
    if (!std::getline(std::cin, line)) {
      std::cerr << "\n";
      return kIdNo;  // no one left to ask
    }
    std::wstring answer = FromTerminal(line);
    while (!answer.empty() && std::iswspace(static_cast<wint_t>(answer.back()))) answer.pop_back();
    while (!answer.empty() && std::iswspace(static_cast<wint_t>(answer.front()))) answer.erase(0, 1);
    answer = FoldName(answer);
    if (answer == L"Y" || answer == L"YES" || answer == L"是") return kIdYes;
    if (answer == L"N" || answer == L"NO" || answer == L"否") return kIdNo;
  }
}

}  // namespace mirrolet::posix
