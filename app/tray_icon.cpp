#include "app/tray_icon.h"

namespace qv {

int ClampMenuX(int x, int y) noexcept {
    const POINT point = {x, y};
    if (MonitorFromPoint(point, MONITOR_DEFAULTTONULL) != nullptr) {
        return x;
    }
    const HMONITOR nearest = MonitorFromPoint(point, MONITOR_DEFAULTTONEAREST);
    MONITORINFO info = {};
    info.cbSize = sizeof info;
    if (nearest == nullptr || !GetMonitorInfoW(nearest, &info)) {
        return x;
    }
    if (x < info.rcWork.left) {
        return info.rcWork.left;
    }
    if (x > info.rcWork.right) {
        return info.rcWork.right;
    }
    return x;
}

}  // namespace qv
