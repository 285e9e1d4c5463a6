// The files the bridge reads (its settings, its credentials, its effects, a TLS key), read only
// when nobody but their owner could have put them there: a regular file, not a link to another,
// owned by the system's administrators or the bridge's own account, which no one else may change,
// nor read when it holds a secret, and of bounded size. A FIFO, a device, a link or a file others
// may write is refused, saying which and how to mend it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace bridge {

enum class Secrecy {
    kPublic,
    kSecret,
    // About to be written anew with access of its own: who may read or change it now is not looked
    // at, only who owns it.
    kRewritten,
};

// The text of the file at `path`; none, with why (which names the path, never what it holds), when
// it is not such a file or holds more than `most_bytes`.
std::optional<std::string> read_trusted_file(const std::string& path, Secrecy secrecy, std::size_t most_bytes,
                                             std::string& why_not);

}  // namespace bridge
