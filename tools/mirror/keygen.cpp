// trackd-mirror keygen: writes a new random key for --auth-key, readable by its owner only.
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "frames.h"
#include "roles.h"

namespace trackd_mirror {

namespace {

struct KeygenSettings {
    std::string path;
    bool replace = false;
};

// Writes the key to `fd` and closes it; false on any failure.
bool writeKey(int fd) {
    std::array<unsigned char, crypto_auth_KEYBYTES> key{};
    crypto_auth_keygen(key.data());
    const bool written = ::write(fd, key.data(), key.size()) == static_cast<ssize_t>(key.size());
    sodium_memzero(key.data(), key.size());
    const bool synced = fsync(fd) == 0;
    return close(fd) == 0 && written && synced;
}

int keygen(const KeygenSettings& settings) {
    const std::string& path = settings.path;
    struct stat existing {};
    const bool exists = lstat(path.c_str(), &existing) == 0;
    if (exists && !settings.replace)
        throw std::runtime_error("the key file " + path + " exists; not replacing it. trackd-mirror keygen --replace " +
                                 path +
                                 " writes a new key in its place, which every host of the installation then needs");
    if (exists && !S_ISREG(existing.st_mode))
        throw std::runtime_error(path + " is not a regular file; not replacing it");
    if (!exists) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) throw std::runtime_error("cannot make the key file " + path + ": " + std::strerror(errno));
        if (!writeKey(fd)) {
            unlink(path.c_str());
            throw std::runtime_error("cannot write the key file " + path);
        }
    } else {
        // A new file beside the old one, renamed over it: the old key stays whole until the new one is.
        std::string temporary = path + ".XXXXXX";
        std::vector<char> name(temporary.begin(), temporary.end());
        name.push_back('\0');
        const int fd = mkostemp(name.data(), O_CLOEXEC);  // mode 0600
        if (fd < 0) throw std::runtime_error("cannot make a new key beside " + path + ": " + std::strerror(errno));
        temporary = name.data();
        if (!writeKey(fd) || rename(temporary.c_str(), path.c_str()) != 0) {
            const int error = errno;
            unlink(temporary.c_str());
            throw std::runtime_error("cannot replace the key file " + path + ": " + std::strerror(error));
        }
    }
    const AuthKey written(path);
    std::cout << (exists ? "replaced the key in " : "wrote a new key to ") << path << " (key id "
              << keyIdText(written.id())
              << "); copy it, mode 0600, to the tracking host and every render node of the installation\n";
    return 0;
}

}  // namespace

Role addKeygen(CLI::App& app) {
    auto settings = std::make_shared<KeygenSettings>();
    auto* command = app.add_subcommand("keygen", "write a new random key for --auth-key, mode 0600");
    command->add_option("FILE", settings->path, "the key file to make")->required()->type_name("FILE");
    command->add_flag("--replace", settings->replace,
                      "replace FILE if it exists (every host of the installation then needs the new key)");
    return {command, [settings] { return keygen(*settings); }};
}

}  // namespace trackd_mirror
