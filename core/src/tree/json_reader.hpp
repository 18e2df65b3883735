// A streaming JSON reader for exports that reach gigabytes: it reads the file
// in blocks and hands out one token at a time, checking commas, colons and
// nesting itself, so the importers only say what they expect next. Strings
// come out as bytes: escapes are decoded and everything else is kept as it is,
// since ncdu writes names that are not UTF-8 as their raw bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "orvalnest/function_ref.hpp"
#include "orvalnest/saved_scan.hpp"

namespace orvalnest {

class JsonReader {
public:
    enum class Token {
        BeginArray,
        EndArray,
        BeginObject,
        EndObject,
        Key,
        String,
        Number,
        True,
        False,
        Null,
        End
    };

    // Reads `fd` (not closed here) after the bytes in `prefix`, already read from it.
    JsonReader(int fd, std::string prefix);

    LoadResult<Token> next();
    // A string's or key's bytes, or a number's characters.
    const std::string& text() const { return text_; }
    // Skips the rest of a value whose first token was just read.
    LoadResult<void> skip(Token first);
    // Whole numbers only: exports never write fractions where a count is.
    LoadResult<std::uint64_t> unsigned_number() const;
    LoadResult<std::int64_t> signed_number() const;
    std::unexpected<LoadFailure> fail(std::string_view what) const;
    // The members of an object whose "{" was just read, up to its "}": each
    // key goes to `member` with the first token of its value, and `member`
    // reads the value or skips it.
    LoadResult<void> members(FunctionRef<LoadResult<void>(const std::string& key, Token value)> member);
    // A member's value that must be a whole number, or a failure naming the key.
    LoadResult<std::uint64_t> unsigned_member(std::string_view key, Token value) const;
    // Levels of arrays and objects open.
    std::size_t depth() const { return nesting_.size(); }

private:
    enum class Place : std::uint8_t { ArrayStart, ArrayNext, ObjectStart, ObjectNext };
    bool fill();
    int peek();
    int skip_space();
    LoadResult<Token> value(int c);
    LoadResult<void> read_string();
    LoadResult<void> read_word(std::string_view word);
    void read_number();

    int fd_;
    std::string buffer_;
    std::size_t at_ = 0;
    std::uint64_t consumed_ = 0;  // bytes of the file before buffer_
    int read_error_ = 0;
    std::vector<Place> nesting_;
    bool top_done_ = false;
    bool want_value_ = false;  // a key was read: its value comes next
    std::string text_;
    std::uint64_t token_offset_ = 0;
};

}  // namespace orvalnest
