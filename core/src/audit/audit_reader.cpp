// Reading the audit log back, for the purge: only lines this module writes
// need to be understood (a flat object of strings, integers and nulls); any
// other line, a hand-edited or torn one, is skipped rather than guessed at.
#include <charconv>

#include "orvalnest/audit.hpp"
#include "orvalnest/text.hpp"

namespace orvalnest {

namespace {

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool eat(char c) {
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool done() const { return at_ == text_.size(); }
    bool peek(char c) const { return at_ < text_.size() && text_[at_] == c; }

    std::optional<std::string> string() {
        if (!eat('"')) return std::nullopt;
        std::string out;
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"') return out;
            if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            if (at_ >= text_.size()) return std::nullopt;
            switch (const char escape = text_[at_++]) {
                case '"':
                case '\\':
                case '/':
                    out.push_back(escape);
                    break;
                case 'b':
                    out.push_back('\b');
                    break;
                case 'f':
                    out.push_back('\f');
                    break;
                case 'n':
                    out.push_back('\n');
                    break;
                case 'r':
                    out.push_back('\r');
                    break;
                case 't':
                    out.push_back('\t');
                    break;
                case 'u': {
                    auto code = hex4();
                    if (!code) return std::nullopt;
                    char32_t cp = *code;
                    // A surrogate pair stands for one character beyond the BMP.
                    if (cp >= 0xD800 && cp < 0xDC00 && eat('\\') && eat('u')) {
                        auto low = hex4();
                        if (!low || *low < 0xDC00 || *low >= 0xE000) return std::nullopt;
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (*low - 0xDC00);
                    }
                    if (cp >= 0xD800 && cp < 0xE000) cp = 0xFFFD;
                    append_utf8(out, cp);
                    break;
                }
                default:
                    return std::nullopt;
            }
        }
        return std::nullopt;
    }

    std::optional<std::uint64_t> number() {
        std::uint64_t value = 0;
        const auto [end, error] = std::from_chars(text_.data() + at_, text_.data() + text_.size(), value);
        if (error != std::errc()) return std::nullopt;
        at_ = static_cast<size_t>(end - text_.data());
        return value;
    }

    bool null() {
        if (text_.substr(at_, 4) != "null") return false;
        at_ += 4;
        return true;
    }

private:
    std::optional<char32_t> hex4() {
        if (at_ + 4 > text_.size()) return std::nullopt;
        std::uint32_t value = 0;
        const auto [end, error] = std::from_chars(text_.data() + at_, text_.data() + at_ + 4, value, 16);
        if (error != std::errc() || end != text_.data() + at_ + 4) return std::nullopt;
        at_ += 4;
        return static_cast<char32_t>(value);
    }

    std::string_view text_;
    size_t at_ = 0;
};

}  // namespace

const std::optional<std::string>* ReadRecord::field(std::string_view name) const {
    for (const auto& [key, value] : fields) {
        if (key == name) return &value;
    }
    return nullptr;
}

std::optional<ReadRecord> parse_line(std::string_view line) {
    Reader in(line);
    ReadRecord out;
    if (!in.eat('{')) return std::nullopt;
    bool first = true;
    while (!in.eat('}')) {
        if (!first && !in.eat(',')) return std::nullopt;
        first = false;
        auto key = in.string();
        if (!key || !in.eat(':')) return std::nullopt;
        if (in.peek('"')) {
            auto value = in.string();
            if (!value) return std::nullopt;
            out.fields.emplace_back(std::move(*key), std::move(*value));
        } else if (in.null()) {
            out.fields.emplace_back(std::move(*key), std::nullopt);
        } else if (auto number = in.number(); number && *key == "unix_time") {
            out.unix_time = *number;
        } else {
            return std::nullopt;
        }
    }
    if (!in.done()) return std::nullopt;
    return out;
}

}  // namespace orvalnest
