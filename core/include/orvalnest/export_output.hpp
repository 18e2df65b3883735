// An export's bytes on their way to a descriptor: gathered in a large buffer
// and written in whole chunks, so a million small pieces cost a few hundred
// writes, and asked between chunks whether the user wants it stopped.
#pragma once

#include <string>
#include <string_view>

#include "orvalnest/error.hpp"
#include "orvalnest/function_ref.hpp"

namespace orvalnest {

class ExportOutput {
public:
    static constexpr std::size_t kChunk = std::size_t{1} << 18;

    // `cancelled` is asked before each chunk is written; once it says yes, the
    // export ends with ECANCELED.
    ExportOutput(int fd, FunctionRef<bool()> cancelled) : fd_(fd), cancelled_(cancelled) {
        buffer_.reserve(kChunk + 4096);
    }

    // Where the writers append.
    std::string& text() { return buffer_; }
    // Writes the buffer out once it holds a chunk.
    OsResult<void> pace() { return buffer_.size() >= kChunk ? flush() : OsResult<void>{}; }
    OsResult<void> flush();

private:
    int fd_;
    FunctionRef<bool()> cancelled_;
    std::string buffer_;
};

}  // namespace orvalnest
