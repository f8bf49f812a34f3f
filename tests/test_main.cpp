#include <gtest/gtest.h>

#include <clocale>

int main(int argc, char** argv) {
  // The hosts read the C library's locale as the ANSI code page; the Linux
  // tests use UTF-8 so that file names and values can hold Chinese text.
#ifndef _WIN32
  std::setlocale(LC_ALL, "C.UTF-8");
#endif
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
