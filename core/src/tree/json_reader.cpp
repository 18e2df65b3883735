#include "json_reader.hpp"

#include <unistd.h>

#include <cerrno>
#include <charconv>

#include "orvalnest/eintr.hpp"

namespace orvalnest {
namespace {

constexpr std::size_t kBlock = 1 << 20;
// Deeper than any real tree; a file nesting further is refused before its
// open levels cost much memory.
constexpr std::size_t kMaxDepth = 100000;

void append_utf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | code >> 12);
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | code >> 18);
        out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

int hex_digit(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

JsonReader::JsonReader(int fd, std::string prefix) : fd_(fd), buffer_(std::move(prefix)) {}

bool JsonReader::fill() {
    if (fd_ < 0 || read_error_) return false;
    consumed_ += buffer_.size();
    buffer_.resize(kBlock);
    const ssize_t got = retry_on_eintr([&] { return ::read(fd_, buffer_.data(), kBlock); });
    if (got < 0) read_error_ = errno;
    buffer_.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    at_ = 0;
    return got > 0;
}

int JsonReader::peek() {
    if (at_ == buffer_.size() && !fill()) return -1;
    return static_cast<unsigned char>(buffer_[at_]);
}

int JsonReader::skip_space() {
    for (;;) {
        const int c = peek();
        if (c != ' ' && c != '\n' && c != '\r' && c != '\t') {
            token_offset_ = consumed_ + at_;
            return c;
        }
        ++at_;
    }
}

std::unexpected<LoadFailure> JsonReader::fail(std::string_view what) const {
    if (read_error_) return std::unexpected(LoadFailure{read_error_, {}});
    return std::unexpected(
        LoadFailure{0, "byte " + std::to_string(token_offset_) + ": " + std::string(what)});
}

LoadResult<JsonReader::Token> JsonReader::next() {
    int c = skip_space();
    if (want_value_) {
        want_value_ = false;
        return value(c);
    }
    if (nesting_.empty()) {
        if (!top_done_) {
            top_done_ = true;
            return value(c);
        }
        if (c < 0) return Token::End;
        return fail("more after the end of the document");
    }
    Place& place = nesting_.back();
    const bool array = place == Place::ArrayStart || place == Place::ArrayNext;
    const char close = array ? ']' : '}';
    if (c == close) {
        nesting_.pop_back();
        ++at_;
        return array ? Token::EndArray : Token::EndObject;
    }
    if (place == Place::ArrayNext || place == Place::ObjectNext) {
        if (c != ',')
            return fail(c < 0 ? "cut short" : array ? "expected ',' or ']'" : "expected ',' or '}'");
        ++at_;
        c = skip_space();
    }
    if (array) {
        place = Place::ArrayNext;
        return value(c);
    }
    if (c != '"') return fail(c < 0 ? "cut short" : "expected a key");
    ++at_;
    if (auto read = read_string(); !read) return std::unexpected(read.error());
    if (skip_space() != ':') return fail("expected ':'");
    ++at_;
    place = Place::ObjectNext;
    want_value_ = true;
    return Token::Key;
}

LoadResult<JsonReader::Token> JsonReader::value(int c) {
    const auto open = [&](Place place, Token token) -> LoadResult<Token> {
        if (nesting_.size() >= kMaxDepth)
            return fail("nested deeper than " + std::to_string(kMaxDepth) + " levels");
        nesting_.push_back(place);
        ++at_;
        return token;
    };
    switch (c) {
        case '[':
            return open(Place::ArrayStart, Token::BeginArray);
        case '{':
            return open(Place::ObjectStart, Token::BeginObject);
        case '"': {
            ++at_;
            if (auto read = read_string(); !read) return std::unexpected(read.error());
            return Token::String;
        }
        case 't':
            if (auto read = read_word("true"); !read) return std::unexpected(read.error());
            return Token::True;
        case 'f':
            if (auto read = read_word("false"); !read) return std::unexpected(read.error());
            return Token::False;
        case 'n':
            if (auto read = read_word("null"); !read) return std::unexpected(read.error());
            return Token::Null;
        case -1:
            return fail("cut short");
        default:
            if (c == '-' || (c >= '0' && c <= '9')) {
                read_number();
                return Token::Number;
            }
            return fail("not JSON");
    }
}

LoadResult<void> JsonReader::read_word(std::string_view word) {
    for (const char expected : word) {
        if (peek() != static_cast<unsigned char>(expected)) return fail("not JSON");
        ++at_;
    }
    return {};
}

void JsonReader::read_number() {
    text_.clear();
    for (int c = peek(); (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
         c = peek()) {
        text_ += static_cast<char>(c);
        ++at_;
    }
}

LoadResult<void> JsonReader::read_string() {
    text_.clear();
    for (;;) {
        if (peek() < 0) return fail("cut short inside a string");
        // Plain runs are copied in one go; one that reaches the end of the block goes on in the next.
        std::size_t end = at_;
        while (end < buffer_.size() && buffer_[end] != '"' && buffer_[end] != '\\') ++end;
        text_.append(buffer_, at_, end - at_);
        at_ = end;
        if (at_ == buffer_.size()) continue;
        if (buffer_[at_++] == '"') return {};
        const int escape = peek();
        ++at_;
        switch (escape) {
            case '"':
            case '\\':
            case '/':
                text_ += static_cast<char>(escape);
                break;
            case 'b':
                text_ += '\b';
                break;
            case 'f':
                text_ += '\f';
                break;
            case 'n':
                text_ += '\n';
                break;
            case 'r':
                text_ += '\r';
                break;
            case 't':
                text_ += '\t';
                break;
            case 'u': {
                const auto hex4 = [&]() -> int {
                    int code = 0;
                    for (int i = 0; i < 4; ++i) {
                        const int digit = hex_digit(peek());
                        if (digit < 0) return -1;
                        ++at_;
                        code = code * 16 + digit;
                    }
                    return code;
                };
                int code = hex4();
                if (code < 0) return fail("a bad \\u escape");
                if (code >= 0xD800 && code < 0xDC00 && peek() == '\\') {
                    ++at_;
                    if (peek() != 'u') return fail("a bad escape");
                    ++at_;
                    const int low = hex4();
                    if (low < 0) return fail("a bad \\u escape");
                    if (low >= 0xDC00 && low < 0xE000) {
                        append_utf8(text_, 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00));
                        break;
                    }
                    append_utf8(text_, 0xFFFD);
                    code = low;
                }
                // A lone surrogate stands for nothing: it becomes U+FFFD, as a lossy name would.
                append_utf8(text_,
                            code >= 0xD800 && code < 0xE000 ? 0xFFFD : static_cast<std::uint32_t>(code));
                break;
            }
            default:
                return fail(escape < 0 ? "cut short inside a string" : "a bad escape");
        }
    }
}

LoadResult<void> JsonReader::skip(Token first) {
    if (first != Token::BeginArray && first != Token::BeginObject) return {};
    const std::size_t level = nesting_.size() - 1;
    while (nesting_.size() > level) {
        auto token = next();
        if (!token) return std::unexpected(token.error());
    }
    return {};
}

LoadResult<void> JsonReader::members(
    FunctionRef<LoadResult<void>(const std::string& key, Token value)> member) {
    for (;;) {
        auto token = next();
        if (!token) return std::unexpected(token.error());
        if (*token == Token::EndObject) return {};
        const std::string key = text_;
        auto value = next();
        if (!value) return std::unexpected(value.error());
        if (auto done = member(key, *value); !done) return done;
    }
}

LoadResult<std::uint64_t> JsonReader::unsigned_member(std::string_view key, Token value) const {
    if (value != Token::Number) return fail("\"" + std::string(key) + "\" is not a number");
    return unsigned_number();
}

LoadResult<std::uint64_t> JsonReader::unsigned_number() const {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text_.data(), text_.data() + text_.size(), value);
    if (error != std::errc() || end != text_.data() + text_.size())
        return fail("not a whole number of 0 or more");
    return value;
}

LoadResult<std::int64_t> JsonReader::signed_number() const {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text_.data(), text_.data() + text_.size(), value);
    if (error != std::errc() || end != text_.data() + text_.size()) return fail("not a whole number");
    return value;
}

}  // namespace orvalnest
