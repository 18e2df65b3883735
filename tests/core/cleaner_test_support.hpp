// Scaffolding shared by the policy, audit log and trash request tests:
// throwaway directories, scoped environment changes and a strict reader for
// the audit log's JSON lines.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

namespace orvalnest::testing {

// A fresh directory under the system's temporary directory, removed with
// everything in it (links are removed, never followed) when the test ends.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "orvalnest-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

private:
    std::string path_;
};

// Sets or unsets environment variables for one scope and puts back what was
// there before.
class ScopedEnv {
public:
    ScopedEnv() = default;
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second) {
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            } else {
                ::unsetenv(it->first.c_str());
            }
        }
    }
    void set(const std::string& name, const std::string& value) {
        save(name);
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    void unset(const std::string& name) {
        save(name);
        ::unsetenv(name.c_str());
    }

private:
    void save(const std::string& name) {
        const char* value = ::getenv(name.c_str());
        saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

inline void write_file(const std::string& path, const std::string& content = "x") {
    std::ofstream(path, std::ios::binary) << content;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

inline std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
        lines.push_back(text.substr(start, nl - start));
    }
    EXPECT_EQ(start, text.size()) << "the last line has no line feed";
    return lines;
}

inline std::string real(const std::string& path) { return std::filesystem::canonical(path).string(); }

// One flat JSON object whose values are strings, non-negative integers or
// null: all an audit record holds. Strict: no whitespace, no duplicate keys.
using JsonValue = std::variant<std::nullptr_t, std::uint64_t, std::string>;
using JsonObject = std::vector<std::pair<std::string, JsonValue>>;

class JsonReader {
public:
    explicit JsonReader(std::string_view text) : text_(text) {}

    std::optional<JsonObject> object() {
        JsonObject out;
        if (!take('{')) return std::nullopt;
        if (take('}')) return at_end() ? std::optional(out) : std::nullopt;
        do {
            auto key = string();
            if (!key || !take(':')) return std::nullopt;
            auto value = this->value();
            if (!value) return std::nullopt;
            for (const auto& [existing, unused] : out) {
                if (existing == *key) return std::nullopt;
            }
            out.emplace_back(std::move(*key), std::move(*value));
        } while (take(','));
        if (!take('}') || !at_end()) return std::nullopt;
        return out;
    }

private:
    bool at_end() const { return pos_ == text_.size(); }
    bool take(char c) {
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    std::optional<JsonValue> value() {
        if (text_.substr(pos_).starts_with("null")) {
            pos_ += 4;
            return JsonValue(nullptr);
        }
        if (pos_ < text_.size() && text_[pos_] == '"') {
            auto s = string();
            if (!s) return std::nullopt;
            return JsonValue(std::move(*s));
        }
        const size_t start = pos_;
        std::uint64_t n = 0;
        while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9')
            n = n * 10 + (text_[pos_++] - '0');
        const size_t digits = pos_ - start;
        if (digits == 0 || (digits > 1 && text_[start] == '0')) return std::nullopt;
        return JsonValue(n);
    }

    std::optional<std::string> string() {
        if (!take('"')) return std::nullopt;
        std::string out;
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '"') return out;
            if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            if (pos_ >= text_.size()) return std::nullopt;
            switch (text_[pos_++]) {
                case '"':
                    out.push_back('"');
                    break;
                case '\\':
                    out.push_back('\\');
                    break;
                case '/':
                    out.push_back('/');
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
                    if (pos_ + 4 > text_.size()) return std::nullopt;
                    const unsigned code = std::stoul(std::string(text_.substr(pos_, 4)), nullptr, 16);
                    pos_ += 4;
                    if (code >= 0x80) return std::nullopt;  // records only escape control bytes
                    out.push_back(static_cast<char>(code));
                    break;
                }
                default:
                    return std::nullopt;
            }
        }
        return std::nullopt;
    }

    std::string_view text_;
    size_t pos_ = 0;
};

// The log's lines, each parsed; a line that does not parse fails the test.
inline std::vector<JsonObject> read_records(const std::string& log_path) {
    std::vector<JsonObject> records;
    for (const auto& line : split_lines(read_file(log_path))) {
        auto parsed = JsonReader(line).object();
        EXPECT_TRUE(parsed.has_value()) << "not a JSON object: " << line;
        if (parsed) records.push_back(std::move(*parsed));
    }
    return records;
}

inline const JsonValue& field(const JsonObject& object, std::string_view key) {
    for (const auto& [k, v] : object) {
        if (k == key) return v;
    }
    static const JsonValue missing = std::string("<missing>");
    ADD_FAILURE() << "no key " << key;
    return missing;
}

}  // namespace orvalnest::testing
