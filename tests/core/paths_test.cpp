#include "orvalnest/paths.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

namespace orvalnest::paths {
namespace {

TEST(LexicalAbsolute, NormalisesWithoutTouchingTheFilesystem) {
    EXPECT_EQ(lexical_absolute("/a//b/./c/").value(), "/a/b/c/");
    EXPECT_EQ(lexical_absolute("//a").value(), "//a");
    EXPECT_EQ(lexical_absolute("///a").value(), "/a");
    EXPECT_EQ(lexical_absolute("/").value(), "/");
    EXPECT_EQ(lexical_absolute("/a/../b").value(), "/a/../b");
    EXPECT_EQ(lexical_absolute("").error().text(), "cannot make an empty path absolute");
}

TEST(LexicalAbsolute, RelativePathsJoinTheWorkingDirectory) {
    const auto saved = std::filesystem::current_path();
    std::filesystem::current_path("/usr");
    EXPECT_EQ(lexical_absolute("x/../y").value(), "/usr/x/../y");
    EXPECT_EQ(lexical_absolute("./x").value(), "/usr/x");
    EXPECT_EQ(lexical_absolute(".").value(), "/usr");
    EXPECT_EQ(lexical_absolute("x/").value(), "/usr/x/");
    std::filesystem::current_path(saved);
}

TEST(Components, CompareByComponentsNotBytes) {
    EXPECT_TRUE(equal("/a/b", "/a//b/"));
    EXPECT_TRUE(equal("//a/b", "/a/./b"));
    EXPECT_FALSE(equal("/a/b", "/a/b/c"));
    EXPECT_TRUE(starts_with("/usr", "/usr"));
    EXPECT_TRUE(starts_with("/usr/lib/x", "/usr/"));
    EXPECT_FALSE(starts_with("/usrx/a", "/usr"));
    EXPECT_FALSE(starts_with("/usr", "/usr/lib"));
    EXPECT_TRUE(has_parent_component("/a/../b"));
    EXPECT_FALSE(has_parent_component("/a/..b/./c"));
}

TEST(Components, FinalNameAndParent) {
    EXPECT_EQ(final_name("/a/b/"), "b");
    EXPECT_EQ(final_name("/a/b/."), "b");
    EXPECT_EQ(final_name("/"), std::nullopt);
    EXPECT_EQ(final_name("/."), std::nullopt);
    EXPECT_EQ(final_name("/a/.."), std::nullopt);
    EXPECT_EQ(parent("/a/b/"), "/a");
    EXPECT_EQ(parent("/a/./b"), "/a");
    EXPECT_EQ(parent("/a"), "/");
    EXPECT_EQ(parent("//a"), "//");
    EXPECT_EQ(parent("/"), std::nullopt);
    EXPECT_EQ(parent("//"), std::nullopt);
    EXPECT_EQ(join("/a", "b"), "/a/b");
    EXPECT_EQ(join("/", "b"), "/b");
    EXPECT_EQ(node_name("/"), "/");
    EXPECT_EQ(node_name("/a/b/"), "b");
    EXPECT_EQ(node_name("/a/.."), "/a/..");
}

TEST(CPath, RefusesNulBytes) {
    EXPECT_EQ(c_path(std::string("/a\0b", 4)).error().text(), "file name contained an unexpected NUL byte");
    EXPECT_EQ(c_path("/a").value(), "/a");
}

}  // namespace
}  // namespace orvalnest::paths
