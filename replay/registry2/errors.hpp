#pragma once
// Errors of the registry layer. Every message names the Windows function, the
// key or value concerned and the Windows error code.
#include "replay/exception.hpp"

namespace replay::registry2 {

// Base of the family; catch it around optional registry work.
REPLAY_DECLARE_EXCEPTION(generic, replay::exception, "registry2");
// Opening, creating and deleting keys, deleting values, enumerations.
REPLAY_DECLARE_EXCEPTION(key_error, generic, "key_error");
// Reading and writing values; a value that does not exist.
REPLAY_DECLARE_EXCEPTION(value_error, generic, "value_error");
// A value of another type than the one asked for.
REPLAY_DECLARE_EXCEPTION(type_mismatch, generic, "type_mismatch");
// A value whose stored size differs from the size asked for.
REPLAY_DECLARE_EXCEPTION(size_mismatch, generic, "size_mismatch");

}  // namespace replay::registry2
