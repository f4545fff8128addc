#include "remover/installer/packed_guid.hpp"

#include <utility>

#include "replay/exception.hpp"

namespace remover {

std::wstring pack_guid(const std::wstring& guid) {
    std::wstring digits;
    for (wchar_t c : guid) {
        const wchar_t upper = (c >= L'a' && c <= L'f') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
        if ((upper >= L'0' && upper <= L'9') || (upper >= L'A' && upper <= L'F')) digits += upper;
    }
    if (digits.size() < 32) throw replay::exception(std::string("not a GUID: too few hexadecimal digits"));
    // Groups of 8, 4 and 4 digits reversed, then pairs with their digits swapped.
    std::wstring packed;
    for (const auto& [start, length] : {std::pair<size_t, size_t>{0, 8}, {8, 4}, {12, 4}}) {
        const std::wstring group = digits.substr(start, length);
        packed.append(group.rbegin(), group.rend());
    }
    for (size_t i = 16; i < 32; i += 2) {
        packed += digits[i + 1];
        packed += digits[i];
    }
    return packed;
}

std::wstring unpack_guid(const std::wstring& packed) {
    const std::wstring plain = pack_guid(packed);
    return L"{" + plain.substr(0, 8) + L"-" + plain.substr(8, 4) + L"-" + plain.substr(12, 4) + L"-" +
           plain.substr(16, 4) + L"-" + plain.substr(20, 12) + L"}";
}

}  // namespace remover
