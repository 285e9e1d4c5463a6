// Who sends requests and owns indications, as the system tells the service.
#pragma once

#include <string>

namespace service {

// Who set an indication: names belong to their owner, so two users' "default" are two indications.
struct Owner {
    std::string id;    // as the system knows them: a uid ("1000"), or a SID on Windows
    std::string name;  // for people ("alice"); the id when the system has no name for it
    bool operator==(const Owner& other) const { return id == other.id && name == other.name; }
    // For the log: "alice (1000)".
    std::string who() const { return name + " (" + id + ")"; }
};

// The user at the other end of a connection.
struct Client {
    Owner owner;
    bool privileged = false;  // root, SYSTEM or an Administrator: may clear anyone's indication
    std::string description;  // for the log: "user alice (uid 1000), process 4242"
};

}  // namespace service
