// The host contract fixtures on the Linux stand-in.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "host_fixture.h"
#include "platform/posix/posix_platform.h"

namespace mirrolet::testing {

namespace {

void AppendUtf16(std::string& out, std::wstring_view text) {
  for (const wchar_t c : text) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>((c >> 8) & 0xFF);
  }
}

void SetDosAttribute(const std::filesystem::path& path, const char* bits) {
  ::setxattr(path.c_str(), "user.DOSATTRIB", bits, std::strlen(bits), 0);
}

}  // namespace

std::string RemoveTree(const std::filesystem::path& root) {
  std::error_code error;
  // A folder whose names cannot be listed must be opened up first.
  for (std::filesystem::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
    // A link is not followed: it may point nowhere, or at itself.
    std::error_code ignored;
    if (!it->is_symlink(ignored) && it->is_directory(ignored)) ::chmod(it->path().c_str(), 0755);
  }
  if (!error) std::filesystem::remove_all(root, error);
  return error ? error.message() : std::string();
}

void SetRegistry(const Sandbox& sandbox, const std::vector<RegEntry>& registry, const std::string& root) {
  // Written the way regedit exports: UTF-16LE, every string value as hex(n)
  // bytes so NULs and missing terminators survive.
  std::string text = "\xFF\xFE";
  std::wstring lines = L"Windows Registry Editor Version 5.00\r\n\r\n";
  for (const RegEntry& entry : registry) {
    const std::string key = (entry.only32BitView ? "Software\\WOW6432Node\\" : "Software\\") + root + "\\" + entry.subKey;
    lines += L"[HKEY_LOCAL_MACHINE\\" + std::wstring(key.begin(), key.end()) + L"]\r\n";
    lines += L"\"" + std::wstring(entry.name.begin(), entry.name.end()) + L"\"=hex(" + std::to_wstring(entry.type) + L"):";
    std::string bytes;
    AppendUtf16(bytes, entry.text);
    if (entry.terminated) bytes.append(2, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      wchar_t hex[4];
      std::swprintf(hex, 4, L"%02x", static_cast<unsigned char>(bytes[i]));
      if (i > 0) lines += i % 16 == 0 ? L",\\\r\n  " : L",";
      lines += hex;
    }
    lines += L"\r\n\r\n";
  }
  AppendUtf16(text, lines);
  sandbox.Write(L"registry.reg", text);
}

std::unique_ptr<Platform> MakeHost(const Sandbox& sandbox, const std::vector<RegEntry>& registry) {
  SetRegistry(sandbox, registry, "MirroletTest");
  return std::make_unique<posix::PosixPlatform>(sandbox.Native(L"registry.reg"));
}

void SetHidden(const std::filesystem::path& path) { SetDosAttribute(path, "0x2"); }
void SetSystem(const std::filesystem::path& path) { SetDosAttribute(path, "0x4"); }
void SetReadOnly(const std::filesystem::path& path) { ::chmod(path.c_str(), 0444); }

bool MakeLink(const std::filesystem::path& link, const std::string& target) {
  return ::symlink(target.c_str(), link.c_str()) == 0;
}
void RemoveLink(const std::filesystem::path& link) { ::unlink(link.c_str()); }

HeldOpen::HeldOpen(const std::filesystem::path& path) : handle_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
  ::flock(static_cast<int>(handle_), LOCK_EX);
}

HeldOpen::~HeldOpen() { ::close(static_cast<int>(handle_)); }

std::wstring LeftoverName(bool runEnded) {
  std::ifstream in("/proc/self/stat");
  std::string line;
  std::getline(in, line);
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string start;
  for (int field = 3; field <= 22; ++field) fields >> start;
  const std::string name = ".mirrolet-" + std::to_string(::getpid()) + "-" + (runEnded ? "1" : start) + "-7.tmp";
  return std::wstring(name.begin(), name.end());
}

std::vector<std::wstring> LeaveLiveLeftover(const Sandbox& sandbox, const std::wstring& folder,
                                            std::unique_ptr<HeldOpen>& hold) {
  const std::string run = ".mirrolet-" + std::to_string(::getpid()) + "-2";
  sandbox.Write(folder + L"\\" + FromUtf8(run + "-7.tmp"), "left");
  sandbox.Write(folder + L"\\" + FromUtf8(run + ".lock"), "");
  hold = std::make_unique<HeldOpen>(sandbox.Native(folder + L"\\" + FromUtf8(run + ".lock")));
  return {FromUtf8(run + "-7.tmp"), FromUtf8(run + ".lock")};
}

std::filesystem::path CasePath(const std::string& relative) {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path() / relative;
}

bool RunningUnderWine() { return false; }

bool MachineRegistryWritable() { return true; }

bool ChineseCodePage() { return true; }

}  // namespace mirrolet::testing
