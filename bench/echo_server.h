// An echo server on the same kind of endpoint as the LED service's, in a thread of this process:
// what a round trip costs with no service behind it. One implementation per system.
#pragma once

#include <string>

// Starts it; returns the endpoint name a Connection opens, or "" when it could not.
std::string start_echo_server();
