// A tree of folders and files made and removed one part at a time, each step
// relative to the open handle of the folder above it. A call given a whole
// path has the path resolved part by part, and Wine does so slowly, so a tree
// 1,000 folders deep made or removed by whole paths costs its depth on every
// step; through handles each step costs one part.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "os/win32/handles.h"

namespace mirrolet::win32 {

// The folder `path` (a whole path), open to make what it holds; empty, with
// the Windows error in `error`, when it cannot be opened. A link is opened
// as itself, never followed.
UniqueObject OpenFolder(const std::wstring& path, DWORD& error);

// The folder `name` (one part) made inside the open folder `parent`, open to
// make what it holds. Anything already there by that name makes it fail
// (ERROR_ALREADY_EXISTS in `error`): a folder is made once, and nothing
// another program put there is followed.
UniqueObject MakeFolderIn(HANDLE parent, std::wstring_view name, DWORD& error);

// The file `name` (one part) made inside `parent`, open for writing, shared
// with no one; fails as MakeFolderIn does.
UniqueObject MakeFileIn(HANDLE parent, std::wstring_view name, DWORD& error);

// Removes the folder `path` and all it holds, however deep, as far as it
// can: a read-only file goes too, a link or junction goes itself, never what
// it points at. The folders still to go wait on a list, not on the stack,
// and each folder is listed once, so the work is linear in what it holds.
void RemoveTree(const std::wstring& path);

}  // namespace mirrolet::win32
