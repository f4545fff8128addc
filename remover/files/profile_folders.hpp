#pragma once
// The folders to visit for what the product left in each user's profile.
#include <optional>
#include <string>
#include <vector>

namespace remover {

// Every profile folder to visit, as full paths: each entry of the profiles
// root (files included, in listing order, names that joinable_name refuses
// passed over), then each user's profile that lies elsewhere. None when
// neither the root nor a user's profile is known. Raises filesystem_error
// when the root cannot be listed.
std::optional<std::vector<std::wstring>> profile_folders();

}  // namespace remover
