#include "orvalnest/paths.hpp"

#include <gtest/gtest.h>

#include <filesystem>

namespace orvalnest::paths {
namespace {

// Exactly two leading slashes are kept (POSIX leaves their meaning open); ".." is left for
// validation to refuse. Relative paths join the working directory.
TEST(LexicalAbsolute, NormalisesWithoutTouchingTheFilesystem) {
    EXPECT_EQ(lexical_absolute("/a//b/./c/").value(), "/a/b/c/");
    EXPECT_EQ(lexical_absolute("//a").value(), "//a");
    EXPECT_EQ(lexical_absolute("///a/../b").value(), "/a/../b");
    EXPECT_EQ(lexical_absolute("").error().text(), "cannot make an empty path absolute");
    const auto saved = std::filesystem::current_path();
    std::filesystem::current_path("/usr");
    EXPECT_EQ(lexical_absolute("./x/../y/").value(), "/usr/x/../y/");
    EXPECT_EQ(lexical_absolute(".").value(), "/usr");
    std::filesystem::current_path(saved);
}

// Validation exercises parent() and ".." refusal; these are the cases it
// never reaches: ".." as a final name and comparing differently written paths.
TEST(Components, CompareAndNameByComponentsNotBytes) {
    EXPECT_TRUE(equal("//a/b", "/a/./b/"));
    EXPECT_FALSE(equal("/a/b", "/a/b/c"));
    EXPECT_EQ(final_name("/a/b/."), "b");
    EXPECT_EQ(final_name("/a/.."), std::nullopt);
    EXPECT_EQ(parent("//a"), "//");
    EXPECT_EQ(node_name("/"), "/");
    EXPECT_EQ(node_name("/a/.."), "/a/..");
}

}  // namespace
}  // namespace orvalnest::paths
