#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

/// A fresh directory under the system's temporary folder, removed with everything in it at the end;
/// its path is empty when none could be made.
class TemporaryDirectory {
public:
    TemporaryDirectory() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "lm_accelerator_test_XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) path = pattern;
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    /// The directory.
    std::filesystem::path path;
};
