#include "box_driver.h"

#include <windows.h>

#include <filesystem>
#include <functional>
#include <fstream>

namespace mirrolet::e2e {

namespace {

constexpr int kTextControl = 0xFFFF;  // the static control holding a message box's text
constexpr int kIconControl = 0x440;

struct Search {
  const std::function<bool(DWORD processId)>& ours;
  HWND found;
};

BOOL CALLBACK FindBox(HWND window, LPARAM param) {
  auto& search = *reinterpret_cast<Search*>(param);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  wchar_t className[16] = {};
  GetClassNameW(window, className, 16);
  if (search.ours(owner) && std::wstring(className) == L"#32770" && IsWindowVisible(window)) {
    search.found = window;
    return FALSE;
  }
  return TRUE;
}

std::wstring WindowText(HWND window) {
  if (!window) return {};
  DWORD_PTR length = 0;
  SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length);
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG,
                      2000, &copied);
  text.resize(copied);
  return text;
}

// Whether the box shows an icon. Which icon it is cannot be told from outside
// under Wine (icon handles are the box process's own), so the styles that
// pick the icon are checked through the fake host instead.
bool ShowsIcon(HWND box) {
  const HWND control = GetDlgItem(box, kIconControl);
  return control && IsWindowVisible(control);
}

// Saves what the screen shows inside the box's rectangle as a 24-bit BMP.
void Capture(HWND box, const std::wstring& path) {
  RECT rect;
  GetWindowRect(box, &rect);
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  SelectObject(memory, old);

  BITMAPINFOHEADER info{};
  info.biSize = sizeof info;
  info.biWidth = width;
  info.biHeight = height;
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  const DWORD stride = ((width * 3 + 3) / 4) * 4;
  std::string pixels(stride * height, '\0');
  GetDIBits(memory, bitmap, 0, height, pixels.data(), reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);

  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof info;
  file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
  std::ofstream out(std::filesystem::path(path), std::ios::binary);
  out.write(reinterpret_cast<const char*>(&file), sizeof file);
  out.write(reinterpret_cast<const char*>(&info), sizeof info);
  out.write(pixels.data(), static_cast<std::streamsize>(pixels.size()));
}

}  // namespace

Session AnswerBoxes(const std::function<bool(DWORD processId)>& ours, const std::function<bool()>& ended,
                    const std::vector<int>& answers, const std::wstring& captureStem, unsigned timeoutMs,
                    const std::function<void(std::size_t box)>& beforeAnswer) {
  Session session;
  ULONGLONG lastProgress = GetTickCount64();
  while (!ended()) {
    if (GetTickCount64() - lastProgress > timeoutMs) {
      session.timedOut = true;
      break;
    }
    Search search{ours, nullptr};
    EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
    // A box can be found before it is drawn; wait for its text.
    if (!search.found || WindowText(GetDlgItem(search.found, kTextControl)).empty()) continue;

    SeenBox box;
    box.title = WindowText(search.found);
    box.text = WindowText(GetDlgItem(search.found, kTextControl));
    for (const int id : {IDOK, IDCANCEL, IDYES, IDNO}) {
      if (GetDlgItem(search.found, id)) box.buttons.push_back(id);
    }
    box.icon = ShowsIcon(search.found);
    if (!captureStem.empty()) {
      Sleep(300);  // let the window manager finish drawing it
      Capture(search.found, captureStem + L"-" + std::to_wstring(session.boxes.size() + 1) + L".bmp");
    }

    const std::size_t index = session.boxes.size();
    if (beforeAnswer) beforeAnswer(index);
    const bool yesNo = GetDlgItem(search.found, IDNO) != nullptr;
    box.answer = index < answers.size() ? answers[index] : (yesNo ? IDNO : IDOK);
    session.unexpectedBox = session.unexpectedBox || index >= answers.size();
    // Press the button; closing the box instead would make it return IDCANCEL.
    // The high word stays BN_CLICKED (0): the box returns the whole wParam.
    PostMessageW(search.found, WM_COMMAND, MAKEWPARAM(box.answer, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(search.found, box.answer)));
    session.boxes.push_back(box);
    // The box must go once answered; one that stays is a hang, not a wait.
    const ULONGLONG pressed = GetTickCount64();
    while (IsWindow(search.found) && !ended() && GetTickCount64() - pressed <= timeoutMs) {
    }
    lastProgress = GetTickCount64();
  }
  return session;
}

Session RunAndAnswer(const std::wstring& program, const std::wstring& folder, const std::vector<int>& answers,
                     const std::wstring& captureStem, unsigned timeoutMs,
                     const std::function<void(std::size_t box)>& beforeAnswer) {
  std::wstring commandLine = L"\"" + program + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                      &startup, &process)) {
    Session failed;
    failed.exitCode = ~0ul;
    return failed;
  }
  Session session = AnswerBoxes([&](DWORD id) { return id == process.dwProcessId; },
                                [&] { return WaitForSingleObject(process.hProcess, 10) != WAIT_TIMEOUT; }, answers,
                                captureStem, timeoutMs, beforeAnswer);
  if (session.timedOut) {
    TerminateProcess(process.hProcess, 999);
    WaitForSingleObject(process.hProcess, 5000);
  }
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  session.exitCode = exitCode;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return session;
}

std::wstring Transcript(const Session& session) {
  std::wstring out;
  for (const SeenBox& box : session.boxes) {
    out += L"box [" + box.title + L"] " + box.text + std::wstring(box.icon ? L" | icon" : L" | no icon") + L" buttons=";
    for (const int id : box.buttons) out += id == IDOK ? L"ok " : id == IDCANCEL ? L"cancel " : id == IDYES ? L"yes " : L"no ";
    out += L"| answer=" + std::wstring(box.answer == IDYES ? L"yes" : box.answer == IDNO ? L"no" : L"ok") + L"\n";
  }
  out += session.timedOut ? L"timed out\n" : L"exit " + std::to_wstring(session.exitCode) + L"\n";
  return out;
}

}  // namespace mirrolet::e2e
