// The command line: one row per command, each with its usage, its options and
// what it does with its arguments.
#include <algorithm>
#include <iterator>

#include "pack/bundle.h"
#include "pack/pack.h"
#include "pack/pack_host.h"
#include "pack/tree.h"
#include "version.h"

namespace mirrolet::pack {

namespace fs = std::filesystem;

namespace {

constexpr wchar_t kCheckUsage[] =
    L"usage: mirrolet-pack check FOLDER|BUNDLE [--code-page N] [--exe NAME]\n"
    L"       [--allow KIND,...] [--strict] [--json]\n"
    L"Reads FOLDER/mirrolet.ini (or, once its checksums match, the one a bundle carries) as MirroletV2.exe\n"
    L"reads it on a Windows whose ANSI code page is N (default 950), prints the entries it will copy and\n"
    L"every finding with its line. --exe NAME: FOLDER's program is NAME, not MirroletV2.exe.\n"
    L"Exit status: 0 clean, 1 warnings only, 2 errors.\n"
    L"--allow KIND,... accepts findings of those kinds: warnings, and link-outside (a link that leads\n"
    L"out of the folder); --strict makes every other warning an error;\n"
    L"--json prints the plan and the findings as one JSON document (any command).\n";
constexpr wchar_t kBuildUsage[] =
    L"usage: mirrolet-pack build SOURCE_TREE OUT_FOLDER [--exe PATH] [--code-page N] [--exclude PATTERN]...\n"
    L"       [--allow KIND,...] [--strict] [--json]\n"
    L"Makes an update folder from SOURCE_TREE, laid out like the product folder: copies every file,\n"
    L"writes mirrolet.ini in code page N (default 950) with one entry per file, copies the program\n"
    L"given with --exe beside it, and checks the result. OUT_FOLDER must be empty or absent; it is\n"
    L"written only when the check finds no error. Left out, and listed: version-control folders,\n"
    L".DS_Store, Thumbs.db, desktop.ini, editor backups and lock files, and what each --exclude\n"
    L"PATTERN matches (* and ?; against each name, or the whole path when it holds / or \\).\n"
    L"Exit status: 0 clean, 1 written with warnings, 2 refused or failed.\n";
constexpr wchar_t kBundleUsage[] =
    L"usage: mirrolet-pack bundle FOLDER OUT [--exe PATH] [--code-page N] [--force]\n"
    L"       [--allow KIND,...] [--strict] [--json]\n"
    L"Checks the update folder FOLDER and writes OUT: the program (--exe, else FOLDER's MirroletV2.exe)\n"
    L"followed by mirrolet.ini and every file the list names, each with its SHA-256. A signature on the\n"
    L"program is removed: sign OUT instead. Refused when the check finds an error, when OUT exists (unless\n"
    L"--force) and past 4 GiB. check OUT verifies it.\n"
    L"Exit status: 0 clean, 1 written with warnings, 2 refused or failed.\n";

// A command and its arguments once its options are read.
struct Invocation {
  std::wstring command;
  std::vector<fs::path> positional;
  fs::path program;  // --exe
  unsigned codePage = kDefaultCodePage;
  PackOptions options;
};

ExitCode CheckCommand(const Invocation& arguments);
ExitCode BuildCommand(const Invocation& arguments);
ExitCode BundleCommand(const Invocation& arguments) {
  return Bundle(arguments.positional[0], arguments.positional[1], arguments.program, arguments.codePage,
                arguments.options);
}

struct Command {
  const wchar_t* name;
  const wchar_t* usage;
  std::size_t positional;  // how many arguments it takes
  bool takesExe;
  ExitCode (*run)(const Invocation&);
};

constexpr Command kCommands[] = {
    {L"check", kCheckUsage, 1, true, CheckCommand},
    {L"build", kBuildUsage, 2, true, BuildCommand},
    {L"bundle", kBundleUsage, 2, true, BundleCommand},
};

ExitCode Usage(const std::wstring& problem, const std::wstring& command) {
  Write(true, L"mirrolet-pack: " + problem + L" (see: mirrolet-pack " + command + (command.empty() ? L"" : L" ") +
                  L"--help)\n");
  return kExitFailed;
}

ExitCode Help() {
  std::wstring text = L"mirrolet-pack: makes and checks the update folders MirroletV2.exe runs from.\n"
                      L"mirrolet-pack --version prints its version; COMMAND --help the command's usage.\n";
  for (const Command& command : kCommands) text += L"\n" + std::wstring(command.usage);
  Write(false, text);
  return kExitClean;
}

// Reads the value of --allow into `policy`; false after printing why it is refused.
bool Allow(const std::wstring& kinds, const std::wstring& command, Policy& policy) {
  std::wstring allowable;
  for (const Kind kind : AllKinds()) {
    if (Allowable(kind)) allowable += (allowable.empty() ? L"" : L", ") + std::wstring(KindName(kind));
  }
  for (std::size_t start = 0; start <= kinds.size();) {
    const std::size_t comma = std::min(kinds.find(L',', start), kinds.size());
    const std::wstring name = kinds.substr(start, comma - start);
    start = comma + 1;
    const std::vector<Kind> all = AllKinds();
    const auto kind = std::find_if(all.begin(), all.end(), [&](Kind k) { return name == KindName(k); });
    if (kind == all.end() || !Allowable(*kind)) {
      Usage(L"--allow takes warning kinds and link-outside, not " + Quote(name) +
                (kind == all.end() ? L"" : L", which is an error") + L"; the kinds it takes are " + allowable,
            command);
      return false;
    }
    policy.allowed.insert(*kind);
  }
  return true;
}

// Reads the value of --code-page; nothing after printing why it is refused.
std::optional<unsigned> CodePage(const std::wstring& number, const std::wstring& command) {
  const bool digits = !number.empty() && number.size() <= 5 &&
                      std::all_of(number.begin(), number.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
  const unsigned codePage = digits ? static_cast<unsigned>(std::stoul(number)) : 0;
  const std::wstring accepted = L"such as 950 (Big5, the default), 936, 1252 or 65001 (UTF-8)";
  if (codePage == 0 || codePage > 65535) {
    Usage(L"--code-page takes a Windows code page number from 1 to 65535, " + accepted + L", not " + Quote(number),
          command);
    return std::nullopt;
  }
  if (!CodePageKnown(codePage)) {
    Usage(L"code page " + number + L" is not known on this machine; it knows the Windows code pages, " + accepted,
          command);
    return std::nullopt;
  }
  return codePage;
}

// Reads the options and positional arguments after the command. Returns the
// exit status when it has printed help or a usage error instead.
std::optional<ExitCode> ReadArguments(const std::vector<fs::path>& words, const Command& command, Invocation& arguments) {
  for (std::size_t i = 1; i < words.size(); ++i) {
    const std::wstring word = Text(words[i]);
    const std::size_t equals = word.find(L'=');
    const std::wstring option = word.rfind(L"--", 0) == 0 ? word.substr(0, equals) : L"";
    if (option == L"--help" || word == L"-h" || SlashHelp(word)) {
      Write(false, command.usage);
      return kExitClean;
    }
    if (word == L"--strict" || word == L"--json" || (word == L"--force" && command.run == BundleCommand)) {
      (word == L"--json" ? arguments.options.json
                         : word == L"--force" ? arguments.options.force : arguments.options.policy.strict) = true;
      continue;
    }
    if (option.empty()) {
      arguments.positional.push_back(words[i]);
      continue;
    }
    if (option != L"--code-page" && option != L"--allow" && (option != L"--exe" || !command.takesExe) &&
        (option != L"--exclude" || command.run != BuildCommand)) {
      return Usage(L"unknown option " + option, arguments.command);
    }
    fs::path value;
    if (equals != std::wstring::npos) {
      value = NamePath(word.substr(equals + 1));
    } else if (++i < words.size()) {
      value = words[i];
    } else {
      return Usage(option + L" needs a value", arguments.command);
    }
    if (option == L"--exe") {
      arguments.program = value;
      continue;
    }
    if (option == L"--exclude") {
      arguments.options.excludes.push_back(Text(value));
      continue;
    }
    if (option == L"--allow") {
      if (!Allow(Text(value), arguments.command, arguments.options.policy)) return kExitFailed;
      continue;
    }
    const std::optional<unsigned> codePage = CodePage(Text(value), arguments.command);
    if (!codePage) return kExitFailed;
    arguments.codePage = *codePage;
  }
  if (arguments.positional.size() != command.positional) {
    return Usage(std::wstring(arguments.positional.size() < command.positional ? L"too few" : L"too many") + L" arguments",
                 arguments.command);
  }
  return std::nullopt;
}

ExitCode CheckCommand(const Invocation& arguments) {
  const fs::path& folder = arguments.positional[0];
  std::error_code error;
  if (fs::is_regular_file(folder, error)) return CheckBundle(folder, arguments.codePage, arguments.options);
  if (!fs::exists(folder, error)) return Usage(Quote(Text(folder)) + L" does not exist", arguments.command);
  if (!fs::is_directory(folder, error)) {
    return Usage(Quote(Text(folder)) + L" is neither a folder nor a bundle", arguments.command);
  }
  Printer printer(L"check", arguments.options.json);
  // --exe: the folder's program goes by that name (the Linux mirrolet, say).
  const std::wstring program = arguments.program.empty() ? kProgramName : Text(arguments.program.filename());
  const Report report = Check(folder, {arguments.codePage, program, arguments.options.policy, true});
  printer.Print(report);
  return printer.Finish(report.ExitStatus());
}

ExitCode BuildCommand(const Invocation& arguments) {
  const fs::path& out = arguments.positional[1];
  const BuildResult result =
      Build(arguments.positional[0], out, arguments.program, arguments.codePage, arguments.options);
  Printer printer(L"build", arguments.options.json);
  if (!result.leftOut.empty()) {
    std::wstring names;
    for (const std::wstring& name : result.leftOut) names += (names.empty() ? L"" : L", ") + name;
    printer.Note("left_out", L"left out: " + names, result.leftOut);
  }
  for (const std::wstring& refusal : result.refused) printer.Problem(L"refused: " + refusal);
  if (!result.failure.empty()) printer.Problem(result.failure);
  if (result.report.listRead || !result.report.findings.empty()) printer.Print(result.report);
  if (result.written) {
    printer.Note("wrote", L"wrote " + Text(out) + L": " + Count(result.report.plan.size(), L"file", L"files"),
                 Text(out));
  } else if (result.refused.empty() && result.failure.empty()) {
    printer.Problem(L"the check found errors; " + Text(out) + L" was not written");
  }
  return printer.Finish(result.ExitStatus());
}

}  // namespace

ExitCode Run(const std::vector<fs::path>& words) {
  Invocation arguments;
  arguments.command = words.empty() ? L"" : Text(words[0]);
  if (arguments.command == L"--help" || arguments.command == L"-h" || arguments.command == L"help" ||
      SlashHelp(arguments.command)) {
    return Help();
  }
  if (arguments.command == L"--version") {
    Write(false, L"mirrolet-pack " L"" MIRROLET_VERSION_TEXT L"\n");
    return kExitClean;
  }
  const auto command = std::find_if(std::begin(kCommands), std::end(kCommands),
                                    [&](const Command& row) { return arguments.command == row.name; });
  if (command == std::end(kCommands)) {
    return Usage(arguments.command.empty() ? L"no command given" : L"unknown command " + Quote(arguments.command), L"");
  }
  if (const std::optional<ExitCode> status = ReadArguments(words, *command, arguments)) return *status;
  return command->run(arguments);
}

}  // namespace mirrolet::pack
