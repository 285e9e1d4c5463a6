#include "echo_server.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <thread>

std::string start_echo_server() {
    const std::string path = "/tmp/kav_morv_led_echo_" + std::to_string(getpid()) + ".sock";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    unlink(path.c_str());
    if (listener < 0 || bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 1) != 0) {
        return "";
    }
    std::thread([listener, path] {
        const int client = accept(listener, nullptr, nullptr);
        unlink(path.c_str());
        char buffer[4096];
        for (ssize_t got; (got = read(client, buffer, sizeof buffer)) > 0;) {
            if (write(client, buffer, static_cast<std::size_t>(got)) != got) {
                break;
            }
        }
        close(client);
    }).detach();
    return path;
}
