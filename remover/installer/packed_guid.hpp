#pragma once
// The 32-character form of a GUID that Windows Installer names its keys and
// values with.
#include <string>

namespace remover {

// The packed form of a GUID; its own inverse. Raises replay::exception for
// fewer than 32 hexadecimal digits.
std::wstring pack_guid(const std::wstring& guid);
// The braced GUID text of a packed code.
std::wstring unpack_guid(const std::wstring& packed);

}  // namespace remover
