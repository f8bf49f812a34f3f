// How the copy list scales on the Linux stand-in: the profile reads of a list
// of N entries (2N+1 calls), and a whole pass that also copies N small files.
//   copy_list_bench [N...]
#include <sys/resource.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <string>

#include "platform/posix/posix_platform.h"
#include "update/copy_list.h"

namespace {

// The stand-in with copies that succeed without touching the disk, to time
// the list reading alone.
class ReadOnlyHost : public mirrolet::posix::PosixPlatform {
 public:
  using PosixPlatform::PosixPlatform;
  bool StageCopy(const std::wstring&, const std::wstring&, mirrolet::StageId&, mirrolet::HostError&) override { return true; }
  bool FlushStaged(mirrolet::HostError&) override { return true; }
  bool CommitStaged(mirrolet::StageId, mirrolet::HostError&) override { return true; }
  void DiscardStaged(mirrolet::StageId) override {}
  bool SyncCommitted(mirrolet::HostError&) override { return true; }
};

double Seconds(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "C.UTF-8");
  std::vector<int> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {1000, 10000, 20000};

  const auto root = std::filesystem::temp_directory_path() / "mirrolet-bench";
  std::printf("%8s %14s %12s %14s %12s\n", "entries", "reads (s)", "per entry", "pass (s)", "per entry");
  for (const int n : sizes) {
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root / "update");
    std::filesystem::create_directories(root / "product");
    std::ofstream list(root / "update" / "mirrolet.ini", std::ios::binary);
    list << "[MAIN]\r\nSUM=" << n << "\r\n";
    for (int i = 1; i <= n; ++i) {
      char suffix[16];
      std::snprintf(suffix, sizeof suffix, "%03d", i);
      list << "FILE" << suffix << "=file" << i << ".dat\r\nCOPYTO" << suffix << "=$APPPATH$file" << i << ".dat\r\n";
      std::ofstream(root / "update" / ("file" + std::to_string(i) + ".dat")) << "data " << i << "\n";
    }
    list.close();
    const std::wstring app = (root / "update").wstring() + L"\\";
    const std::wstring product = (root / "product").wstring() + L"\\";

    ReadOnlyHost readOnly("/nonexistent");
    const double reads = Seconds([&] { mirrolet::ProcessCopyList(readOnly, product, app); });
    mirrolet::posix::PosixPlatform real("/nonexistent");
    const double pass = Seconds([&] { mirrolet::ProcessCopyList(real, product, app); });
    std::printf("%8d %14.3f %10.1fus %14.3f %10.1fus\n", n, reads, reads / n * 1e6, pass, pass / n * 1e6);
  }
  std::filesystem::remove_all(root);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak resident memory: %.1f MiB\n", usage.ru_maxrss / 1024.0);
}
