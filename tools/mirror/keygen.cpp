// trackd-mirror keygen: writes a new random key for --auth-key, readable by its owner only.
#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

#include "roles.h"

namespace trackd_mirror {

namespace {

int keygen(const std::string& path) {
    std::array<unsigned char, crypto_auth_KEYBYTES> key{};
    crypto_auth_keygen(key.data());
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error("cannot make the key file " + path + ": " + std::strerror(errno));
    const bool written = ::write(fd, key.data(), key.size()) == static_cast<ssize_t>(key.size());
    const bool closed = close(fd) == 0;
    sodium_memzero(key.data(), key.size());
    if (!written || !closed) {
        unlink(path.c_str());
        throw std::runtime_error("cannot write the key file " + path);
    }
    std::cout << "wrote a new key to " << path << "; copy it, mode 0600, to the tracking host and every render node\n";
    return 0;
}

}  // namespace

Role addKeygen(CLI::App& app) {
    auto path = std::make_shared<std::string>();
    auto* command = app.add_subcommand("keygen", "write a new random key for --auth-key, mode 0600");
    command->add_option("FILE", *path, "the key file to make; it must not exist")->required();
    return {command, [path] { return keygen(*path); }};
}

}  // namespace trackd_mirror
