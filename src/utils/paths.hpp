// Paths of code files as records show them: relative to the working directory
// when the file lies under it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nefa {

// `file` relative to `base` when `base` is a leading run of whole path
// components of `file` (so /a/bc/x.py is not under /a/b); otherwise `file`
// unchanged. A file equal to `base` gives the empty text. An empty `base`
// leaves every file unchanged.
std::string_view path_relative_to(std::string_view file, std::string_view base);

// The process's working directory, or nothing when it cannot be read.
std::optional<std::string> current_directory();

}  // namespace nefa
