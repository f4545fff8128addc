#include "remover/common/session.hpp"

namespace remover {

namespace {

bool station_visible() {
    const HWINSTA station = GetProcessWindowStation();  // not to be closed
    if (!station) return false;
    USEROBJECTFLAGS flags{};
    DWORD needed = 0;
    if (!GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), &needed)) return true;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

}  // namespace

bool windows_visible() {
    static const bool visible = station_visible();
    return visible;
}

int message_box(const char* text, const char* caption, UINT type) {
    if (windows_visible()) return MessageBoxA(nullptr, text, caption, type);
    return (type & MB_TYPEMASK) == MB_YESNO ? IDNO : IDOK;
}

}  // namespace remover
