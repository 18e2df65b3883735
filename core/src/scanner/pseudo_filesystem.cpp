#include "pseudo_filesystem.hpp"

#if defined(__linux__)
#include <sys/vfs.h>

#include <cstdint>
#endif

namespace orvalnest::scanner_detail {

#if defined(__linux__)
namespace {

struct PseudoFilesystem {
    std::uint32_t magic;  // f_type, as in <linux/magic.h>
    std::string_view name;
};

// Filesystems whose content the kernel makes up on reading. tmpfs (and with it
// devtmpfs) is absent on purpose: it holds real files that take real memory.
constexpr PseudoFilesystem kPseudoFilesystems[] = {
    {0x9fa0, "proc"},         {0x62656572, "sysfs"},      {0x1cd1, "devpts"},
    {0x27e0eb, "cgroup"},     {0x63677270, "cgroup2"},    {0x64626720, "debugfs"},
    {0x74726163, "tracefs"},  {0x73636673, "securityfs"}, {0x6165676c, "pstore"},
    {0xcafe4a11, "bpf"},      {0x62656570, "configfs"},   {0x42494e4d, "binfmt_misc"},
    {0xde5e81e4, "efivarfs"}, {0x65735543, "fusectl"},    {0xf97cff8c, "selinuxfs"},
    {0x43415d53, "smackfs"},  {0x19800202, "mqueue"},     {0x67596969, "rpc_pipefs"},
    {0x6e736673, "nsfs"},
};

}  // namespace

std::optional<std::string_view> pseudo_filesystem_name(int fd) {
    struct statfs info {};
    if (::fstatfs(fd, &info) != 0) return std::nullopt;  // unknown: list it like any other
    const auto magic = static_cast<std::uint32_t>(info.f_type);
    for (const auto& pseudo : kPseudoFilesystems) {
        if (pseudo.magic == magic) return pseudo.name;
    }
    return std::nullopt;
}

#else

std::optional<std::string_view> pseudo_filesystem_name(int) { return std::nullopt; }

#endif

}  // namespace orvalnest::scanner_detail
