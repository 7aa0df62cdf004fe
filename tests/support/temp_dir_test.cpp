#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <utility>

namespace tavro::testing {
namespace {

namespace fs = std::filesystem;

void writeFile(const fs::path& path) {
    std::ofstream(path) << "data";
}

TEST(TempDir, CreatesAFreshFolderAndRemovesItsWholeTree) {
    fs::path kept;
    {
        const TempDir dir;
        const TempDir other;
        kept = dir.path();
        ASSERT_TRUE(fs::is_directory(kept));
        EXPECT_NE(kept, other.path());
        EXPECT_TRUE(fs::is_empty(kept));
        fs::create_directories(dir.file("a/b"));
        writeFile(dir.file("top.txt"));
        writeFile(dir.file("a/b/deep.txt"));
        fs::permissions(dir.file("a/b/deep.txt"), fs::perms::owner_read);
    }
    EXPECT_FALSE(fs::exists(kept));

    // A test that already deleted the folder itself must not make the destructor fail.
    const fs::path gone = [] {
        TempDir dir;
        fs::remove_all(dir.path());
        return dir.path();
    }();
    EXPECT_FALSE(fs::exists(gone));
}

TEST(TempDir, MovingTransfersOwnership) {
    TempDir source;
    const fs::path sourcePath = source.path();
    TempDir target(std::move(source));
    EXPECT_EQ(target.path(), sourcePath);
    EXPECT_TRUE(source.path().empty());

    TempDir other;
    const fs::path replaced = other.path();
    other = std::move(target);
    EXPECT_FALSE(fs::exists(replaced));
    EXPECT_EQ(other.path(), sourcePath);
    EXPECT_TRUE(fs::is_directory(sourcePath));
}

} // namespace
} // namespace tavro::testing
