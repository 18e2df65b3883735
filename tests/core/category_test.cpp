#include "orvalnest/category.hpp"

#include <gtest/gtest.h>

#include <string>

namespace orvalnest {
namespace {

struct Case {
    std::string path;
    bool is_dir;
    Category expected;
};

class CategoryOf : public ::testing::TestWithParam<Case> {};

TEST_P(CategoryOf, FollowsTheLastExtension) {
    const Case& c = GetParam();
    EXPECT_EQ(category_text(category_of(c.path, c.is_dir)), category_text(c.expected)) << c.path;
}

// Directories go by their flag alone. Then: case folding (with KELVIN SIGN, the one non-ASCII letter
// that folds to ASCII); one row per length the lookup keeps a table for; only the last extension of
// the final component counts; near misses, a leading dot only, an empty extension; bare names, as
// the scan passes them; bytes that are not UTF-8 never match.
INSTANTIATE_TEST_SUITE_P(
    Table, CategoryOf,
    ::testing::Values(
        Case{"/d/photos.zip", true, Category::Directory}, Case{"/d/IMAGE.JPEG", false, Category::Image},
        Case{"/d/film.M\xE2\x84\xAAV", false, Category::Video}, Case{"/d/main.c", false, Category::Code},
        Case{"/d/lib.so", false, Category::System}, Case{"/d/Song.FLAC", false, Category::Audio},
        Case{"/d/x.swift", false, Category::Code}, Case{"/d/setup.AppImage", false, Category::Executable},
        Case{"/d/backup.tar.gz", false, Category::Archive},
        Case{"/d/photo.jpg.txt", false, Category::Document}, Case{"/d/main.cc", false, Category::Other},
        Case{"/d/x.appimagex", false, Category::Other}, Case{"/d/.bashrc", false, Category::Other},
        Case{"/d/archive.", false, Category::Other}, Case{"/d/.config.json", false, Category::Code},
        Case{"/d.zip/readme", false, Category::Other}, Case{"/d/x.py/", false, Category::Code},
        Case{"/d/x.zip/..", false, Category::Other}, Case{"x.ZIP", false, Category::Archive},
        Case{"", false, Category::Other}, Case{"/d/x.j\xC3\xA9g", false, Category::Other}));

}  // namespace
}  // namespace orvalnest
