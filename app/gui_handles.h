#pragma once
// Owners for the user-interface handles the shell creates: icons loaded at a size
// of our choosing and menus loaded from resources.

#include <windows.h>

#include "win/unique_handle.h"

namespace qv {

struct IconTraits {  // LoadImageW icons without LR_SHARED; never shared icons from LoadIconW
    using pointer = HICON;
    static pointer Invalid() noexcept { return nullptr; }
    static void Close(pointer icon) noexcept { ::DestroyIcon(icon); }
};

struct MenuTraits {
    using pointer = HMENU;
    static pointer Invalid() noexcept { return nullptr; }
    static void Close(pointer menu) noexcept { ::DestroyMenu(menu); }
};

using UniqueIcon = UniqueHandle<IconTraits>;
using UniqueMenu = UniqueHandle<MenuTraits>;

}  // namespace qv
