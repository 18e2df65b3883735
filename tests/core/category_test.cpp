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

INSTANTIATE_TEST_SUITE_P(
    Table, CategoryOf,
    ::testing::Values(
        // Directories go by their flag alone.
        Case{"/d/photos.zip", true, Category::Directory}, Case{"/", true, Category::Directory},
        // Case folding, including the one non-ASCII letter that folds to ASCII (KELVIN SIGN).
        Case{"/d/IMAGE.JPEG", false, Category::Image}, Case{"/d/Song.FLAC", false, Category::Audio},
        Case{"/d/setup.AppImage", false, Category::Executable},
        Case{"/d/film.M\xE2\x84\xAAV", false, Category::Video},
        // One row per length the lookup keeps a table for (3 and 8 are below).
        Case{"/d/main.c", false, Category::Code}, Case{"/d/lib.so", false, Category::System},
        Case{"/d/x.swift", false, Category::Code}, Case{"/d/book.xlsx", false, Category::Document},
        // Only the last extension counts.
        Case{"/d/backup.tar.gz", false, Category::Archive},
        Case{"/d/photo.jpg.txt", false, Category::Document},
        // Near misses and lengths the table does not have.
        Case{"/d/x.tgz", false, Category::Other}, Case{"/d/main.cc", false, Category::Other},
        Case{"/d/page.htm", false, Category::Other}, Case{"/d/x.appimagex", false, Category::Other},
        Case{"/d/x.jpegs", false, Category::Other},
        // No extension, a leading dot only, an empty extension.
        Case{"/d/Makefile", false, Category::Other}, Case{"/d/.bashrc", false, Category::Other},
        Case{"/d/archive.", false, Category::Other}, Case{"/d/.config.json", false, Category::Code},
        // The extension belongs to the final component, never to a directory above it.
        Case{"/d.zip/readme", false, Category::Other}, Case{"/d/x.py/", false, Category::Code},
        Case{"/d/x.zip/..", false, Category::Other}, Case{"/", false, Category::Other},
        // Bare names, as the scan passes them.
        Case{"x.ZIP", false, Category::Archive}, Case{"..", false, Category::Other},
        Case{"", false, Category::Other},
        // Bytes that are not UTF-8 never match.
        Case{"/d/x.\xFFzip", false, Category::Other}, Case{"/d/x.j\xC3\xA9g", false, Category::Other}));

}  // namespace
}  // namespace orvalnest
