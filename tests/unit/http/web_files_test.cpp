#include "http/web_resources.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

namespace skylark {

// Every request gets the one copy of a page; a replaced or removed file shows at once.
TEST(WebFiles, ReadOnceAndSharedUntilTheFileChanges) {
    const auto root = std::filesystem::path(::testing::TempDir()) / std::to_string(::getpid());
    std::filesystem::create_directories(root);
    std::ofstream(root / "tv.html") << "one";
    WebFiles files(root);
    const ByteBuffer first = files.read("tv.html");
    EXPECT_EQ(files.read("tv.html"), first);
    std::ofstream(root / "new") << "two!";
    std::filesystem::rename(root / "new", root / "tv.html");
    EXPECT_EQ(asText(*files.read("tv.html")), "two!");
    std::filesystem::remove_all(root);
    EXPECT_EQ(asText(*files.read("tv.html")), "Skylark resources missing");
}

}  // namespace skylark
