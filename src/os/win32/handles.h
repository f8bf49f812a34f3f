// Owners for the Windows handles the updater and mirrolet-pack hold. Windows
// has two empty values: CreateFile and FindFirstFile fail with
// INVALID_HANDLE_VALUE, while OpenProcess, LoadLibrary and most other calls
// fail with null. Each traits type says which one its calls use, so an owner
// never closes an empty handle.
#pragma once

#include <windows.h>

#include "base/unique_handle.h"

namespace mirrolet::win32 {

// A file, from CreateFileW.
struct FileTraits {
  using type = HANDLE;
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE handle) { CloseHandle(handle); }
};
using UniqueFile = UniqueHandle<FileTraits>;

// A kernel object whose call fails with null: a process, an event.
struct ObjectTraits {
  using type = HANDLE;
  static HANDLE Invalid() { return nullptr; }
  static void Close(HANDLE handle) { CloseHandle(handle); }
};
using UniqueObject = UniqueHandle<ObjectTraits>;

// A search, from FindFirstFileW.
struct FindTraits {
  using type = HANDLE;
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE handle) { FindClose(handle); }
};
using UniqueFind = UniqueHandle<FindTraits>;

// A loaded DLL.
struct ModuleTraits {
  using type = HMODULE;
  static HMODULE Invalid() { return nullptr; }
  static void Close(HMODULE module) { FreeLibrary(module); }
};
using UniqueModule = UniqueHandle<ModuleTraits>;

// The DLL `name` from System32 only: one in the program's folder, or on the
// path, is never loaded in its place.
inline UniqueModule LoadSystemLibrary(const wchar_t* name) {
  return UniqueModule(LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
}

// The function `name` that `module` exports, as type F, or nullptr.
template <typename F>
F SystemFunction(const UniqueModule& module, const char* name) {
  if (!module) return nullptr;
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module.get(), name)));
}

}  // namespace mirrolet::win32
