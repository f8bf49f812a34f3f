// Runs a program and plays its user: finds each message box the program
// shows, reads it, and answers it by pressing a button.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace mirrolet::e2e {

struct SeenBox {
  std::wstring title;
  std::wstring text;
  std::vector<int> buttons;  // control ids present among IDOK, IDCANCEL, IDYES, IDNO
  bool icon = false;         // whether an icon is shown
  int answer = 0;            // the button pressed
};

struct Session {
  std::vector<SeenBox> boxes;
  unsigned long exitCode = 0;
  bool timedOut = false;
  bool unexpectedBox = false;  // a box came after the scripted answers ran out
};

// Starts `program` in `folder` and answers its boxes in order with `answers`
// (IDYES, IDNO, IDOK...). A box beyond the script is answered with its safe
// button (No, or OK) and flagged. When `captureStem` is not empty each box is
// saved as <captureStem>-<n>.bmp, exactly as the screen shows it, before it
// is answered. Gives up after `timeoutMs` without progress. `beforeAnswer`,
// when given, is called with each box's number (from 0) while it waits.
Session RunAndAnswer(const std::wstring& program, const std::wstring& folder, const std::vector<int>& answers,
                     const std::wstring& captureStem = L"", unsigned timeoutMs = 30000,
                     const std::function<void(std::size_t box)>& beforeAnswer = {});

// Plays the user of processes already running: answers, in order, the boxes
// of every process for which `ours` holds, until `ended` says the run is over
// (its exitCode is left 0 for the caller to fill in).
Session AnswerBoxes(const std::function<bool(unsigned long processId)>& ours, const std::function<bool()>& ended,
                    const std::vector<int>& answers, const std::wstring& captureStem = L"",
                    unsigned timeoutMs = 30000, const std::function<void(std::size_t box)>& beforeAnswer = {});

// The transcript of a session, one line per box and one for the exit status.
std::wstring Transcript(const Session& session);

}  // namespace mirrolet::e2e
