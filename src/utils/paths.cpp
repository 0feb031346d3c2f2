#include "utils/paths.hpp"

#include <unistd.h>

#include <cerrno>
#include <vector>

namespace nefa {

std::string_view path_relative_to(std::string_view file, std::string_view base) {
    if (base.empty()) return file;
    // Compare without the base's trailing separators ("/" itself stays "").
    while (!base.empty() && base.back() == '/') base.remove_suffix(1);
    if (base.empty()) {
        // The root: every absolute path lies under it.
        if (file.empty() || file.front() != '/') return file;
    } else {
        if (file.size() < base.size() || file.compare(0, base.size(), base) != 0) return file;
        if (file.size() > base.size() && file[base.size()] != '/') return file;
    }
    std::string_view rest = file.substr(base.size());
    // Drop the separators and current-directory components in front.
    for (;;) {
        if (!rest.empty() && rest.front() == '/') {
            rest.remove_prefix(1);
        } else if (rest.size() >= 2 && rest[0] == '.' && rest[1] == '/') {
            rest.remove_prefix(2);
        } else if (rest == ".") {
            rest = {};
        } else {
            break;
        }
    }
    return rest;
}

std::optional<std::string> current_directory() {
    std::vector<char> buffer(4096);
    for (;;) {
        if (getcwd(buffer.data(), buffer.size()) != nullptr) return std::string(buffer.data());
        if (errno != ERANGE || buffer.size() > (1u << 20)) return std::nullopt;
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace nefa
