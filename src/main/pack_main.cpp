// mirrolet-pack: makes and checks the update folders that MirroletV2.exe runs from.
#include <exception>
#include <string>

#include "pack/pack.h"
#include "pack/pack_host.h"

int main(int argc, char** argv) {
  try {
    return mirrolet::pack::Run(mirrolet::pack::Arguments(argc, argv));
  } catch (const std::exception& failure) {
    const std::string what = failure.what();
    mirrolet::pack::Write(true, L"mirrolet-pack: " + std::wstring(what.begin(), what.end()) + L"\n");
    return 2;
  }
}
