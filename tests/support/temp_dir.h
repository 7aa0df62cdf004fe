#pragma once

#include <filesystem>
#include <string_view>

namespace tavro::testing {

// A fresh, private folder under the system temporary directory, deleted with everything in it when the object
// goes out of scope. Movable so that helpers can return one; a moved-from TempDir owns nothing.
class TempDir {
public:
    explicit TempDir(std::string_view prefix = "tavro");
    ~TempDir();

    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    TempDir(TempDir&& other) noexcept;
    TempDir& operator=(TempDir&& other) noexcept;

    const std::filesystem::path& path() const { return path_; }
    // path() / name; nothing is created.
    std::filesystem::path file(std::string_view name) const { return path_ / name; }

private:
    void remove() noexcept;

    std::filesystem::path path_;
};

} // namespace tavro::testing
