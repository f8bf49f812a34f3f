// Who holds a file on the Linux stand-in. Windows asks the Restart Manager;
// here /proc tells which processes have the file open, run it or map it.
// Only what /proc itself says is read (link text, fdinfo, maps): a stat
// through /proc/PID/fd would reach into another process's file systems, and
// one on a stuck network or FUSE mount would hang the report.
#include "platform/posix/file_holders.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "os/posix/unique_fd.h"
#include "platform/posix/locale_text.h"

namespace mirrolet::posix {

namespace {

// Long enough for thousands of processes, short enough that a report never waits on it.
constexpr auto kScanTime = std::chrono::seconds(2);

struct Target {
  std::string path;  // from the root, links resolved: as /proc writes it
  struct stat file;
};

std::string LinkText(const std::string& link) {
  char text[4096];
  const ssize_t n = ::readlink(link.c_str(), text, sizeof text);
  return n > 0 && static_cast<std::size_t>(n) < sizeof text ? std::string(text, static_cast<std::size_t>(n)) : "";
}

// The inode that fdinfo names for an open descriptor, or 0 on kernels that do not say.
ino_t FdInode(const std::string& process, const char* fd) {
  std::ifstream info(process + "/fdinfo/" + fd);
  for (std::string line; std::getline(info, line);) {
    if (line.starts_with("ino:")) return static_cast<ino_t>(std::strtoull(line.c_str() + 4, nullptr, 10));
  }
  return 0;
}

bool HasOpen(const std::string& process, const Target& target) {
  const UniqueDir fds(::opendir((process + "/fd").c_str()));
  if (!fds) return false;  // gone, or not ours to look into
  while (const dirent* fd = ::readdir(fds.get())) {
    if (fd->d_name[0] == '.' || LinkText(process + "/fd/" + fd->d_name) != target.path) continue;
    const ino_t inode = FdInode(process, fd->d_name);
    if (inode == 0 || inode == target.file.st_ino) return true;
  }
  return false;
}

// A shared library or a running program is mapped without an open descriptor.
// Each line of maps: range, permissions, offset, device "major:minor" in hex,
// inode, path. On an overlay file system the device is the layer's, so the
// path counts as well.
bool HasMapped(const std::string& process, const Target& target) {
  std::ifstream maps(process + "/maps");
  for (std::string line; std::getline(maps, line);) {
    std::istringstream fields(line);
    std::string range, permissions, offset, path;
    unsigned major = 0, minor = 0;
    char colon = 0;
    ino_t inode = 0;
    fields >> range >> permissions >> offset >> std::hex >> major >> colon >> minor >> std::dec >> inode >> path;
    if (fields && inode == target.file.st_ino && (makedev(major, minor) == target.file.st_dev || path == target.path)) {
      return true;
    }
  }
  return false;
}

std::wstring CommandName(const std::string& process) {
  std::ifstream comm(process + "/comm");
  std::string name;
  std::getline(comm, name);
  return LocaleToWide(name);
}

}  // namespace

std::vector<FileHolder> FileHoldersOf(const std::string& path) {
  std::vector<FileHolder> holders;
  Target target;
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr || ::stat(resolved, &target.file) != 0) {
    std::free(resolved);
    return holders;
  }
  target.path = resolved;
  std::free(resolved);
  const UniqueDir proc(::opendir("/proc"));
  if (!proc) return holders;
  const unsigned long self = static_cast<unsigned long>(::getpid());
  const auto deadline = std::chrono::steady_clock::now() + kScanTime;
  while (const dirent* entry = ::readdir(proc.get())) {
    if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
    if (std::chrono::steady_clock::now() > deadline) break;  // what was found so far is named
    const unsigned long pid = std::stoul(entry->d_name);
    const std::string process = std::string("/proc/") + entry->d_name;
    if (pid == self) continue;
    if (LinkText(process + "/exe") == target.path || HasOpen(process, target) || HasMapped(process, target)) {
      const std::wstring name = CommandName(process);
      if (!name.empty()) holders.push_back({name, pid});  // empty: it ended meanwhile
    }
  }
  return holders;
}

}  // namespace mirrolet::posix
