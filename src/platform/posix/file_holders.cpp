// Who holds a file on the Linux stand-in. Windows asks the Restart Manager;
// here /proc tells which processes have the file open, run it or map it.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <sstream>

#include "platform/posix/locale_text.h"
#include "platform/posix/posix_platform.h"

namespace mirrolet::posix {

namespace {

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

bool Names(const std::string& link, const struct stat& file) {
  struct stat st;
  return ::stat(link.c_str(), &st) == 0 && SameFile(st, file);
}

bool HasOpen(const std::string& process, const struct stat& file) {
  DIR* fds = ::opendir((process + "/fd").c_str());
  if (fds == nullptr) return false;  // gone, or not ours to look into
  bool found = false;
  while (const dirent* fd = ::readdir(fds)) {
    if (fd->d_name[0] != '.' && Names(process + "/fd/" + fd->d_name, file)) {
      found = true;
      break;
    }
  }
  ::closedir(fds);
  return found;
}

// A shared library or a running program is mapped without an open descriptor.
// Each line of maps: range, permissions, offset, device "major:minor" in hex,
// inode, path.
bool HasMapped(const std::string& process, const struct stat& file) {
  std::ifstream maps(process + "/maps");
  for (std::string line; std::getline(maps, line);) {
    std::istringstream fields(line);
    std::string range, permissions, offset;
    unsigned major = 0, minor = 0;
    char colon = 0;
    ino_t inode = 0;
    fields >> range >> permissions >> offset >> std::hex >> major >> colon >> minor >> std::dec >> inode;
    if (fields && inode == file.st_ino && makedev(major, minor) == file.st_dev) return true;
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

std::vector<FileHolder> PosixPlatform::FileHolders(const std::wstring& path) {
  std::vector<FileHolder> holders;
  struct stat file;
  if (::stat(paths_.NativePath(path).c_str(), &file) != 0) return holders;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return holders;
  const unsigned long self = static_cast<unsigned long>(::getpid());
  while (const dirent* entry = ::readdir(proc)) {
    if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
    const unsigned long pid = std::stoul(entry->d_name);
    const std::string process = std::string("/proc/") + entry->d_name;
    if (pid == self) continue;
    // The exe link as well as maps: on an overlay file system maps names the
    // layer's device, not the one stat reports.
    if (Names(process + "/exe", file) || HasOpen(process, file) || HasMapped(process, file)) {
      const std::wstring name = CommandName(process);
      if (!name.empty()) holders.push_back({name, pid});  // empty: it ended meanwhile
    }
  }
  ::closedir(proc);
  return holders;
}

}  // namespace mirrolet::posix
