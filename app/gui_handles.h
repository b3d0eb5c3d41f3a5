#pragma once
// Owners for the user-interface handles the shell creates: icons loaded at a size
// of our choosing and menus loaded from resources.

#include <windows.h>

#include "win/unique_handle.h"

namespace qv {

// LoadImageW icons without LR_SHARED; never shared icons from LoadIconW.
using UniqueIcon = UniqueHandle<HICON, nullptr, ::DestroyIcon>;
using UniqueMenu = UniqueHandle<HMENU, nullptr, ::DestroyMenu>;

}  // namespace qv
